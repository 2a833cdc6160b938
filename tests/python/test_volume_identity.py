"""Volume IDs: how _VolumeIDFromSerialNumber forms them from serial numbers,
how FindVolumeID forms them from stat results, and that both follow a
rebound module attribute."""

import os
import unittest

import volumes_testing
from volumes_testing import BUILTINS, LONG, PY3, Stat, VolumeName
import windows.volumes as volumes

try:
  intern  # a built-in in 2.7
except NameError:
  from sys import intern


class UnicodeStr(object):
  def __str__(self):
    return u"42"


class VolumeIDFromSerialNumberTest(unittest.TestCase):

  def testFormsInternedSerialText(self):
    for serial, expected in [(1234, "serial:1234"), (LONG(1234), "serial:1234"), (0, "serial:0"),
                             (-5, "serial:-5"), (LONG(0xFFFFFFFF), "serial:4294967295"),
                             (2 ** 40, "serial:1099511627776"), ("ABCD", "serial:ABCD"),
                             (None, "serial:None"), ((7,), "serial:7")]:
      volume_id = volumes._VolumeIDFromSerialNumber(serial)
      self.assertEqual(expected, volume_id, serial)
      self.assertIs(str, type(volume_id))
      # Interned: equal IDs are one object, so table and cache keys compare by pointer.
      self.assertIs(intern(expected), volume_id, serial)

  def testIntAndLongMeetOnOneObject(self):
    # The volume API reports serials as long, stat results carry int.
    self.assertIs(volumes._VolumeIDFromSerialNumber(LONG(3000000000)),
                  volumes._VolumeIDFromSerialNumber(int(3000000000)))
    self.assertIs(volumes._VolumeIDFromSerialNumber(1234),
                  volumes._VolumeIDFromSerialNumber(LONG(1234)))

  def testUnicodeResultRefused(self):
    # 2.7: "serial:%s" of unicode is unicode, no volume ID. Python 3's str is
    # text: the same serials give interned IDs.
    for serial in [u"1234", (u"1234",), UnicodeStr()]:
      if PY3:
        expected = "serial:42" if isinstance(serial, UnicodeStr) else "serial:1234"
        self.assertIs(intern(expected), volumes._VolumeIDFromSerialNumber(serial))
        continue
      with self.assertRaises(TypeError) as raised:
        volumes._VolumeIDFromSerialNumber(serial)
      self.assertEqual("Expected str, got unicode", str(raised.exception))

  def testTupleSuppliesTheFormattingArguments(self):
    for serial, message in [((1, 2), "not all arguments converted during string formatting"),
                            ((), "not enough arguments for format string")]:
      with self.assertRaises(TypeError) as raised:
        volumes._VolumeIDFromSerialNumber(serial)
      self.assertEqual(message, str(raised.exception))


