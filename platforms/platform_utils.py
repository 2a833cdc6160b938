"""Platform utilities."""

try:
  import thread
except ImportError:  # Python 3
  import _thread as thread


class Lock(object):
  """A mutual-exclusion lock, usable as a context manager.

  Not re-entrant: a thread that holds it and acquires it again blocks.
  """

  __slots__ = ("_lock",)

  def __init__(self):
    self._lock = thread.allocate_lock()

  def acquire(self, blocking=True):
    return self._lock.acquire(blocking)

  def release(self):
    self._lock.release()

  def locked(self):
    return self._lock.locked()

  def __enter__(self):
    self._lock.acquire()
    return self

  def __exit__(self, exc_type, exc_value, traceback):
    self._lock.release()
    return False
