"""System calls per volume of a forced refresh and of each KERNEL32 call it
makes, counted with strace on N tmpfs mounts (default 1000) in a private
mount namespace (re-run under unshare, as bench_refresh.py does; needs root
and strace), beside psutil's per partition (partitions with all=True and the
usage of each, in a Python 3 child) and `df -a`'s per mount.

The mounts are made by this process; the counted work runs in a child under
`strace -f`, which marks the start and end of each stage with an access(2) of
a path that names it, so that start-up, imports and the mounting are not
counted. Each stage runs over every volume once; the counts are divided by
the number of volumes (psutil's by its partitions, df's by the mount table's
entries).

  python2.7 bench/refresh_syscalls.py [--count 1000] [--python3 /usr/bin/python3]
"""

import argparse
import collections
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_refresh  # noqa: E402  (mount helpers, the private namespace)

MARK = "/volumes-syscalls-mark/"

# The child: each stage between two marks, over every volume.
CHILD = r"""
import ctypes, os, sys
sys.path.insert(0, %(bench)r)
import bench_refresh
import windows.volumes as volumes

def Mark(text):
  os.access(%(mark)r + text, 0)

scratch = %(scratch)r
provider = ctypes.CDLL(os.path.join(os.path.dirname(volumes.__file__), "libwindows_volumes_kernel32.so.1"))
service = volumes.VolumeInfo()
service.AllVolumeEntries(True)
names = volumes._ListVolumeNames()
Mark("volumes/%%d" %% len(names))

def Utf16(text):
  return ctypes.create_string_buffer(text.encode("utf-16-le") + b"\0\0")

wide = [Utf16(name) for name in names]
buffer = ctypes.create_string_buffer(2 * 65536)
small = ctypes.create_string_buffer(2 * 5)
needed = ctypes.c_uint32()
label = ctypes.create_string_buffer(2 * 261)
fs_name = ctypes.create_string_buffer(2 * 261)
serial, component, flags = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint32()
total = ctypes.c_uint64()
provider.FindFirstVolumeW.restype = ctypes.c_void_p
provider.FindNextVolumeW.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32]
provider.FindVolumeClose.argtypes = [ctypes.c_void_p]

def Search():
  handle = provider.FindFirstVolumeW(label, 261)
  while provider.FindNextVolumeW(handle, label, 261):
    pass
  provider.FindVolumeClose(handle)

def Touch():
  bench_refresh.Mount("scratch", scratch)
  bench_refresh.Unmount(scratch)

stages = [
  ("FindFirst/NextVolumeW, table unchanged", Search),
  ("GetVolumePathNamesForVolumeNameW, 5 units",
   lambda: [provider.GetVolumePathNamesForVolumeNameW(w, small, 5, ctypes.byref(needed))
            for w in wide]),
  ("GetVolumePathNamesForVolumeNameW, fits",
   lambda: [provider.GetVolumePathNamesForVolumeNameW(w, buffer, 65536, ctypes.byref(needed))
            for w in wide]),
  ("GetVolumeInformationW",
   lambda: [provider.GetVolumeInformationW(w, label, 261, ctypes.byref(serial),
                                           ctypes.byref(component), ctypes.byref(flags),
                                           fs_name, 261) for w in wide]),
  ("GetDriveTypeW", lambda: [provider.GetDriveTypeW(w) for w in wide]),
  ("GetDiskFreeSpaceExW",
   lambda: [provider.GetDiskFreeSpaceExW(w, None, ctypes.byref(total), None) for w in wide]),
  ("refresh AllVolumeEntries(True), unchanged", lambda: service.AllVolumeEntries(True)),
]
for name, function in stages:
  function()  # warm: the first pass may load code or start workers
  Mark("begin/" + name)
  function()
  Mark("end/" + name)
for name, function in (("FindFirst/NextVolumeW, table re-read", Search),
                       ("refresh AllVolumeEntries(True), changed",
                        lambda: service.AllVolumeEntries(True))):
  Touch()
  Mark("begin/" + name)
  function()
  Mark("end/" + name)
"""

PSUTIL_CHILD = r"""
import os, psutil

def Pass():
  partitions = psutil.disk_partitions(all=True)
  for partition in partitions:
    try:
      psutil.disk_usage(partition.mountpoint)
    except OSError:
      pass
  return len(partitions)

Pass()
os.access(%(mark)r + "begin/psutil", 0)
count = Pass()
os.access(%(mark)r + "end/psutil", 0)
os.access(%(mark)r + "volumes/%%d" %% count, 0)
"""

