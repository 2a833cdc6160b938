#!/usr/bin/env bash
# Sets up (the test profile of setup.sh), builds, and runs every test suite
# through CTest. Arguments go to ctest (e.g. -R '^linux\.'); VOLUMES_VERBOSE=1
# shows the set-up's and the build's own output.
#
# A whole run (no arguments) in which the Windows suites did not run fails,
# its last line saying why: nothing passes untested on Windows.
#
# With arguments, a build directory configured since the set-up last changed
# the machine is not configured again, nor built when nothing it reads
# changed since its last complete build (build.sh --if-configured): the
# set-up's check takes seconds, then CTest runs; whatever is missing or
# stale is still installed, configured or built first.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "$#" -gt 0 ]; then
  build=$(bash "$root/scripts/build.sh" --test --if-configured | tail -n 1)
else
  build=$(bash "$root/scripts/build.sh" --test | tail -n 1)
fi
cd "$build"
# Counts of the Python suites, and CTest's list of failed tests, from this
# run only.
rm -f suite-results/*/*.txt suite-results/*/*.partial suite-results/wine-starts.txt \
      Testing/Temporary/LastTestsFailed*.log
status=0
ctest --output-on-failure --timeout 600 -j2 "$@" || status=$?
echo
summary=(--ctest-failed Testing/Temporary/LastTestsFailed.log)
[ "$#" -gt 0 ] || summary+=(--require-windows)
python2.7 "$root/tests/suite_counts.py" suite-results "${summary[@]}" || { [ "$status" != 0 ] || status=1; }
exit "$status"
