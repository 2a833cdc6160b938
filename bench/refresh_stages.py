"""Where the time of a forced refresh goes, stage by stage, on N tmpfs mounts
(default 1000) in a private mount namespace (re-run under unshare, as
bench_refresh.py does; needs root).

Each stage is timed alone over every volume of the table, best of R rounds
(default 5): the KERNEL32 calls of the Linux provider called through ctypes
(a bare ctypes call, GetLastError, is timed too and subtracted), the module's
own query functions (which add their Python objects, buffers and UTF-16
conversions to the calls), and the whole refresh changed and unchanged. What
the refresh spends beyond its calls is its Python-level work per volume.

  python2.7 bench/refresh_stages.py [--count 1000] [--repeat 5]
"""

from __future__ import print_function

import argparse
import ctypes
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_refresh  # noqa: E402  (mount helpers, the private namespace)

NAME_UNITS = 261


def Utf16(text):
  return ctypes.create_string_buffer(text.encode("utf-16-le") + b"\0\0")


def Best(function, repeat):
  best = None
  for _ in range(repeat):
    start = time.time()
    function()
    elapsed = time.time() - start
    best = elapsed if best is None else min(best, elapsed)
  return best


def Stages(count, repeat):
  import windows.volumes as volumes
  provider = ctypes.CDLL(os.path.join(os.path.dirname(volumes.__file__), "libwindows_volumes_kernel32.so.1"))
  service = volumes.VolumeInfo()
  with bench_refresh.TmpfsMounts(count, "stages") as (_, scratch):

    def Touch():
      bench_refresh.Mount("scratch", scratch)
      bench_refresh.Unmount(scratch)

    names = volumes._ListVolumeNames()
    wide = [Utf16(name) for name in names]
    rooted = [Utf16(name if name.endswith("\\") else name + "\\") for name in names]
    buffer = ctypes.create_string_buffer(2 * 65536)
    small = ctypes.create_string_buffer(2 * 5)
    needed = ctypes.c_uint32()
    label = ctypes.create_string_buffer(2 * NAME_UNITS)
    fs_name = ctypes.create_string_buffer(2 * NAME_UNITS)
    serial, component, flags = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint32()
    total = ctypes.c_uint64()
    handle_buffer = ctypes.create_string_buffer(2 * NAME_UNITS)
    provider.FindFirstVolumeW.restype = ctypes.c_void_p
    provider.FindNextVolumeW.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
    provider.FindVolumeClose.argtypes = [ctypes.c_void_p]

    def Search():
      handle = provider.FindFirstVolumeW(handle_buffer, NAME_UNITS)
      while provider.FindNextVolumeW(handle, handle_buffer, NAME_UNITS):
        pass
      provider.FindVolumeClose(handle)

    def ChangedSearch():
      Touch()
      start = time.time()
      Search()
      return time.time() - start

    def Each(call):
      return lambda: [Tolerant(call, n) for n in range(len(names))]

    def Tolerant(call, n):
      # Mounts copied from the parent namespace go away when their mount
      # point is removed there: such a volume's calls fail, as in a refresh.
      try:
        return call(n)
      except WindowsError:
        return None

    stages = [
        ("ctypes call itself (subtracted below)", Each(lambda n: provider.GetLastError()), 1),
        ("FindFirst/NextVolumeW, table unchanged", Search, None),
        ("FindFirst/NextVolumeW, table re-read", None, None),
        ("GetVolumePathNamesForVolumeNameW, 5 units", Each(
            lambda n: provider.GetVolumePathNamesForVolumeNameW(wide[n], small, 5,
                                                                ctypes.byref(needed))), 1),
        ("GetVolumePathNamesForVolumeNameW, fits", Each(
            lambda n: provider.GetVolumePathNamesForVolumeNameW(wide[n], buffer, 65536,
                                                                ctypes.byref(needed))), 1),
        ("GetVolumeInformationW", Each(
            lambda n: provider.GetVolumeInformationW(
                rooted[n], label, NAME_UNITS, ctypes.byref(serial), ctypes.byref(component),
                ctypes.byref(flags), fs_name, NAME_UNITS)), 1),
        ("GetDriveTypeW", Each(lambda n: provider.GetDriveTypeW(wide[n])), 1),
        ("GetDiskFreeSpaceExW", Each(
            lambda n: provider.GetDiskFreeSpaceExW(wide[n], None, ctypes.byref(total), None)), 1),
        ("module: _ListVolumeNames()", volumes._ListVolumeNames, None),
        ("module: _GetVolumePathNamesForVolumeName", Each(
            lambda n: volumes._GetVolumePathNamesForVolumeName(names[n])), None),
        ("module: GetVolumeInformation", Each(
            lambda n: volumes.GetVolumeInformation(names[n])), None),
        ("refresh AllVolumeEntries(True), unchanged", lambda: service.AllVolumeEntries(True),
         None),
    ]
    best = {}
    for _ in range(repeat):
      for label_text, function, _ in stages:
        if function is None:
          elapsed = ChangedSearch()
        else:
          elapsed = Best(function, 1)
        best[label_text] = min(best.get(label_text, elapsed), elapsed)
      elapsed = None
      Touch()
      start = time.time()
      service.AllVolumeEntries(True)
      elapsed = time.time() - start
      best["refresh AllVolumeEntries(True), changed"] = min(
          best.get("refresh AllVolumeEntries(True), changed", elapsed), elapsed)
    stages.append(("refresh AllVolumeEntries(True), changed", None, None))

    volumes_seen = len(names)
    per_call = best[stages[0][0]] / volumes_seen
    print("stages of a forced refresh: %d tmpfs mounts, %d volumes, best of %d" % (
        count, volumes_seen, repeat))
    print("  %-46s %10s %12s" % ("stage", "all", "per volume"))
    for label_text, _, ctypes_calls in stages:
      elapsed = best[label_text]
      if ctypes_calls and label_text != stages[0][0]:
        elapsed -= per_call * volumes_seen * ctypes_calls
      print("  %-46s %7.2f ms %9.2f us" % (label_text, elapsed * 1e3,
                                            elapsed / volumes_seen * 1e6))


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument("--count", type=int, default=1000)
  parser.add_argument("--repeat", type=int, default=5)
  options = parser.parse_args()
  if os.geteuid() != 0:
    print("refresh stages skipped: it mounts tmpfs file systems, which needs root")
    return 0
  status = bench_refresh.ReexecInPrivateNamespace(os.path.abspath(__file__))
  if isinstance(status, str):
    print("refresh stages skipped: %s" % status)
    return 0
  if status is not None:
    return status
  Stages(options.count, options.repeat)
  return 0


if __name__ == "__main__":
  sys.exit(main())
