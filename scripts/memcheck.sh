#!/usr/bin/env bash
# Runs the scripted suites under valgrind memcheck with the debug
# interpreters: python2.7-dbg (built without optimisation, so CPython's own
# suppressions for its small-object allocator match their frames) and
# python3.11-dbg where its tree is built. Any error not suppressed fails the
# run.
#
#   memcheck.sh [BUILD [INTERPRETER [SUITE...]]]
#
# BUILD is the build directory (default build/, as `scripts/build.sh --test`
# leaves it); INTERPRETER is python2.7-dbg or python3.11-dbg (default: both,
# one after the other); SUITEs are names such as test_bad_input (default:
# every scripted suite). The suites of one run share one interpreter start
# under valgrind (tests/run_suite.py runs them one after another, each in a
# restored state): valgrind's start-up costs more than most suites, and CTest
# runs several of these groups side by side. Installs what it needs first
# (the test profile of setup.sh: valgrind, the debug interpreters, CPython's
# suppressions).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
interpreters=${2:-}
shift $(( $# < 2 ? $# : 2 ))
bash "$root/scripts/setup.sh" --test
python_source=/usr/local/share/volumes-windows/Python-2.7.18
supp_source="$python_source/Misc/valgrind-python.supp"

suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
  for test_file in "$root"/tests/python/test_*.py; do
    name=$(basename "$test_file" .py)
    # Reference counting is measured by its own suite under the debug
    # interpreter; repeating its thousands of calls here adds nothing.
    [ "$name" = test_reference_leaks ] && continue
    suites+=("$name")
  done
fi
suite_files=()
for name in "${suites[@]}"; do suite_files+=("$root/tests/python/$name.py"); done

if [ -z "$interpreters" ]; then
  interpreters=python2.7-dbg
  [ -d "$build/python3-scripted-dbg" ] && interpreters="$interpreters python3.11-dbg"
fi

# The suppressions for python2.7-dbg: the allocator's checks are commented
# out in CPython's file for interpreters built without pymalloc; Debian's has
# it, so they are switched on. Written under a name of this run and renamed,
# so that runs side by side never read a half-written file.
python27_suppressions() {
  if [ ! -f "$supp_source" ]; then
    echo "memcheck: CPython's suppressions are missing ($supp_source): run scripts/setup.sh --test as root" >&2
    return 1
  fi
  local suppressions="$build/valgrind-python.supp"
  sed -e '/^###{/,/^###}/ s/^###//' "$supp_source" > "$suppressions.$$"
  mv -f "$suppressions.$$" "$suppressions"
  echo "$suppressions"
}

# memcheck INTERPRETER: the suites under valgrind in one process of
# INTERPRETER; its log and output named memcheck-INTERPRETER-GROUP.{log,out}
# (GROUP: the suite's name when there is one, else "suites"); prints each
# suite's counts and the error summaries, or the errors and the output.
memcheck() {
  local interpreter=$1 tree options=()
  case "$interpreter" in
    python2.7-dbg)
      tree="$build/python-scripted-dbg"
      options=(--suppressions="$(python27_suppressions)") ;;
    # python3.11-dbg is built for valgrind (its allocator hands small
    # objects to malloc when it runs under valgrind): no suppressions.
    python3.11-dbg) tree="$build/python3-scripted-dbg" ;;
    *) echo "memcheck: unknown interpreter $interpreter" >&2; return 1 ;;
  esac
  if [ ! -d "$tree" ]; then
    echo "memcheck: $tree is missing: run scripts/build.sh --test first" >&2
    return 1
  fi
  local group=suites
  [ ${#suites[@]} -eq 1 ] && group=${suites[0]}
  local stem="$build/memcheck-$interpreter-$group"
  rm -rf "$stem.results"
  mkdir -p "$stem.results"
  # valgrind writes one summary per process (the suites' own children too,
  # which it does not trace), so the log holds one per process.
  if PYTHONPATH="$tree:$root/tests/python" \
     valgrind --error-exitcode=99 "${options[@]}" --num-callers=40 --fair-sched=yes \
              --log-file="$stem.log" "/usr/bin/$interpreter" -B "$root/tests/run_suite.py" \
              --results-dir "$stem.results" "${suite_files[@]}" >"$stem.out" 2>&1; then
    grep -E '^  (ok|FAILED) ' "$stem.out" | sed "s/^ /$interpreter:/"
    echo "$interpreter: $(grep -o 'ERROR SUMMARY: [0-9]* errors' "$stem.log" | sort | uniq -c | tr -s ' ' | paste -sd';')"
  else
    echo "$interpreter ${suites[*]}: FAILED (see $stem.log and $stem.out)"
    grep -A30 -m3 "^==[0-9]*== [A-Z][a-z]" "$stem.log" || tail -20 "$stem.log"
    # The suites' own failures, when valgrind found no error.
    tail -40 "$stem.out"
    return 1
  fi
}

status=0
for interpreter in $interpreters; do
  memcheck "$interpreter" || status=1
done
exit $status
