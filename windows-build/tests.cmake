# CTest tests of the Windows build (included by the top-level CMakeLists.txt).
# The cross build has its own CMake project and toolchain, so it is built by
# a test into ${CMAKE_BINARY_DIR}/windows-build, and so is the 32-bit
# Windows CPython 2.7 that runs the Python suites under Wine. A missing
# toolchain or Wine is a skip (exit 77) outside CI. The tests are named
# windows.python2.7-win32.* (32-bit, CPython 2.7) and
# windows.python3.11-win64.* (64-bit, CPython 3.11); their fixtures and
# suite-results directories keep the shorter windows and windows-x64.
set(VOLUMES_WINDOWS_BUILD_DIR ${CMAKE_BINARY_DIR}/windows-build)
set(VOLUMES_WINDOWS_PYTHON_DIR ${CMAKE_BINARY_DIR}/windows-python27)
# The same modules for 64-bit CPython 3.11, built against it.
set(VOLUMES_WINDOWS_X64_BUILD_DIR ${CMAKE_BINARY_DIR}/windows-build-x64)
set(VOLUMES_WINDOWS_PYTHON311_DIR ${CMAKE_BINARY_DIR}/windows-python311)
# Every Wine tool runs inside the project's Wine root through this launcher
# (scripts/wine-root.sh builds the root); check.sh is handed it.
set(VOLUMES_WINE_LAUNCHER ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh CACHE FILEPATH
    "Runs a Wine tool inside the Wine root (a bash script taking the tool and its arguments, and --check)")
set(VOLUMES_WINDOWS_CHECK ${CMAKE_COMMAND} -E env "VOLUMES_WINE_LAUNCHER=bash ${VOLUMES_WINE_LAUNCHER}"
    bash ${PROJECT_SOURCE_DIR}/windows-build/check.sh)
set(VOLUMES_WINDOWS_X64_CHECK ${CMAKE_COMMAND} -E env "VOLUMES_WINE_LAUNCHER=bash ${VOLUMES_WINE_LAUNCHER}"
    VOLUMES_WINDOWS_PYTHON=311 bash ${PROJECT_SOURCE_DIR}/windows-build/check.sh)

# The interpreter: rebuilt only when its inputs change.
add_test(NAME windows.python2.7-win32.interpreter
         COMMAND bash ${PROJECT_SOURCE_DIR}/windows-build/interpreter/build.sh
                 /usr/local/share/volumes-windows/python2.7_2.7.18.orig.tar.gz
                 ${VOLUMES_WINDOWS_PYTHON_DIR})
set_tests_properties(windows.python2.7-win32.interpreter PROPERTIES
  TIMEOUT 900 FIXTURES_SETUP windows-interpreter RESOURCE_LOCK windows-python27)

add_test(NAME windows.python3.11-win64.interpreter
         COMMAND bash ${PROJECT_SOURCE_DIR}/windows-build/interpreter311/build.sh
                 /usr/local/share/volumes-windows ${VOLUMES_WINDOWS_PYTHON311_DIR})
set_tests_properties(windows.python3.11-win64.interpreter PROPERTIES
  TIMEOUT 1500 FIXTURES_SETUP windows-x64-interpreter RESOURCE_LOCK windows-python311)

# The modules of both trees, checked against the interpreter's exports.
add_test(NAME windows.python2.7-win32.build
         COMMAND ${VOLUMES_WINDOWS_CHECK} build ${VOLUMES_WINDOWS_BUILD_DIR} ${VOLUMES_WINDOWS_PYTHON_DIR})
set_tests_properties(windows.python2.7-win32.build PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_SETUP windows-modules
  FIXTURES_REQUIRED windows-interpreter RESOURCE_LOCK windows-build)
add_test(NAME windows.python3.11-win64.build
         COMMAND ${VOLUMES_WINDOWS_X64_CHECK} build ${VOLUMES_WINDOWS_X64_BUILD_DIR}
                 ${VOLUMES_WINDOWS_PYTHON311_DIR})
set_tests_properties(windows.python3.11-win64.build PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_SETUP windows-x64-modules
  FIXTURES_REQUIRED windows-x64-interpreter RESOURCE_LOCK windows-build-x64)

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

# The tests that run Windows programs of one build under Wine, named
# TESTS.<test> (windows.python2.7-win32 for 2.7, windows.python3.11-win64
# for 3.11), their fixtures NAME-<fixture> (windows, windows-x64):
#   volumes_wine_tests(NAME TESTS CHECK BUILD_DIR PYTHON_DIR RESULTS)
# CHECK is the check.sh command line for that build; the Python suites'
# results go to ${VOLUMES_SUITE_RESULTS}/RESULTS and RESULTS-kernel32.
function(volumes_wine_tests name tests check build_dir python_dir results)
  # One Wine prefix for every test that runs a Windows program, and one
  # wineserver kept for the whole run: started by TESTS.prefix (which also
  # checks that python.exe starts within a bound), ended by TESTS.wine-stop
  # once every test that needs it has run.
  add_test(NAME ${tests}.prefix
           COMMAND ${check} prefix ${build_dir} ${python_dir})
  set_tests_properties(${tests}.prefix PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_SETUP ${name}-wine-prefix
    FIXTURES_REQUIRED "${name}-interpreter;${name}-modules")
  add_test(NAME ${tests}.wine-stop COMMAND ${check} stop ${build_dir})
  set_tests_properties(${tests}.wine-stop PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 120 FIXTURES_CLEANUP ${name}-wine-prefix)

  add_test(NAME ${tests}.wine COMMAND ${check} wine ${build_dir})
  set_tests_properties(${tests}.wine PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_REQUIRED "${name}-modules;${name}-wine-prefix")

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
      add_test(NAME ${tests}.scripted-${process}
               COMMAND ${check} suites ${build_dir}
                       ${python_dir} ${VOLUMES_SUITE_RESULTS}/${results} ${suites_${process}})
      set_tests_properties(${tests}.scripted-${process} PROPERTIES
        SKIP_RETURN_CODE 77 TIMEOUT 1500
        FIXTURES_REQUIRED "${name}-interpreter;${name}-modules;${name}-wine-prefix")
    endif()
  endforeach()

  # The real KERNEL32 build in the same interpreter, over drives of its own.
  add_test(NAME ${tests}.kernel32
           COMMAND ${check} kernel32 ${build_dir}
                   ${python_dir}
                   -B ${PROJECT_SOURCE_DIR}/tests/run_suite.py
                   ${PROJECT_SOURCE_DIR}/tests/windows/test_kernel32_volumes.py -v
                   --results ${VOLUMES_SUITE_RESULTS}/${results}-kernel32/test_kernel32_volumes.txt)
  set_tests_properties(${tests}.kernel32 PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 900
    FIXTURES_REQUIRED "${name}-interpreter;${name}-modules;${name}-wine-prefix")
endfunction()

volumes_wine_tests(windows windows.python2.7-win32 "${VOLUMES_WINDOWS_CHECK}" ${VOLUMES_WINDOWS_BUILD_DIR}
                   ${VOLUMES_WINDOWS_PYTHON_DIR} windows)
volumes_wine_tests(windows-x64 windows.python3.11-win64 "${VOLUMES_WINDOWS_X64_CHECK}" ${VOLUMES_WINDOWS_X64_BUILD_DIR}
                   ${VOLUMES_WINDOWS_PYTHON311_DIR} windows-x64)
