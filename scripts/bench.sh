#!/usr/bin/env bash
# Sets up (the test profile of setup.sh), builds, and runs the benchmarks of windows.volumes with Python 2.7:
# the hot paths against a pure-Python version and a bare built-in call, the
# memory over many calls (release and debug interpreters), and the refresh
# on real tmpfs mounts (root only). Figures and ratios are printed; the exit
# status is 1 when a goal was missed.
#
#   bash scripts/bench.sh            # the default run (10^6 calls per memory case)
#   bash scripts/bench.sh --long     # the long run: 10^7 calls per memory case
#
# VOLUMES_BENCH_BASELINE=TREE names an importable tree of another build (e.g.
# build-old/python-linux of an earlier commit): its refresh is timed beside
# this one's at 10 and 100 mounts.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
memory_calls=1000000
if [ "${1:-}" = "--long" ]; then memory_calls=10000000; fi
build=$(VOLUMES_BUILD_DIR=${VOLUMES_BUILD_DIR:-$root/build} bash "$root/scripts/build.sh" --test | tail -n 1) || exit 1
bench=$root/bench
status=0

echo "== machine"
echo "nproc: $(nproc); CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //');" \
     "kernel: $(uname -r); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

echo "== hot paths (build/python-linux, release python2.7)"
PYTHONPATH="$build/python-linux:$bench" /usr/bin/python2.7 -B "$bench/bench_hotpaths.py" || status=1
echo

if [ -d "$build/python3-linux" ]; then
  echo "== hot paths (build/python3-linux, release python3.11, against the same logic in Python 3)"
  PYTHONPATH="$build/python3-linux:$bench" /usr/bin/python3.11 -B "$bench/bench_hotpaths.py" || status=1
  echo
fi

echo "== memory, debug interpreter (build/python-scripted-dbg, python2.7-dbg)"
PYTHONPATH="$build/python-scripted-dbg:$bench" /usr/bin/python2.7-dbg -B "$bench/bench_memory.py" \
  --calls "$memory_calls" || status=1
echo
echo "== memory, release interpreter (build/python-linux, python2.7)"
PYTHONPATH="$build/python-linux:$bench" /usr/bin/python2.7 -B "$bench/bench_memory.py" \
  --calls "$memory_calls" || status=1
echo

if [ -d "$build/python3-scripted-dbg" ]; then
  echo "== memory, debug interpreter (build/python3-scripted-dbg, python3.11-dbg)"
  PYTHONPATH="$build/python3-scripted-dbg:$bench" /usr/bin/python3.11-dbg -B "$bench/bench_memory.py" \
    --calls "$memory_calls" || status=1
  echo
fi
if [ -d "$build/python3-linux" ]; then
  echo "== memory, release interpreter (build/python3-linux, python3.11)"
  PYTHONPATH="$build/python3-linux:$bench" /usr/bin/python3.11 -B "$bench/bench_memory.py" \
    --calls "$memory_calls" || status=1
  echo
fi

echo "== refresh on real mounts (build/python-linux)"
baseline=()
if [ -n "${VOLUMES_BENCH_BASELINE:-}" ]; then baseline=(--baseline "$VOLUMES_BENCH_BASELINE"); fi
PYTHONPATH="$build/python-linux:$bench" /usr/bin/python2.7 -B "$bench/bench_refresh.py" \
  "${baseline[@]}" || status=1
if [ -d "$build/python3-linux" ]; then
  echo
  echo "== refresh on real mounts (build/python3-linux, python3.11)"
  PYTHONPATH="$build/python3-linux:$bench" /usr/bin/python3.11 -B "$bench/bench_refresh.py" || status=1
fi
exit $status
