"""_GetVolumePathNamesForVolumeName: the growing buffer, empty and failed
answers, inconsistent answers, and what the system is asked about."""

import os
import unittest

import scripted_system
import volumes_testing
from volumes_testing import ANY_TEXT_NAME, PY3, TEXT, VolumeName
import windows.volumes as volumes

NAME = VolumeName("mounts")
CALL = "GetVolumePathNamesForVolumeNameW"
GROWTH = "%s isn't big enough, allocating %s bytes."
OVERFLOW = "Could not write path names into %s-byte buffer."


class Guid(TEXT):
  pass


class MountPointsTest(volumes_testing.ScriptedSystemTestCase):

  def BufferSizes(self):
    return [call[2] for call in self.SystemCalls(CALL)]

  def testDriveRootTakesOneCall(self):
    self.system.add_volume(NAME, [u"C:\\"])
    self.assertEqual([u"C:\\"], volumes._GetVolumePathNamesForVolumeName(NAME))
    self.assertEqual([(CALL, NAME, 5)], self.SystemCalls())
    self.assertEqual([], self.log.Calls())

  def testBufferGrowsToExactlyWhatTheSystemAsks(self):
    self.system.add_volume(NAME, [u"D:\\", u"C:\\mnt\\data"])
    mount_points = volumes._GetVolumePathNamesForVolumeName(NAME)
    self.assertEqual([u"D:\\", u"C:\\mnt\\data"], mount_points)
    self.assertEqual([TEXT, TEXT], list(map(type, mount_points)))
    self.assertEqual([5, 17], self.BufferSizes())
    self.assertEqual([("DEBUG", GROWTH, (10, 34))], self.log.Calls())

  def testRepeatedGrowth(self):
    self.system.push(CALL, result=0, error=234, return_length=8)
    self.system.push(CALL, result=0, error=234, return_length=20)
    self.system.push(CALL, text=[ord(c) for c in u"A:\\"] + [0, 0], return_length=5)
    self.assertEqual([u"A:\\"], volumes._GetVolumePathNamesForVolumeName(NAME))
    self.assertEqual([5, 8, 20], self.BufferSizes())
    self.assertEqual([("DEBUG", GROWTH, (10, 16)), ("DEBUG", GROWTH, (16, 40))],
                     self.log.Calls())

  def testSuccessWithoutPathGivesAnEmptyList(self):
    # A return length of 0 or 1 holds no path; the buffer is not read.
    for answer in [{"return_length": 1, "text": [0]}, {"return_length": 1},
                   {"return_length": 0}]:
      self.system.reset()
      self.system.push(CALL, **answer)
      self.assertEqual([], volumes._GetVolumePathNamesForVolumeName(NAME), answer)
      self.assertEqual([5], self.BufferSizes())
    self.assertEqual([], self.log.Calls())

  def testFailureIsAnErrorWhateverTheReturnLength(self):
    # An unknown volume, or a failure that reports no length, is not a
    # volume without mount points.
    for answer, code in [(None, 2), ({"result": 0, "error": 5}, 5),
                         ({"result": 0, "error": 5, "return_length": 1}, 5),
                         ({"result": 0, "error": 21, "return_length": 0}, 21),
                         ({"result": 0, "error": 234, "return_length": 1}, 13)]:
      self.system.reset()
      del self.log.records[:]
      if answer:
        self.system.push(CALL, **answer)
      with self.assertRaises(WindowsError) as raised:
        volumes._GetVolumePathNamesForVolumeName(VolumeName("unknown"))
      self.assertEqual(code, raised.exception.winerror, answer)
      self.assertEqual([("ERROR", OVERFLOW, (10,))], self.log.Calls())
      self.assertEqual([5], self.BufferSizes())

  def testRaisedCodeIsTheOneReadAfterTheCall(self):
    # A log handler that changes the thread's last error (as opening a log
    # file does on Windows) must not change the reported code.
    class ClobberingHandler(volumes_testing.RecordingHandler):
      def emit(self, record):
        scripted_system.set_last_error(183)
    handler = ClobberingHandler()
    volumes.LOGGER.addHandler(handler)
    self.addCleanup(volumes.LOGGER.removeHandler, handler)
    self.system.push(CALL, result=0, error=5, return_length=2)
    with self.assertRaises(WindowsError) as raised:
      volumes._GetVolumePathNamesForVolumeName(NAME)
    self.assertEqual(5, raised.exception.winerror)

  def testEmptyPiecesAreDropped(self):
    self.system.push(CALL, text=[0, 0, 0, 0], return_length=4)
    self.assertEqual([], volumes._GetVolumePathNamesForVolumeName(NAME))
    self.system.push(CALL, text=[ord(u"X"), 0, 0, ord(u"Y"), 0], return_length=5)
    self.assertEqual([u"X", u"Y"], volumes._GetVolumePathNamesForVolumeName(NAME))

  def testFailureWithAReturnLengthIsLoggedAndRaised(self):
    self.system.push(CALL, result=0, error=5, return_length=2)
    with self.assertRaises(WindowsError) as raised:
      volumes._GetVolumePathNamesForVolumeName(NAME)
    self.assertEqual(5, raised.exception.winerror)
    self.assertEqual([("ERROR", OVERFLOW, (10,))], self.log.Calls())

  def testInconsistentLengthsAreInvalidDataNotOverreadsOrEndlessLoops(self):
    # Success claiming more than the buffer holds, or ERROR_MORE_DATA asking
    # for no more than the buffer had.
    for answers, sizes in [([{"return_length": 6, "text": [65] * 5}], [5]),
                           ([{"result": 0, "error": 234, "return_length": 5}], [5]),
                           ([{"result": 0, "error": 234, "return_length": 2}], [5]),
                           ([{"result": 0, "error": 234, "return_length": 9},
                             {"result": 0, "error": 234, "return_length": 9}], [5, 9])]:
      self.system.reset()
      del self.log.records[:]
      for answer in answers:
        self.system.push(CALL, **answer)
      with self.assertRaises(WindowsError) as raised:
        volumes._GetVolumePathNamesForVolumeName(NAME)
      self.assertEqual(13, raised.exception.winerror, answers)
      self.assertEqual(sizes, self.BufferSizes())
      self.assertEqual(("ERROR", OVERFLOW, (sizes[-1] * 2,)), self.log.Calls()[-1])

  def testHugeRequestReportsTheTrueByteCount(self):
    # 0xFFFFFFFF characters are 8589934590 bytes: a 32-bit product would
    # wrap. The allocation is made to fail: by a limited address space, or,
    # under AddressSanitizer (whose shadow memory needs a large one), by its
    # allocator's size limit.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    if sanitized:
      old = os.environ.get("ASAN_OPTIONS", "")
      os.environ["ASAN_OPTIONS"] = old + ":allocator_may_return_null=1:max_allocation_size_mb=1024"
      self.addCleanup(os.environ.__setitem__, "ASAN_OPTIONS", old)
    status, out, err = volumes_testing.RunPython(r"""
        import sys
        sys.path.remove("")  # the source tree's windows/ must not shadow the built one
        import address_space, scripted_system, windows.volumes as volumes
        if not %r:
          address_space.Limit(1 << 30)
        scripted_system.push("%s", result=0, error=234, return_length=0xFFFFFFFF)
        try:
          volumes._GetVolumePathNamesForVolumeName(u"x")
        except MemoryError as error:
          print(error)
        """ % (sanitized, CALL), [os.path.dirname(volumes_testing.__file__)])
    self.assertEqual((0, "Could not allocate 8589934590 bytes.\n"), (status, out), err)

  def testArgumentForms(self):
    self.system.add_volume(NAME, [u"C:\\"])
    self.system.add_volume(u"None", [u"N:\\"])
    self.system.add_volume(u"\\\\?\\Volume{x}", [u"X:\\"])
    self.assertEqual([u"C:\\"], volumes._GetVolumePathNamesForVolumeName(str(NAME)))
    self.assertEqual([u"N:\\"], volumes._GetVolumePathNamesForVolumeName(None))
    # No backslash is added to a name that lacks it.
    self.assertEqual([u"X:\\"], volumes._GetVolumePathNamesForVolumeName(u"\\\\?\\Volume{x}"))
    self.assertEqual([NAME, u"None", u"\\\\?\\Volume{x}"],
                     [call[1] for call in self.SystemCalls(CALL)])

  def testArgumentsRefusedBeforeAnyCall(self):
    for guid_path, error, message in [
        (3, TypeError,
         "Argument 'guid_path' has incorrect type (expected %s, got int)" % ANY_TEXT_NAME),
        (Guid(NAME), TypeError,
         "Argument 'guid_path' has incorrect type (expected %s, got Guid)" % ANY_TEXT_NAME),
        (u"\\\\?\\Volume{a}\x00\\", TypeError, "guid_path must not contain NUL characters"),
        # A byte string: 2.7 decodes it as ASCII, Python 3 refuses it.
        (b"\\\\?\\Volume{\xff}\\", TypeError if PY3 else UnicodeDecodeError,
         "Argument 'guid_path' has incorrect type (expected str, got bytes)" if PY3 else None)]:
      with self.assertRaises(error) as raised:
        volumes._GetVolumePathNamesForVolumeName(guid_path)
      if message:
        self.assertEqual(message, str(raised.exception))
    self.assertEqual([], self.SystemCalls())

  def testRefreshDoesNotGoThroughTheModuleAttributes(self):
    def Broken(*unused):
      raise AssertionError("module attribute used")
    self.Rebind("_GetVolumePathNamesForVolumeName", Broken)
    self.Rebind("GetVolumeInformation", Broken)
    self.system.add_volume(NAME, [u"C:\\"], serial=9)
    self.assertEqual([u"C:\\"], [e.mountpoint for e in self.service.AllVolumeEntries().values()])


if __name__ == "__main__":
  unittest.main()
