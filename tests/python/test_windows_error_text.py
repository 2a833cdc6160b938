"""The text a WindowsError carries for its code, whichever way the module
raises it: with the code read from the system after the failed call, or
with a code of its own. On Windows the texts are the system's; elsewhere
they are those Windows gives, and codes it has no text for are named in hex."""

import errno
import pickle
import sys
import unittest

import volumes_testing
from volumes_testing import LONG, PY3, VolumeName
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
# CPython on Windows, and Python 3 everywhere, gives a WindowsError the
# errno derived from the code (EINVAL for the codes it does not name); 2.7
# off Windows keeps the code itself.
MAPPED_ERRNO = {2: errno.ENOENT, 3: errno.ENOENT, 5: errno.EACCES, 6: errno.EBADF,
             8: errno.ENOMEM, 18: errno.ENOENT, 21: errno.EACCES, 53: errno.ENOENT,
             206: errno.ENOENT}
# How str() names the code: "[Error 5]" in 2.7, "[WinError 5]" in 3.
CODE_PREFIX = "WinError" if PY3 else "Error"


def ExpectedErrno(code):
  if PY3 or sys.platform == "win32":
    return MAPPED_ERRNO.get(code, errno.EINVAL)
  return code


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
    self.assertEqual((code, text, ExpectedErrno(code)),
                     (error.winerror, error.strerror, error.errno))
    self.assertEqual("[%s %d] %s" % (CODE_PREFIX, code, text), str(error))
    self.assertIsInstance(error, OSError)

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

  @unittest.skipIf(PY3 and sys.platform == "win32",
                   "WindowsError is the interpreter's own OSError, whose first argument is an errno")
  def testOnlyACodeWithItsTextMakesAWinerror(self):
    # One argument is a message, whatever its type: no code, no strerror.
    for argument in ("x", 5, LONG(5)):
      error = WindowsError(argument)
      self.assertEqual((None, None), (error.winerror, error.strerror), argument)
      self.assertEqual(str(argument), str(error))
    # A code and its text, with or without a file name.
    error = WindowsError(5, "Access is denied")
    self.assertEqual((5, "Access is denied", ExpectedErrno(5)),
                     (error.winerror, error.strerror, error.errno))
    self.assertEqual("[%s 5] Access is denied" % CODE_PREFIX, str(error))
    error = WindowsError(3, "Not found", "C:\\x")
    self.assertEqual((3, "Not found", "C:\\x", ExpectedErrno(3)),
                     (error.winerror, error.strerror, error.filename, error.errno))
    self.assertEqual("[%s 3] Not found: 'C:\\\\x'" % CODE_PREFIX, str(error))
    # A copy made by pickling (as multiprocessing passes errors on) is the
    # same error: its arguments are the code and the text it was made from.
    for error in (WindowsError(5, "Access is denied"), WindowsError(3, "Not found", "C:\\x")):
      copy = pickle.loads(pickle.dumps(error))
      self.assertEqual((type(error), error.args, error.winerror, error.errno, error.strerror,
                        error.filename, str(error)),
                       (type(copy), copy.args, copy.winerror, copy.errno, copy.strerror,
                        copy.filename, str(copy)))
    self.assertEqual((5, "Access is denied"), WindowsError(5, "Access is denied").args)
    # An HRESULT of a Windows code maps as the code does; a code the map
    # does not name is EINVAL.
    if PY3:
      self.assertEqual(errno.EACCES, WindowsError(0x80070005, "denied").errno)
      self.assertEqual(errno.EINVAL, WindowsError(1460, "timeout").errno)


if __name__ == "__main__":
  unittest.main()
