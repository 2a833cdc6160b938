# volumes_python_tree(NAME PROVIDER <target>
#                     PYTHON <release|debug|python3|python3-debug> [DIRECTORY <dir>])
#
# Lays out an importable tree in ${CMAKE_BINARY_DIR}/python-NAME (or DIR):
#   windows/__init__.py, windows/volumes<ext>, windows/winwrap<ext>,
#   the provider library beside them (found through $ORIGIN),
#   common/..., platforms/... (the pure-Python collaborators),
#   and, for the scripted provider, the control module scripted_system<ext>.
# Put that directory on sys.path (PYTHONPATH) to import windows.volumes.
# The target tree-NAME builds that tree alone (scripts/build.sh builds
# tree-linux for the volinfo command).

include(${CMAKE_CURRENT_LIST_DIR}/PurePython.cmake)

file(GLOB VOLUMES_MODULE_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/windows/volumes/*.cpp
     ${PROJECT_SOURCE_DIR}/windows/volume_queries/*.cpp)
file(GLOB WINWRAP_MODULE_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/windows/winwrap/*.cpp)
file(GLOB PYUTIL_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/pyutil/*.cpp)

# Each interpreter flavour and the prefix of the variables that describe it
# (cmake/Python27.cmake, cmake/Python3.cmake): <prefix>_INCLUDE_DIR and
# <prefix>_EXT_SUFFIX.
set(_VOLUMES_FLAVOUR_release PYTHON27)
set(_VOLUMES_FLAVOUR_debug PYTHON27_DBG)
set(_VOLUMES_FLAVOUR_python3 PYTHON3)
set(_VOLUMES_FLAVOUR_python3-debug PYTHON3_DBG)
set(_VOLUMES_FLAVOUR_wheel PYTHON_WHEEL)

function(_volumes_python_flavour flavour include_var suffix_var)
  set(prefix ${_VOLUMES_FLAVOUR_${flavour}})
  if(NOT prefix)
    message(FATAL_ERROR "unknown Python flavour ${flavour}")
  endif()
  set(${include_var} ${${prefix}_INCLUDE_DIR} PARENT_SCOPE)
  set(${suffix_var} ${${prefix}_EXT_SUFFIX} PARENT_SCOPE)
endfunction()

# The helpers shared by the extension modules, built once per interpreter
# flavour (the debug interpreter's objects have another layout).
function(_volumes_pyutil flavour)
  if(TARGET pyutil-${flavour})
    return()
  endif()
  _volumes_python_flavour(${flavour} include suffix)
  add_library(pyutil-${flavour} STATIC ${PYUTIL_SOURCES})
  target_include_directories(pyutil-${flavour} SYSTEM PUBLIC ${include})
  target_include_directories(pyutil-${flavour} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/oslayer)
  if(flavour STREQUAL "debug" OR flavour STREQUAL "python3-debug")
    # Debian's debug headers are links to the release ones, whose
    # "pyconfig.h" is found beside them; the debug configuration differs
    # from it by Py_DEBUG alone (and, in 3.11, by ALT_SOABI and
    # WITH_VALGRIND, which only the interpreter's own build reads).
    target_compile_definitions(pyutil-${flavour} PUBLIC Py_DEBUG)
  endif()
  target_compile_options(pyutil-${flavour} PRIVATE ${VOLUMES_WARNINGS})
endfunction()

function(_volumes_extension target tree_dir subdir output_name flavour provider)
  _volumes_python_flavour(${flavour} include suffix)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${output_name}
    SUFFIX ${suffix}
    LIBRARY_OUTPUT_DIRECTORY ${tree_dir}/${subdir}
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN"
    CXX_VISIBILITY_PRESET hidden)
  target_compile_options(${target} PRIVATE ${VOLUMES_WARNINGS})
  target_link_libraries(${target} PRIVATE pyutil-${flavour} ${provider})
endfunction()

function(volumes_python_tree name)
  cmake_parse_arguments(ARG "" "PROVIDER;PYTHON;DIRECTORY" "" ${ARGN})
  set(tree ${CMAKE_BINARY_DIR}/python-${name})
  if(ARG_DIRECTORY)
    set(tree ${CMAKE_BINARY_DIR}/${ARG_DIRECTORY})
  endif()
  _volumes_pyutil(${ARG_PYTHON})

  volumes_pure_python(${PROJECT_SOURCE_DIR} ${tree} tree-${name}-python)

  # The provider library sits beside the modules that load it.
  add_custom_target(tree-${name}-provider ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${tree}/windows
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${ARG_PROVIDER}> ${tree}/windows/
    DEPENDS ${ARG_PROVIDER})

  add_library(winwrap-${name} MODULE ${WINWRAP_MODULE_SOURCES})
  _volumes_extension(winwrap-${name} ${tree} windows winwrap ${ARG_PYTHON} ${ARG_PROVIDER})

  add_library(volumes-${name} MODULE ${VOLUMES_MODULE_SOURCES})
  _volumes_extension(volumes-${name} ${tree} windows volumes ${ARG_PYTHON} ${ARG_PROVIDER})
  target_include_directories(volumes-${name} PRIVATE ${PROJECT_SOURCE_DIR}/windows)

  if(ARG_PROVIDER STREQUAL "kernel32_scripted")
    add_library(scripted_system-${name} MODULE ${PROJECT_SOURCE_DIR}/oslayer/scripted/scripted_system_module.cpp
                                               ${PROJECT_SOURCE_DIR}/oslayer/scripted/allocation_limit.cpp)
    _volumes_extension(scripted_system-${name} ${tree} . scripted_system ${ARG_PYTHON} ${ARG_PROVIDER})
    set_target_properties(scripted_system-${name} PROPERTIES BUILD_RPATH "$ORIGIN/windows")
  endif()
  add_custom_target(tree-${name})
  add_dependencies(tree-${name} tree-${name}-python tree-${name}-provider winwrap-${name} volumes-${name})
  if(TARGET scripted_system-${name})
    add_dependencies(tree-${name} scripted_system-${name})
  endif()
  set(VOLUMES_TREE_${name} ${tree} PARENT_SCOPE)
  set_property(GLOBAL PROPERTY VOLUMES_TREE_PROVIDER_${name} ${ARG_PROVIDER})
endfunction()

# volumes_install_package(NAME COMPONENT <component>)
#
# What a wheel of tree NAME holds, as install rules of COMPONENT: the package
# windows/ with the two modules, the provider library they load (by its
# SONAME, found through RUNPATH $ORIGIN: no build path is kept), the
# package's __init__.py and the type stubs. The application's collaborators
# (common/, platforms/) are not part of it.
function(volumes_install_package name)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  get_property(provider GLOBAL PROPERTY VOLUMES_TREE_PROVIDER_${name})
  install(TARGETS volumes-${name} winwrap-${name}
          LIBRARY DESTINATION windows COMPONENT ${ARG_COMPONENT})
  install(TARGETS ${provider}
          LIBRARY DESTINATION windows COMPONENT ${ARG_COMPONENT} NAMELINK_SKIP)
  install(FILES ${PROJECT_SOURCE_DIR}/windows/__init__.py
                ${PROJECT_SOURCE_DIR}/windows/volumes.pyi
                ${PROJECT_SOURCE_DIR}/windows/winwrap.pyi
                ${PROJECT_SOURCE_DIR}/windows/py.typed
          DESTINATION windows COMPONENT ${ARG_COMPONENT})
endfunction()
