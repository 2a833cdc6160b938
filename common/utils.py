"""Small utilities shared across the application."""

import ctypes
import os


def _LinuxMonotonicClock():
  """A reader of CLOCK_MONOTONIC through the C library."""

  class _Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]

  # The C library the interpreter already runs on. Naming it instead would
  # have ctypes.util run /sbin/ldconfig at import: a child process of the
  # application's, on every start, only to find a library already loaded.
  libc = ctypes.CDLL(None, use_errno=True)
  clock_gettime = libc.clock_gettime
  clock_gettime.argtypes = [ctypes.c_int, ctypes.POINTER(_Timespec)]
  clock_gettime.restype = ctypes.c_int
  clock_monotonic = 1  # CLOCK_MONOTONIC on Linux

  def Read():
    now = _Timespec()
    if clock_gettime(clock_monotonic, ctypes.byref(now)) != 0:
      error = ctypes.get_errno()
      raise OSError(error, os.strerror(error))
    return now.tv_sec + now.tv_nsec * 1e-9

  return Read


def _WindowsMonotonicClock():
  """A reader of the performance counter, which never goes backwards."""
  kernel32 = ctypes.windll.kernel32
  frequency = ctypes.c_int64()
  if not kernel32.QueryPerformanceFrequency(ctypes.byref(frequency)):
    raise ctypes.WinError()
  ticks_per_second = float(frequency.value)

  def Read():
    counter = ctypes.c_int64()
    if not kernel32.QueryPerformanceCounter(ctypes.byref(counter)):
      raise ctypes.WinError()
    return counter.value / ticks_per_second

  return Read


_read_monotonic_clock = (_WindowsMonotonicClock() if os.name == "nt"
                         else _LinuxMonotonicClock())


def GetMonotonicTime():
  """Seconds, as a float, on a clock that never goes backwards.

  Only differences between two readings are meaningful.
  """
  return _read_monotonic_clock()
