#!/usr/bin/env bash
# Sets up the machine (as root, see setup.sh) and builds into build/ (or
# $VOLUMES_BUILD_DIR). Prints the build directory on its last line; progress
# goes to stderr, one line per step (-v or VOLUMES_VERBOSE=1: everything).
#
#   build.sh [-v]          the module over this machine's volumes (the tree
#                          build/python-linux), after the main set-up
#   build.sh --test [-v]   everything: every tree, the tests' programs;
#                          after the test set-up
#
# --if-configured: configure only where the build directory has not been
# configured by this script yet, or the set-up has installed something since
# (dpkg's status, or the Wine root's stamp, is newer than the stamp each
# configure leaves in the build directory); with --test, and nothing of the
# source tree, CMake's cache, dpkg's status or the Wine root newer than the
# start of the last complete build of everything, not even the build's own
# check runs (for a Makefile tree, that alone takes 5 to 20 s).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VOLUMES_BUILD_DIR:-$root/build}
step_prefix=build
# shellcheck source=steps.sh
. "$root/scripts/steps.sh"
# shellcheck source=wine-root-place.sh
. "$root/scripts/wine-root-place.sh"
if_configured=0
profile_options=()
for argument in "$@"; do
  case $argument in
    --if-configured) if_configured=1 ;;
    *) profile_options+=("$argument") ;;
  esac
done
read_profile_options build.sh ${profile_options[@]+"${profile_options[@]}"}

if [ "$profile" = test ]; then
  bash "$root/scripts/setup.sh" --test
else
  bash "$root/scripts/setup.sh"
fi

# Left by each configure (CMake rewrites its cache only when it changes).
configured_stamp=$build/volumes-configured.stamp
# True when the build directory was configured after the set-up last
# changed this machine.
configured_since_setup() {
  local input
  [ -f "$build/CMakeCache.txt" ] && [ -f "$configured_stamp" ] || return 1
  for input in /var/lib/dpkg/status "$wine_root_stamp"; do
    [ ! -e "$input" ] || [ "$configured_stamp" -nt "$input" ] || return 1
  done
}
# Its time is the start of the last complete build of everything.
built_stamp=$build/volumes-built.stamp
# True when nothing a build reads has changed since that start: no file of
# the source tree (but what .gitignore leaves out), CMake's cache, dpkg's
# status or the Wine root.
built_since_stamp() {
  local input newer
  [ -f "$built_stamp" ] || return 1
  for input in "$build/CMakeCache.txt" /var/lib/dpkg/status "$wine_root_stamp"; do
    [ ! -e "$input" ] || [ "$built_stamp" -nt "$input" ] || return 1
  done
  newer=$(find "$root" \( -name .git -o -path "$build" -o -path "$root/build" -o -path "$root/build-*" \
                -o -path "$root/dist" -o -path "$root/venv" -o -name '*.pyc' \) -prune \
               -o -newer "$built_stamp" -print -quit)
  [ -z "$newer" ]
}

if [ "$if_configured" = 1 ] && [ "$profile" = test ] && configured_since_setup && built_since_stamp; then
  say "built already in $build: nothing it reads changed since the last build"
  echo "$build"
  exit 0
fi
if [ "$if_configured" = 1 ] && configured_since_setup; then
  say "configured already in $build (CMake configures again where a CMake file changed)"
else
  step "configuring with CMake in $build" \
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  touch "$configured_stamp"
fi
if [ "$profile" = test ]; then
  # Taken before the build, so that a file changed while it runs is newer.
  rm -f "$built_stamp"
  touch "$built_stamp.partial"
  step "compiling everything: the modules, providers and test programs (-j$(nproc))" \
    cmake --build "$build" -j"$(nproc)"
  mv "$built_stamp.partial" "$built_stamp"
else
  step "compiling the module and the Linux provider (-j$(nproc))" \
    cmake --build "$build" -j"$(nproc)" --target tree-linux
fi
echo "$build"
