# -*- coding: utf-8 -*-
"""How long the processes that use windows.volumes live: a child forked in
the middle of a refresh, and volinfo beside a FUSE mount that stops
answering. The whole process runs in a mount namespace of its own, so no
other process sees the mounts."""

import ctypes
import errno
import logging
import os
import select
import signal
import subprocess
import sys
import threading
import time
import traceback
import unittest

from real_volumes import (EnterPrivateMountNamespace, MissingPrerequisite, MountingTestCase,
                          NativeText, Text)

# How long the provider waits for one blocking call.
BOUND = 2.0
# Python's start and the module's import, on a loaded 2-core machine.
START_UP = 1.5
# Long enough to tell a bounded wait from one that lasts the whole stall.
STALL = 20.0


_NO_NAMESPACE = EnterPrivateMountNamespace()

import windows.volumes as volumes  # pylint: disable=g-import-not-at-top

VOLINFO = os.path.join(os.environ.get("VOLUMES_SOURCE_DIR",
                                      os.path.join(os.path.dirname(__file__), "..", "..")),
                       "tools", "volinfo.py")
STALLFS = os.environ.get("VOLUMES_STALLFS")


def _ChildVerdict(pid, reader, limit):
  """(What child `pid` wrote to `reader` before it closed it, as the native
  str ("" when it wrote nothing), or None when that took more than `limit`
  seconds, the child then killed; the time it arrived). The child is reaped
  either way (a child with a thread stuck on a stalled mount only when the
  stall ends, which the time of the verdict does not count)."""
  try:
    if not select.select([reader], [], [], limit)[0]:
      os.kill(pid, signal.SIGKILL)
      return None, time.time()
    return NativeText(os.read(reader, 64)), time.time()
  finally:
    os.close(reader)
    os.waitpid(pid, 0)


class _PauseInRefresh(logging.Handler):
  """Holds the refreshing thread at the refresh's first log record, inside
  the refresh lock, until `proceed` is set. In any other process it lets
  records pass (handle() is overridden so that the handler's own lock, held
  by the paused thread, is not taken there)."""

  def __init__(self):
    logging.Handler.__init__(self)
    self.pid = os.getpid()
    self.inside = threading.Event()
    self.proceed = threading.Event()

  def handle(self, record):
    if os.getpid() == self.pid and record.getMessage().startswith("Refreshing"):
      self.inside.set()
      self.proceed.wait(30)


def _ForkMidRefresh(service):
  """Forks while another thread refreshes `service`, inside its refresh
  lock; the child refreshes twice. ("refreshed", "" when the child's
  refreshes failed or None when they did not end within five bounds;
  seconds they took)."""
  pause = _PauseInRefresh()
  logger = logging.getLogger(volumes.__name__)
  level = logger.level
  logger.setLevel(logging.INFO)
  logger.addHandler(pause)
  refresher = threading.Thread(target=service.AllVolumeEntries, args=(True,))
  refresher.start()
  try:
    if not pause.inside.wait(30):
      raise AssertionError("the refresh never started")
    started = time.time()
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
      try:
        os.close(reader)
        if service.AllVolumeEntries(True) and service.AllVolumeEntries(True):
          os.write(writer, b"refreshed")
      finally:
        os._exit(0)
    os.close(writer)
    verdict, arrived = _ChildVerdict(pid, reader, 5 * BOUND)
    return verdict, arrived - started
  finally:
    pause.proceed.set()
    refresher.join(30)
    logger.removeHandler(pause)
    logger.setLevel(level)


class ForkDuringARefreshTest(unittest.TestCase):

  @unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
  def testAChildForkedWhileAnotherThreadRefreshesRefreshesItself(self):
    verdict, _ = _ForkMidRefresh(volumes.VolumeInfo.__wrapped__())
    self.assertIsNotNone(verdict, "the child waited for the refresh lock that a thread of its "
                         "parent held at the fork")
    self.assertEqual(verdict, "refreshed", "the child's refreshes failed")


_CLONE_FILES = 0x00000400
_LIBC = ctypes.CDLL(None, use_errno=True)


def _WatchingDescriptors():
  """The numbers of this thread's descriptor table that hold a mount table
  or an epoll instance: what the provider watches tables with."""
  found = []
  for name in os.listdir("/proc/thread-self/fd"):
    try:
      link = os.readlink("/proc/thread-self/fd/" + name)
    except OSError:
      continue  # the listing's own descriptor, closed since
    if link == "anon_inode:[eventpoll]" or link.endswith("/mountinfo"):
      found.append(int(name))
  return found


