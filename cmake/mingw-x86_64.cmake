# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). The posix thread flavour is the one whose C++
# runtime is complete; its winpthread is linked statically (see
# windows-build/CMakeLists.txt), so the modules need no mingw DLL at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VOLUMES_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VOLUMES_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOLUMES_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VOLUMES_MINGW_TRIPLET}-windres)
set(CMAKE_AR /usr/bin/${VOLUMES_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${VOLUMES_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

# Headers and libraries come from the mingw sysroot only, never from the
# build machine's /usr/include or /usr/lib.
set(CMAKE_FIND_ROOT_PATH /usr/${VOLUMES_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
