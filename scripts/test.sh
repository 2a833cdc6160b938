#!/usr/bin/env bash
# Sets up, builds, and runs every test suite through CTest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(bash "$root/scripts/build.sh" | tail -n 1)
cd "$build"
# Counts of the Python suites from this run only.
rm -f suite-results/*/*.txt
status=0
ctest --output-on-failure --timeout 600 -j2 "$@" || status=$?
echo
python2.7 "$root/tests/suite_counts.py" suite-results
exit "$status"
