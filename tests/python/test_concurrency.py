"""Many threads against one VolumeInfo service.

Sixteen callers mix every entry of the module for a bounded time while
another thread replaces the scripted volumes generation by generation (each
generation's labels carry its number). The system changes only while the
service's lock is held, so every table a caller sees must be exactly one
generation, never a mixture, and never older than one it saw before.
Requests that wait while a rebuild runs cause no second one; singleton
creation raced from many threads makes one instance.
"""

import sys
import threading
import time
import types
import unittest

import common.service.service
import scripted_system
import volumes_testing
from volumes_testing import LONG, Handle, Stat, VolumeName
import windows.volumes as volumes

THREADS = 16
STRESS_SECONDS = 2.0
MAX_ITERATIONS = 20000  # per caller, whatever the speed of the interpreter
JOIN_TIMEOUT = 60
FAT, NTFS = 100, 101  # serials of the two volumes present in every generation
FAT_HANDLE, NTFS_HANDLE = 7, 8
REFRESHING = "Refreshing volume information table."


def GenerationVolumes(generation):
  """(name, serial) of the volumes that come and go with a generation."""
  return [(VolumeName("g%d-%d" % (generation, i)), generation * 1000 + i)
          for i in range(1 + generation % 3)]


def ExpectedKeys(generation):
  return set(["serial:%d" % FAT, "serial:%d" % NTFS] +
             ["serial:%d" % serial for _, serial in GenerationVolumes(generation)])


def Generation(table):
  """The one generation of a table's changing volumes; fails on a mixture."""
  labels = set(e.label for k, e in table.items() if k not in ("serial:100", "serial:101"))
  assert len(labels) == 1, "entries of several generations: %r" % table
  generation = int(labels.pop()[len(u"gen"):])
  assert set(table) == ExpectedKeys(generation), "incomplete table: %r" % table
  assert all(k == e.volume for k, e in table.items()), table
  return generation


class GatedLock(object):
  """The service's lock, whose __enter__ blocks until the gate opens."""

  def __init__(self, lock):
    self.lock = lock
    self.gate = threading.Event()
    self.condition = threading.Condition()
    self.waiting = 0

  def __enter__(self):
    with self.condition:
      self.waiting += 1
      self.condition.notify_all()
    self.gate.wait(JOIN_TIMEOUT)
    return self.lock.__enter__()

  def __exit__(self, *exc_info):
    return self.lock.__exit__(*exc_info)

  def AwaitWaiting(self, count):
    deadline = time.time() + JOIN_TIMEOUT
    with self.condition:
      while self.waiting < count and time.time() < deadline:
        self.condition.wait(1)
    return self.waiting


