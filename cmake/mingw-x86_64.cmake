# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). The posix thread flavour is the one whose C++
# runtime is complete; its winpthread is linked statically (see
# windows-build/CMakeLists.txt), so the modules need no mingw DLL at run time.
set(VOLUMES_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
