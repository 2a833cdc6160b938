#!/usr/bin/env bash
# Builds the Windows modules (volumes.pyd, winwrap.pyd, the scripted tree)
# and the Wine test program with mingw-w64:
#
#   build.sh [BUILD_DIR]                  32-bit, for CPython 2.7 (build-windows/)
#   build.sh BUILD_DIR 311 PYTHON_HOME    64-bit, for the CPython 3.11 that
#                                         interpreter311/build.sh made in PYTHON_HOME
#
# Needs what `scripts/setup.sh --test` installs. Prints the build directory last.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-windows}
python=${2:-27}
case "$python" in
  27) options=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake") ;;
  311)
    home=${3:?usage: build.sh BUILD_DIR 311 PYTHON_HOME}
    options=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" -DVOLUMES_WINDOWS_PYTHON_HOME="$home")
    ;;
  *) echo "usage: build.sh [BUILD_DIR [27 | 311 PYTHON_HOME]]" >&2; exit 2 ;;
esac

cmake -S "$root/windows-build" -B "$build" "${options[@]}" -DVOLUMES_WINDOWS_PYTHON="$python" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build "$build" -j"$(nproc)" >&2
echo "$build"