class ConcurrencyTest(volumes_testing.ScriptedSystemTestCase):

  def setUp(self):
    volumes_testing.ScriptedSystemTestCase.setUp(self)
    self.system.add_volume(VolumeName("fat"), [u"P:\\"], label=u"fat", serial=FAT,
                           filesystem=u"FAT32")
    self.system.add_volume(VolumeName("ntfs"), [u"N:\\"], label=u"ntfs", serial=NTFS)
    self.system.bind_handle(FAT_HANDLE, VolumeName("fat"))
    self.system.bind_handle(NTFS_HANDLE, VolumeName("ntfs"))
    self.errors = []

  def SetGeneration(self, generation):
    for name, _ in GenerationVolumes(generation - 1):
      self.system.remove_volume(name)
    for i, (name, serial) in enumerate(GenerationVolumes(generation)):
      # Several mount points: the lookup grows its buffer.
      self.system.add_volume(name, [u"X:\\gen\\%d\\" % i, u"Y%d:\\" % i],
                             label=u"gen%d" % generation, serial=serial)

  def RunThreads(self, targets):
    threads = [threading.Thread(target=self.Guarded(target)) for target in targets]
    for thread in threads:
      thread.start()
    for thread in threads:
      thread.join(JOIN_TIMEOUT)
    self.assertEqual([], [t for t in threads if t.is_alive()], "deadlock")
    self.assertEqual([], self.errors)

  def Guarded(self, target):
    def Run():
      try:
        target()
      except BaseException:
        self.errors.append(sys.exc_info()[:2])
    return Run

  def Refreshes(self):
    records = [r for r in self.log.records if r.msg == REFRESHING]
    return len(records), len(self.SystemCalls("FindFirstVolumeW"))

  def testCallersSeeWholeGenerationsWhileVolumesChange(self):
    self.SetGeneration(1)
    service = self.service
    stop = threading.Event()
    state = {"generation": 1, "changes": 0}
    counts = [0] * THREADS

    def Mutate():
      while not stop.is_set() and state["changes"] < MAX_ITERATIONS:
        with service._lock:  # never while a rebuild reads the system
          self.SetGeneration(state["generation"] + 1)
          state["generation"] += 1
          state["changes"] += 1
        time.sleep(0.001)

    def Call(index):
      seen, volume_ids = 0, ["serial:%d" % FAT]
      fat_id = volumes.FindVolumeID(Stat(FAT))
      for iteration in range(MAX_ITERATIONS):
        if stop.is_set():
          break
        counts[index] += 1
        step = (iteration + index) % 7
        if step < 2:
          table = service.AllVolumeEntries(force_update=(step == 1))
          generation = Generation(table)
          assert seen <= generation <= state["generation"], (seen, generation)
          seen, volume_ids = generation, list(table.keys())
        elif step == 2:
          volume_id = volume_ids[iteration % len(volume_ids)]
          entry = service.GetVolumeEntryForVolumeID(volume_id)
          assert entry is None or entry.volume == volume_id, (volume_id, entry)
        elif step == 3:
          entry = service.GetVolumeEntryForDeviceNumber(NTFS)
          assert entry is None or entry.label == u"ntfs", entry
        elif step == 4:
          assert volumes.FindVolumeID(Stat(FAT)) is fat_id
          assert service.FindVolumeID(Stat(LONG(FAT))) is fat_id
        elif step == 5:
          assert volumes.IsFAT(FAT, Handle(FAT_HANDLE)) is True
        else:
          assert volumes.IsFAT(serial_number=NTFS, handle=Handle(NTFS_HANDLE)) is False

    # Switch threads often: every 10 instructions in 2.7, every 50 us in 3.
    if hasattr(sys, "setswitchinterval"):
      old_interval = sys.getswitchinterval()
      sys.setswitchinterval(5e-5)
      self.addCleanup(sys.setswitchinterval, old_interval)
    else:
      old_interval = sys.getcheckinterval()
      sys.setcheckinterval(10)
      self.addCleanup(sys.setcheckinterval, old_interval)
    def Stop():
      # At least STRESS_SECONDS, and on until every caller has called and
      # the volumes have changed: a slow or loaded machine (valgrind runs
      # one thread at a time) may leave some threads unscheduled that long.
      deadline = time.time() + JOIN_TIMEOUT / 2
      stop.wait(STRESS_SECONDS)
      while time.time() < deadline and not (all(counts) and state["changes"] > 1):
        time.sleep(0.05)
      stop.set()

    self.RunThreads([Stop, Mutate] + [lambda i=i: Call(i) for i in range(THREADS)])
    self.assertGreater(state["changes"], 1)
    self.assertTrue(all(counts), counts)
    refreshes, searches = self.Refreshes()
    self.assertEqual(refreshes, searches)
    self.assertEqual(Generation(service.AllVolumeEntries(True)), state["generation"])
    self.assertFalse(service._lock.locked())
    sys.stderr.write("\n%d calls by %d threads, %d generations, %d refreshes\n"
                     % (sum(counts), THREADS, state["generation"], refreshes))

  def testRequestsWaitingForARebuildCauseNoSecondOne(self):
    self.SetGeneration(1)
    for force_update in (False, True):  # empty table, then loaded and forced
      for round_number in range(3):
        self.service = volumes.VolumeInfo.__wrapped__()
        if force_update:
          self.service.AllVolumeEntries()
        del self.log.records[:]
        self.system.clear_calls()
        lock = GatedLock(self.service._lock)
        self.service._lock = lock
        results = []

        def Request(i):
          results.append(self.service.AllVolumeEntries(force_update or None))
        threads = [lambda i=i: Request(i) for i in range(THREADS)]
        opener = threading.Thread(target=lambda: (lock.AwaitWaiting(THREADS), lock.gate.set()))
        opener.start()
        self.RunThreads(threads)
        opener.join(JOIN_TIMEOUT)
        self.assertEqual(THREADS, lock.waiting)
        self.assertEqual((1, 1), self.Refreshes(), (force_update, round_number))
        self.assertEqual(THREADS, len(results))
        self.assertTrue(all(r == results[0] for r in results))
        self.assertEqual(1, Generation(results[0]))
        self.service._lock = lock.lock
        self.assertTrue(lock.lock.acquire(False))
        lock.lock.release()

  def testOneSingletonInstanceWhenThreadsRaceToCreateIt(self):
    made = []

    class SlowLock(object):
      def __init__(self):
        made.append(self)
        time.sleep(0.01)  # widens the window for a second instance
    fake = types.ModuleType("platform_utils")
    fake.Lock = SlowLock
    self.Rebind("platform_utils", fake)
    for _ in range(5):
      del made[:]
      shared = common.service.service.Singleton(volumes.VolumeInfo.__wrapped__)
      start, instances = threading.Event(), []

      def Obtain():
        start.wait(JOIN_TIMEOUT)
        instances.append(shared())
      threads = [threading.Thread(target=Obtain) for _ in range(THREADS)]
      for thread in threads:
        thread.start()
      start.set()
      for thread in threads:
        thread.join(JOIN_TIMEOUT)
      self.assertEqual(THREADS, len(instances))
      self.assertEqual(1, len(set(map(id, instances))))
      self.assertEqual([instances[0]._lock], made)


if __name__ == "__main__":
  unittest.main()
