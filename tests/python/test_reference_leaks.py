"""Reference leaks of every public entry, on its success and error paths.

Run under the debug interpreter (python2.7-dbg), which counts every live
reference: each path is run a few times to warm up, then measured several
times; a count that grows on every measured run is a leak. Under the release
interpreter these tests skip.

Each test declares the entries it measures (@Measures); the coverage tests,
which run under every interpreter, fail for an entry of the modules (as the
modules list them: volumes_testing.NativeEntries) that no test here measures
or that no case of test_bad_input calls.
"""

import logging
import sys
import unittest

import scripted_system
import test_bad_input
import windows.volumes as volumes
import windows.winwrap as winwrap
import volumes_testing
from volumes_testing import LONG, PY3, Handle, Stat, VolumeName

WARMUP_RUNS = 3
MEASURED_RUNS = 5
CALLS_PER_RUN = 20

ROOT = VolumeName("11111111-aaaa")
DATA = VolumeName("22222222-bbbb")
FAT_HANDLE = 40
BAD_HANDLE = 41
NTFS_HANDLE = 42


class _IntLike(object):
  def __init__(self, value):
    self.value = value

  def __int__(self):
    return self.value


class _BadInt(object):
  def __int__(self):
    return "not a number"


class _LongOnly(object):
  def __long__(self):
    return LONG(FAT_HANDLE)
  if PY3:
    __index__ = __long__


class _OldStyleInt:
  def __int__(self):
    return FAT_HANDLE


class _IntAndLong(object):
  """Converts to the FAT handle through __int__, to another through __long__."""

  def __int__(self):
    return FAT_HANDLE

  def __long__(self):
    return LONG(BAD_HANDLE)
  if PY3:
    __index__ = __long__


class _SwallowingLock(object):
  """A lock whose __exit__ swallows every exception of the block."""

  def __enter__(self):
    pass

  def __exit__(self, *exc_info):
    return True


class _OldStyleSwallowingLock:
  def __enter__(self):
    pass

  def __exit__(self, *exc_info):
    return 1


class _Table(dict):
  """A table that is not exactly a dict: read through its own methods."""


def _RaisingLogger(method, prefix):
  """A logger whose `method` raises RuntimeError for the records whose
  format begins with `prefix`."""
  class RaisingLogger(logging.Logger):
    pass

  def Log(self, fmt, *args, **kwargs):
    if fmt.startswith(prefix):
      raise RuntimeError(prefix)
  setattr(RaisingLogger, method, Log)
  logger = RaisingLogger("raising")
  logger.addHandler(logging.NullHandler())
  return logger


def _Swallow(function, *args, **kwargs):
  """Calls and discards the result or the exception."""
  try:
    function(*args, **kwargs)
  except Exception:  # the error paths are what is measured
    pass
  volumes_testing.ClearHandledException()


def Measures(*entries):
  """Declares the entries (names of volumes_testing.NativeEntries) whose
  reference counts the test measures."""
  def Declare(test):
    test.measured_entries = entries
    return test
  return Declare


def MeasuredEntries(test_class):
  """The entries the tests of `test_class` declare they measure."""
  measured = set()
  for name in dir(test_class):
    measured.update(getattr(getattr(test_class, name), "measured_entries", ()))
  return measured


def LoadSystem():
  scripted_system.reset()
  scripted_system.add_volume(ROOT, [u"C:\\"], label=u"SYSTEM", serial=1234,
                             filesystem=u"NTFS", total_bytes=10 ** 9)
  scripted_system.add_volume(DATA, [u"E:\\data\\", u"D:\\"], label=u"", serial=0x80000001,
                             filesystem=u"FAT32", drive_type=2)
  scripted_system.add_volume(VolumeName("33333333-cccc"), [], serial=9)
  scripted_system.bind_handle(FAT_HANDLE, DATA)


@unittest.skipUnless(hasattr(sys, "gettotalrefcount"),
                     "needs the debug interpreter (python2.7-dbg) to count references")
