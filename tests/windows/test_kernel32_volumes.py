"""windows.volumes over the real KERNEL32, in the 32-bit Windows interpreter.

Run by windows-build/check.sh (`kernel32`), which gives the Wine prefix two
drives of the test's own before the interpreter starts, and names them in
the environment:
  VOLUMES_LABELLED_DRIVE  a directory drive whose label and serial number
                          Wine reads from its .windows-label (UTF-8) and
                          .windows-serial (hex) files
  VOLUMES_LABEL, VOLUMES_SERIAL
                          what those files say (the label with \u escapes)
  VOLUMES_FAT_DRIVE       a drive whose device is a FAT32 image, which Wine
                          reads the file system, label and serial from
  VOLUMES_FAT_LABEL, VOLUMES_FAT_SERIAL
  VOLUMES_MISSING_DRIVE   a letter that names no drive
"""

import ctypes
import ctypes.wintypes
import msvcrt
import os
import sys
import unittest

import windows.volumes as volumes

ENVIRONMENT = os.environ
LABELLED = ENVIRONMENT.get("VOLUMES_LABELLED_DRIVE", "")
FAT = ENVIRONMENT.get("VOLUMES_FAT_DRIVE", "")


def Root(drive):
  return unicode(drive) + u"\\"


class OpenFile(object):
  """An open file as IsFAT reads it: its Windows handle in `handle`."""

  def __init__(self, test, path):
    self.file = open(path, "rb")
    test.addCleanup(self.file.close)
    self.handle = msvcrt.get_osfhandle(self.file.fileno())


class Stat(object):
  def __init__(self, st_dev):
    self.st_dev = st_dev


def SystemMessage(code):
  """The system's text for an error code as the interpreter's own
  WindowsError shows it: without the trailing dot and line break."""
  return ctypes.FormatError(code).rstrip(" .\r\n")


@unittest.skipUnless(sys.platform == "win32" and LABELLED and FAT,
                     "needs the Windows interpreter and the drives that check.sh sets up")
class Kernel32VolumesTest(unittest.TestCase):

  def setUp(self):
    self.label = ENVIRONMENT["VOLUMES_LABEL"].decode("unicode_escape")
    self.serial = int(ENVIRONMENT["VOLUMES_SERIAL"], 16)
    self.fat_label = ENVIRONMENT["VOLUMES_FAT_LABEL"].decode("ascii")
    self.fat_serial = int(ENVIRONMENT["VOLUMES_FAT_SERIAL"], 16)

  def testEnumerationAndMountPointsOfTheDrives(self):
    names = volumes._ListVolumeNames()
    mount_points = {}
    for name in names:
      self.assertIs(unicode, type(name))
      self.assertTrue(volumes.VOLUME_NAME_GUID_MATCHER.match(name), name)
      for mount_point in volumes._GetVolumePathNamesForVolumeName(name):
        self.assertIs(unicode, type(mount_point))
        mount_points[mount_point] = name
    for drive in (u"C:", LABELLED, FAT):
      self.assertIn(Root(drive), mount_points)
    self.assertEqual(len(set(mount_points.values())), len(mount_points))

  def testInformationOfALabelledDrive(self):
    label, serial, max_component, flags, filesystem = volumes.GetVolumeInformation(
        Root(LABELLED))
    self.assertEqual((self.label, self.serial), (label, serial))
    self.assertEqual([unicode, long, long, long, str],
                     [type(item) for item in (label, serial, max_component, flags, filesystem)])
    self.assertEqual(u"NTFS", filesystem.decode("mbcs"))
    self.assertEqual(255, max_component)

  def testFATDriveByHandle(self):
    opened = OpenFile(self, os.path.join(Root(FAT), u"file.txt"))
    label, serial, _, _, filesystem = volumes.GetVolumeInformationByHandle(opened.handle)
    self.assertEqual((self.fat_label, self.fat_serial, "FAT32"), (label, serial, filesystem))
    self.assertIs(True, volumes.IsFAT(self.fat_serial, opened))
    # Beyond the pointer width only the low 32 bits reach the system.
    self.assertEqual(serial, volumes.GetVolumeInformationByHandle(opened.handle + 2 ** 32)[1])

  def testNonFATDriveByHandle(self):
    opened = OpenFile(self, os.path.join(Root(LABELLED), u"file.txt"))
    self.assertEqual(self.serial, volumes.GetVolumeInformationByHandle(opened.handle)[1])
    self.assertIs(False, volumes.IsFAT(self.serial, opened))

  def testFailuresAreWindowsErrorsWithTheSystemsCodeAndText(self):
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformation(Root(ENVIRONMENT["VOLUMES_MISSING_DRIVE"]))
    self.assertEqual(3, raised.exception.winerror)  # ERROR_PATH_NOT_FOUND
    self.assertEqual(SystemMessage(3), raised.exception.strerror)
    closed = OpenFile(self, os.path.join(Root(LABELLED), u"file.txt"))
    handle = closed.handle
    closed.file.close()
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformationByHandle(handle)
    self.assertEqual(6, raised.exception.winerror)  # ERROR_INVALID_HANDLE
    self.assertEqual(SystemMessage(6), raised.exception.strerror)

  def testTableFromTheSystem(self):
    service = volumes.VolumeInfo()
    table = service.AllVolumeEntries(force_update=True)
    volume_id = volumes.FindVolumeID(Stat(self.serial))
    self.assertEqual("serial:%d" % self.serial, volume_id)
    entry = service.GetVolumeEntryForVolumeID(volume_id)
    self.assertIs(table[volume_id], entry)
    self.assertEqual(Root(LABELLED), entry.mountpoint)
    self.assertEqual(self.label, entry.label)
    self.assertEqual("ntfs", entry.filesystem)
    self.assertEqual(self.serial, entry.device_number)
    self.assertTrue(entry.size > 0, entry)


class TwoRuntimesTest(unittest.TestCase):
  """The interpreter and the module each bring their own C runtime; the
  suites are only worth their name on Windows if that is so here."""

  @unittest.skipUnless(sys.platform == "win32", "Windows only")
  def testInterpreterAndModuleUseDifferentRuntimes(self):
    psapi = ctypes.WinDLL("psapi")
    kernel32 = ctypes.windll.kernel32
    modules = (ctypes.wintypes.HMODULE * 1024)()
    needed = ctypes.wintypes.DWORD()
    self.assertTrue(psapi.EnumProcessModules(kernel32.GetCurrentProcess(), modules,
                                             ctypes.sizeof(modules), ctypes.byref(needed)))
    names = set()
    for module in modules[:needed.value // ctypes.sizeof(ctypes.wintypes.HMODULE)]:
      path = ctypes.create_unicode_buffer(1024)
      kernel32.GetModuleFileNameW(ctypes.wintypes.HMODULE(module), path, 1024)
      names.add(os.path.basename(path.value).lower())
    self.assertTrue({"msvcr90.dll", "msvcrt.dll", "python27.dll", "volumes.pyd"} <= names,
                    sorted(names))
    # A descriptor of the interpreter's runtime means nothing to the module's.
    descriptor = os.open(sys.executable, os.O_RDONLY)
    self.addCleanup(os.close, descriptor)
    self.assertNotEqual(-1, ctypes.cdll.msvcr90._get_osfhandle(descriptor))
    self.assertEqual(-1, ctypes.cdll.msvcrt._get_osfhandle(descriptor))


if __name__ == "__main__":
  unittest.main()
