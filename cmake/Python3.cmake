# CPython 3 from Debian 12: python3.11 (release, with python3.11-dev's
# headers) and python3.11-dbg (debug, its own headers and extension suffix).
# Both are optional: without them the Python 3 trees and suites are left out,
# with a message, and the 2.7 build is unchanged. These are the
# interpreters the test suites run under; a wheel is built for whichever
# interpreter runs the build backend (cmake/Wheel.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/PythonLayout.cmake)

find_program(PYTHON3_EXECUTABLE NAMES python3.11 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PYTHON3_DBG_EXECUTABLE NAMES python3.11-dbg PATHS /usr/bin NO_DEFAULT_PATH)

set(PYTHON3_FOUND FALSE)
set(PYTHON3_DBG_FOUND FALSE)
if(PYTHON3_EXECUTABLE)
  volumes_python_layout(${PYTHON3_EXECUTABLE} PYTHON3 OPTIONAL)
  set(PYTHON3_FOUND ${PYTHON3_HEADERS_FOUND})
endif()
if(PYTHON3_FOUND AND PYTHON3_DBG_EXECUTABLE)
  volumes_python_layout(${PYTHON3_DBG_EXECUTABLE} PYTHON3_DBG OPTIONAL)
  set(PYTHON3_DBG_FOUND ${PYTHON3_DBG_HEADERS_FOUND})
endif()

if(NOT PYTHON3_FOUND)
  message(STATUS "Python 3: no python3.11 with its headers (python3.11-dev), so the Python 3 "
                 "trees and the suites that use them are left out (scripts/setup.sh --test installs it)")
elseif(PYTHON3_DBG_FOUND)
  message(STATUS "Python 3: ${PYTHON3_EXECUTABLE} (${PYTHON3_INCLUDE_DIR}), debug: ${PYTHON3_DBG_EXECUTABLE}")
else()
  message(STATUS "Python 3: ${PYTHON3_EXECUTABLE} (${PYTHON3_INCLUDE_DIR}); no python3.11-dbg, "
                 "so its debug tree and the checks that use it are left out (scripts/setup.sh --test installs it)")
endif()