class ReferenceLeakTest(unittest.TestCase):

  @classmethod
  def setUpClass(cls):
    logger = logging.getLogger(volumes.__name__)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False

  def setUp(self):
    LoadSystem()
    self.service = volumes.VolumeInfo.__wrapped__()

  def assertNoLeak(self, path):
    volumes_testing.AssertNoLeak(self, path, CALLS_PER_RUN, WARMUP_RUNS, MEASURED_RUNS)

  @Measures("_ListVolumeNames")
  def testVolumeEnumeration(self):
    self.assertNoLeak(volumes._ListVolumeNames)

    def SearchFailsAtOnce():
      scripted_system.push("FindFirstVolumeW", result=0, error=5)
      _Swallow(volumes._ListVolumeNames)
    self.assertNoLeak(SearchFailsAtOnce)

    def SearchFailsLater():
      scripted_system.push("FindNextVolumeW", result=0, error=21)
      _Swallow(volumes._ListVolumeNames)
    self.assertNoLeak(SearchFailsLater)

    def NameRepeated():
      scripted_system.set_enumeration([ROOT, DATA, DATA])
      volumes._ListVolumeNames()
      scripted_system.set_enumeration(None)
    self.assertNoLeak(NameRepeated)

    def NameWithoutNul():
      scripted_system.push("FindNextVolumeW", text=[0x41] * 261)
      _Swallow(volumes._ListVolumeNames)
    self.assertNoLeak(NameWithoutNul)

    self.assertNoLeak(lambda: _Swallow(volumes._ListVolumeNames, 1))

  @Measures("GetVolumeInformation", "GetVolumeInformationByHandle")
  def testVolumeInformation(self):
    for argument in (u"C:", u"C:\\", ROOT, u"Q:\\", "C:\\", None, u"C:\\\x00D:", 5):
      self.assertNoLeak(lambda: _Swallow(volumes.GetVolumeInformation, argument))

    def LabelWithoutNul():
      scripted_system.push("GetVolumeInformationW", text=[0x41] * 261)
      _Swallow(volumes.GetVolumeInformation, u"C:\\")
    self.assertNoLeak(LabelWithoutNul)

    for handle in (FAT_HANDLE, LONG(FAT_HANDLE), _IntLike(FAT_HANDLE), BAD_HANDLE,
                   _BadInt(), None, 2 ** 64, 1.5, _LongOnly(), _OldStyleInt(), _IntAndLong()):
      self.assertNoLeak(lambda: _Swallow(volumes.GetVolumeInformationByHandle, handle))
    self.assertNoLeak(lambda: _Swallow(volumes.GetVolumeInformation, u"C:", u"D:"))
    self.assertNoLeak(lambda: _Swallow(volumes.GetVolumeInformation, path=u"C:"))

  @Measures("_GetVolumePathNamesForVolumeName")
  def testMountPoints(self):
    for argument in (ROOT, DATA, str(ROOT), None, 5, u"\\\\?\\Volume{none}\\", b"\xff",
                     VolumeName("33333333-cccc")):  # the last has no mount point: []
      self.assertNoLeak(
          lambda: _Swallow(volumes._GetVolumePathNamesForVolumeName, argument))

    def FailsWithLength():
      scripted_system.push("GetVolumePathNamesForVolumeNameW", result=0, error=5,
                           return_length=7)
      _Swallow(volumes._GetVolumePathNamesForVolumeName, ROOT)
    self.assertNoLeak(FailsWithLength)

    def ClaimsMoreThanBuffer():
      scripted_system.push("GetVolumePathNamesForVolumeNameW", return_length=50)
      _Swallow(volumes._GetVolumePathNamesForVolumeName, ROOT)
    self.assertNoLeak(ClaimsMoreThanBuffer)

  @Measures("_VolumeIDFromSerialNumber", "FindVolumeID", "VolumeInfo.FindVolumeID")
  def testVolumeIdentity(self):
    for serial in (1234, LONG(1234), 2 ** 40, -5, "ABCD", None, (7,), (1, 2), u"12"):
      self.assertNoLeak(lambda: _Swallow(volumes._VolumeIDFromSerialNumber, serial))
    for stat_result in (Stat(1234), Stat(2 ** 33), None, Stat(u"x")):
      self.assertNoLeak(lambda: _Swallow(volumes.FindVolumeID, stat_result))
      self.assertNoLeak(lambda: _Swallow(self.service.FindVolumeID, stat_result))

  @Measures("IsFAT", "VolumeInfo.GetVolumeEntryForDeviceNumber")
  def testFatTest(self):
    self.assertNoLeak(lambda: volumes.IsFAT(0x80000001, Handle(FAT_HANDLE)))  # cached
    self.assertNoLeak(lambda: volumes.IsFAT(serial_number=1, handle=Handle(FAT_HANDLE)))

    def Uncached():
      self.service.AllVolumeEntries(True)  # empties the cache
      volumes.IsFAT(0x80000001, Handle(FAT_HANDLE))
    self.assertNoLeak(Uncached)

    for handle in (Handle(BAD_HANDLE), None, Handle(None), Handle(2 ** 70)):
      self.assertNoLeak(lambda: _Swallow(volumes.IsFAT, 777, handle))

    # Answers computed and cached, True and False, through every integer
    # conversion of the handle.
    scripted_system.bind_handle(NTFS_HANDLE, ROOT)
    for handle in (_LongOnly(), _OldStyleInt(), _IntAndLong(), NTFS_HANDLE):
      def Computed(handle=handle):
        self.service.AllVolumeEntries(True)
        volumes.IsFAT(1234, Handle(handle))
        volumes.IsFAT(1234, None)  # cached False
      self.assertNoLeak(Computed)

    # A volume ID function rebound by the caller, which may answer with an
    # object it keeps.
    old = volumes._VolumeIDFromSerialNumber
    self.addCleanup(setattr, volumes, "_VolumeIDFromSerialNumber", old)
    volumes._VolumeIDFromSerialNumber = lambda serial: "serial:1234"
    self.assertNoLeak(lambda: volumes.IsFAT(5, Handle(NTFS_HANDLE)))
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForDeviceNumber(5))
    for args in ((1,), (1, 2, 3), ()):
      self.assertNoLeak(lambda: _Swallow(volumes.IsFAT, *args))
    self.assertNoLeak(lambda: _Swallow(volumes.IsFAT, 1, handle=2, other=3))
    self.assertNoLeak(lambda: _Swallow(volumes.IsFAT, 1, serial_number=2))
    self.assertNoLeak(lambda: _Swallow(volumes.IsFAT, 1, **{u"handle": 2}))

  @Measures("VolumeInfo.__init__", "VolumeInfo.AllVolumeEntries",
            "VolumeInfo.GetVolumeEntryForVolumeID",
            "VolumeInfo.GetVolumeEntryForDeviceNumber", "VolumeInfo._PopulateVolumeTable")
  def testServiceAndRefresh(self):
    self.assertNoLeak(lambda: volumes.VolumeInfo.__wrapped__())
    self.assertNoLeak(lambda: self.service.AllVolumeEntries())
    self.assertNoLeak(lambda: self.service.AllVolumeEntries(force_update=True))
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForVolumeID("serial:1234"))
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForDeviceNumber(1234))
    # Volumes that are not in the table: the answer is None, which must be
    # given with a reference of its own.
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForVolumeID("serial:404"))
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForDeviceNumber(404))
    self.assertNoLeak(lambda: _Swallow(self.service.GetVolumeEntryForVolumeID, []))
    self.assertNoLeak(lambda: self.service._PopulateVolumeTable({}))
    self.assertNoLeak(lambda: _Swallow(self.service.AllVolumeEntries, 1, 2))
    self.assertNoLeak(lambda: _Swallow(self.service.__init__, 1))

    def RefreshWithFailingVolumes():
      scripted_system.push("GetVolumeInformationW", result=0, error=21)
      scripted_system.push("GetVolumePathNamesForVolumeNameW", result=0, error=5,
                           return_length=9)
      scripted_system.push("GetDiskFreeSpaceExW", result=0, error=21)
      self.service.AllVolumeEntries(True)
    self.assertNoLeak(RefreshWithFailingVolumes)

    def RefreshWithASharedSerial():  # the later volume replaces one, with a warning
      scripted_system.add_volume(VolumeName("44444444-dddd"), [u"F:\\"], serial=1234)
      self.service.AllVolumeEntries(True)
      scripted_system.remove_volume(VolumeName("44444444-dddd"))
    self.assertNoLeak(RefreshWithASharedSerial)

    def RefreshStoppedByEnumeration():
      scripted_system.push("FindFirstVolumeW", result=0, error=5)
      _Swallow(self.service.AllVolumeEntries, True)
    self.assertNoLeak(RefreshStoppedByEnumeration)

    # Errors that the refresh carries out past code calling the C API: the
    # FAT cache emptied after the new table was installed, and a log call
    # that fails while the lookup's WindowsError is being handled.
    old_logger = volumes.LOGGER
    self.addCleanup(setattr, volumes, "LOGGER", old_logger)
    for method, prefix in (("info", "Got new"), ("exception", "Unable to fetch")):
      volumes.LOGGER = _RaisingLogger(method, prefix)

      def RefreshFailsInALogCall():
        volumes.IsFAT(0x80000001, Handle(FAT_HANDLE))  # an answer to empty
        scripted_system.push("GetVolumeInformationW", result=0, error=21)
        _Swallow(self.service.AllVolumeEntries, True)
      self.assertNoLeak(RefreshFailsInALogCall)


  @Measures("VolumeInfo.AllVolumeEntries", "VolumeInfo._PopulateVolumeTable",
            "VolumeInfo.GetVolumeEntryForVolumeID",
            "VolumeInfo.GetVolumeEntryForDeviceNumber")
  def testAnswersThatAreNoneOrHeldElsewhere(self):
    # Each answer below is None or an object the table, a cache or the
    # caller also holds: it must be handed out with a reference of its own.
    def Replace(name, value):
      old = getattr(volumes, name)
      self.addCleanup(setattr, volumes, name, old)
      setattr(volumes, name, value)

    # A refresh whose failure the lock's __exit__ swallows answers None.
    for lock in (_SwallowingLock(), _OldStyleSwallowingLock()):
      self.service._lock = lock

      def SwallowedRefresh():
        scripted_system.push("FindFirstVolumeW", result=0, error=5)
        self.service._PopulateVolumeTable(self.service._volume_ids)
        scripted_system.push("FindFirstVolumeW", result=0, error=5)
        self.service.AllVolumeEntries(True)
      self.assertNoLeak(SwallowedRefresh)
    self.service._lock = volumes.platform_utils.Lock()

    # A volume name without a GUID gives an entry whose uuid is None.
    scripted_system.add_volume(u"\\\\?\\NoGuid\\", [u"G:\\"], serial=77)
    self.assertNoLeak(lambda: self.service.AllVolumeEntries(True))
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID("serial:77").uuid)

    # Names listed as a tuple (read by index) or by an iterator.
    names = tuple(volumes._ListVolumeNames())
    Replace("_ListVolumeNames", lambda: names)
    self.assertNoLeak(lambda: self.service.AllVolumeEntries(True))
    volumes._ListVolumeNames = lambda: iter(names)
    self.assertNoLeak(lambda: self.service.AllVolumeEntries(True))

    # Lookups in a table that is not exactly a dict, and keys that are not
    # of the built-in kinds.
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForVolumeID(("serial:1234",)))
    self.service._volume_entries = _Table(self.service._volume_entries)
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForVolumeID("serial:1234"))
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForVolumeID("serial:404"))
    self.assertNoLeak(lambda: self.service.AllVolumeEntries())

    # The instance's own device-number mapping, present or failing.
    self.service._FindVolumeIDForDeviceNumber = lambda st_dev: "serial:%d" % st_dev
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForDeviceNumber(1234))
    self.assertNoLeak(lambda: self.service.GetVolumeEntryForDeviceNumber(404))
    for error in (AttributeError("absent"), RuntimeError("unreadable")):
      service = volumes_testing.ServiceWhoseMappingLookupRaises(error)
      service.AllVolumeEntries()

      def LookupRaises(service=service, error=error):
        _Swallow(service.GetVolumeEntryForDeviceNumber, 1234)
        volumes_testing.ForgetTraceback(error)  # raised again and again
      self.assertNoLeak(LookupRaises)

  @Measures("winwrap.WindowsError.__init__", "winwrap.WindowsError.__str__")
  def testWindowsErrorsAndTheirText(self):
    def Texts():
      try:
        volumes.GetVolumeInformation(u"Q:\\")
      except WindowsError as error:
        str(error), repr(error), error.strerror, error.winerror
      volumes_testing.ClearHandledException()
      bare = WindowsError("no code")
      str(bare), repr(bare)
    self.assertNoLeak(Texts)

    # winwrap's own class (off Windows; on Windows it is the interpreter's):
    # the text with a file name, and each way out of its methods with an
    # error, called as the class holds them.
    entries = volumes_testing.NativeEntries()
    init = entries.get("winwrap.WindowsError.__init__")
    text = entries.get("winwrap.WindowsError.__str__")
    if init is None or text is None:
      return
    self.assertNoLeak(lambda: str(winwrap.WindowsError(5, u"Access is denied", u"f")))
    error = winwrap.WindowsError(5, "Access is denied")
    for args, kwargs in [((), {}), ((error, 5, "x"), {"filename": "f"}),
                         ((object(), 5, "x"), {})]:
      self.assertNoLeak(lambda: _Swallow(init, *args, **kwargs))
    for args in [(), (error, 1), (object(),), (test_bad_input.FilenameRaises(),)]:
      self.assertNoLeak(lambda: _Swallow(text, *args))


class CoverageTest(unittest.TestCase):
  """Every entry of the native modules, as the modules list them, has its
  reference counts measured above and bad input of its own in
  test_bad_input. Under every interpreter: what the tests declare does not
  need the debug one."""

  def setUp(self):
    self.entries = volumes_testing.NativeEntries()
    self.assertTrue(self.entries, "the modules list no function")

  def testEveryEntryHasAReferenceCountTest(self):
    missing = sorted(set(self.entries) - MeasuredEntries(ReferenceLeakTest))
    self.assertFalse(missing, "without a reference-count test: " + ", ".join(missing))

  def testEveryEntryHasABadInputCase(self):
    # A case counts for the function it calls, found by the suite's own
    # Target: a bound method for the function its class holds.
    service = volumes.VolumeInfo.__wrapped__()
    called = set()
    for case in test_bad_input.Cases():
      target = test_bad_input.Target(case[0], service)
      called.add(id(getattr(target, "__func__", target)))
    missing = sorted(name for name, function in self.entries.items() if id(function) not in called)
    self.assertFalse(missing, "without a bad-input case: " + ", ".join(missing))


if __name__ == "__main__":
  unittest.main()