class _ThreadWithItsOwnDescriptorTable(object):
  """A thread that unshares its descriptor table, refreshes the volume
  table (so the provider watches it at numbers of that table, `numbers`)
  and waits until Close()."""

  def __init__(self):
    self.unshared = None
    self.numbers = []
    self.ready = threading.Event()
    self.done = threading.Event()
    self.thread = threading.Thread(target=self._Run)
    self.thread.daemon = True
    self.thread.start()
    if not self.ready.wait(30):
      raise AssertionError("the thread never refreshed")

  def _Run(self):
    self.unshared = _LIBC.unshare(_CLONE_FILES) == 0
    if self.unshared:
      before = set(_WatchingDescriptors())
      volumes.VolumeInfo.__wrapped__().AllVolumeEntries(True)
      self.numbers = sorted(set(_WatchingDescriptors()) - before)
    self.ready.set()
    self.done.wait(60)

  def Close(self):
    self.done.set()
    self.thread.join(30)


def _IsOpen(fd):
  try:
    os.fstat(fd)
    return True
  except OSError:
    return False


class ForkBesideAThreadWithItsOwnDescriptorTableTest(unittest.TestCase):
  """The numbers a thread with a descriptor table of its own watches its
  table at are free in the main thread's table, so the main thread's files
  may get them (here they are made to): a child it forks must keep them."""

  def setUp(self):
    volumes.VolumeInfo.__wrapped__().AllVolumeEntries(True)  # the main table is watched
    other = _ThreadWithItsOwnDescriptorTable()
    self.addCleanup(other.Close)
    if not other.unshared:
      self.skipTest("unshare(CLONE_FILES) refused")
    self.numbers = [fd for fd in other.numbers if not _IsOpen(fd)]
    self.assertTrue(self.numbers, "the thread watches its table at numbers free here")

  def HoldNumbersBelow(self, number):
    """Takes every free number below `number`, so the next files get it."""
    held = []
    self.addCleanup(lambda: [os.close(fd) for fd in held])
    while True:
      fd = os.open(os.devnull, os.O_RDONLY)
      if fd >= number:
        os.close(fd)
        return
      held.append(fd)

  def testSubprocessRunsItsCommand(self):
    # Python 2's subprocess takes the next numbers for its exec-status pipe.
    self.HoldNumbersBelow(self.numbers[0])
    self.assertEqual(subprocess.call(["true"]), 0)
    self.assertEqual(NativeText(subprocess.check_output(["echo", "ran"])), "ran\n")

  @unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
  def testAForkedChildWritesItsResultPipe(self):
    placeholder = os.open(os.devnull, os.O_RDONLY)
    for fd in self.numbers:
      if fd != placeholder:
        os.dup2(placeholder, fd)  # taken first, so that the pipe gets none of them
    if placeholder not in self.numbers:
      os.close(placeholder)
    reader, writer = os.pipe()
    for fd in self.numbers:
      os.dup2(writer, fd)
    os.close(writer)
    pid = os.fork()
    if pid == 0:
      written = 0
      try:
        for fd in self.numbers:
          written += os.write(fd, b"x")
      except OSError:
        pass
      finally:
        os._exit(0 if written == len(self.numbers) else 1)
    _, status = os.waitpid(pid, 0)
    for fd in self.numbers + [reader]:
      os.close(fd)
    self.assertEqual(status, 0, "a write to one of the child's pipes failed")


def _Mount(target):
  """A tmpfs at `target`, by the system call (the caller may have closed
  what a helper program would need)."""
  if _LIBC.mount(b"tmpfs", target.encode(), b"tmpfs", 0, b"size=1m") != 0:
    raise OSError(ctypes.get_errno(), "mount " + target)


def _InChild(body):
  """The exit status of body() run in a forked child (99: it raised)."""
  pid = os.fork()
  if pid == 0:
    code = 99
    try:
      code = body()
    except Exception:  # pylint: disable=broad-except
      traceback.print_exc()
    finally:
      os._exit(code)
  return os.WEXITSTATUS(os.waitpid(pid, 0)[1])


