"""platform_utils.Lock, the refresh lock: what it promises its users, and
what a child made by os.fork finds of it."""

import os
try:
  import thread
except ImportError:  # Python 3
  import _thread as thread
import threading
import unittest
try:
  from importlib import reload  # Python 3
except ImportError:
  pass  # 2.7's built-in reload

from platforms import platform_utils
from platforms.platform_utils import Lock

JOIN_TIMEOUT = 30


def InChild(check):
  """Runs `check` in a forked child; its result (True, or a text saying
  what went wrong) comes back through a pipe, as UTF-8 ("ok" for True)."""
  reader, writer = os.pipe()
  pid = os.fork()
  if pid == 0:
    try:  # the child never returns into the test runner
      os.close(reader)
      verdict = "the check raised"
      try:
        verdict = check()
      finally:
        os.write(writer, (u"ok" if verdict is True else u"%s" % verdict).encode("utf-8"))
    finally:
      os._exit(0)
  os.close(writer)
  chunks = []
  while True:
    chunk = os.read(reader, 4096)
    if not chunk:
      break
    chunks.append(chunk)
  os.close(reader)
  os.waitpid(pid, 0)
  return b"".join(chunks).decode("utf-8")


class LockTest(unittest.TestCase):

  def testAMutualExclusionLockThatIsNotReentrant(self):
    lock = Lock()
    self.assertFalse(lock.locked())
    with lock as entered:
      self.assertIs(entered, lock)
      self.assertTrue(lock.locked())
      self.assertFalse(lock.acquire(False))  # not re-entrant
    self.assertFalse(lock.locked())
    self.assertTrue(lock.acquire(True))
    lock.release()
    with self.assertRaises(ValueError):  # __exit__ lets the exception through
      with lock:
        raise ValueError("inside")
    self.assertFalse(lock.locked())
    self.assertRaises(thread.error, lock.release)


@unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
class LockInAForkedChildTest(unittest.TestCase):

  def testAHoldOfAnotherThreadIsFreeInTheChild(self):
    # That thread does not exist in the child: nothing there could release it.
    locks = [Lock(), Lock()]
    held, done = threading.Event(), threading.Event()

    def Hold():
      with locks[0]:
        locks[1].acquire()
        held.set()
        done.wait(JOIN_TIMEOUT)
      locks[1].release()
    holder = threading.Thread(target=Hold)
    holder.start()
    try:
      self.assertTrue(held.wait(JOIN_TIMEOUT))

      def Check():
        if any(lock.locked() for lock in locks):
          return "a lock stayed held in the child"
        with locks[0]:
          return locks[1].acquire(False) or "acquire failed"
      self.assertEqual(InChild(Check), "ok")
      self.assertEqual([lock.locked() for lock in locks], [True, True], "the parent's changed")
    finally:
      done.set()
      holder.join(JOIN_TIMEOUT)
    self.assertFalse(any(lock.locked() for lock in locks))

  def testALockMadeBeforeAReloadOfItsModuleIsStillRenewed(self):
    # The reload starts a new set of locks to renew; the locks made before
    # it are in the old set, which the renewal must not lose.
    before = Lock()
    reload(platform_utils)
    locks = [before, platform_utils.Lock()]
    held, done = threading.Event(), threading.Event()

    def Hold():
      for lock in locks:
        lock.acquire()
      held.set()
      done.wait(JOIN_TIMEOUT)
      for lock in locks:
        lock.release()
    holder = threading.Thread(target=Hold)
    holder.start()
    try:
      self.assertTrue(held.wait(JOIN_TIMEOUT))
      self.assertEqual(InChild(lambda: not any(lock.locked() for lock in locks)
                               or "a lock stayed held in the child"), "ok")
    finally:
      done.set()
      holder.join(JOIN_TIMEOUT)

  def testAHoldOfTheForkingThreadGoesOnInTheChild(self):
    # The forking thread is the child's own: it still releases what it held.
    idle = threading.Thread(target=lambda: None)  # the child's fork hooks run once a
    idle.start()                                  # thread has been started
    idle.join()
    lock = Lock()

    def Check():
      if not lock.locked() or lock.acquire(False):
        return "the forking thread's hold was lost"
      lock.release()
      return lock.acquire(False) or "released, yet not free"
    with lock:
      verdict = InChild(Check)
    self.assertEqual(verdict, "ok")
    self.assertFalse(lock.locked())


if __name__ == "__main__":
  unittest.main()
