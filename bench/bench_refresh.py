"""The table refresh of windows.volumes on real mounts, against psutil (timed
inside a Python 3 process of its own) and `df -a` and `findmnt --df -J` run as
whole processes over the same mount table.

N tmpfs mounts (N = 10, 100, 1000, 10000) under a temporary directory; for
each N, interleaved rounds (best of R, default 5) of: a forced refresh after
the mount table changed (AllVolumeEntries(True) after a scratch tmpfs was
mounted and unmounted, so the provider re-reads the table), a forced refresh
with nothing changed, psutil's `disk_partitions(all=True)` and `disk_usage`
of each partition (in a Python 3 child started for the round, which makes
one untimed pass and then times one, so that its start-up and imports are
not counted), `df -a` and `findmnt --df -J` (each started with posix_spawn,
output to /dev/null, timed to its exit). The ratios against psutil are
printed with `met`/`MISSED` for the goals. Then the memory the
table holds per volume: the Python objects of the table (sys.getsizeof over
the dict, its entries and the values only they hold) and what the provider's
snapshot of the N volumes adds to the C heap (glibc's mallinfo2, in-use
bytes, as it replaces the snapshot of the table without them).

With --baseline TREE (an importable tree of another build, e.g. of the
commit before a change) the refresh of that build is timed too, in a child
process over the same mounts, interleaved with this one's rounds, at the
sizes of --baseline-sizes (default 10,100).

Needs root. It re-runs itself in a private mount namespace (unshare), so the
mounts are seen by nobody else and vanish with it; each is unmounted in a
finally block as well. For 10,000 mounts it raises /proc/sys/fs/mount-max
when that is too low, and restores it afterwards.

The load average is printed before and after the run: the figures of a
loaded machine are worth less than its ratios, which are measured side by
side.

  python2.7 bench/bench_refresh.py [--sizes 10,100,1000,10000] [--repeat R]
                                   [--baseline TREE] [--baseline-sizes 10,100]
                                   [--python3 /usr/bin/python3]
  (python3.11 over build/python3-linux alike)
"""

from __future__ import print_function

import argparse
import contextlib
import ctypes
import ctypes.util
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

NAMESPACE_MARK = "VOLUMES_BENCH_PRIVATE_MOUNTS"
MNT_DETACH = 2
MOUNT_MAX = "/proc/sys/fs/mount-max"

libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                       ctypes.c_char_p]
libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]


def CText(text):
  """A C string argument: bytes (2.7's str already is; Python 3's str is
  encoded as the file system encodes names)."""
  return text if isinstance(text, bytes) else os.fsencode(text)


def Mount(source, target):
  if libc.mount(CText(source), CText(target), b"tmpfs", 0, b"size=1m") != 0:
    error = ctypes.get_errno()
    raise OSError(error, "mount %s: %s" % (target, os.strerror(error)))


def Unmount(target):
  if libc.umount2(CText(target), MNT_DETACH) != 0:
    error = ctypes.get_errno()
    raise OSError(error, "umount %s: %s" % (target, os.strerror(error)))


@contextlib.contextmanager
def TmpfsMounts(count, name):
  """A temporary directory with `count` tmpfs mounts (m00000, m00001, ...)
  and an empty directory "scratch"; yields (root, scratch). Everything is
  unmounted and removed on the way out, however the block ends."""
  root = tempfile.mkdtemp(prefix="volumes-%s-" % name)
  mounted = []
  try:
    scratch = os.path.join(root, "scratch")
    os.mkdir(scratch)
    for index in range(count):
      target = os.path.join(root, "m%05d" % index)
      os.mkdir(target)
      Mount("%s%d" % (name, index), target)
      mounted.append(target)
    yield root, scratch
  finally:
    for target in reversed(mounted):
      Unmount(target)
    shutil.rmtree(root)