@unittest.skipIf(_NO_NAMESPACE, _NO_NAMESPACE)
@unittest.skipUnless(hasattr(os, "fork"), "needs os.fork")
class AnApplicationThatClosesTheModulesDescriptorsTest(MountingTestCase):
  """An application that closes what it did not open (os.closerange, as a
  daemon does), or puts its own files at those numbers (dup2), still sees
  every change of the mount table, and keeps its files, through a fork too.
  In a forked child, whose descriptors are its own to close."""

  def Later(self, name):
    target = self.sandbox.Path(name)
    self.addCleanup(lambda: subprocess.call(["umount", "-l", target]))
    return target

  def Listed(self, service, target):
    return any(entry.mountpoint == Text(target)
               for entry in service.AllVolumeEntries(True).values())

  def testAMountAfterACloserangeIsSeen(self):
    later = self.Later("after-closerange")

    def Body():
      service = volumes.VolumeInfo.__wrapped__()
      service.AllVolumeEntries(True)
      os.closerange(3, min(os.sysconf("SC_OPEN_MAX"), 1 << 16))
      _Mount(later)
      return 0 if self.Listed(service, later) else 1

    self.assertEqual(_InChild(Body), 0, "the tmpfs mounted after the close is not listed")

  def testAMountAfterADup2OntoTheWatchIsSeenAndTheFilesStay(self):
    later = self.Later("after-dup2")

    def Body():
      service = volumes.VolumeInfo.__wrapped__()
      service.AllVolumeEntries(True)
      watching = _WatchingDescriptors()
      reader, writer = os.pipe()
      for fd in watching:
        os.dup2(writer, fd)
      _Mount(later)
      code = 0 if self.Listed(service, later) else 1
      try:
        for fd in watching:
          os.write(fd, b"x")
      except OSError:
        code |= 2
      if subprocess.call(["true"]) != 0:
        code |= 4
      return code

    self.assertEqual(_InChild(Body), 0, "1: the tmpfs mounted after the dup2 is not listed; "
                     "2: the files put at the watch's numbers were closed; 4: subprocess failed")


def _MountInfoHas(target):
  with open("/proc/self/mountinfo") as mountinfo:
    return any(line.split()[4] == target for line in mountinfo)


class _Volinfo(object):
  """One volinfo run whose output is read as it comes: when the output
  ended (its reader saw end of file) and when the process ended, in
  seconds after its start."""

  def __init__(self, arguments, stdout=subprocess.PIPE):
    self.started = time.time()
    self.process = subprocess.Popen([sys.executable, "-B", VOLINFO] + list(arguments),
                                    stdout=stdout, stderr=subprocess.PIPE)
    self.out, self.err = [], []
    self.output_ended = None
    self.readers = [threading.Thread(target=self._Read, args=(self.process.stderr, self.err))]
    if stdout is subprocess.PIPE:
      self.readers.append(
          threading.Thread(target=self._Read, args=(self.process.stdout, self.out)))
    for reader in self.readers:
      reader.daemon = True
      reader.start()

  def _Read(self, stream, into):
    into.append(stream.read())
    stream.close()
    if stream is self.process.stdout or self.process.stdout is None:
      self.output_ended = time.time() - self.started

  def Wait(self, limit):
    """(exit status, seconds to the exit), or (None, None) when it did not
    end within `limit` seconds."""
    deadline = self.started + limit
    while self.process.poll() is None and time.time() < deadline:
      time.sleep(0.02)
    if self.process.returncode is None:
      return None, None
    return self.process.returncode, time.time() - self.started

  def Output(self):
    for reader in self.readers:
      reader.join(STALL)
    return NativeText(b"".join(self.out)), NativeText(b"".join(self.err))

  def Kill(self):
    if self.process.poll() is None:
      self.process.kill()
      self.process.wait()


def _StallfsMissing():
  missing = _NO_NAMESPACE or MissingPrerequisite(fuse=True)
  if missing:
    return missing
  if not STALLFS or not os.access(STALLFS, os.X_OK):
    return "needs the tests' stalling FUSE server (VOLUMES_STALLFS; built with libfuse3)"
  return None


