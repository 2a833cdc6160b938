"""Memory over many calls of each hot path of windows.volumes: total
reference count (sys.gettotalrefcount, under python2.7-dbg or
python3.11-dbg), objects tracked by the garbage collector, and resident set
size, before and after.

  python2.7-dbg bench/bench_memory.py [--calls N]   (scripted-dbg tree)
  python2.7     bench/bench_memory.py [--calls N]   (Linux tree: RSS, gc)
  (the same with python3.11-dbg and python3.11 over the python3-* trees)

With the scripted tree on sys.path (scripted_system importable) the table and
the FAT answer come from the scripted provider; otherwise from this machine.
"""

from __future__ import print_function

import argparse
import gc
import os
import sys

import windows.volumes as volumes

try:
  _Counting = xrange  # 2.7's range() would make a list of every count
except NameError:
  _Counting = range

NO_GROWTH_REFS = 100        # total reference count drift allowed, any N
NO_GROWTH_OBJECTS = 10      # gc-tracked objects drift allowed, any N
NO_GROWTH_RSS_KIB = 1024    # resident set drift allowed, any N


class Handle(object):
  __slots__ = ("handle",)

  def __init__(self, value):
    self.handle = value


def RssKib():
  with open("/proc/self/status") as status:
    for line in status:
      if line.startswith("VmRSS:"):
        return int(line.split()[1])
  return -1


def Setup():
  """(stat_result or serial source, serial, handle) with a loaded table and a
  cached FAT answer."""
  st = os.stat("/")
  try:
    import scripted_system
  except ImportError:
    fd = os.open("/", os.O_RDONLY)
    handle = Handle(fd)
    provider = "this machine's mounts (Linux provider)"
  else:
    scripted_system.reset()
    for index in range(8):
      name = u"\\\\?\\Volume{bench-%d}\\" % index
      serial = st.st_dev if index == 0 else 1000 + index
      scripted_system.add_volume(name, [u"/bench/%d" % index], serial=serial,
                                 filesystem=u"FAT32" if index == 0 else u"NTFS",
                                 total_bytes=1 << 30)
    scripted_system.bind_handle(7, u"\\\\?\\Volume{bench-0}\\")
    handle = Handle(7)
    provider = "scripted provider, 8 volumes"
  service = volumes.VolumeInfo()
  service.AllVolumeEntries(True)
  volumes.IsFAT(st.st_dev, handle)
  return st, handle, service, provider


def Loop(function, arguments, count):
  for _ in _Counting(count):
    function(*arguments)


def Measure(title, function, arguments, count):
  Loop(function, arguments, 10000)  # warm free lists, interned text, caches
  gc.collect()
  refs0 = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
  objects0 = len(gc.get_objects())
  rss0 = RssKib()
  Loop(function, arguments, count)
  gc.collect()
  refs1 = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
  objects1 = len(gc.get_objects())
  rss1 = RssKib()
  # The measurement itself (the lists, ints and frames above) is the same
  # before and after, so what remains is what the calls kept.
  refs = None if refs0 is None else refs1 - refs0
  objects = objects1 - objects0
  rss = rss1 - rss0
  ok = ((refs is None or abs(refs) <= NO_GROWTH_REFS) and abs(objects) <= NO_GROWTH_OBJECTS
        and rss <= NO_GROWTH_RSS_KIB)
  print("  %-32s %10d %10s %8s %9s KiB  %s" % (
      title, count, "n/a" if refs is None else "%+d" % refs, "%+d" % objects, "%+d" % rss,
      "no growth" if ok else "GROWTH"))
  return ok


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument("--calls", type=int, default=1000000,
                      help="calls of each hot path (default 10^6; the long run is 10^7)")
  options = parser.parse_args()
  st, handle, service, provider = Setup()
  debug = hasattr(sys, "gettotalrefcount")
  interpreter = "python%d.%d" % sys.version_info[:2]
  print("windows.volumes memory over %d calls per hot path (%s interpreter, %s)" % (
      options.calls, "debug %s-dbg" % interpreter if debug else "release " + interpreter,
      provider))
  print("  %-32s %10s %10s %8s %13s" % ("hot path", "calls", "total refs", "gc objs", "RSS"))
  volume_id = volumes.FindVolumeID(st)
  cases = [
      ("FindVolumeID(stat_result)", volumes.FindVolumeID, (st,)),
      ("IsFAT(serial, handle) cached", volumes.IsFAT, (st.st_dev, handle)),
      ("GetVolumeEntryForVolumeID(id)", service.GetVolumeEntryForVolumeID, (volume_id,)),
      ("AllVolumeEntries() loaded", service.AllVolumeEntries, ()),
  ]
  ok = True
  for title, function, arguments in cases:
    ok &= Measure(title, function, arguments, options.calls)
  print("memory goal (no growth): %s" % ("met" if ok else "MISSED"))
  return 0 if ok else 1


if __name__ == "__main__":
  sys.exit(main())