def ReexecInPrivateNamespace(script=None):
  """None when already private; else the exit status of the re-run of
  `script` (default this one), or a reason to skip."""
  if os.environ.get(NAMESPACE_MARK) == "1":
    return None
  environment = dict(os.environ)
  environment[NAMESPACE_MARK] = "1"
  command = ["unshare", "--mount", "--propagation", "private", sys.executable, "-B",
             script or os.path.abspath(__file__)] + sys.argv[1:]
  try:
    return subprocess.call(command, env=environment)
  except OSError as error:
    return "unshare could not be run: %s" % error


# ---- whole processes ---------------------------------------------------------

class _FileActions(ctypes.Structure):
  _fields_ = [("opaque", ctypes.c_char * 256)]  # posix_spawn_file_actions_t is 80 bytes


libc.posix_spawnp.argtypes = [ctypes.POINTER(ctypes.c_int), ctypes.c_char_p,
                              ctypes.POINTER(_FileActions), ctypes.c_void_p,
                              ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_char_p)]


def TimeProcess(argv):
  """Seconds from posix_spawn of `argv` (output to /dev/null) to its exit.
  posix_spawn does not copy this process's page tables as fork would, so
  the figure is the program's own."""
  actions = _FileActions()
  libc.posix_spawn_file_actions_init(ctypes.byref(actions))
  try:
    libc.posix_spawn_file_actions_addopen(ctypes.byref(actions), 1, b"/dev/null", os.O_WRONLY, 0)
    libc.posix_spawn_file_actions_addopen(ctypes.byref(actions), 2, b"/dev/null", os.O_WRONLY, 0)
    arguments = (ctypes.c_char_p * (len(argv) + 1))(*([CText(arg) for arg in argv] + [None]))
    environment = [CText("%s=%s" % item) for item in os.environ.items()]
    env = (ctypes.c_char_p * (len(environment) + 1))(*(environment + [None]))
    pid = ctypes.c_int()
    start = time.time()
    error = libc.posix_spawnp(ctypes.byref(pid), CText(argv[0]), ctypes.byref(actions), None,
                              arguments, env)
    if error != 0:
      raise OSError(error, "posix_spawnp %s: %s" % (argv[0], os.strerror(error)))
    _, status = os.waitpid(pid.value, 0)
    elapsed = time.time() - start
  finally:
    libc.posix_spawn_file_actions_destroy(ctypes.byref(actions))
  if not os.WIFEXITED(status) or os.WEXITSTATUS(status) not in (0, 1):
    raise RuntimeError("%s ended with status %r" % (" ".join(argv), status))
  return elapsed


# ---- psutil, in a Python 3 child ------------------------------------------------------

PSUTIL_CHILD = r"""
import os, sys, time
import psutil

def partitions_and_usage():
  for partition in psutil.disk_partitions(all=True):
    try:
      psutil.disk_usage(partition.mountpoint)
    except OSError:
      pass  # a mount point the caller may not reach; a user's loop goes on

partitions_and_usage()
start = time.perf_counter()
partitions_and_usage()
elapsed = time.perf_counter() - start
print(elapsed, len(psutil.disk_partitions(all=True)))
"""


def FindProgram(name):
  """The path of program `name` on PATH, or None."""
  for directory in os.environ.get("PATH", "").split(os.pathsep):
    candidate = os.path.join(directory, name)
    if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
      return candidate
  return None


def FindPython3(requested):
  """A Python 3 interpreter that imports psutil, or None."""
  for candidate in ([requested] if requested else ["/usr/bin/python3", "python3"]):
    try:
      subprocess.check_output([candidate, "-c", "import psutil"], stderr=subprocess.STDOUT)
      return candidate
    except (OSError, subprocess.CalledProcessError):
      continue
  return None


def PsutilRound(python3):
  """Seconds psutil took for the partitions and the usage of each, timed
  inside its process, and the number of partitions it saw."""
  output = subprocess.check_output([python3, "-c", PSUTIL_CHILD])
  elapsed, partitions = output.split()
  return float(elapsed), int(partitions)


# ---- memory ----------------------------------------------------------------------

class _MallInfo2(ctypes.Structure):
  _fields_ = [(name, ctypes.c_size_t) for name in (
      "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
      "fordblks", "keepcost")]


libc.mallinfo2.restype = _MallInfo2


def HeapInUse():
  info = libc.mallinfo2()
  return info.uordblks + info.hblkhd


