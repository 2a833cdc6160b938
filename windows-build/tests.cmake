# CTest tests of the Windows build (included by the top-level CMakeLists.txt).
# The cross build has its own CMake project and toolchain, so it is built by
# a test into ${CMAKE_BINARY_DIR}/windows-build, and so is the 32-bit
# Windows CPython 2.7 that runs the Python suites under Wine. A missing
# toolchain or Wine is a skip (exit 77) outside CI.
set(VOLUMES_WINDOWS_BUILD_DIR ${CMAKE_BINARY_DIR}/windows-build)
set(VOLUMES_WINDOWS_PYTHON_DIR ${CMAKE_BINARY_DIR}/windows-python27)
# Every Wine tool runs inside the project's Wine root through this launcher
# (scripts/wine-root.sh builds the root); check.sh is handed it.
set(VOLUMES_WINE_LAUNCHER ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh CACHE FILEPATH
    "Runs a Wine tool inside the Wine root (a bash script taking the tool and its arguments, and --check)")
set(VOLUMES_WINDOWS_CHECK ${CMAKE_COMMAND} -E env "VOLUMES_WINE_LAUNCHER=bash ${VOLUMES_WINE_LAUNCHER}"
    bash ${PROJECT_SOURCE_DIR}/windows-build/check.sh)

# The interpreter: rebuilt only when its inputs change.
add_test(NAME windows.interpreter
         COMMAND bash ${PROJECT_SOURCE_DIR}/windows-build/interpreter/build.sh
                 /usr/local/share/volumes-windows/python2.7_2.7.18.orig.tar.gz
                 ${VOLUMES_WINDOWS_PYTHON_DIR})
set_tests_properties(windows.interpreter PROPERTIES
  TIMEOUT 900 FIXTURES_SETUP windows-interpreter RESOURCE_LOCK windows-python27)

# The modules of both trees, checked against the interpreter's exports.
add_test(NAME windows.build
         COMMAND ${VOLUMES_WINDOWS_CHECK} build ${VOLUMES_WINDOWS_BUILD_DIR} ${VOLUMES_WINDOWS_PYTHON_DIR})
set_tests_properties(windows.build PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_SETUP windows-modules
  FIXTURES_REQUIRED windows-interpreter RESOURCE_LOCK windows-build)

# The tests below run Windows programs under Wine, inside the Wine root.
# Without a usable root they are left out, and why is said here
# and, in the summary after CTest, from ${VOLUMES_WINDOWS_NOT_RUN}, which
# makes scripts/test.sh fail: nothing passes untested on Windows.
set(VOLUMES_WINDOWS_NOT_RUN ${VOLUMES_SUITE_RESULTS}/windows-not-run.txt)
execute_process(COMMAND bash ${VOLUMES_WINE_LAUNCHER} --check
                OUTPUT_VARIABLE reason ERROR_VARIABLE reason RESULT_VARIABLE root_status
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT root_status EQUAL 0)
  message(STATUS "The Windows suites under Wine are left out: ${reason}")
  file(WRITE ${VOLUMES_WINDOWS_NOT_RUN} "${reason}\n")
  return()
endif()
file(REMOVE ${VOLUMES_WINDOWS_NOT_RUN})

# One Wine prefix for every test that runs a Windows program, and one
# wineserver kept for the whole run: started by windows.prefix (which also
# checks that python.exe starts within a bound), ended by windows.wine-stop
# once every test that needs it has run.
add_test(NAME windows.prefix
         COMMAND ${VOLUMES_WINDOWS_CHECK} prefix ${VOLUMES_WINDOWS_BUILD_DIR} ${VOLUMES_WINDOWS_PYTHON_DIR})
set_tests_properties(windows.prefix PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_SETUP wine-prefix
  FIXTURES_REQUIRED "windows-interpreter;windows-modules")
add_test(NAME windows.wine-stop COMMAND ${VOLUMES_WINDOWS_CHECK} stop ${VOLUMES_WINDOWS_BUILD_DIR})
set_tests_properties(windows.wine-stop PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 120 FIXTURES_CLEANUP wine-prefix)

add_test(NAME windows.wine COMMAND ${VOLUMES_WINDOWS_CHECK} wine ${VOLUMES_WINDOWS_BUILD_DIR})
set_tests_properties(windows.wine PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_REQUIRED "windows-modules;wine-prefix")

# The scripted suites, run by the Windows interpreter under Wine over the
# scripted tree, as the Linux interpreters run them, but several to a
# python.exe (each start costs seconds under Wine, more under qemu): two
# processes, so that both cores serve them, each running its suites one
# after another in a state restored between them (tests/run_suite.py
# --results-dir). Each suite keeps its own results file and line.
file(GLOB VOLUMES_WINDOWS_SUITES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/python/test_*.py)
set(VOLUMES_WINDOWS_SUITE_PROCESSES 2)
foreach(process RANGE 1 ${VOLUMES_WINDOWS_SUITE_PROCESSES})
  set(suites_${process} "")
endforeach()
set(index 0)
foreach(test_file ${VOLUMES_WINDOWS_SUITES})
  math(EXPR process "${index} % ${VOLUMES_WINDOWS_SUITE_PROCESSES} + 1")
  list(APPEND suites_${process} ${test_file})
  math(EXPR index "${index} + 1")
endforeach()
foreach(process RANGE 1 ${VOLUMES_WINDOWS_SUITE_PROCESSES})
  if(suites_${process})
    add_test(NAME windows-scripted.suites-${process}
             COMMAND ${VOLUMES_WINDOWS_CHECK} suites ${VOLUMES_WINDOWS_BUILD_DIR}
                     ${VOLUMES_WINDOWS_PYTHON_DIR} ${VOLUMES_SUITE_RESULTS}/windows ${suites_${process}})
    set_tests_properties(windows-scripted.suites-${process} PROPERTIES
      SKIP_RETURN_CODE 77 TIMEOUT 1500
      FIXTURES_REQUIRED "windows-interpreter;windows-modules;wine-prefix")
  endif()
endforeach()

# The real KERNEL32 build in the same interpreter, over drives of its own.
add_test(NAME windows.kernel32
         COMMAND ${VOLUMES_WINDOWS_CHECK} kernel32 ${VOLUMES_WINDOWS_BUILD_DIR}
                 ${VOLUMES_WINDOWS_PYTHON_DIR}
                 -B ${PROJECT_SOURCE_DIR}/tests/run_suite.py
                 ${PROJECT_SOURCE_DIR}/tests/windows/test_kernel32_volumes.py -v
                 --results ${VOLUMES_SUITE_RESULTS}/windows-kernel32/test_kernel32_volumes.txt)
set_tests_properties(windows.kernel32 PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900
  FIXTURES_REQUIRED "windows-interpreter;windows-modules;wine-prefix")
