# CPython 2.7 from Debian: the release interpreter and, where installed, the
# debug interpreter (python2.7-dbg), each with its own headers and extension
# suffix. The module itself needs the release one only; the debug one serves
# the tests and checks (scripts/setup.sh --test installs it).
find_program(PYTHON27_EXECUTABLE NAMES python2.7 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(PYTHON27_DBG_EXECUTABLE NAMES python2.7-dbg PATHS /usr/bin NO_DEFAULT_PATH)

# The value of a Python expression (with sysconfig imported) as the
# interpreter prints it; serves every interpreter (cmake/Python3.cmake too).
function(volumes_python_query interpreter expression out_var)
  execute_process(COMMAND ${interpreter} -c "import sysconfig; print(${expression})"
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${interpreter} could not report ${expression}")
  endif()
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

# An interpreter's header directory and extension suffix into
# <prefix>_INCLUDE_DIR and <prefix>_EXT_SUFFIX (EXT_SUFFIX in Python 3, SO in
# 2.7). Without its headers: fails with `missing`, or, when `missing` is
# OPTIONAL, sets <prefix>_HEADERS_FOUND to FALSE and leaves the choice to the
# caller.
function(volumes_python_layout interpreter prefix missing)
  volumes_python_query(${interpreter} "sysconfig.get_config_var('INCLUDEPY')" include_dir)
  volumes_python_query(${interpreter}
                       "sysconfig.get_config_var('EXT_SUFFIX') or sysconfig.get_config_var('SO')"
                       ext_suffix)
  set(${prefix}_HEADERS_FOUND TRUE PARENT_SCOPE)
  if(NOT EXISTS "${include_dir}/Python.h")
    if(missing STREQUAL "OPTIONAL")
      set(${prefix}_HEADERS_FOUND FALSE PARENT_SCOPE)
      return()
    endif()
    message(FATAL_ERROR "${missing}")
  endif()
  set(${prefix}_INCLUDE_DIR "${include_dir}" PARENT_SCOPE)
  set(${prefix}_EXT_SUFFIX "${ext_suffix}" PARENT_SCOPE)
endfunction()

volumes_python_layout(${PYTHON27_EXECUTABLE} PYTHON27
                      "CPython 2.7 headers missing: run scripts/setup.sh as root")

set(PYTHON27_DBG_FOUND FALSE)
if(PYTHON27_DBG_EXECUTABLE)
  volumes_python_layout(${PYTHON27_DBG_EXECUTABLE} PYTHON27_DBG
                        "CPython 2.7 debug headers missing: run scripts/setup.sh --test as root")
  set(PYTHON27_DBG_FOUND TRUE)
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (${PYTHON27_INCLUDE_DIR}), debug: ${PYTHON27_DBG_EXECUTABLE}")
else()
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (${PYTHON27_INCLUDE_DIR}); no python2.7-dbg, "
                 "so the debug tree and the checks that use it are left out (scripts/setup.sh --test installs it)")
endif()
