# The wheels (scripts/wheels.sh) as a user gets them: built into
# ${CMAKE_BINARY_DIR}/dist, each installed into a fresh environment and
# used from there (tests/wheels/check.sh).
set(VOLUMES_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(VOLUMES_WHEEL_CHECK bash ${PROJECT_SOURCE_DIR}/tests/wheels/check.sh)
set(VOLUMES_PYTHON27_TARBALL /usr/local/share/volumes-windows/python2.7_2.7.18.orig.tar.gz)

# The win32 wheel takes the modules of windows.python2.7-win32.build's tree.
add_test(NAME wheels.build
         COMMAND ${VOLUMES_WHEEL_CHECK} build ${VOLUMES_DIST_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(wheels.build PROPERTIES
  TIMEOUT 900 FIXTURES_SETUP wheels FIXTURES_REQUIRED windows-modules RESOURCE_LOCK windows-build)

# The Linux ones run the suites that mount, so never beside another test.
add_test(NAME wheels.python3.11.install COMMAND ${VOLUMES_WHEEL_CHECK} python3 ${VOLUMES_DIST_DIR})
add_test(NAME wheels.python2.7.install
         COMMAND ${VOLUMES_WHEEL_CHECK} python27 ${VOLUMES_DIST_DIR} ${VOLUMES_PYTHON27_TARBALL})
set_tests_properties(wheels.python3.11.install wheels.python2.7.install PROPERTIES
  TIMEOUT 300 FIXTURES_REQUIRED wheels RUN_SERIAL TRUE)

add_test(NAME wheels.python2.7-win32.install
         COMMAND ${VOLUMES_WHEEL_CHECK} win32 ${VOLUMES_DIST_DIR} ${VOLUMES_PYTHON27_TARBALL}
                 ${VOLUMES_WINDOWS_BUILD_DIR} ${VOLUMES_WINDOWS_PYTHON_DIR})
set_tests_properties(wheels.python2.7-win32.install PROPERTIES
  TIMEOUT 900 RESOURCE_LOCK windows-build
  FIXTURES_REQUIRED "wheels;windows-interpreter;windows-modules;windows-wine-prefix")

add_test(NAME wheels.other-python3.install COMMAND ${VOLUMES_WHEEL_CHECK} other-python3 ${VOLUMES_DIST_DIR})
set_tests_properties(wheels.other-python3.install PROPERTIES
  TIMEOUT 300 FIXTURES_REQUIRED wheels SKIP_RETURN_CODE 77)

add_test(NAME wheels.python3.11.beside-common COMMAND ${VOLUMES_WHEEL_CHECK} beside-common ${VOLUMES_DIST_DIR})
add_test(NAME wheels.python3.11.without-python27
         COMMAND ${VOLUMES_WHEEL_CHECK} without-python27 ${VOLUMES_DIST_DIR})
set_tests_properties(wheels.python3.11.beside-common wheels.python3.11.without-python27 PROPERTIES
  TIMEOUT 600 FIXTURES_REQUIRED wheels)
