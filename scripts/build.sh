#!/usr/bin/env bash
# Sets up the machine (as root, see setup.sh) and builds into build/ (or
# $VOLUMES_BUILD_DIR). Prints the build directory on its last line; progress
# goes to stderr, one line per step (-v or VOLUMES_VERBOSE=1: everything).
#
#   build.sh [-v]          the module over this machine's volumes (the tree
#                          build/python-linux), after the main set-up
#   build.sh --test [-v]   everything: every tree, the tests' programs;
#                          after the test set-up
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VOLUMES_BUILD_DIR:-$root/build}
step_prefix=build
# shellcheck source=steps.sh
. "$root/scripts/steps.sh"
read_profile_options build.sh "$@"

if [ "$profile" = test ]; then
  bash "$root/scripts/setup.sh" --test
else
  bash "$root/scripts/setup.sh"
fi
step "configuring with CMake in $build" \
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$profile" = test ]; then
  step "compiling everything: the modules, providers and test programs (-j$(nproc))" \
    cmake --build "$build" -j"$(nproc)"
else
  step "compiling the module and the Linux provider (-j$(nproc))" \
    cmake --build "$build" -j"$(nproc)" --target tree-linux
fi
echo "$build"
