# What both Windows toolchain files share (mingw-i686.cmake and
# mingw-x86_64.cmake set VOLUMES_MINGW_TRIPLET, then include this).
set(CMAKE_SYSTEM_NAME Windows)
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
