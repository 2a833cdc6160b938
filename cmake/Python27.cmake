# CPython 2.7 from Debian: the release interpreter and, where installed, the
# debug interpreter (python2.7-dbg), each with its own headers and extension
# suffix. The module itself needs the release one only; the debug one serves
# the tests and checks (scripts/setup.sh --test installs it).
find_program(PYTHON27_EXECUTABLE NAMES python2.7 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(PYTHON27_DBG_EXECUTABLE NAMES python2.7-dbg PATHS /usr/bin NO_DEFAULT_PATH)

function(_python27_query interpreter expression out_var)
  execute_process(COMMAND ${interpreter} -c "import sysconfig; print(${expression})"
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${interpreter} could not report ${expression}")
  endif()
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

# An interpreter's header directory and extension suffix into
# <prefix>_INCLUDE_DIR and <prefix>_EXT_SUFFIX; fails with `missing` when its
# headers are not installed.
function(_python27_layout interpreter prefix missing)
  _python27_query(${interpreter} "sysconfig.get_config_var('INCLUDEPY')" include_dir)
  _python27_query(${interpreter} "sysconfig.get_config_var('SO')" ext_suffix)
  if(NOT EXISTS "${include_dir}/Python.h")
    message(FATAL_ERROR "${missing}")
  endif()
  set(${prefix}_INCLUDE_DIR "${include_dir}" PARENT_SCOPE)
  set(${prefix}_EXT_SUFFIX "${ext_suffix}" PARENT_SCOPE)
endfunction()

_python27_layout(${PYTHON27_EXECUTABLE} PYTHON27
                 "CPython 2.7 headers missing: run scripts/setup.sh as root")

set(PYTHON27_DBG_FOUND FALSE)
if(PYTHON27_DBG_EXECUTABLE)
  _python27_layout(${PYTHON27_DBG_EXECUTABLE} PYTHON27_DBG
                   "CPython 2.7 debug headers missing: run scripts/setup.sh --test as root")
  set(PYTHON27_DBG_FOUND TRUE)
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (${PYTHON27_INCLUDE_DIR}), debug: ${PYTHON27_DBG_EXECUTABLE}")
else()
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (${PYTHON27_INCLUDE_DIR}); no python2.7-dbg, "
                 "so the debug tree and the checks that use it are left out (scripts/setup.sh --test installs it)")
endif()
