"""The VolumeInfo service object: what __init__ sets up, the lookups that
read the table without ever filling it, the device-number mapping, and the one
shared instance."""

import threading
import time
import types
import unittest

import common.service.service
import platforms.platform_utils
import volumes_testing
from volumes_testing import LONG, Stat, VolumeName
import windows.volumes as volumes

C_DRIVE = VolumeName("c-drive")
D_DRIVE = VolumeName("d-drive")


class RecordingLock(object):
  """A lock that counts how often it is made and entered."""
  made = 0

  def __init__(self):
    RecordingLock.made += 1
    self.entered = 0

  def __enter__(self):
    self.entered += 1

  def __exit__(self, *exc_info):
    return False


def FakePlatformUtils(lock_class):
  module = types.ModuleType("platform_utils")
  module.Lock = lock_class
  return module


class VolumeInfoServiceTest(volumes_testing.ScriptedSystemTestCase):

  def Loaded(self):
    """The fixture's instance with a table of two volumes."""
    self.system.add_volume(C_DRIVE, [u"C:\\"], serial=1111)
    self.system.add_volume(D_DRIVE, [u"D:\\"], serial=0xF0000000)
    self.service.AllVolumeEntries()
    self.system.clear_calls()
    return self.service

  def testInitMakesEmptyTablesAndALock(self):
    first, second = self.service, volumes.VolumeInfo.__wrapped__()
    for instance in (first, second):
      self.assertEqual(({}, {}), (instance._volume_ids, instance._volume_entries))
      self.assertIsNot(instance._volume_ids, instance._volume_entries)
      self.assertIsInstance(instance._lock, platforms.platform_utils.Lock)
    self.assertIsNot(first._volume_entries, second._volume_entries)
    self.assertIsNot(first._lock, second._lock)
    self.assertIsNone(first.__init__())
    self.assertEqual([], self.SystemCalls())

  def testLockIsLookedUpAtEachInit(self):
    self.Rebind("platform_utils", FakePlatformUtils(RecordingLock))
    self.assertIsInstance(volumes.VolumeInfo.__wrapped__()._lock, RecordingLock)
    volumes.platform_utils.Lock = dict
    self.assertEqual({}, volumes.VolumeInfo.__wrapped__()._lock)

  def testFailingLockLeavesTheTablesSet(self):
    def Failing():
      raise RuntimeError("no lock")
    self.Rebind("platform_utils", FakePlatformUtils(Failing))
    cls = volumes.VolumeInfo.__wrapped__
    instance = cls.__new__(cls)
    self.assertRaises(RuntimeError, instance.__init__)
    self.assertEqual(({}, {}), (instance._volume_ids, instance._volume_entries))
    self.assertFalse(hasattr(instance, "_lock"))
    volumes.platform_utils = None
    self.assertRaises(AttributeError, cls)

  def testLookupsNeverLoadTheTable(self):
    self.system.add_volume(C_DRIVE, [u"C:\\"], serial=1111)
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID("serial:1111"))
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(1111))
    self.assertEqual([], self.SystemCalls())
    self.assertEqual({}, self.service._volume_entries)

  def testLookupsOnALoadedTable(self):
    service = self.Loaded()
    service._lock = RecordingLock()
    entry = service.GetVolumeEntryForVolumeID("serial:1111")
    self.assertEqual(u"C:\\", entry.mountpoint)
    self.assertIs(entry, service.GetVolumeEntryForVolumeID("serial:1111"))
    self.assertIs(entry, service._volume_entries["serial:1111"])
    for st_dev in (1111, LONG(1111)):
      self.assertIs(entry, service.GetVolumeEntryForDeviceNumber(st_dev))
    # A serial above the signed 32-bit range, as st_dev carries it.
    self.assertIs(service.GetVolumeEntryForVolumeID(service.FindVolumeID(Stat(0xF0000000))),
                  service.GetVolumeEntryForDeviceNumber(0xF0000000))
    self.assertEqual(u"D:\\", service.GetVolumeEntryForDeviceNumber(0xF0000000).mountpoint)
    for missing in ("serial:2222", u"serial:2222", 1111, None):
      self.assertIsNone(service.GetVolumeEntryForVolumeID(missing))
    self.assertIsNone(service.GetVolumeEntryForDeviceNumber(2222))
    self.assertRaises(TypeError, service.GetVolumeEntryForVolumeID, ["serial:1111"])
    self.assertEqual((0, []), (service._lock.entered, self.SystemCalls()))

  def testAKeyComparisonThatRaisesIsNotAMiss(self):
    # A key of the table that shares the ID's hash and whose comparison
    # raises: dict.get raises, so must the lookup (and not answer None).
    class Clashing(object):
      def __hash__(self):
        return hash("serial:1111")

      def __eq__(self, other):
        raise ValueError("no comparison")

    service = self.Loaded()
    service._volume_entries = {Clashing(): "entry"}
    self.assertRaises(ValueError, service._volume_entries.get, "serial:1111")
    self.assertRaises(ValueError, service.GetVolumeEntryForVolumeID, "serial:1111")
    self.assertRaises(ValueError, service.GetVolumeEntryForDeviceNumber, 1111)

  def testDeviceNumberMapping(self):
    service = self.Loaded()
    seen = []
    # The module's ID function as bound at call time...
    self.Rebind("_VolumeIDFromSerialNumber", lambda serial: seen.append(serial) or "serial:1111")
    self.assertEqual(u"C:\\", service.GetVolumeEntryForDeviceNumber(9).mountpoint)
    self.assertEqual([9], seen)
    # ...unless the instance has a mapping of its own, whose errors propagate.
    service._FindVolumeIDForDeviceNumber = lambda st_dev: "serial:%d" % (st_dev + 1)
    self.assertEqual(u"C:\\", service.GetVolumeEntryForDeviceNumber(1110).mountpoint)
    service._FindVolumeIDForDeviceNumber = lambda st_dev: st_dev.missing
    self.assertRaises(AttributeError, service.GetVolumeEntryForDeviceNumber, 1111)
    self.assertEqual([9], seen)
    # The entry lookup is the instance's, found at call time.
    service._FindVolumeIDForDeviceNumber = str
    service.GetVolumeEntryForVolumeID = lambda volume_id: ("looked up", volume_id)
    self.assertEqual(("looked up", "12"), service.GetVolumeEntryForDeviceNumber(12))

  def testOnlyAnAttributeErrorOfTheMappingsLookupMeansItIsAbsent(self):
    self.Loaded()
    seen = []
    self.Rebind("_VolumeIDFromSerialNumber", lambda serial: seen.append(serial) or "serial:1111")

    class Custom(AttributeError):
      pass

    def ServiceWhoseLookupRaises(error):
      service = volumes_testing.ServiceWhoseMappingLookupRaises(error)
      service._volume_entries = self.service._volume_entries
      return service

    # Absent: an AttributeError, of any subclass, falls back to the module's rule.
    for error in (AttributeError("absent"), Custom("absent too")):
      entry = ServiceWhoseLookupRaises(error).GetVolumeEntryForDeviceNumber(1111)
      self.assertEqual(u"C:\\", entry.mountpoint)
    self.assertEqual([1111, 1111], seen)
    # Anything else reaches the caller unchanged, and nothing is looked up.
    for error in (RuntimeError("unreadable"), KeyError("key"), TypeError("type"),
                  KeyboardInterrupt(), SystemExit(3)):
      service = ServiceWhoseLookupRaises(error)
      with self.assertRaises(type(error)) as raised:
        service.GetVolumeEntryForDeviceNumber(1111)
      self.assertIs(error, raised.exception)
    self.assertEqual([1111, 1111], seen)

  def testFindVolumeIDMethodIsTheModuleFunction(self):
    stat = Stat(1234)
    self.assertIs(volumes.FindVolumeID(stat), self.service.FindVolumeID(stat))
    self.Rebind("FindVolumeID", lambda *args: args)
    self.assertEqual((stat,), self.service.FindVolumeID(stat))

  def testOneInstanceWhenThreadsRaceToCreateIt(self):
    # A slow __init__ (through a slow Lock) widens the window in which a
    # second thread could make an instance of its own.
    class SlowLock(RecordingLock):
      def __init__(self):
        RecordingLock.__init__(self)
        time.sleep(0.05)
    RecordingLock.made = 0
    self.Rebind("platform_utils", FakePlatformUtils(SlowLock))
    shared = common.service.service.Singleton(volumes.VolumeInfo.__wrapped__)
    start = threading.Event()
    instances = []

    def Obtain():
      start.wait()
      instances.append(shared())
    threads = [threading.Thread(target=Obtain) for _ in range(8)]
    for thread in threads:
      thread.start()
    start.set()
    for thread in threads:
      thread.join()
    self.assertEqual(8, len(instances))
    self.assertEqual(1, len(set(map(id, instances))))
    self.assertEqual(1, RecordingLock.made)


if __name__ == "__main__":
  unittest.main()
