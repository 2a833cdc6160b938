"""A profiling target: N tmpfs mounts (default 1000, in a private mount
namespace, which the caller makes), then R forced refreshes (default 10):
unchanged ones, or with CHANGED=1 each after a mount and unmount elsewhere
(the table is re-read). For example, as root:

  VOLUMES_PRIVATE_MOUNTS=1 PYTHONPATH=build/python-linux unshare --mount --propagation private \\
    perf record -e cpu-clock -g -o /tmp/refresh.perf python2.7 -B bench/profile_refresh.py
  perf report -i /tmp/refresh.perf --no-children --sort dso,sym

The mount set-up (mkdir, mount) shows in the profile too: read the entries
under AllVolumeEntries (the module and libwindows_volumes_kernel32.so.1). Or count
instructions of the timed rounds alone, under either interpreter:

  VOLUMES_PRIVATE_MOUNTS=1 PYTHONPATH=build/python3-linux unshare --mount --propagation private \
    valgrind --tool=callgrind --collect-atstart=no \
    '--toggle-collect=*ParsedCallEntry*AllVolumeEntries*' python3.11 -B bench/profile_refresh.py
"""

import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_refresh  # noqa: E402  (mount helpers)
import windows.volumes as volumes  # noqa: E402

COUNT = int(os.environ.get("N", "1000"))
ROUNDS = int(os.environ.get("R", "10"))
CHANGED = os.environ.get("CHANGED") == "1"

if os.environ.get("VOLUMES_PRIVATE_MOUNTS") != "1":
  sys.exit("profile_refresh.py: run it under unshare --mount --propagation private, "
           "with VOLUMES_PRIVATE_MOUNTS=1 to say so")
service = volumes.VolumeInfo()
root = tempfile.mkdtemp(prefix="volumes-profile-")
mounted = []
try:
  for index in range(COUNT):
    target = os.path.join(root, "m%04d" % index)
    os.mkdir(target)
    bench_refresh.Mount("profile%d" % index, target)
    mounted.append(target)
  scratch = os.path.join(root, "scratch")
  os.mkdir(scratch)
  # The first refresh builds the provider's snapshot; it goes through the
  # method itself, so a collector toggled on AllVolumeEntries (below) sees
  # the timed rounds alone.
  service._PopulateVolumeTable(service._volume_ids)
  spent = 0.0
  for _ in range(ROUNDS):
    if CHANGED:
      bench_refresh.Mount("scratch", scratch)
      bench_refresh.Unmount(scratch)
    start = time.time()
    service.AllVolumeEntries(True)
    spent += time.time() - start
  print("%s refresh of %d volumes: %.2f ms" % (
      "changed" if CHANGED else "unchanged", len(service._volume_entries),
      spent / ROUNDS * 1e3))
finally:
  for target in reversed(mounted):
    bench_refresh.Unmount(target)
  shutil.rmtree(root)