LINE = re.compile(r'^\d+\s+(?:<\.\.\. )?([a-z_0-9]+)[( ]')
# System calls newer than strace's tables, by number (x86-64).
NAMES = {"syscall_0x1c9": "statmount", "syscall_0x1ca": "listmount"}


def Count(trace_file):
  """{stage: Counter of system calls}, and the number of volumes the child saw."""
  stages, volumes, current = {}, None, None
  with open(trace_file) as trace:
    for line in trace:
      if MARK in line:
        text = line.split(MARK, 1)[1].split('"', 1)[0]
        kind, _, name = text.partition("/")
        if kind == "volumes":
          volumes = int(name)
        elif kind == "begin":
          current = stages.setdefault(name, collections.Counter())
        else:
          current = None
        continue
      if current is None or "resumed>" in line:
        continue  # a call interrupted by another thread's line is counted once
      match = LINE.match(line)
      if match:
        current[NAMES.get(match.group(1), match.group(1))] += 1
  return stages, volumes


def Traced(argv, directory, name):
  trace_file = os.path.join(directory, name + ".trace")
  # Started outside any source tree, so that PYTHONPATH's tree provides `windows`; its
  # entries made absolute, since a relative one would be looked up from there.
  env = dict(os.environ)
  if env.get("PYTHONPATH"):
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry)
                                        for entry in env["PYTHONPATH"].split(os.pathsep) if entry)
  with open(os.devnull, "w") as quiet:
    subprocess.check_call(["strace", "-f", "-qq", "-o", trace_file] + argv, stdout=quiet,
                          cwd=directory, env=env)
  return trace_file


def Row(name, counter, per):
  total = sum(counter.values())
  detail = ", ".join("%s %.2f" % (call, n / float(per))
                     for call, n in counter.most_common() if n / float(per) >= 0.05)
  print "  %-44s %7.2f  %s" % (name, total / float(per), detail)


def Run(count, python3):
  with bench_refresh.MountLimit(bench_refresh.MountCount() + count + 100), \
       bench_refresh.TmpfsMounts(count, "syscalls") as (root, scratch):
    code = CHILD % {"bench": os.path.dirname(os.path.abspath(__file__)), "mark": MARK,
                    "scratch": scratch}
    stages, volumes = Count(Traced([sys.executable, "-B", "-c", code], root, "module"))
    print "system calls per volume: %d tmpfs mounts, %d volumes (strace -f)" % (count, volumes)
    print "  %-44s %7s  %s" % ("stage", "calls", "of which, per volume")
    order = ["FindFirst/NextVolumeW, table unchanged", "FindFirst/NextVolumeW, table re-read",
             "GetVolumePathNamesForVolumeNameW, 5 units", "GetVolumePathNamesForVolumeNameW, fits",
             "GetVolumeInformationW", "GetDriveTypeW", "GetDiskFreeSpaceExW",
             "refresh AllVolumeEntries(True), unchanged",
             "refresh AllVolumeEntries(True), changed"]
    for name in order:
      Row(name, stages.get(name, collections.Counter()), volumes)
    if python3:
      code = PSUTIL_CHILD % {"mark": MARK}
      stages, partitions = Count(Traced([python3, "-c", code], root, "psutil"))
      Row("psutil: partitions and usage, per partition", stages["psutil"], partitions)
    else:
      print "  psutil: not counted (no Python 3 with psutil)"
    trace_file = Traced(["df", "-a"], root, "df")
    with open(trace_file) as trace:
      calls = collections.Counter(m.group(1) for m in map(LINE.match, trace) if m)
    Row("df -a, whole process, per mount", calls, bench_refresh.MountCount())


def main():
  parser = argparse.ArgumentParser()
  parser.add_argument("--count", type=int, default=1000)
  parser.add_argument("--python3", help="a Python 3 interpreter with psutil")
  options = parser.parse_args()
  if os.geteuid() != 0:
    print "refresh system calls skipped: it mounts tmpfs file systems, which needs root"
    return 0
  if not bench_refresh.FindProgram("strace"):
    print "refresh system calls skipped: strace is not installed"
    return 0
  status = bench_refresh.ReexecInPrivateNamespace(os.path.abspath(__file__))
  if isinstance(status, str):
    print "refresh system calls skipped: %s" % status
    return 0
  if status is not None:
    return status
  Run(options.count, bench_refresh.FindPython3(options.python3))
  return 0


if __name__ == "__main__":
  sys.exit(main())
