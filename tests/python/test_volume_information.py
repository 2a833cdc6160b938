"""GetVolumeInformation and GetVolumeInformationByHandle: the root path the
system is asked about, argument checking, handle conversion and the types of
the five items."""

import sys
import unittest

import volumes_testing
from volumes_testing import BYTES_NAME, LONG, PY3, TEXT, TEXT_NAME, VolumeName
import windows.volumes as volumes

NAME = VolumeName("info")


class Label(TEXT):
  pass


class VolumeInformationByPathTest(volumes_testing.ScriptedSystemTestCase):

  def setUp(self):
    super(VolumeInformationByPathTest, self).setUp()
    self.system.add_volume(NAME, [u"C:\\", u"C:/\\", u"\\"], label=u"Data",
                           serial=0x80000001, max_component=5, flags=0x2,
                           filesystem=u"NTFS")

  def testRootIsGivenItsTrailingBackslashOnce(self):
    for path, asked in [(u"C:", u"C:\\"), (u"C:\\", u"C:\\"), (u"C:/", u"C:/\\"),
                        (u"", u"\\"), (NAME, NAME)]:
      self.system.clear_calls()
      volumes.GetVolumeInformation(path)
      self.assertEqual([("GetVolumeInformationW", asked, 261, 261)], self.SystemCalls(), path)

  def testPathTheSystemRefusesRaisesItsError(self):
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformation(u"D:/")
    self.assertEqual(3, raised.exception.winerror)
    self.assertEqual([("GetVolumeInformationW", u"D:/\\", 261, 261)], self.SystemCalls())

  def testItemTypes(self):
    # The serial number must match st_dev: unsigned, so the top bit set
    # still gives a positive number. Every DWORD is a long, however small.
    info = volumes.GetVolumeInformation(u"C:")
    self.assertEqual((u"Data", 0x80000001, 5, 2, "NTFS"), info)
    self.assertEqual([TEXT, LONG, LONG, LONG, str], [type(item) for item in info])

  def testLabelLessVolumeAndNonAsciiFileSystemName(self):
    self.system.add_volume(VolumeName("bare"), [u"E:\\"], filesystem=u"F\xc4T")
    info = volumes.GetVolumeInformation(u"E:\\")
    self.assertEqual(u"", info[0])
    self.assertIs(TEXT, type(info[0]))
    self.assertEqual(volumes_testing.FileSystemName(u"F\xc4T"), info[4])

  def testFileSystemNameWithALoneSurrogateIsReturnedNotRaised(self):
    # The system's UTF-16 may hold a lone surrogate. 2.7's UTF-8 encoder
    # encodes it; Python 3 keeps those bytes as surrogate escapes, as it
    # keeps a file name's undecodable bytes.
    self.system.add_volume(VolumeName("odd"), [u"O:\\"], filesystem=u"\ud800F")
    info = volumes.GetVolumeInformation(u"O:\\")
    self.assertIs(str, type(info[4]))
    self.assertEqual(volumes_testing.FileSystemName(u"\ud800F"), info[4])
    if PY3 and sys.platform != "win32":
      self.assertEqual(u"\udced\udca0\udc80F", info[4])

  def testArgumentsOfTheWrongTypeAreRefusedBeforeAnyCall(self):
    for path, error in [
        (b"C:", "Argument 'path' has incorrect type (expected %s, got %s)"
         % (TEXT_NAME, BYTES_NAME)),
        (Label(u"C:"), "Argument 'path' has incorrect type (expected %s, got Label)" % TEXT_NAME),
        (3, "Argument 'path' has incorrect type (expected %s, got int)" % TEXT_NAME),
        (None, "Expected %s, got None" % TEXT_NAME),
        (u"C:\x00\\Windows", "path must not contain NUL characters")]:
      with self.assertRaises(TypeError) as raised:
        volumes.GetVolumeInformation(path)
      self.assertEqual(error, str(raised.exception))
    self.assertEqual([], self.SystemCalls())

  def testTextsWithoutNulInTheirBufferAreInvalidData(self):
    full = [ord(u"n")] * 261
    for answer in ({"text": full}, {"filesystem": full}):
      self.system.push("GetVolumeInformationW", **answer)
      with self.assertRaises(WindowsError) as raised:
        volumes.GetVolumeInformation(u"C:")
      self.assertEqual(13, raised.exception.winerror, answer)

  def testTextsFillingTheBufferWithTheirNulAreRead(self):
    label, filesystem = u"l" * 260, u"f" * 260
    self.system.push("GetVolumeInformationW", text=label, filesystem=filesystem)
    info = volumes.GetVolumeInformation(u"C:")
    self.assertEqual((label, filesystem), (info[0], info[4]))

  def testFailedCallReportsTheSystemCode(self):
    self.system.push("GetVolumeInformationW", result=0, error=21)
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformation(u"C:")
    self.assertEqual(21, raised.exception.winerror)


class Handle(object):
  def __init__(self, value):
    self.value = value

  def __int__(self):
    return self.value


class LongOnlyHandle(object):
  def __long__(self):
    return LONG(7)
  if PY3:
    __index__ = __long__


