# The build a wheel is made from (scikit-build-core runs it, pyproject.toml):
# the module over the Linux provider for one interpreter, the one that runs
# the build backend. find_package(Python) finds it from what the backend
# passes (Python_EXECUTABLE); nothing here names an interpreter's path or
# needs Python 2.7. No test programs and no Windows build.
find_package(Python 3 REQUIRED COMPONENTS Interpreter Development.Module)
include(${CMAKE_CURRENT_LIST_DIR}/PythonLayout.cmake)
volumes_python_layout(${Python_EXECUTABLE} PYTHON_WHEEL
                      "the headers of ${Python_EXECUTABLE} are missing (Debian: python3-dev)")
message(STATUS "Wheel for ${Python_EXECUTABLE} (Python ${Python_VERSION}, "
               "${PYTHON_WHEEL_EXT_SUFFIX})")

set(VOLUMES_PROVIDER_TESTS OFF)
add_subdirectory(${PROJECT_SOURCE_DIR}/oslayer/linux)
include(${CMAKE_CURRENT_LIST_DIR}/PythonTree.cmake)
volumes_python_tree(wheel PROVIDER kernel32_linux PYTHON wheel)
volumes_install_package(wheel COMPONENT package)