class FindVolumeIDTest(volumes_testing.ScriptedSystemTestCase):

  def testReadsOnlyStDev(self):
    stat_result = os.stat(__file__)
    self.assertIs(volumes._VolumeIDFromSerialNumber(stat_result.st_dev),
                  volumes.FindVolumeID(stat_result))
    self.assertIs(intern("serial:1234"), volumes.FindVolumeID(Stat(1234)))
    self.assertRaises(AttributeError, volumes.FindVolumeID, None)

    class Failing(object):
      @property
      def st_dev(self):
        raise KeyError("st_dev")
    self.assertRaises(KeyError, volumes.FindVolumeID, Failing())

  def testIgnoresTheTableAndTheSystem(self):
    self.system.add_volume(VolumeName("identity"), [u"C:\\"], serial=55)
    self.assertEqual("serial:55", volumes.FindVolumeID(Stat(55)))
    self.assertEqual("serial:56", volumes.FindVolumeID(Stat(56)))  # no such volume
    self.assertEqual([], self.SystemCalls())

  def testFollowsReboundVolumeIDFunction(self):
    seen = []
    marker = object()

    def Rebound(serial_number):
      seen.append(serial_number)
      return marker
    self.Rebind("_VolumeIDFromSerialNumber", Rebound)
    self.assertIs(marker, volumes.FindVolumeID(Stat(7)))
    self.assertIs(marker, self.service.FindVolumeID(Stat(LONG(8))))
    self.assertEqual([7, 8], seen)

    def Failing(serial_number):
      raise ValueError(serial_number)
    volumes._VolumeIDFromSerialNumber = Failing
    self.assertRaises(ValueError, volumes.FindVolumeID, Stat(1))

  def testLooksUpTheFunctionBeforeReadingStDev(self):
    # As Python evaluates _VolumeIDFromSerialNumber(stat_result.st_dev): the
    # function first, then the argument.
    class Rebinding(object):
      @property
      def st_dev(self):
        volumes._VolumeIDFromSerialNumber = lambda serial: "rebound"
        return 5
    self.Rebind("_VolumeIDFromSerialNumber", volumes._VolumeIDFromSerialNumber)
    self.assertEqual("serial:5", volumes.FindVolumeID(Rebinding()))
    self.assertEqual("rebound", volumes.FindVolumeID(Rebinding()))

    class Failing(object):
      @property
      def st_dev(self):
        raise KeyError("st_dev")
    del volumes._VolumeIDFromSerialNumber
    self.assertRaises(NameError, volumes.FindVolumeID, Failing())

  def testFallsBackToBuiltinsThenNameError(self):
    self.Rebind("_VolumeIDFromSerialNumber", None)
    del volumes._VolumeIDFromSerialNumber
    with self.assertRaises(NameError) as raised:
      volumes.FindVolumeID(Stat(1))
    self.assertEqual("name '_VolumeIDFromSerialNumber' is not defined", str(raised.exception))
    BUILTINS._VolumeIDFromSerialNumber = lambda serial: "builtin:%s" % serial
    self.addCleanup(delattr, BUILTINS, "_VolumeIDFromSerialNumber")
    self.assertEqual("builtin:3", volumes.FindVolumeID(Stat(3)))


class WindowsStatResultsTest(volumes_testing.ScriptedSystemTestCase):
  """What FindVolumeID makes of the st_dev that interpreters report on
  Windows: CPython 2.7 reports 0 for every file; Python 3.12 and later
  report the volume serial, 64 bits wide where the file system has one,
  while the table is keyed by the 32-bit serial GetVolumeInformation gives."""

  SERIAL = 0x1234ABCD

  def setUp(self):
    super(WindowsStatResultsTest, self).setUp()
    self.system.add_volume(VolumeName("stat"), [u"C:\\"], serial=self.SERIAL)
    self.system.bind_handle(7, VolumeName("stat"))
    self.service.AllVolumeEntries()

  def EntryOf(self, st_dev):
    return self.service.GetVolumeEntryForVolumeID(volumes.FindVolumeID(Stat(st_dev)))

  def testTheDeviceNumberZeroNamesNoVolume(self):
    self.assertEqual("serial:0", volumes.FindVolumeID(Stat(0)))
    self.assertIsNone(self.EntryOf(0))

  def testTheVolumeSerialOfAnOpenFileNamesItsEntry(self):
    # What a caller passes instead of 2.7's st_dev: the serial of the
    # volume holding the open file.
    serial = volumes.GetVolumeInformationByHandle(7)[1]
    self.assertEqual(u"C:\\", self.EntryOf(serial).mountpoint)

  def testA64BitSerialIsTakenWhole(self):
    # Not folded to the 32 bits the table is keyed by: such a stat result
    # names no entry.
    wide = (0x5A5A << 32) | self.SERIAL
    self.assertEqual("serial:%d" % wide, volumes.FindVolumeID(Stat(wide)))
    self.assertIsNone(self.EntryOf(wide))
    self.assertEqual(u"C:\\", self.EntryOf(wide & 0xFFFFFFFF).mountpoint)


if __name__ == "__main__":
  unittest.main()