class OldStyleHandle:
  def __int__(self):
    return 7


class IntAndLongDiffer(object):
  """A handle object whose two conversions disagree: __int__ is the one."""

  def __int__(self):
    return 7

  def __long__(self):
    return LONG(8)
  if PY3:
    __index__ = __long__


class OldStyleIntAndLongDiffer:
  def __int__(self):
    return LONG(7)

  def __long__(self):
    return LONG(8)
  if PY3:
    __index__ = __long__


class IntRaises(object):
  def __int__(self):
    raise ValueError("no handle")

  def __long__(self):
    return LONG(7)
  if PY3:
    __index__ = __long__


class VolumeInformationByHandleTest(volumes_testing.ScriptedSystemTestCase):

  def setUp(self):
    super(VolumeInformationByHandleTest, self).setUp()
    self.system.add_volume(NAME, [u"C:\\"], label=u"Data", serial=0xFFFFFFFF,
                           filesystem=u"exFAT")

  def HandlesAsked(self):
    return [call[1] for call in self.SystemCalls("GetVolumeInformationByHandleW")]

  def testIntegerProtocolConversions(self):
    self.system.bind_handle(7, NAME)
    for handle in (7, LONG(7), Handle(7), Handle(LONG(7)), LongOnlyHandle(), OldStyleHandle()):
      info = volumes.GetVolumeInformationByHandle(handle)
      self.assertEqual((u"Data", 0xFFFFFFFF, 255, 0, "exFAT"), info, handle)
    self.assertEqual([("GetVolumeInformationByHandleW", 7, 261, 261)] * 6, self.SystemCalls())

  def testIntIsUsedBeforeLong(self):
    other = VolumeName("other")
    self.system.add_volume(other, [u"D:\\"], label=u"Other", serial=8)
    self.system.bind_handle(7, NAME)
    self.system.bind_handle(8, other)
    for handle in (IntAndLongDiffer(), OldStyleIntAndLongDiffer()):
      self.assertEqual(u"Data", volumes.GetVolumeInformationByHandle(handle)[0], handle)
    self.assertEqual([7, 7], self.HandlesAsked())
    # A failing __int__ is the answer: __long__ is no second chance.
    with self.assertRaises(ValueError) as raised:
      volumes.GetVolumeInformationByHandle(IntRaises())
    self.assertEqual("no handle", str(raised.exception))
    self.assertEqual([7, 7], self.HandlesAsked())

  def testHandlesReachTheSystemAtThePointerWidth(self):
    # All 64 bits in a 64-bit process; the low 32 bits in a 32-bit one.
    values = [2 ** 32 + 5, -1, 2 ** 63 - 1, -2 ** 63, 0, 2 ** 31]
    handles = [volumes_testing.SystemHandle(value) for value in values]
    for value, handle in zip(values, handles):
      self.system.bind_handle(handle, NAME)
      self.assertEqual("exFAT", volumes.GetVolumeInformationByHandle(value)[4])
    self.assertEqual(handles, self.HandlesAsked())
    if volumes_testing.POINTER_BITS == 32:
      self.assertEqual([5, -1, -1, 0, 0, -2 ** 31], handles)

  def testMinusOneAsALongIsAHandleLikeTheInt(self):
    # -1 is also what a failed long conversion returns: only a pending
    # error makes it one. The long and the int are the same handle.
    for handle in (-1, LONG(-1), Handle(LONG(-1))):
      with self.assertRaises(WindowsError) as raised:
        volumes.GetVolumeInformationByHandle(handle)
      self.assertEqual(6, raised.exception.winerror, handle)
    self.system.bind_handle(volumes_testing.SystemHandle(-1), NAME)
    for handle in (LONG(-1), Handle(LONG(-1))):
      self.assertEqual(u"Data", volumes.GetVolumeInformationByHandle(handle)[0], handle)
    self.assertEqual([volumes_testing.SystemHandle(-1)] * 5, self.HandlesAsked())

  def testNonIntegersAreRefusedBeforeAnyCall(self):
    for handle, error, message in [
        (None, TypeError, "an integer is required"),
        (u"7", TypeError, "an integer is required"),
        (Handle(7.0), TypeError, "__int__ returned non-int (type float)"),
        (Handle("7"), TypeError, "__int__ returned non-int (type str)"),
        (2 ** 64, OverflowError, None),
        (-2 ** 63 - 1, OverflowError, None),
        (Handle(2 ** 63), OverflowError, None)]:
      with self.assertRaises(error) as raised:
        volumes.GetVolumeInformationByHandle(handle)
      if message:
        self.assertEqual(message, str(raised.exception))
    self.assertEqual([], self.SystemCalls())

  def testUnknownHandleRaisesTheSystemError(self):
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformationByHandle(99)
    self.assertEqual(6, raised.exception.winerror)

  def testFileSystemNameWithoutNulIsInvalidData(self):
    self.system.bind_handle(7, NAME)
    self.system.push("GetVolumeInformationByHandleW", filesystem=[ord(u"F")] * 261)
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformationByHandle(7)
    self.assertEqual(13, raised.exception.winerror)


if __name__ == "__main__":
  unittest.main()
