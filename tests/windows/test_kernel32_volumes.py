r"""windows.volumes over the real KERNEL32, in the Windows interpreters: the
32-bit CPython 2.7 and the 64-bit CPython 3.11.

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

import codecs
import ctypes
import ctypes.wintypes
import msvcrt
import os
import struct
import sys
import unittest

import windows.volumes as volumes

ENVIRONMENT = os.environ
LABELLED = ENVIRONMENT.get("VOLUMES_LABELLED_DRIVE", "")
FAT = ENVIRONMENT.get("VOLUMES_FAT_DRIVE", "")
PY3 = sys.version_info[0] >= 3
TEXT = str if PY3 else unicode  # noqa: F821 (Python 2.7 only)
LONG = int if PY3 else long  # noqa: F821
POINTER_BITS = struct.calcsize("P") * 8


def Root(drive):
  return TEXT(drive) + u"\\"


def FileSystemText(filesystem):
  """The file system name as text: 2.7 gives the ANSI code page's bytes."""
  return filesystem if PY3 else filesystem.decode("mbcs")


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
    self.label = codecs.decode(ENVIRONMENT["VOLUMES_LABEL"], "unicode_escape")
    self.serial = int(ENVIRONMENT["VOLUMES_SERIAL"], 16)
    self.fat_label = TEXT(ENVIRONMENT["VOLUMES_FAT_LABEL"])
    self.fat_serial = int(ENVIRONMENT["VOLUMES_FAT_SERIAL"], 16)

  def testEnumerationAndMountPointsOfTheDrives(self):
    names = volumes._ListVolumeNames()
    mount_points = {}
    for name in names:
      self.assertIs(TEXT, type(name))
      self.assertTrue(volumes.VOLUME_NAME_GUID_MATCHER.match(name), name)
      for mount_point in volumes._GetVolumePathNamesForVolumeName(name):
        self.assertIs(TEXT, type(mount_point))
        mount_points[mount_point] = name
    for drive in (u"C:", LABELLED, FAT):
      self.assertIn(Root(drive), mount_points)
    self.assertEqual(len(set(mount_points.values())), len(mount_points))

  def testInformationOfALabelledDrive(self):
    label, serial, max_component, flags, filesystem = volumes.GetVolumeInformation(
        Root(LABELLED))
    self.assertEqual((self.label, self.serial), (label, serial))
    self.assertEqual([TEXT, LONG, LONG, LONG, str],
                     [type(item) for item in (label, serial, max_component, flags, filesystem)])
    self.assertEqual(u"NTFS", FileSystemText(filesystem))
    self.assertEqual(255, max_component)

  def testFATDriveByHandle(self):
    opened = OpenFile(self, os.path.join(Root(FAT), u"file.txt"))
    label, serial, _, _, filesystem = volumes.GetVolumeInformationByHandle(opened.handle)
    self.assertEqual((self.fat_label, self.fat_serial, "FAT32"), (label, serial, filesystem))
    self.assertIs(True, volumes.IsFAT(self.fat_serial, opened))
    if POINTER_BITS == 32:
      # Beyond the pointer width only the low 32 bits reach the system.
      self.assertEqual(serial, volumes.GetVolumeInformationByHandle(opened.handle + 2 ** 32)[1])
    else:
      # A 64-bit handle reaches the system whole: with a high bit added it
      # is another handle, which names no open file.
      with self.assertRaises(WindowsError) as raised:
        volumes.GetVolumeInformationByHandle(opened.handle + 2 ** 32)
      self.assertEqual(6, raised.exception.winerror)  # ERROR_INVALID_HANDLE

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


  @unittest.skipUnless(PY3, "2.7's os.stat on Windows gives st_dev 0")
  def testAFilesStatNamesItsVolume(self):
    # The interpreter fills st_dev with the volume's serial number, which
    # the table is keyed by.
    service = volumes.VolumeInfo()
    table = service.AllVolumeEntries(force_update=True)
    for drive, serial in ((LABELLED, self.serial), (FAT, self.fat_serial)):
      path = os.path.join(Root(drive), u"file.txt")
      volume_id = volumes.FindVolumeID(os.stat(path))
      self.assertEqual("serial:%d" % serial, volume_id, drive)
      self.assertEqual(Root(drive), table[volume_id].mountpoint)
    fat_file = os.path.join(Root(FAT), u"file.txt")
    self.assertIs(True, volumes.IsFAT(os.stat(fat_file).st_dev, OpenFile(self, fat_file)))


def LoadedModuleNames():
  """The file names (lower case) of every module loaded in this process."""
  psapi = ctypes.WinDLL("psapi")
  kernel32 = ctypes.WinDLL("kernel32")
  kernel32.GetCurrentProcess.restype = ctypes.wintypes.HANDLE
  kernel32.GetModuleFileNameW.argtypes = [ctypes.wintypes.HMODULE, ctypes.wintypes.LPWSTR,
                                          ctypes.wintypes.DWORD]
  psapi.EnumProcessModules.argtypes = [ctypes.wintypes.HANDLE,
                                       ctypes.POINTER(ctypes.wintypes.HMODULE),
                                       ctypes.wintypes.DWORD, ctypes.POINTER(ctypes.wintypes.DWORD)]
  modules = (ctypes.wintypes.HMODULE * 1024)()
  needed = ctypes.wintypes.DWORD()
  if not psapi.EnumProcessModules(kernel32.GetCurrentProcess(), modules,
                                  ctypes.sizeof(modules), ctypes.byref(needed)):
    raise ctypes.WinError()
  names = set()
  for module in modules[:needed.value // ctypes.sizeof(ctypes.wintypes.HMODULE)]:
    path = ctypes.create_unicode_buffer(1024)
    kernel32.GetModuleFileNameW(module, path, 1024)
    names.add(os.path.basename(path.value).lower())
  return names


class TwoRuntimesTest(unittest.TestCase):
  """2.7: the interpreter and the module each bring their own C runtime, as
  on users' machines; 3.11: both use the universal CRT. The suites are
  only worth their name on Windows if that is so here."""

  @unittest.skipUnless(sys.platform == "win32" and not PY3, "Windows CPython 2.7 only")
  def testInterpreterAndModuleUseDifferentRuntimes(self):
    names = LoadedModuleNames()
    self.assertTrue({"msvcr90.dll", "msvcrt.dll", "python27.dll", "volumes.pyd"} <= names,
                    sorted(names))
    # A descriptor of the interpreter's runtime means nothing to the module's.
    descriptor = os.open(sys.executable, os.O_RDONLY)
    self.addCleanup(os.close, descriptor)
    self.assertNotEqual(-1, ctypes.cdll.msvcr90._get_osfhandle(descriptor))
    self.assertEqual(-1, ctypes.cdll.msvcrt._get_osfhandle(descriptor))

  @unittest.skipUnless(sys.platform == "win32" and PY3, "Windows CPython 3 only")
  def testInterpreterAndModuleShareTheUniversalRuntime(self):
    names = LoadedModuleNames()
    self.assertTrue({"ucrtbase.dll", "python%d%d.dll" % sys.version_info[:2], "volumes.pyd"}
                    <= names, sorted(names))
    # A descriptor of the interpreter's is one of the runtime's own.
    descriptor = os.open(sys.executable, os.O_RDONLY)
    self.addCleanup(os.close, descriptor)
    ucrt = ctypes.CDLL("ucrtbase")
    ucrt._get_osfhandle.restype = ctypes.c_ssize_t
    self.assertEqual(msvcrt.get_osfhandle(descriptor), ucrt._get_osfhandle(descriptor))


if __name__ == "__main__":
  unittest.main()
