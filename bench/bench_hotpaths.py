"""Times the hot paths of windows.volumes side by side with a pure-Python
implementation of the same behaviour (purepy_volumes) and with the floor of
a bare built-in call, len(x), in timeit loops (best of several repeats).

Run with the tree of the Linux provider on sys.path (scripts/bench.sh does,
for python2.7 over build/python-linux and python3.11 over build/python3-linux):
  python2.7 bench/bench_hotpaths.py [--number N] [--repeat R]

Goals checked (and printed as met/MISSED): each hot path at least 3x faster
than its pure-Python version; FindVolumeID and cached IsFAT within 3x of the
bare built-in call.
"""

from __future__ import print_function

import argparse
import os
import re
import subprocess
import sys
import timeit

import windows.volumes as volumes

import purepy_volumes

NS = {}  # the objects each timed statement sees as local names


class Handle(object):
  """A PyHANDLE look-alike: .handle is an open descriptor. Counts reads of
  .handle, so the benchmark can prove IsFAT answered from its cache."""

  def __init__(self, fd):
    self._fd = fd
    self.reads = 0

  @property
  def handle(self):
    self.reads += 1
    return self._fd


def MakeTimer(stmt, names):
  setup = "import __main__ as _m\n" + "\n".join(
      "%s = _m.NS[%r]" % (name, name) for name in names)
  return timeit.Timer(stmt, setup)


def PerCall(stmt, names, number, repeat):
  """Seconds per execution of stmt: best of `repeat` timeit runs."""
  return min(MakeTimer(stmt, names).repeat(repeat, number)) / float(number)


def InterleavedPerCall(statements, number, repeat):
  """Seconds per execution of each (stmt, names): best of `repeat` rounds,
  each round timing every statement once in turn, so that a change of load
  on the machine falls on all of them alike."""
  timers = [MakeTimer(stmt, names) for stmt, names in statements]
  best = [float("inf")] * len(timers)
  for _ in range(repeat):
    for index, timer in enumerate(timers):
      best[index] = min(best[index], timer.timeit(number))
  return [seconds / float(number) for seconds in best]


def Ns(seconds):
  return "%7.1f ns" % (seconds * 1e9)


CASES = [
    # key, title, native statement, pure-Python statement, names, floor goal
    ("find", "FindVolumeID(stat_result)", "NF(st)", "PF(st)", ["st"], True),
    ("isfat", "IsFAT(serial, handle) cached", "NI(d, h)", "PI(d, h)", ["d", "h"], True),
    ("entry", "GetVolumeEntryForVolumeID(id)", "ns.GetVolumeEntryForVolumeID(v)",
     "ps.GetVolumeEntryForVolumeID(v)", ["v"], False),
    ("all", "AllVolumeEntries() loaded", "ns.AllVolumeEntries()", "ps.AllVolumeEntries()", [],
     False),
]
REFERENCES = {"empty": ("pass", []), "len": ("len(x)", ["x"])}


def Statement(key, variant):
  """(statement, names) of one case: variant 'native' or 'pure', or a
  reference key ('empty', 'len') with variant None."""
  if key in REFERENCES:
    return REFERENCES[key]
  for case_key, _, native_stmt, pure_stmt, names, _ in CASES:
    if case_key == key:
      stmt = native_stmt if variant == "native" else pure_stmt
      return stmt, names + [stmt[:2]]
  raise KeyError(key)


def Setup(path):
  """Loads the native table and both FAT caches; fills NS. Returns what the
  report prints about the set-up."""
  st = os.stat(path)
  fd = os.open(path, os.O_RDONLY)
  handle = Handle(fd)
  service = volumes.VolumeInfo()
  table = service.AllVolumeEntries(True)
  volume_id = volumes.FindVolumeID(st)
  assert volume_id == purepy_volumes.FindVolumeID(st) == "serial:%s" % st.st_dev
  pure_service = purepy_volumes.VolumeInfo(table)
  # Seed both FAT caches with one real query each.
  native_fat = volumes.IsFAT(st.st_dev, handle)
  pure_fat = purepy_volumes.IsFAT(st.st_dev, handle)
  assert native_fat == pure_fat, (native_fat, pure_fat)
  assert handle.reads == 2, "the first IsFAT calls did not query the handle"
  assert service.GetVolumeEntryForVolumeID(volume_id) is \
      pure_service.GetVolumeEntryForVolumeID(volume_id)
  assert service.AllVolumeEntries() == pure_service.AllVolumeEntries()
  NS.update(x="serial:%s" % st.st_dev, st=st, d=st.st_dev, h=handle, v=volume_id,
            NF=volumes.FindVolumeID, PF=purepy_volumes.FindVolumeID,
            NI=volumes.IsFAT, PI=purepy_volumes.IsFAT,
            ns=service, ps=pure_service)
  return st, volume_id, table, handle