def TableBytes(service):
  """sys.getsizeof over the table dict, its keys and entries, and the
  field values the entries hold (None, booleans and the DeviceType members
  are shared by every table and not counted)."""
  table = service._volume_entries
  seen = set()
  total = [0]

  def Add(value):
    if value is None or isinstance(value, bool) or id(value) in seen:
      return
    if type(value).__name__ == "_DeviceTypeMember":
      return
    seen.add(id(value))
    total[0] += sys.getsizeof(value)

  Add(table)
  for key, entry in table.items():
    Add(key)
    Add(entry)
    for field in entry.FIELDS:
      Add(getattr(entry, field))
  return total[0], len(table)


# ---- the baseline build, in a child process ------------------------------------------

BASELINE_CHILD = r"""
import json, os, sys, time
sys.path.insert(0, %(bench)r)
import bench_refresh
import windows.volumes as volumes
service = volumes.VolumeInfo()
service.AllVolumeEntries(True)
bench_refresh.Mount("scratch", %(scratch)r)
bench_refresh.Unmount(%(scratch)r)
start = time.time()
service.AllVolumeEntries(True)
changed = time.time() - start
start = time.time()
service.AllVolumeEntries(True)
unchanged = time.time() - start
print(json.dumps([changed, unchanged, len(service.AllVolumeEntries())]))
"""


def BaselineRound(tree, scratch):
  environment = dict(os.environ)
  environment["PYTHONPATH"] = tree
  code = BASELINE_CHILD % {"bench": os.path.dirname(os.path.abspath(__file__)),
                           "scratch": scratch}
  # Started outside any source tree, so that only `tree` provides `windows`.
  output = subprocess.check_output([sys.executable, "-B", "-c", code], env=environment,
                                   cwd=os.path.dirname(scratch))
  return json.loads(output.decode("utf-8").splitlines()[-1])


# ---- the run -----------------------------------------------------------------------

class MountLimit(object):
  """Raises the per-namespace mount limit when it is below `needed`; restores it."""

  def __init__(self, needed):
    self.needed = needed
    self.saved = None

  def __enter__(self):
    try:
      with open(MOUNT_MAX) as limit:
        current = int(limit.read())
    except (IOError, ValueError):
      return self
    if current < self.needed:
      with open(MOUNT_MAX, "w") as limit:
        limit.write(str(self.needed))
      self.saved = current
    return self

  def __exit__(self, *exc_info):
    if self.saved is not None:
      with open(MOUNT_MAX, "w") as limit:
        limit.write(str(self.saved))


def MountCount():
  with open("/proc/self/mountinfo") as table:
    return sum(1 for _ in table)


def LoadAverage():
  return " ".join("%.2f" % load for load in os.getloadavg())


