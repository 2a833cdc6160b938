#!/usr/bin/env bash
# Sets up the machine (as root) and builds everything into build/ (or
# $VOLUMES_BUILD_DIR). Prints the build directory on its last line.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VOLUMES_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build "$build" -j"$(nproc)" >&2
echo "$build"
