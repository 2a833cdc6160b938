# CTest tests of the Windows build (included by the top-level CMakeLists.txt).
# The cross build has its own CMake project and toolchain, so it is built by
# the test itself into ${CMAKE_BINARY_DIR}/windows-build; a missing
# toolchain or Wine is a skip (exit 77) outside CI.
set(VOLUMES_WINDOWS_BUILD_DIR ${CMAKE_BINARY_DIR}/windows-build)
add_test(NAME windows.build
         COMMAND bash ${PROJECT_SOURCE_DIR}/windows-build/check.sh build ${VOLUMES_WINDOWS_BUILD_DIR})
set_tests_properties(windows.build PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_SETUP windows-modules RESOURCE_LOCK windows-build)
add_test(NAME windows.wine
         COMMAND bash ${PROJECT_SOURCE_DIR}/windows-build/check.sh wine ${VOLUMES_WINDOWS_BUILD_DIR})
set_tests_properties(windows.wine PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_REQUIRED windows-modules RESOURCE_LOCK windows-build)