def Run(sizes, repeat, baseline, baseline_sizes, python3):
  import windows.volumes as volumes
  service = volumes.VolumeInfo()
  base = len(service.AllVolumeEntries(True))
  print("windows.volumes refresh on N tmpfs mounts (%d volumes before), in-process, against" % base)
  print("psutil (%s, timed inside its process) and df -a and findmnt --df -J as whole" % (
      python3 or "not found: no Python 3 with psutil"))
  print("processes; interleaved rounds, best of %d; load average before: %s" % (repeat,
                                                                               LoadAverage()))
  header = "  %6s %7s %10s %10s %10s %10s %10s %8s %8s" % (
      "tmpfs", "volumes", "changed", "unchanged", "psutil", "df -a", "findmnt", "us/vol",
      "B/vol")
  print(header)
  results = {}
  baseline_results = {}
  for count in sizes:
    root = tempfile.mkdtemp(prefix="volumes-bench-")
    mounted = []
    try:
      with MountLimit(MountCount() + count + 100):
        scratch = os.path.join(root, "scratch")
        os.mkdir(scratch)
        gc.collect()
        heap_before = HeapInUse()
        for index in range(count):
          target = os.path.join(root, "m%05d" % index)
          os.mkdir(target)
          Mount("bench%d" % index, target)
          mounted.append(target)
        # The provider re-reads the table: its snapshot of the N volumes
        # replaces the one without them.
        volumes._ListVolumeNames()
        gc.collect()
        snapshot_bytes = HeapInUse() - heap_before

        def Changed():
          Mount("scratch", scratch)
          Unmount(scratch)
          start = time.time()
          table = service.AllVolumeEntries(True)
          elapsed = time.time() - start
          assert len(table) >= count, (len(table), count)
          return elapsed

        def Unchanged():
          start = time.time()
          service.AllVolumeEntries(True)
          return time.time() - start

        def Psutil():
          elapsed, partitions = PsutilRound(python3)
          assert partitions >= count, (partitions, count)
          return elapsed

        contenders = [("changed", Changed), ("unchanged", Unchanged)]
        if python3:
          contenders.append(("psutil", Psutil))
        contenders += [("df", lambda: TimeProcess(["df", "-a"])),
                       ("findmnt", lambda: TimeProcess(["findmnt", "--df", "-J"]))]
        best = {}
        with_baseline = baseline and count in baseline_sizes
        for _ in range(repeat):
          for name, function in contenders:
            elapsed = function()
            best[name] = min(best.get(name, elapsed), elapsed)
          if with_baseline:
            changed, unchanged, seen = BaselineRound(baseline, scratch)
            assert seen >= count, (seen, count)
            baseline_results[count] = (min(baseline_results.get(count, (changed,))[0], changed),
                                       min(baseline_results.get(count, (0, unchanged))[1],
                                           unchanged))
        table_bytes, volumes_seen = TableBytes(service)
        per_volume = table_bytes / float(volumes_seen) + snapshot_bytes / float(count)
        results[count] = dict(best, volumes=volumes_seen, table_bytes=table_bytes,
                              snapshot_bytes=snapshot_bytes, per_volume_bytes=per_volume)
        print("  %6d %7d %7.2f ms %7.2f ms %10s %7.2f ms %7.2f ms %8.1f %8.0f" % (
            count, volumes_seen, best["changed"] * 1e3, best["unchanged"] * 1e3,
            "%7.2f ms" % (best["psutil"] * 1e3) if "psutil" in best else "n/a",
            best["df"] * 1e3, best["findmnt"] * 1e3, best["changed"] / volumes_seen * 1e6,
            per_volume))
        sys.stdout.flush()
    finally:
      failures = []
      for target in reversed(mounted):
        try:
          Unmount(target)
        except OSError as error:
          failures.append(str(error))
      shutil.rmtree(root, ignore_errors=not failures)
      if failures:
        raise RuntimeError("could not unmount: %s" % "; ".join(failures))
      service.AllVolumeEntries(True)
  print("  (us/vol: changed refresh per volume; B/vol: memory the table holds per volume,")
  print("   Python objects of the table plus the provider's snapshot)")
  print()
  print("ratios, same rounds (against psutil, then against df -a and findmnt):")
  print("  %6s %9s %9s %9s %9s %9s %9s %9s" % (
      "tmpfs", "chg/ps", "unch/ps", "df/ps", "fmt/ps", "chg/df", "unch/df", "chg/fmt"))
  for count in sizes:
    r = results[count]
    against = lambda name: ("%8.2fx" % (r[name] / r["psutil"])) if "psutil" in r else "n/a"
    print("  %6d %9s %9s %9s %9s %8.2fx %8.2fx %8.2fx" % (
        count, against("changed"), against("unchanged"), against("df"), against("findmnt"),
        r["changed"] / r["df"], r["unchanged"] / r["df"], r["changed"] / r["findmnt"]))
  print("load average after: %s" % LoadAverage())
  if baseline_results:
    print()
    print("baseline build %s, in a child process over the same mounts, same rounds:" % baseline)
    print("  %6s %12s %12s %12s %12s" % ("tmpfs", "changed", "unchanged", "chg now/was",
                                         "unch now/was"))
    for count in sorted(baseline_results):
      was_changed, was_unchanged = baseline_results[count]
      now = results[count]
      print("  %6d %9.2f ms %9.2f ms %11.2fx %11.2fx" % (
          count, was_changed * 1e3, was_unchanged * 1e3, now["changed"] / was_changed,
          now["unchanged"] / was_unchanged))
  return results, baseline_results