@unittest.skipIf(_StallfsMissing(), _StallfsMissing())
class _StalledMountTestCase(MountingTestCase):
  """A FUSE mount whose server stops answering on command: a provider
  worker, or volinfo's own look-up, then waits in the kernel for an answer
  that no signal can cut short."""

  def setUp(self):
    MountingTestCase.setUp(self)
    backing = os.path.join(self.sandbox.root, "backing")
    with open(backing, "wb") as handle:
      handle.truncate(1 << 20)
    self.target = self.sandbox.Path("stalled")
    self.stalling = threading.Event()
    self.restaller = None
    # One thread serves all requests (-s): while it waits in one, the
    # others stay queued in the kernel.
    self.server = subprocess.Popen([STALLFS, backing, "-f", "-s", self.target])
    self.addCleanup(self._StopServer)
    deadline = time.time() + 10
    while not _MountInfoHas(self.target):
      if self.server.poll() is not None or time.time() > deadline:
        self.fail("the stalling server did not mount %s" % self.target)
      time.sleep(0.02)

  def _StopServer(self):
    self.stalling.clear()
    if self.restaller:
      self.restaller.join(5)
    # Ending the server aborts its connection: whatever still waits for it
    # (workers of a volinfo that gave up on it) returns at once.
    self.server.kill()
    self.server.wait()
    subprocess.call(["umount", "-l", self.target])

  def Stall(self):
    """Makes every request wait, for as long as the test runs (the server
    ends a stall by itself after a while; it is renewed until then)."""
    self.stalling.set()

    def Renew():
      ends = time.time() + STALL
      while self.stalling.is_set() and time.time() < ends:
        os.kill(self.server.pid, signal.SIGUSR1)
        time.sleep(1)
      os.kill(self.server.pid, signal.SIGUSR2)
    self.restaller = threading.Thread(target=Renew)
    self.restaller.start()


class ForkBesideAStuckWorkerTest(_StalledMountTestCase):

  def testAChildForkedMidRefreshBesideAStuckWorkerRefreshesInOneBound(self):
    service = volumes.VolumeInfo.__wrapped__()
    self.Stall()
    try:
      service.AllVolumeEntries(True)  # leaves a worker stuck on the mount
      verdict, seconds = _ForkMidRefresh(service)
    finally:
      self.stalling.clear()
    sys.stderr.write("[the child's two refreshes took %.2f s] " % seconds)
    self.assertEqual(verdict, "refreshed", "the child did not refresh in time")
    # Its first refresh waits one bound for the mount (the parent's worker
    # and gate are not the child's); the second finds the mount's gate shut.
    self.assertLess(seconds, 3 * BOUND)


class VolinfoBesideAStalledMountTest(_StalledMountTestCase):

  def Run(self, *arguments, **options):
    """(status, seconds to the exit, seconds to the end of the output,
    stdout, stderr) of volinfo while the mount is stalled; the assertion
    fails when it did not end in well under the stall. `stdout` replaces
    the captured output (the end of stderr is timed then)."""
    self.Stall()
    run = _Volinfo(arguments, **options)
    try:
      status, exited = run.Wait(STALL / 2)
      self.assertIsNotNone(status, "volinfo %s did not end while the mount stalled"
                           % " ".join(arguments))
    finally:
      run.Kill()
      self.stalling.clear()
    out, err = run.Output()
    sys.stderr.write("[volinfo %s: output ended after %.2f s, exit after %.2f s] "
                     % (" ".join(arguments), run.output_ended, exited))
    return status, exited, run.output_ended, out, err

  def testTheTableEndsAndVolinfoExitsWhileAWorkerIsStuck(self):
    status, exited, output_ended, out, err = self.Run()
    self.assertEqual((status, err), (0, ""))
    self.assertEqual(out.splitlines()[0].split()[:3], ["VOLUME", "ID", "MOUNT"])
    # The refresh waits one bound for the stalled mount; the output and the
    # exit follow at once.
    limit = 3 * BOUND + START_UP
    self.assertLess(output_ended, limit)
    self.assertLess(exited, limit)

  def testAPathOnTheStalledMountIsAnErrorInBoundedTime(self):
    stalled = os.path.join(self.target, "disk.img")
    status, exited, output_ended, out, err = self.Run("/", stalled)
    self.assertEqual(status, 1)
    self.assertEqual(err, "volinfo: %s: %s\n" % (stalled, os.strerror(errno.ETIMEDOUT)))
    self.assertTrue(out.startswith("/: "), out)
    self.assertEqual(len(out.splitlines()), 1, out)
    # One bound for the refresh, one for the path.
    limit = 3 * BOUND + START_UP
    self.assertLess(output_ended, limit)
    self.assertLess(exited, limit)

  def testAWriteErrorAndAClosedPipeEndItInTimeToo(self):
    limit = 3 * BOUND + START_UP
    with open("/dev/full", "w") as full:
      status, exited, output_ended, _, err = self.Run("--json", stdout=full)
    self.assertEqual((status, err), (4, "volinfo: write error: No space left on device\n"))
    self.assertLess(max(exited, output_ended), limit)
    reader, writer = os.pipe()
    os.close(reader)
    try:
      status, exited, output_ended, _, err = self.Run(stdout=writer)
    finally:
      os.close(writer)
    self.assertEqual((status, err), (-signal.SIGPIPE, ""))
    self.assertLess(max(exited, output_ended), limit)


if __name__ == "__main__":
  unittest.main()
