"""Platform utilities."""

import functools
import os
try:
  import thread
except ImportError:  # Python 3
  import _thread as thread
import threading
import weakref


class Lock(object):
  """A mutual-exclusion lock, usable as a context manager.

  Not re-entrant: a thread that holds it and acquires it again blocks.

  In a child made by os.fork it is held only if the thread that forked held
  it: that thread goes on in the child and releases it there. A lock held by
  any other thread of the parent is free in the child, where no thread could
  ever release it.
  """

  __slots__ = ("_lock", "_holder", "__weakref__")

  def __init__(self):
    self._lock = thread.allocate_lock()
    self._holder = None  # thread.get_ident() of the thread that acquired it
    _LOCKS.add(self)

  def acquire(self, blocking=True):
    acquired = self._lock.acquire(blocking)
    if acquired:
      self._holder = thread.get_ident()
    return acquired

  def release(self):
    # Forgotten first: a fork between the two lines finds the lock still
    # held by a thread that is not the forking one, and frees it in the child.
    self._holder = None
    self._lock.release()

  def locked(self):
    return self._lock.locked()

  def __enter__(self):
    self.acquire()
    return self

  def __exit__(self, exc_type, exc_value, traceback):
    self.release()
    return False

  def _RenewInChild(self, forking_thread):
    if self._lock.locked() and self._holder != forking_thread:
      self._lock = thread.allocate_lock()
      self._holder = None


# Every Lock alive, for the renewal after a fork.
_LOCKS = weakref.WeakSet()


def _RenewLocksInChild(locks):
  """Runs in a child made by os.fork, on its only thread (the one that
  forked, whose thread.get_ident() is the one it had in the parent), before
  any other Python code of the child."""
  forking_thread = thread.get_ident()
  for lock in list(locks):
    lock._RenewInChild(forking_thread)  # pylint: disable=protected-access


def _AfterForkToo(after_fork, locks):
  def AfterFork():
    after_fork()
    _RenewLocksInChild(locks)
  return AfterFork


# Each hook holds the set it renews, not the module's name for it: a reload
# of this module makes a new set and adds its own hook, for the locks made
# after it, and the locks made before it stay renewed by the first.
if hasattr(os, "register_at_fork"):  # Python 3
  os.register_at_fork(after_in_child=functools.partial(_RenewLocksInChild, _LOCKS))
else:
  # Python 2.7 offers no hook to run code in a forked child, but os.fork
  # calls the threading module's _after_fork there (once a thread has been
  # started; before that no other thread can hold a lock). The renewal rides
  # on it.
  threading._after_fork = _AfterForkToo(threading._after_fork, _LOCKS)  # pylint: disable=protected-access
