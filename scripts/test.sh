#!/usr/bin/env bash
# Sets up, builds, and runs every test suite through CTest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(bash "$root/scripts/build.sh" | tail -n 1)
cd "$build"
ctest --output-on-failure --timeout 600 -j2 "$@"
