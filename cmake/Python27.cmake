# CPython 2.7 from Debian: the release interpreter and, where installed, the
# debug interpreter (python2.7-dbg), each with its own headers and extension
# suffix. The module itself needs the release one only; the debug one serves
# the tests and checks (scripts/setup.sh --test installs it).
find_program(PYTHON27_EXECUTABLE NAMES python2.7 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(PYTHON27_DBG_EXECUTABLE NAMES python2.7-dbg PATHS /usr/bin NO_DEFAULT_PATH)

include(${CMAKE_CURRENT_LIST_DIR}/PythonLayout.cmake)

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
