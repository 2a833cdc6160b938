#!/usr/bin/env bash
# Builds the 32-bit Windows modules (volumes.pyd, winwrap.pyd) and the Wine
# test program with mingw-w64 into build-windows/ (or the directory given).
# Needs what `scripts/setup.sh --test` installs. Prints the build directory last.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-windows}

cmake -S "$root/windows-build" -B "$build" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build "$build" -j"$(nproc)" >&2
echo "$build"
