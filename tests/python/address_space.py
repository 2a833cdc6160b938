"""Makes large allocations fail in the calling process, on Linux and on
Windows alike, so that a test can reach the module's out-of-memory paths.

  address_space.Limit(headroom)

After the call, no single allocation of `headroom` bytes or more succeeds,
while the small ones the interpreter makes go on working. Meant for a
child interpreter that exits when its test is done (see
volumes_testing.RunPython).
"""

import sys


def _LimitLinux(headroom):
  import resource
  size = [int(line.split()[1]) << 10 for line in open("/proc/self/status")
          if line.startswith("VmSize")][0]
  resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))


def _LimitWindows(headroom):
  # Windows has no address-space limit for one process: reserve (without
  # committing) every free range of the address space that could still hold
  # `headroom` bytes, largest first, leaving only smaller fragments.
  import ctypes
  kernel32 = ctypes.windll.kernel32
  kernel32.VirtualAlloc.restype = ctypes.c_void_p
  kernel32.VirtualAlloc.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint32,
                                    ctypes.c_uint32]
  mem_reserve, page_noaccess = 0x2000, 0x01
  sizes = []
  size = 1 << 30
  while size > headroom:
    sizes.append(size)
    size //= 2
  for size in sizes + [headroom]:
    while kernel32.VirtualAlloc(None, size, mem_reserve, page_noaccess):
      pass


def Limit(headroom):
  if sys.platform == "win32":
    _LimitWindows(headroom)
  else:
    _LimitLinux(headroom)
