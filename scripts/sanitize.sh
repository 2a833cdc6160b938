#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build directory of its own (first argument, default build-sanitized/)
# and runs the scripted suites there, under every interpreter (python2.7,
# python2.7-dbg, python3.11, python3.11-dbg).
# Installs what it needs first (the test profile of setup.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-sanitized}
step_prefix=sanitize
# shellcheck source=steps.sh
. "$root/scripts/steps.sh"

bash "$root/scripts/setup.sh" --test
step "configuring the sanitizer build in $build" \
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLUMES_SANITIZE=ON \
        -DVOLUMES_LINUX_PROVIDER=OFF
step "compiling the scripted trees under AddressSanitizer and UBSan (-j$(nproc))" \
  cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure --timeout 600 -j2 -R '^scripted\.'
