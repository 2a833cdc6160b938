#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build directory of its own (first argument, default build-sanitized/)
# and runs the scripted suites there, under both interpreters.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-sanitized}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLUMES_SANITIZE=ON \
      -DVOLUMES_LINUX_PROVIDER=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
cd "$build"
ctest --output-on-failure --timeout 600 -j2 -R '^scripted(-dbg)?\.'
