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

_python27_query(${PYTHON27_EXECUTABLE} "sysconfig.get_config_var('INCLUDEPY')" PYTHON27_INCLUDE_DIR)
_python27_query(${PYTHON27_EXECUTABLE} "sysconfig.get_config_var('SO')" PYTHON27_EXT_SUFFIX)
if(NOT EXISTS "${PYTHON27_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "CPython 2.7 headers missing: run scripts/setup.sh as root")
endif()

set(PYTHON27_DBG_FOUND FALSE)
if(PYTHON27_DBG_EXECUTABLE)
  _python27_query(${PYTHON27_DBG_EXECUTABLE} "sysconfig.get_config_var('INCLUDEPY')" PYTHON27_DBG_INCLUDE_DIR)
  _python27_query(${PYTHON27_DBG_EXECUTABLE} "sysconfig.get_config_var('SO')" PYTHON27_DBG_EXT_SUFFIX)
  if(NOT EXISTS "${PYTHON27_DBG_INCLUDE_DIR}/Python.h")
    message(FATAL_ERROR "CPython 2.7 debug headers missing: run scripts/setup.sh --test as root")
  endif()
  set(PYTHON27_DBG_FOUND TRUE)
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (${PYTHON27_INCLUDE_DIR}), debug: ${PYTHON27_DBG_EXECUTABLE}")
else()
  message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE} (${PYTHON27_INCLUDE_DIR}); no python2.7-dbg, "
                 "so the debug tree and the checks that use it are left out (scripts/setup.sh --test installs it)")
endif()
