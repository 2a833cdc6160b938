#!/usr/bin/env bash
# Runs the scripted suites under valgrind memcheck with the debug
# interpreter (built without optimisation, so CPython's own suppressions for
# its small-object allocator match their frames), and again with
# python3.11-dbg where its tree is built. Any error not suppressed fails the
# run. First argument: the build directory (default build/, as
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

# memcheck LABEL SUITE_NAME PYTHON TREE [valgrind options]: one suite under
# valgrind, its log and output named memcheck-LABELSUITE_NAME.{log,out};
# prints its error summary, or the errors and the suite's output.
memcheck() {
  local label=$1 name=$2 python=$3 tree=$4
  shift 4
  local log="$build/memcheck-$label$name.log" output="$build/memcheck-$label$name.out"
  if PYTHONPATH="$tree:$root/tests/python" \
     valgrind --error-exitcode=99 "$@" --num-callers=40 --fair-sched=yes \
              --log-file="$log" "$python" -B "$root/tests/python/$name.py" >"$output" 2>&1; then
    echo "$label$name: $(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log")"
  else
    echo "$label$name: FAILED (see $log and $output)"
    grep -A30 -m3 "^==[0-9]*== [A-Z][a-z]" "$log" || tail -20 "$log"
    # The suite's own failure, when valgrind found no error.
    tail -40 "$output"
    return 1
  fi
}

# python3.11-dbg is built for valgrind (its allocator hands small objects
# to malloc when it runs under valgrind): it needs no suppressions.
python3_tree=
if [ -x /usr/bin/python3.11-dbg ] && [ -d "$build/python3-scripted-dbg" ]; then
  python3_tree="$build/python3-scripted-dbg"
fi

status=0
for test_file in "$root"/tests/python/test_*.py; do
  name=$(basename "$test_file" .py)
  # Reference counting is measured by its own suite under the debug
  # interpreter; repeating its thousands of calls here adds nothing.
  [ "$name" = test_reference_leaks ] && continue
  memcheck "" "$name" /usr/bin/python2.7-dbg "$build/python-scripted-dbg" \
           --suppressions="$suppressions" || status=1
  if [ -n "$python3_tree" ]; then
    memcheck python3- "$name" /usr/bin/python3.11-dbg "$python3_tree" || status=1
  fi
done
exit $status
