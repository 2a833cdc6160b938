#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UBSan) and
# runs each over its seed corpus for SECONDS (default 20; the longer profile
# in the README uses 600). New inputs found go to a scratch corpus, never to
# the seeds in the repository; a crash fails the run and leaves its input in
# the build directory.
#
#   fuzz.sh [SECONDS [BUILD [TARGET...]]]   build, then run the TARGETs (default: all)
#   fuzz.sh --build-only [BUILD]            build only
#   fuzz.sh --run-only SECONDS BUILD TARGET...   run targets built before
#
# CTest builds once and then runs the targets as tests of their own, side
# by side. Installs what it needs first (the test profile of setup.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=all
case "${1:-}" in
  --build-only) mode=build; shift; set -- 0 "$@" ;;
  --run-only) mode=run; shift ;;
esac
seconds=${1:-20}
build=${2:-$root/build-fuzz}
shift $(( $# < 2 ? $# : 2 ))
step_prefix=fuzz
# shellcheck source=steps.sh
. "$root/scripts/steps.sh"

if [ "$mode" != run ]; then
  bash "$root/scripts/setup.sh" --test
  step "configuring the fuzz targets (clang) in $build" \
    cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
  step "compiling the fuzz targets (-j$(nproc))" cmake --build "$build" -j"$(nproc)"
fi
[ "$mode" = build ] && exit 0

targets=()
if [ $# -gt 0 ]; then
  for name in "$@"; do targets+=("$build/$name"); done
else
  targets=("$build"/fuzz_*)
fi
status=0
for target in "${targets[@]}"; do
  if [ ! -x "$target" ]; then
    # A named target that was not built is a failure, not a quiet skip.
    [ $# -gt 0 ] && { echo "fuzz: $target was not built" >&2; status=1; }
    continue
  fi
  name=$(basename "$target")
  seeds="$root/fuzz/corpus/${name#fuzz_}"
  scratch="$build/corpus/${name#fuzz_}"
  mkdir -p "$scratch"
  asan_options=""
  # The interpreter embedded in this target keeps its own allocations to the
  # end of the process; they are not leaks of ours.
  [ "$name" = fuzz_system_text ] && asan_options="detect_leaks=0"
  echo "== $name: $seconds s"
  if ! (cd "$build" && ASAN_OPTIONS="$asan_options" "$target" -max_total_time="$seconds" -print_final_stats=1 \
          -artifact_prefix="$build/crash-$name-" "$scratch" "$seeds" 2>&1 \
        | grep -E "^(stat::number_of_executed_units|stat::new_units_added|==.*ERROR|SUMMARY|INFO: Running with)"); then
    :
  fi
  if compgen -G "$build/crash-$name-*" >/dev/null; then
    echo "$name: crash inputs in $build" >&2
    status=1
  fi
done
exit $status
