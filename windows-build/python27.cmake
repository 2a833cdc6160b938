# The modules for 32-bit CPython 2.7 (included by CMakeLists.txt).
#
# CPython 2.7.18's headers as unpacked from Debian's source package by
# scripts/setup.sh: Include/ and the Windows configuration PC/pyconfig.h.
set(VOLUMES_CPYTHON_SOURCE /usr/local/share/volumes-windows/Python-2.7.18
    CACHE PATH "CPython 2.7.18 source tree holding Include/ and PC/pyconfig.h")
if(NOT EXISTS ${VOLUMES_CPYTHON_SOURCE}/Include/Python.h
   OR NOT EXISTS ${VOLUMES_CPYTHON_SOURCE}/PC/pyconfig.h)
  message(FATAL_ERROR "CPython 2.7.18 headers missing in ${VOLUMES_CPYTHON_SOURCE}: run scripts/setup.sh as root")
endif()
# PC/ first: its pyconfig.h is the Windows one. Under GCC it takes its
# `__GNUC__ && _WIN32` branch (PY_LONG_LONG is long long) and defines
# MS_WIN32, MS_WINDOWS, Py_ENABLE_SHARED and HAVE_DECLSPEC_DLL itself, so
# the API is declared __declspec(dllimport) and no extra defines are needed.
set(VOLUMES_PYTHON_INCLUDE ${VOLUMES_CPYTHON_SOURCE}/PC ${VOLUMES_CPYTHON_SOURCE}/Include)
set(VOLUMES_PYTHON_DLL python27.dll)
set(VOLUMES_MODULE_INIT_PREFIX init)
# The modules use msvcrt.dll, mingw-w64's default C runtime.
set(VOLUMES_PYTHON_COMPILE_OPTIONS)
set(VOLUMES_PYTHON_LINK_OPTIONS)

# The import library of python27.dll, made from what the objects
# (VOLUMES_ALL_OBJECTS) import: the MSVC-built DLL has no mingw one.
macro(volumes_python_import_library)
  set(PYTHON27_DEF ${CMAKE_CURRENT_BINARY_DIR}/python27.def)
  set(VOLUMES_PYTHON_IMPORT_LIBRARY ${CMAKE_CURRENT_BINARY_DIR}/libpython27.a)
  set(include_arguments)
  foreach(directory ${VOLUMES_PYTHON_INCLUDE})
    list(APPEND include_arguments --include ${directory})
  endforeach()
  add_custom_command(
    OUTPUT ${PYTHON27_DEF} ${VOLUMES_PYTHON_IMPORT_LIBRARY}
    COMMAND ${VOLUMES_HOST_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/python27_imports.py def
            --cxx ${CMAKE_CXX_COMPILER} --nm ${VOLUMES_MINGW_NM} ${include_arguments}
            --output ${PYTHON27_DEF} ${VOLUMES_ALL_OBJECTS}
    COMMAND ${VOLUMES_MINGW_DLLTOOL} --input-def ${PYTHON27_DEF} --dllname python27.dll
            --output-lib ${VOLUMES_PYTHON_IMPORT_LIBRARY}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/python27_imports.py ${VOLUMES_ALL_OBJECTS}
    COMMAND_EXPAND_LISTS
    COMMENT "Import library of python27.dll from the modules' imports")
  add_custom_target(python-import-library DEPENDS ${VOLUMES_PYTHON_IMPORT_LIBRARY})
  # The objects are made by their own targets: build those first (a
  # file-level dependency alone does not order targets in a parallel build).
  add_dependencies(python-import-library pyutil-objects volumes-objects winwrap-objects
                   scripted-system-objects)
endmacro()

# A stand-in python27.dll in DIRECTORY that exports the names the modules
# import, for the loader test.
function(volumes_loader_python_dll directory)
  set(stub_source ${CMAKE_CURRENT_BINARY_DIR}/python27_stand_in.cpp)
  add_custom_command(
    OUTPUT ${stub_source}
    COMMAND ${VOLUMES_HOST_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/python27_imports.py stub
            --def ${PYTHON27_DEF} --output ${stub_source}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/python27_imports.py ${PYTHON27_DEF}
    COMMENT "Stand-in python27.dll for the loader test")
  add_library(loader-python-dll SHARED ${stub_source})
  set_target_properties(loader-python-dll PROPERTIES PREFIX "" OUTPUT_NAME python27
                                                     RUNTIME_OUTPUT_DIRECTORY ${directory})
  target_link_options(loader-python-dll PRIVATE ${VOLUMES_STATIC_RUNTIME})
  add_dependencies(loader-python-dll python-import-library)
endfunction()
