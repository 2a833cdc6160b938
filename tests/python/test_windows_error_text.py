"""The text a WindowsError carries for its code, whichever way the module
raises it: with the code read from the system after the failed call, or
with a code of its own. On Windows the texts are the system's; elsewhere
they are those Windows gives, and codes it has no text for are named in hex."""

import sys
import unittest

import volumes_testing
from volumes_testing import VolumeName
import windows.volumes as volumes

# The codes the volume calls report, with the text Windows gives for each
# (without the closing period, as the interpreter shows it).
WINDOWS_TEXTS = {
    0: "The operation completed successfully",
    2: "The system cannot find the file specified",
    3: "The system cannot find the path specified",
    5: "Access is denied",
    6: "The handle is invalid",
    8: "Not enough storage is available to process this command",
    13: "The data is invalid",
    18: "There are no more files",
    21: "The device is not ready",
    53: "The network path was not found",
    87: "The parameter is incorrect",
    122: "The data area passed to a system call is too small",
    123: "The filename, directory name, or volume label syntax is incorrect",
    144: "The directory is not a subdirectory of the root directory",
    206: "The filename or extension is too long",
    234: "More data is available",
    1005: "The volume does not contain a recognized file system",
    1117: "The request could not be performed because of an I/O device error",
    1460: "This operation returned because the timeout period expired",
}
# A code with the customer bit set, which no system message describes.
UNKNOWN_CODE = 0x20001234


def ExpectedText(code):
  if code == UNKNOWN_CODE:
    return "Windows Error 0x20001234"
  if sys.platform == "win32":
    import ctypes  # pylint: disable=g-import-not-at-top
    return ctypes.FormatError(code).rstrip(" .\r\n")
  return WINDOWS_TEXTS[code]


class WindowsErrorTextTest(volumes_testing.ScriptedSystemTestCase):

  def setUp(self):
    super(WindowsErrorTextTest, self).setUp()
    self.name = VolumeName("texts")
    self.system.add_volume(self.name, [u"C:\\"])
    self.system.add_volume(VolumeName("second"), [u"D:\\"])

  def assertCarries(self, raised, code):
    error = raised.exception
    text = ExpectedText(code)
    self.assertEqual((code, text), (error.winerror, error.strerror))
    self.assertEqual("[Error %d] %s" % (code, text), str(error))

  def testEachCodeHasItsOwnText(self):
    codes = sorted(WINDOWS_TEXTS) + [UNKNOWN_CODE]
    for code in codes:
      # The code read from the system after the call failed.
      self.system.push("GetVolumeInformationW", result=0, error=code)
      with self.assertRaises(WindowsError) as raised:
        volumes.GetVolumeInformation(u"C:\\")
      self.assertCarries(raised, code)
      # The code the module passes itself.
      if code != 18:  # the end of a search, not a failure
        self.system.push("FindNextVolumeW", result=0, error=code)
        with self.assertRaises(WindowsError) as raised:
          volumes._ListVolumeNames()
        self.assertCarries(raised, code)
    # However the texts are found, no two codes share one.
    texts = [ExpectedText(code) for code in codes]
    self.assertEqual(len(codes), len(set(texts)))

  def testTheModulesOwnCodesHaveTheirTexts(self):
    # A label that fills its buffer without a NUL is invalid data.
    self.system.push("GetVolumeInformationW", text=[0x41] * 261)
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformation(u"C:\\")
    self.assertCarries(raised, 13)
    # A path lookup that fails after growing its buffer.
    self.system.push("GetVolumePathNamesForVolumeNameW", result=0, error=21, return_length=9)
    with self.assertRaises(WindowsError) as raised:
      volumes._GetVolumePathNamesForVolumeName(self.name)
    self.assertCarries(raised, 21)

  def testOnlyACodeWithItsTextMakesAWinerror(self):
    # One argument is a message, whatever its type: no code, no strerror.
    for argument in ("x", 5, 5L):
      error = WindowsError(argument)
      self.assertEqual((None, None), (error.winerror, error.strerror), argument)
      self.assertEqual(str(argument), str(error))
    # A code and its text, with or without a file name.
    error = WindowsError(5, "Access is denied")
    self.assertEqual((5, "Access is denied"), (error.winerror, error.strerror))
    self.assertEqual("[Error 5] Access is denied", str(error))
    error = WindowsError(3, "Not found", "C:\\x")
    self.assertEqual((3, "Not found", "C:\\x"), (error.winerror, error.strerror, error.filename))
    self.assertEqual("[Error 3] Not found: 'C:\\\\x'", str(error))


if __name__ == "__main__":
  unittest.main()