def InstructionsPerCall(key, variant, count, path):
  """Instructions per execution under callgrind: the difference of two runs
  of `count` and 2*`count` executions, so start-up cancels out."""
  totals = []
  for number in (count, 2 * count):
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               sys.executable, "-B", os.path.abspath(__file__), "--path", path,
               "--single", key, variant or "-", str(number)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = process.communicate()
    err = err.decode("utf-8", "replace")
    match = re.search(r"Collected : (\d+)", err)
    if process.returncode != 0 or not match:
      raise RuntimeError("callgrind run failed: %s\n%s" % (" ".join(command), err[-2000:]))
    totals.append(int(match.group(1)))
  return (totals[1] - totals[0]) / float(count)


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument("--number", type=int, default=1000000,
                      help="calls per timeit run (default 10^6)")
  parser.add_argument("--repeat", type=int, default=7,
                      help="timeit runs; the best is kept (default 7)")
  parser.add_argument("--path", default="/", help="file whose volume is used")
  parser.add_argument("--callgrind", type=int, default=20000, metavar="N",
                      help="also count instructions per call under callgrind with N and 2N "
                      "calls (0: skip; default 20000)")
  parser.add_argument("--single", nargs=3, metavar=("CASE", "VARIANT", "N"),
                      help=argparse.SUPPRESS)
  options = parser.parse_args()

  st, volume_id, table, handle = Setup(options.path)
  if options.single:
    key, variant, number = options.single
    stmt, names = Statement(key, None if variant == "-" else variant)
    PerCall(stmt, names, int(number), 1)
    return 0

  n, r = options.number, options.repeat
  print("windows.volumes hot paths: %d calls per timeit run, best of %d interleaved rounds"
        % (n, r))
  print("  python %s, volume of %s = %s (st_dev %s), table of %d volumes" % (
      sys.version.split()[0], options.path, volume_id, type(st.st_dev).__name__, len(table)))
  statements = [REFERENCES["empty"], REFERENCES["len"]]
  for key in [case[0] for case in CASES]:
    statements += [Statement(key, "native"), Statement(key, "pure")]
  timings = InterleavedPerCall(statements, n, r)
  empty, floor = timings[0], timings[1]
  print("  %-34s %s" % ("empty loop (for reference)", Ns(empty)))
  print("  %-34s %s" % ("floor: len(x)", Ns(floor)))
  print()
  print("  %-34s %10s %10s %9s %9s  %s" % ("hot path (time per call)", "native", "pure-Py",
                                           "speed-up", "vs len()", "goals"))
  all_met = True
  for index, (key, title, _, _, _, floor_goal) in enumerate(CASES):
    native, pure = timings[2 + 2 * index], timings[3 + 2 * index]
    speedup = pure / native
    vs_floor = native / floor
    verdict = ">=3x pure: %s" % ("met" if speedup >= 3 else "MISSED")
    if floor_goal:
      verdict += "; <=3x len: %s" % ("met" if vs_floor <= 3 else "MISSED")
      all_met &= vs_floor <= 3
    all_met &= speedup >= 3
    print("  %-34s %s %s %8.2fx %8.2fx  %s" % (title, Ns(native), Ns(pure), speedup,
                                               vs_floor, verdict))
  assert handle.reads == 2, "a timed IsFAT call queried the handle: not the cached path"
  print()
  print("hot path goals (time): %s" % ("all met" if all_met else "SOME MISSED"))

  if options.callgrind:
    print()
    print("instructions per call under callgrind (Ir of %d and %d calls, difference / %d;"
          " independent of machine load):" % (options.callgrind, 2 * options.callgrind,
                                              options.callgrind))
    count = options.callgrind
    empty_ir = InstructionsPerCall("empty", None, count, options.path)
    floor_ir = InstructionsPerCall("len", None, count, options.path)
    print("  %-34s %8.0f Ir" % ("empty loop (for reference)", empty_ir))
    print("  %-34s %8.0f Ir" % ("floor: len(x)", floor_ir))
    print("  %-34s %10s %10s %9s %9s" % ("hot path (instructions per call)", "native",
                                         "pure-Py", "ratio", "vs len()"))
    for key, title, _, _, _, _ in CASES:
      native = InstructionsPerCall(key, "native", count, options.path)
      pure = InstructionsPerCall(key, "pure", count, options.path)
      print("  %-34s %7.0f Ir %7.0f Ir %8.2fx %8.2fx" % (title, native, pure, pure / native,
                                                        native / floor_ir))
  return 0 if all_met else 1


if __name__ == "__main__":
  sys.exit(main())
