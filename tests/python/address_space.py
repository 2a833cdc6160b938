"""Makes large allocations fail in the calling process, on Linux and on
Windows alike, so that a test can reach the module's out-of-memory paths.

  address_space.Limit(headroom)

After the call, no single allocation of `headroom` bytes or more succeeds,
while the small ones the interpreter makes go on working. Meant for a
child interpreter that exits when its test is done (see
volumes_testing.RunPython).

On Windows under Python 3 the limit is on the interpreter's allocators
only (scripted_system.limit_allocations), where the module's buffers come
from (PyMem_Malloc); the C++ runtime's heap is not limited there. A 64-bit
address space is too large to reserve: Wine keeps a byte per reserved
page, 13 GB and a minute per test.
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
  if sys.platform != "win32":
    _LimitLinux(headroom)
  elif sys.version_info[0] >= 3:
    import scripted_system
    scripted_system.limit_allocations(headroom)
  else:
    _LimitWindows(headroom)
