"""IsFAT: which file systems count as FAT, the per-volume cache and what
happens when the query of an open handle fails."""

import unittest

import volumes_testing
from volumes_testing import LONG, PY3, Handle, VolumeName
import windows.volumes as volumes


class FatTestTest(volumes_testing.ScriptedSystemTestCase):

  def AddVolume(self, serial, filesystem, handle):
    name = VolumeName("fs-%d" % serial)
    self.system.add_volume(name, [], serial=serial, filesystem=filesystem)
    self.system.bind_handle(handle, name)
    return Handle(handle)

  def Queries(self):
    return len(self.SystemCalls("GetVolumeInformationByHandleW"))

  def testFamilyMembersAndCachedAnswers(self):
    for serial, filesystem, expected in [(1, u"FAT32", True), (2, u"exFAT", True),
                                         (3, u"fat32", True), (4, u"FAT", False),
                                         (5, u"NTFS", False), (6, u"", False),
                                         (7, u"FAT32 ", False)]:
      handle = self.AddVolume(serial, filesystem, 100 + serial)
      self.assertIs(expected, volumes.IsFAT(serial, handle), filesystem)
      # Cached: the handle is not even read the second time.
      self.assertIs(expected, volumes.IsFAT(serial, None), filesystem)
    self.assertEqual(7, self.Queries())

  def testMissWithUnusableHandleRaisesAndCachesNothing(self):
    handle = self.AddVolume(1, u"FAT32", 7)
    for bad, error in [(None, AttributeError), (Handle(None), TypeError),
                       (Handle(2 ** 64), OverflowError)]:
      self.assertRaises(error, volumes.IsFAT, 1, bad)
    self.assertEqual([], self.log.Calls())
    self.assertEqual(0, self.Queries())
    self.assertTrue(volumes.IsFAT(serial_number=1, handle=handle))

  def testWindowsErrorIsLoggedOnceAndNotCached(self):
    handle = self.AddVolume(1, u"FAT32", 7)
    self.system.push("GetVolumeInformationByHandleW", result=0, error=5)
    self.assertIs(False, volumes.IsFAT(1, handle))
    self.assertEqual([("ERROR", "WindowsError", ())], self.log.Calls())
    (record,) = self.log.records
    self.assertEqual(5, record.exc_info[1].winerror)
    self.assertIs(True, volumes.IsFAT(1, handle))
    self.assertEqual(2, self.Queries())

  def testInvalidFileSystemNameIsAWindowsErrorToo(self):
    handle = self.AddVolume(1, u"FAT32", 7)
    self.system.push("GetVolumeInformationByHandleW", filesystem=[70] * 261)
    self.assertIs(False, volumes.IsFAT(1, handle))
    self.assertEqual(13, self.log.records[0].exc_info[1].winerror)

  def testHandleIsConvertedByIntBeforeLong(self):
    class IntAndLongDiffer(object):
      """__int__ names the FAT32 volume's file, __long__ (3: __index__) the
      NTFS one's."""

      def __int__(self):
        return 11

      def __long__(self):
        return LONG(12)
      if PY3:
        __index__ = __long__

    self.AddVolume(1, u"FAT32", 11)
    self.AddVolume(2, u"NTFS", 12)
    self.assertIs(True, volumes.IsFAT(3, Handle(IntAndLongDiffer())))
    self.assertEqual([11], [call[1] for call in self.SystemCalls("GetVolumeInformationByHandleW")])

  def testIntAndLongSerialsShareTheirEntry(self):
    handle = self.AddVolume(1234, u"exFAT", 7)
    self.assertTrue(volumes.IsFAT(LONG(1234), handle))
    self.assertTrue(volumes.IsFAT(1234, None))
    self.assertTrue(volumes.IsFAT(LONG(1234), None))

  def testAnswerIsStoredUnderTheGivenSerial(self):
    other = self.AddVolume(2, u"FAT32", 8)
    self.AddVolume(1, u"NTFS", 7)
    self.assertTrue(volumes.IsFAT(1, other))
    self.assertTrue(volumes.IsFAT(1, None))

  def testRebuildOfTheTableEmptiesTheCache(self):
    handle = self.AddVolume(1, u"FAT32", 7)
    volumes.IsFAT(1, handle)
    self.service.AllVolumeEntries()
    self.assertRaises(AttributeError, volumes.IsFAT, 1, None)

  def testRebindingTheModuleQueryDoesNotAffectIsFat(self):
    handle = self.AddVolume(1, u"FAT32", 7)
    self.Rebind("GetVolumeInformationByHandle", lambda handle: (u"", LONG(1), LONG(1), LONG(1), "NTFS"))
    self.assertTrue(volumes.IsFAT(1, handle))

  def testOtherFailuresPropagate(self):
    handle = self.AddVolume(1, u"FAT32", 7)

    class Logger(object):
      def exception(self, *args):
        raise RuntimeError("logger")
    self.system.push("GetVolumeInformationByHandleW", result=0, error=5)
    self.Rebind("LOGGER", Logger())
    self.assertRaises(RuntimeError, volumes.IsFAT, 1, handle)
    self.assertRaises(TypeError, volumes.IsFAT, (1, 2), handle)  # no volume ID: "serial:%s" % (1, 2)
    self.assertEqual(1, self.Queries())

  def testArguments(self):
    with self.assertRaises(TypeError) as raised:
      volumes.IsFAT(1)
    self.assertEqual("IsFAT() takes exactly 2 positional arguments (1 given)",
                     str(raised.exception))


if __name__ == "__main__":
  unittest.main()