def Verdicts(results, baseline_results):
  ok = [True]

  def Verdict(text, met):
    if met is None:
      print("%s: not measured" % text)
      return
    ok[0] &= met
    print("%s: %s" % (text, "met" if met else "MISSED"))

  print()
  at1k = results.get(1000)
  if at1k and "psutil" in at1k:
    Verdict("changed refresh at 1000 mounts at most 2.0x psutil: %.2f ms against %.2f ms (%.2fx)"
            % (at1k["changed"] * 1e3, at1k["psutil"] * 1e3, at1k["changed"] / at1k["psutil"]),
            at1k["changed"] <= 2.0 * at1k["psutil"])
    Verdict("unchanged refresh at 1000 mounts at most 1.3x psutil: %.2f ms against %.2f ms "
            "(%.2fx)" % (at1k["unchanged"] * 1e3, at1k["psutil"] * 1e3,
                         at1k["unchanged"] / at1k["psutil"]),
            at1k["unchanged"] <= 1.3 * at1k["psutil"])
  else:
    Verdict("refresh at 1000 mounts against psutil", None)
  if at1k:
    Verdict("changed refresh at 1000 mounts no slower than df -a: %.2f ms against %.2f ms" % (
        at1k["changed"] * 1e3, at1k["df"] * 1e3), at1k["changed"] <= at1k["df"])
    Verdict("unchanged refresh at 1000 mounts at most half of df -a: %.2f ms against %.2f ms"
            % (at1k["unchanged"] * 1e3, at1k["df"] * 1e3 / 2), at1k["unchanged"] <= at1k["df"] / 2)
  else:
    Verdict("refresh at 1000 mounts against df -a", None)
  at10k = results.get(10000)
  if at1k and at10k:
    for name in ("changed", "unchanged"):
      growth = (at10k[name] / at10k["volumes"]) / (at1k[name] / at1k["volumes"])
      Verdict("%s refresh: cost per volume at 10000 mounts %.2fx that at 1000 (goal <= 1.2x)" % (
          name, growth), growth <= 1.2)
  else:
    Verdict("cost per volume at 10000 mounts against 1000", None)
  if 10 in baseline_results:
    was_unchanged = baseline_results[10][1]
    now_unchanged = results[10]["unchanged"]
    Verdict("unchanged refresh at 10 mounts no slower than the baseline build: %.2f ms against "
            "%.2f ms" % (now_unchanged * 1e3, was_unchanged * 1e3), now_unchanged <= was_unchanged)
  else:
    Verdict("unchanged refresh at 10 mounts against the baseline build (--baseline)", None)
  return ok[0]


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument("--sizes", default="10,100,1000,10000",
                      help="numbers of tmpfs mounts, comma-separated (default 10,100,1000,10000)")
  parser.add_argument("--repeat", type=int, default=5, help="best of R (default 5)")
  parser.add_argument("--baseline", help="importable tree of a build to compare with")
  parser.add_argument("--baseline-sizes", default="10,100",
                      help="sizes at which the baseline is timed (default 10,100)")
  parser.add_argument("--python3", help="a Python 3 interpreter with psutil "
                      "(default: /usr/bin/python3, else python3 on PATH)")
  options = parser.parse_args()
  if os.geteuid() != 0:
    print("refresh benchmark skipped: it mounts tmpfs file systems, which needs root")
    return 0
  status = ReexecInPrivateNamespace()
  if isinstance(status, str):
    print("refresh benchmark skipped: %s" % status)
    return 0
  if status is not None:
    return status
  sizes = [int(size) for size in options.sizes.split(",")]
  baseline_sizes = [int(size) for size in options.baseline_sizes.split(",")]
  python3 = FindPython3(options.python3)
  results, baseline_results = Run(sizes, options.repeat, options.baseline, baseline_sizes,
                                  python3)
  return 0 if Verdicts(results, baseline_results) else 1


if __name__ == "__main__":
  sys.exit(main())
