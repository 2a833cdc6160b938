"""The table refresh of windows.volumes on real mounts: N tmpfs mounts
(N = 10, 100, 1000) under a temporary directory, a forced refresh after the
mount table changed (AllVolumeEntries(True), the table is re-read) and one
with nothing changed (the snapshot is reused), side by side with listing the
same mounts by `findmnt` and reading their sizes by `df`, as two processes.

Needs root. It re-runs itself in a private mount namespace (unshare), so the
mounts are seen by nobody else and vanish with it; each is unmounted in a
finally block as well.

  python2.7 bench/bench_refresh.py [--sizes 10,100,1000] [--repeat R]
"""

import argparse
import ctypes
import ctypes.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

NAMESPACE_MARK = "VOLUMES_BENCH_PRIVATE_MOUNTS"
MNT_DETACH = 2

libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                       ctypes.c_char_p]
libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]


def Mount(source, target):
  if libc.mount(source, target, "tmpfs", 0, "size=1m") != 0:
    error = ctypes.get_errno()
    raise OSError(error, "mount %s: %s" % (target, os.strerror(error)))


def Unmount(target):
  if libc.umount2(target, MNT_DETACH) != 0:
    error = ctypes.get_errno()
    raise OSError(error, "umount %s: %s" % (target, os.strerror(error)))


def Best(function, repeat):
  times = []
  for _ in range(repeat):
    start = time.time()
    function()
    times.append(time.time() - start)
  return min(times)


def ReexecInPrivateNamespace():
  """None when already private; else the exit status of the re-run, or a
  reason to skip."""
  if os.environ.get(NAMESPACE_MARK) == "1":
    return None
  environment = dict(os.environ)
  environment[NAMESPACE_MARK] = "1"
  command = ["unshare", "--mount", "--propagation", "private", sys.executable, "-B",
             os.path.abspath(__file__)] + sys.argv[1:]
  try:
    return subprocess.call(command, env=environment)
  except OSError as error:
    return "unshare could not be run: %s" % error


def FindmntAndDf():
  """Mount points by findmnt, their sizes by df: two processes."""
  listing = subprocess.check_output(["findmnt", "-rn", "-o", "TARGET"])
  targets = [line.decode("string_escape") for line in listing.splitlines() if line]
  with open(os.devnull, "w") as null:
    sizes = subprocess.check_output(["df", "-B1", "--output=target,size"] + targets,
                                    stderr=null)
  return len(targets), len(sizes.splitlines()) - 1


def Run(sizes, repeat):
  import windows.volumes as volumes
  service = volumes.VolumeInfo()
  base = len(service.AllVolumeEntries(True))
  print "windows.volumes refresh on real mounts (%d volumes before; best of %d)" % (base, repeat)
  print "  %6s %7s %12s %12s %10s %12s %12s %9s" % (
      "tmpfs", "volumes", "changed", "unchanged", "parse", "per volume", "findmnt+df",
      "vs tools")
  results = []
  for count in sizes:
    root = tempfile.mkdtemp(prefix="volumes-bench-")
    mounted = []
    try:
      scratch = os.path.join(root, "scratch")
      os.mkdir(scratch)
      for index in range(count):
        target = os.path.join(root, "m%04d" % index)
        os.mkdir(target)
        Mount("bench%d" % index, target)
        mounted.append(target)

      def ChangedRefresh():
        # A mount and unmount elsewhere leaves the same table but makes the
        # provider re-read it, as after any change.
        Mount("scratch", scratch)
        Unmount(scratch)
        start = time.time()
        table = service.AllVolumeEntries(True)
        elapsed = time.time() - start
        assert len(table) >= count, (len(table), count)
        return elapsed

      changed = min(ChangedRefresh() for _ in range(repeat))
      unchanged = Best(lambda: service.AllVolumeEntries(True), repeat)
      volumes_seen = len(service.AllVolumeEntries())
      listed = []
      tools = Best(lambda: listed.append(FindmntAndDf()), repeat)
      assert listed[-1][0] >= count and listed[-1][1] >= count, listed[-1]
      results.append((count, volumes_seen, changed, unchanged, tools))
      print "  %6d %7d %9.2f ms %9.2f ms %7.2f ms %9.1f us %9.2f ms %8.2fx" % (
          count, volumes_seen, changed * 1e3, unchanged * 1e3, (changed - unchanged) * 1e3,
          changed / volumes_seen * 1e6, tools * 1e3, tools / changed)
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
  return results


def Verdicts(results):
  ok = True
  if len(results) >= 2:
    (n0, v0, c0, _, _), (n1, v1, c1, _, _) = results[-2], results[-1]
    growth = (c1 / v1) / (c0 / v0)
    linear = growth <= 1.5
    ok &= linear
    print "linear growth: time per volume at %d volumes is %.2fx that at %d volumes: %s" % (
        v1, growth, v0, "met" if linear else "MISSED")
  cheaper = all(unchanged < changed for _, _, changed, unchanged, _ in results)
  ok &= cheaper
  print "unchanged refresh cheaper than the changed one at every size: %s" % (
      "met" if cheaper else "MISSED")
  largest = results[-1]
  faster = largest[2] < largest[4]
  ok &= faster
  print "%d-mount refresh faster than findmnt+df: %.2f ms against %.2f ms: %s" % (
      largest[0], largest[2] * 1e3, largest[4] * 1e3, "met" if faster else "MISSED")
  return ok


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument("--sizes", default="10,100,1000",
                      help="numbers of tmpfs mounts, comma-separated (default 10,100,1000)")
  parser.add_argument("--repeat", type=int, default=5, help="best of R (default 5)")
  options = parser.parse_args()
  if os.geteuid() != 0:
    print "refresh benchmark skipped: it mounts tmpfs file systems, which needs root"
    return 0
  status = ReexecInPrivateNamespace()
  if isinstance(status, str):
    print "refresh benchmark skipped: %s" % status
    return 0
  if status is not None:
    return status
  sizes = [int(size) for size in options.sizes.split(",")]
  results = Run(sizes, options.repeat)
  return 0 if Verdicts(results) else 1


if __name__ == "__main__":
  sys.exit(main())
