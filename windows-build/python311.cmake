# The modules for 64-bit CPython 3.11 (included by CMakeLists.txt), built
# against the interpreter that windows-build/interpreter311/build.sh makes
# (VOLUMES_WINDOWS_PYTHON_HOME): its include/ (with the pyconfig.h that
# says MS_WIN64 under GCC), libs/libpython311.dll.a and ucrt.specs.
set(VOLUMES_WINDOWS_PYTHON_HOME "" CACHE PATH "The Windows CPython 3.11 build the modules are for")
foreach(needed include/Python.h include/pyconfig.h libs/libpython311.dll.a ucrt.specs ucrt_setjmp.o
               python311.dll)
  if(NOT EXISTS ${VOLUMES_WINDOWS_PYTHON_HOME}/${needed})
    message(FATAL_ERROR "${VOLUMES_WINDOWS_PYTHON_HOME}/${needed} is missing: set VOLUMES_WINDOWS_PYTHON_HOME "
                        "to the output of windows-build/interpreter311/build.sh")
  endif()
endforeach()
set(VOLUMES_PYTHON_INCLUDE ${VOLUMES_WINDOWS_PYTHON_HOME}/include)
set(VOLUMES_PYTHON_DLL python311.dll)
set(VOLUMES_MODULE_INIT_PREFIX PyInit_)
# The interpreter runs on the universal CRT (ucrtbase through the
# api-ms-win-crt-* DLLs), as the official build does: the modules use the
# same one, through the specs that make mingw-w64 link it instead of
# msvcrt.dll.
set(VOLUMES_PYTHON_COMPILE_OPTIONS -specs=${VOLUMES_WINDOWS_PYTHON_HOME}/ucrt.specs)
# The C++ runtime is linked in (-static) and with it winpthread, which was
# built for msvcrt.dll and calls _setjmp; the universal CRT has none, so
# the interpreter's build provides it (ucrt_setjmp.o) for its extensions.
set(VOLUMES_PYTHON_LINK_OPTIONS -specs=${VOLUMES_WINDOWS_PYTHON_HOME}/ucrt.specs
                                ${VOLUMES_WINDOWS_PYTHON_HOME}/ucrt_setjmp.o -Wl,--exclude-symbols,_setjmp)

macro(volumes_python_import_library)
  set(VOLUMES_PYTHON_IMPORT_LIBRARY ${VOLUMES_WINDOWS_PYTHON_HOME}/libs/libpython311.dll.a)
  add_custom_target(python-import-library)
endmacro()

# python311.dll itself beside the loader test: loading it runs no Python.
function(volumes_loader_python_dll directory)
  add_custom_target(loader-python-dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${directory}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VOLUMES_WINDOWS_PYTHON_HOME}/python311.dll ${directory}/)
endfunction()
