#!/usr/bin/env bash
# Runs the scripted suites under valgrind memcheck with the debug
# interpreter (built without optimisation, so CPython's own suppressions for
# its small-object allocator match their frames). Any error not suppressed
# fails the run. First argument: the build directory (default build/, as
# `scripts/build.sh --test` leaves it). Installs what it needs first (the
# test profile of setup.sh: valgrind, python2.7-dbg, CPython's suppressions).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/setup.sh" --test
python_source=/usr/local/share/volumes-windows/Python-2.7.18
supp_source="$python_source/Misc/valgrind-python.supp"
if [ ! -f "$supp_source" ]; then
  echo "memcheck: CPython's suppressions are missing ($supp_source): run scripts/setup.sh --test as root" >&2
  exit 1
fi
if [ ! -d "$build/python-scripted-dbg" ]; then
  echo "memcheck: $build/python-scripted-dbg is missing: run scripts/build.sh --test first" >&2
  exit 1
fi
# The allocator's checks are commented out in the file for interpreters
# built without pymalloc; Debian's has it, so they are switched on.
suppressions="$build/valgrind-python.supp"
sed -e '/^###{/,/^###}/ s/^###//' "$supp_source" > "$suppressions"

status=0
for test_file in "$root"/tests/python/test_*.py; do
  name=$(basename "$test_file" .py)
  # Reference counting is measured by its own suite under the debug
  # interpreter; repeating its thousands of calls here adds nothing.
  [ "$name" = test_reference_leaks ] && continue
  log="$build/memcheck-$name.log"
  output="$build/memcheck-$name.out"
  if PYTHONPATH="$build/python-scripted-dbg:$root/tests/python" \
     valgrind --error-exitcode=99 --suppressions="$suppressions" --num-callers=40 --fair-sched=yes \
              --log-file="$log" /usr/bin/python2.7-dbg -B "$test_file" >"$output" 2>&1; then
    echo "$name: $(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log")"
  else
    echo "$name: FAILED (see $log and $output)"
    grep -A30 -m3 "^==[0-9]*== [A-Z][a-z]" "$log" || tail -20 "$log"
    # The suite's own failure, when valgrind found no error.
    tail -40 "$output"
    status=1
  fi
done
exit $status
