"""AllVolumeEntries and _PopulateVolumeTable: when the table is rebuilt, what
each entry holds, which volumes are skipped, and that a failed rebuild leaves
the previous table, the FAT cache and the lock as they were."""

import ast
import codecs
import ctypes
import logging
import sys
import threading
import unittest

import volumes_testing
from volumes_testing import LONG, PY3, Handle, VolumeName
from common import volume_entry
import windows.volumes as volumes

A, B, C = VolumeName("AbC-1"), VolumeName("b-2"), VolumeName("c-3")
REFRESHING = ("INFO", "Refreshing volume information table.", ())


def Quiet(logger):
  logger.addHandler(logging.NullHandler())
  return logger


class Raising(object):
  def __nonzero__(self):
    raise ZeroDivisionError("truth")
  __bool__ = __nonzero__


def _Interrupt(*unused):
  raise KeyboardInterrupt()


codecs.register(lambda name: codecs.CodecInfo(_Interrupt, _Interrupt, name=name)
                if name == "interrupting_test_codec" else None)


class TableRefreshTest(volumes_testing.ScriptedSystemTestCase):

  def Rebuilds(self):
    return len(self.SystemCalls("FindFirstVolumeW"))

  def Table(self):
    return self.service._volume_entries

  def CacheFat(self, serial):
    """Leaves an IsFAT answer for `serial` in the FAT cache."""
    self.system.bind_handle(serial, A)
    volumes.IsFAT(serial, Handle(serial))

  def FatCached(self, serial):
    try:
      volumes.IsFAT(serial, None)  # touches the handle only on a miss
      return True
    except AttributeError:
      return False

  def testFirstCallPopulatesOnceWithTheMarkerOfInit(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    initial = self.service._volume_ids
    populate = self.service._PopulateVolumeTable
    markers = []
    self.service._PopulateVolumeTable = lambda ids: markers.append(ids) or populate(ids)
    self.service.AllVolumeEntries()
    self.service.AllVolumeEntries()
    self.assertEqual(1, len(markers))
    self.assertIs(initial, markers[0])
    self.assertIsNot(initial, self.service._volume_ids)

  def testForceUpdateIsATruthValue(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.service.AllVolumeEntries()
    for args, kwargs, rebuilds in [((True,), {}, 1), ((), {"force_update": 1}, 1),
                                   (("yes",), {}, 1), ((0,), {}, 0), ((None,), {}, 0),
                                   (("",), {}, 0), ((), {}, 0)]:
      self.system.clear_calls()
      self.service.AllVolumeEntries(*args, **kwargs)
      self.assertEqual(rebuilds, self.Rebuilds(), (args, kwargs))

  def testTruthOfForceUpdateIsTakenOnlyForALoadedTable(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.assertEqual(1, len(self.service.AllVolumeEntries(Raising())))
    self.assertRaises(ZeroDivisionError, self.service.AllVolumeEntries, Raising())

  def testCallersGetCopiesSharingTheEntries(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    first = self.service.AllVolumeEntries()
    second = self.service.AllVolumeEntries()
    self.assertEqual(first, second)
    self.assertIsNot(first, second)
    self.assertIs(first["serial:1"], self.Table()["serial:1"])
    first.clear()
    first["x"] = None
    self.assertEqual(["serial:1"], list(self.service.AllVolumeEntries().keys()))
    self.assertEqual(1, self.Rebuilds())

  def testEntryFields(self):
    self.system.add_volume(A, [u"C:\\"], label=u"Data", serial=0xF0000001,
                           filesystem=u"FAT32", drive_type=2, total_bytes=2 ** 40)
    entry = self.service.AllVolumeEntries()["serial:4026531841"]
    self.assertEqual(volume_entry.VolumeEntry(
        volume="serial:4026531841", mountpoint=u"C:\\", device_file=A,
        device_number=0xF0000001, uuid="AbC-1", model=None,
        device_type=volumes.DRIVE_TYPE_MAP[2], label=u"Data", filesystem="fat32",
        size=2 ** 40), entry)
    self.assertEqual([LONG, str, str, LONG], list(map(type, [entry.device_number, entry.uuid,
                                                             entry.filesystem, entry.size])))
    # Both calls of the refresh name the volume by its GUID name.
    self.assertEqual([("GetDriveTypeW", A)], self.SystemCalls("GetDriveTypeW"))
    self.assertEqual([("GetDiskFreeSpaceExW", A, 0, 1, 0)],
                     self.SystemCalls("GetDiskFreeSpaceExW"))
    self.assertEqual([A], [c[1] for c in self.SystemCalls("GetVolumeInformationW")])

  def testModuleNamesAreLookedUpAtEachRebuild(self):
    # The key is read back from the entry, not taken from the keyword.
    class Entries(object):
      DeviceType = volume_entry.DeviceType

      class VolumeEntry(volume_entry.VolumeEntry):
        def __init__(self, **fields):
          volume_entry.VolumeEntry.__init__(self, **fields)
          self.volume = fields["volume"].upper()
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.service.AllVolumeEntries()
    self.Rebind("_VolumeIDFromSerialNumber", lambda serial: "id:%d" % serial)
    self.Rebind("volume_entry", Entries)
    self.Rebind("DRIVE_TYPE_MAP", {3: "fixed"})
    self.Rebind("VOLUME_NAME_GUID_MATCHER", __import__("re").compile(u".*{(.)"))
    entry = self.service.AllVolumeEntries(True)["ID:1"]
    self.assertEqual(("ID:1", "fixed", "A"), (entry.volume, entry.device_type, entry.uuid))

  def testGuidIsWhatTheMatcherFindsWhetherOwnOrReplaced(self):
    # The module's own pattern may be matched without the engine; any other
    # matcher, even one that only passes on that pattern's answers, is
    # asked. Both ways must give what the pattern gives.
    own = volumes.VOLUME_NAME_GUID_MATCHER
    # The system is asked about a name with a trailing backslash: each name
    # ends in one.
    names = [VolumeName(u"1b2c3d4e-0000-11e5-a_9F"), VolumeName(u"x"),
             VolumeName(u"a") + u"more\\", VolumeName(u"_-") + u"\\",
             u"\\\\?\\Volume{abc}x\\", u"\\\\?\\Volume{}\\", u"\\\\?\\Volume{\\", u"\\\\?\\Volume\\",
             u" " + VolumeName(u"abc"), u"\\\\?\\volume{abc}\\", u"\\\\?\\Volume{{abc}\\",
             u"\\\\?\\Volume{abc}}\\", u"\\\\?\\Volume{abc}/\\", VolumeName(u"a b"), VolumeName(u"a.b"),
             # \w of the pattern is ASCII only
             VolumeName(u"g\xe9"), VolumeName(u"\u0661"), VolumeName(u"\uff21"),
             VolumeName(u"a\U0001F600"), u"C:\\"]
    # IDs read several characters a step: one that ends or breaks off at
    # each place of a step.
    names += [VolumeName(u"a" * length) for length in range(1, 10)]
    names += [VolumeName(u"c" * place + u"." + u"d") for place in range(9)]
    expected = {}
    for serial, name in enumerate(names, 1):
      self.system.add_volume(name, [u"C:\\m%d" % serial], serial=serial)
      match = own.match(name)
      expected["serial:%d" % serial] = str(match.group(1)) if match else None
    self.assertEqual(4 + 9, len([guid for guid in expected.values() if guid]))

    def Guids():
      return dict((key, entry.uuid) for key, entry in self.service.AllVolumeEntries(True).items())

    class PassingOn(object):
      def match(self, name):
        return own.match(name)
    self.assertEqual(expected, Guids())
    self.Rebind("VOLUME_NAME_GUID_MATCHER", PassingOn())
    self.assertEqual(expected, Guids())
    self.assertEqual(set([str, type(None)]), set(map(type, Guids().values())))

  def testUnknownCapacityDriveTypeAndGuid(self):
    odd = u"\\\\?\\Volume-odd\\"
    self.system.add_volume(odd, [u"D:\\"], serial=2, drive_type=77)
    entry = self.service.AllVolumeEntries()["serial:2"]
    self.assertEqual((0, LONG, None, volume_entry.DeviceType.UNKNOWN),
                     (entry.size, type(entry.size), entry.uuid, entry.device_type))
    self.assertIn(("DEBUG", "Could not determine volume capacity for %r", (u"D:\\",)),
                  self.log.Calls())
    # A failed call that wrote a total anyway still counts as unknown.
    self.system.push("GetDiskFreeSpaceExW", result=0, total_bytes=5)
    self.assertEqual(0, self.service.AllVolumeEntries(True)["serial:2"].size)

  def testDriveTypeIsLookedUpAsALongWithUnknownAsTheDefault(self):
    asked = []

    class Map(object):
      def get(self, *args):
        asked.append(args)
        return "mapped"
    self.system.add_volume(A, [u"C:\\"], serial=1, drive_type=3)
    self.Rebind("DRIVE_TYPE_MAP", Map())
    self.assertEqual("mapped", self.service.AllVolumeEntries()["serial:1"].device_type)
    self.assertEqual([(3, volume_entry.DeviceType.UNKNOWN)], asked)
    self.assertIs(LONG, type(asked[0][0]))
    # A plain dict's get is read directly; a dict subclass may have its own.

    class DictMap(dict):
      def get(self, *args):
        asked.append(args)
        return "subclass"
    self.Rebind("DRIVE_TYPE_MAP", DictMap({3: "plain"}))
    self.assertEqual("subclass", self.service.AllVolumeEntries(True)["serial:1"].device_type)
    self.Rebind("DRIVE_TYPE_MAP", {3: "plain"})
    self.assertEqual("plain", self.service.AllVolumeEntries(True)["serial:1"].device_type)
    self.assertEqual(2, len(asked))

  def testShortestMountPointWinsAndTiesKeepTheSystemOrder(self):
    self.system.add_volume(A, [u"C:\\mnt\\long", u"E:\\", u"C:\\"], serial=1)
    self.assertEqual(u"E:\\", self.service.AllVolumeEntries()["serial:1"].mountpoint)
    self.assertIn(("DEBUG", "Got multiple mounts for %s: %s",
                   (A, [u"E:\\", u"C:\\", u"C:\\mnt\\long"])), self.log.Calls())

  def testLaterVolumeWithTheSameSerialWinsWithAWarningNamingBoth(self):
    # Cloned disks share serial numbers: the earlier volume must not leave
    # the table without a trace.
    self.system.add_volume(A, [u"C:\\"], serial=7)
    self.system.add_volume(B, [u"D:\\"], serial=8)
    self.system.add_volume(C, [u"E:\\mnt", u"F:\\"], serial=7)
    self.assertEqual({"serial:7": C, "serial:8": B},
                     dict((k, e.device_file) for k, e in self.service.AllVolumeEntries().items()))
    self.assertEqual([("WARNING", "Volume %s at %r has the same volume ID %s as volume %s at %r, "
                       "which it replaces.", (C, u"F:\\", "serial:7", A, u"C:\\"))],
                     self.log.Calls("WARNING"))

  def testVolumesThatCannotBeDescribedAreSkipped(self):
    self.system.add_volume(B, [u"D:\\"], serial=2)
    self.system.add_volume(C, [u"E:\\"], serial=3, total_bytes=1)
    self.system.push("GetVolumePathNamesForVolumeNameW", return_length=0)  # no mount point
    self.system.push("GetVolumePathNamesForVolumeNameW", result=0, error=5, return_length=2)
    self.system.push("GetVolumeInformationW", result=0, error=21)
    # A byte string that is no text: 2.7 fails to decode it, Python 3 refuses
    # bytes.
    listed = [A, VolumeName("gone"), B, b"\\\\?\\Volume{\xff}\\", 5, C]
    self.Rebind("_ListVolumeNames", lambda: listed)
    self.assertEqual(["serial:3"], list(self.service.AllVolumeEntries().keys()))
    self.assertEqual([
        REFRESHING,
        ("DEBUG", "Volume %s has no mount point. Skipping.", (A,)),
        ("ERROR", "Could not write path names into %s-byte buffer.", (10,)),
        ("ERROR", "Could not determine mount point for %s", (VolumeName("gone"),)),
        ("ERROR", "Unable to fetch volume info for %r, skipping.", (u"D:\\",)),
        ("ERROR", "Could not determine mount point for %s", (listed[3],)),
        ("ERROR", "Could not determine mount point for %s", (5,))], self.log.Calls()[:7])
    self.assertEqual("Got new volume entries: %r", self.log.Calls()[7][1])
    failures = [r.exc_info[1] for r in self.log.records if r.exc_info]
    expected = [WindowsError, WindowsError, TypeError if PY3 else UnicodeDecodeError, TypeError]
    self.assertEqual(len(expected), len(failures), failures)
    for kind, failure in zip(expected, failures):
      volumes_testing.AssertErrorType(self, kind, failure)
    self.assertEqual("Expected %s, got int" % volumes_testing.ANY_TEXT_NAME, str(failures[-1]))

  def testNameWithANulIsSkippedBeforeTheSystemIsAsked(self):
    # The name's text is made once for all the calls about it; the one with
    # a NUL must still be refused before any call.
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.Rebind("_ListVolumeNames", lambda: [A[:-1] + u"\x00\\", A])
    self.assertEqual(["serial:1"], list(self.service.AllVolumeEntries().keys()))
    self.assertEqual(["guid_path must not contain NUL characters"],
                     [str(r.exc_info[1]) for r in self.log.records if r.exc_info])
    self.assertEqual(set([A]), set(call[1] for call in self.SystemCalls()
                                   if call[0] != "FindFirstVolumeW" and len(call) > 1))

  def testNativeStrNameIsRefusedByTheInformationStep(self):
    # 2.7: the mount point step takes a native str, the information step
    # refuses it. Python 3's str is the text type; bytes are refused at the
    # first step.
    self.system.add_volume(A, [u"C:\\"], serial=1)
    name, message = ((A.encode("ascii"), "Expected str, got bytes") if PY3
                     else (str(A), "Expected unicode, got str"))
    self.Rebind("_ListVolumeNames", lambda: (name,))
    self.assertEqual({}, self.service.AllVolumeEntries())
    (failure,) = [r.exc_info[1] for r in self.log.records if r.exc_info]
    self.assertEqual(message, str(failure))

  def testNoUsableVolumeInstallsAnEmptyTableAndEmptiesTheFatCache(self):
    self.CacheFat(1)
    self.system.add_volume(A, [], serial=1)
    self.assertEqual({}, self.service.AllVolumeEntries())
    info = self.log.Calls("INFO")
    self.assertEqual([REFRESHING, ("INFO", "Got new volume entries: %r", ({},))], info[:2])
    self.assertEqual("Volume information refresh complete in %gs.", info[2][1])
    self.assertEqual(float, type(info[2][2][0]))
    self.assertFalse(self.FatCached(1))
    self.service.AllVolumeEntries()  # an empty table is rebuilt every time
    self.assertEqual(2, self.Rebuilds())

  def testVolumeEntryGetsTheKeywordDictTheInterpreterWouldMake(self):
    # A dict filled key by key, as the interpreter fills a call's keyword
    # dict: in 2.7 its order is that of its table, which depends on the
    # names' hashes; some hash seeds put the names in other slots of a dict
    # sized for them at once.
    probe = r"""
        import ctypes
        import scripted_system
        import volumes_testing
        import windows.volumes as volumes
        from common import volume_entry
        order = []
        class Entry(ctypes.Structure):
          # ctypes sets the keywords one by one in the order of the dict it
          # was given.
          def __setattr__(self, name, value):
            order.append(name)
            ctypes.Structure.__setattr__(self, name, value)
        class Module(object):
          VolumeEntry = Entry
          DeviceType = volume_entry.DeviceType
        volumes.volume_entry = Module
        scripted_system.add_volume(volumes_testing.VolumeName("order"), [u"C:\\"], serial=1)
        volumes.VolumeInfo.__wrapped__().AllVolumeEntries()
        filled = {}
        for name in volume_entry.VolumeEntry.FIELDS:
          filled[name] = None
        print(repr((order, list(filled))))
        """
    for seed in ("0", "4", "19", "24", "30", "35", "43"):
      status, out, err = volumes_testing.RunPython(probe, environment={"PYTHONHASHSEED": seed})
      self.assertEqual(0, status, err)
      order, filled = ast.literal_eval(out.strip())
      self.assertEqual(filled, order, seed)
      self.assertEqual(sorted(volume_entry.VolumeEntry.FIELDS), sorted(order))

  def Failures(self):
    """Ways for a rebuild to fail before it installs the new table."""
    class VolumeEntry(object):
      def __init__(self, **fields):
        raise RuntimeError("entry")

    class Module(object):
      pass
    entries = Module()
    entries.VolumeEntry = VolumeEntry
    entries.DeviceType = volume_entry.DeviceType

    class InfoFails(logging.Logger):
      def info(self, *args):
        raise RuntimeError("log")
    return [("volume_entry", entries), ("LOGGER", Quiet(InfoFails("x"))),
            ("_ListVolumeNames", lambda: 1 / 0)]

  def testFailedRebuildLeavesTableFatCacheAndLock(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    for name, value in self.Failures():
      self.service.AllVolumeEntries(True)
      self.CacheFat(1)
      table, marker = self.Table(), self.service._volume_ids
      old = getattr(volumes, name)
      setattr(volumes, name, value)
      try:
        self.assertRaises(Exception, self.service.AllVolumeEntries, True)
      finally:
        setattr(volumes, name, old)
      self.assertIs(table, self.Table())
      self.assertIs(marker, self.service._volume_ids)
      self.assertTrue(self.FatCached(1), name)
      self.assertFalse(self.service._lock.locked())

  def testFailureAfterInstallingStillEmptiesTheFatCache(self):
    class NewEntriesFail(logging.Logger):
      def info(self, fmt, *args):
        if fmt.startswith("Got new"):
          raise RuntimeError("log")

    class Utils(object):
      calls = 0

      def GetMonotonicTime(self):
        Utils.calls += 1
        if Utils.calls == 2:
          raise RuntimeError("clock")
        return 0.0
    self.system.add_volume(A, [u"C:\\"], serial=1)
    for name, value in [("LOGGER", Quiet(NewEntriesFail("x"))), ("utils", Utils())]:
      self.CacheFat(1)
      old = getattr(volumes, name)
      setattr(volumes, name, value)
      try:
        self.assertRaises(RuntimeError, self.service.AllVolumeEntries, True)
      finally:
        setattr(volumes, name, old)
      self.assertFalse(self.FatCached(1), name)
      self.assertEqual(["serial:1"], list(self.Table().keys()))
      self.assertFalse(self.service._lock.locked())

  def testLockMethodsAreFoundAsTheWithStatementFindsThem(self):
    # On the class of a lock, bound to it, whatever its instance holds; on
    # the instance itself of a 2.7 old-style one.
    calls = []

    class Lock(object):
      def __enter__(self):
        calls.append(("class enter", self))

      def __exit__(self, *exc_info):
        calls.append(("class exit", self))
    lock = Lock()
    lock.__enter__ = lambda: calls.append(("instance enter", None))
    lock.__exit__ = lambda *exc_info: calls.append(("instance exit", None))
    self.service._lock = lock
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.assertEqual(["serial:1"], list(self.service.AllVolumeEntries().keys()))
    self.assertEqual([("class enter", lock), ("class exit", lock)], calls[:2])
    self.assertEqual(set([("class enter", lock), ("class exit", lock)]), set(calls))
    if PY3:
      return

    class OldStyleLock:
      pass
    del calls[:]
    old_style = OldStyleLock()
    old_style.__enter__ = lambda: calls.append("instance enter")
    old_style.__exit__ = lambda *exc_info: calls.append("instance exit")
    self.service._lock = old_style
    self.assertEqual(["serial:1"], list(self.service.AllVolumeEntries(True).keys()))
    self.assertEqual(["instance enter", "instance exit"], calls[:2])
    self.assertEqual(set(["instance enter", "instance exit"]), set(calls))

  def testLockThatSwallowsTheFailure(self):
    exits = []

    class Lock(object):
      def __enter__(self):
        return "ignored"

      def __exit__(self, *exc_info):
        exits.append(exc_info[0])
        return True
    self.service._lock = Lock()
    marker = self.service._volume_ids
    self.Rebind("_ListVolumeNames", lambda: 1 / 0)
    self.assertIsNone(self.service._PopulateVolumeTable(marker))
    self.assertEqual({}, self.service.AllVolumeEntries())
    self.assertEqual([ZeroDivisionError] * 2, exits)
    self.assertIs(self.service._volume_ids, self.service._PopulateVolumeTable(None))
    self.assertEqual(None, exits[-1])

  @unittest.skipIf(PY3, "Python 3 decodes no str name with a default encoding, the hook "
                        "that interrupts this step")
  def testInterruptInsideAGuardedStepIsNotSwallowed(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.service.AllVolumeEntries()
    table = self.Table()
    self.Rebind("_ListVolumeNames", lambda: ["ascii name"])
    # unicode() of a str decodes with the default encoding: one that raises
    # KeyboardInterrupt interrupts the mount point step.
    set_default = getattr(ctypes.pythonapi, "PyUnicodeUCS%d_SetDefaultEncoding"
                          % (4 if sys.maxunicode > 0xffff else 2))
    set_default.argtypes = [ctypes.c_char_p]
    self.assertEqual(0, set_default("interrupting_test_codec"))
    try:
      self.assertRaises(KeyboardInterrupt, self.service.AllVolumeEntries, True)
    finally:
      set_default("ascii")
    self.assertEqual([], self.log.Calls("ERROR"))
    self.assertIs(table, self.Table())
    self.assertFalse(self.service._lock.locked())

  def testStaleMarkerReturnsTheCurrentOneAndDoesNothing(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.service.AllVolumeEntries()
    marker, table = self.service._volume_ids, self.Table()
    self.system.clear_calls()
    del self.log.records[:]
    for stale in (None, dict(marker), {}):
      self.assertIs(marker, self.service._PopulateVolumeTable(stale))
    self.assertIs(marker, self.service._PopulateVolumeTable(current_volume_ids=[]))
    self.assertEqual(([], []), (self.SystemCalls(), self.log.Calls()))
    self.assertIs(table, self.Table())

  def testConcurrentRequestsRebuildOnce(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    inside, proceed, second_waits = threading.Event(), threading.Event(), threading.Event()
    list_names = volumes._ListVolumeNames

    def SlowList():
      inside.set()
      proceed.wait(10)
      return list_names()
    self.Rebind("_ListVolumeNames", SlowList)

    class Lock(object):
      def __init__(self, lock):
        self.lock = lock

      def __enter__(self):
        if threading.current_thread().name == "second":
          second_waits.set()
        return self.lock.__enter__()

      def __exit__(self, *exc_info):
        return self.lock.__exit__(*exc_info)
    self.service._lock = Lock(self.service._lock)
    results = {}

    def Run():
      results[threading.current_thread().name] = self.service.AllVolumeEntries()
    first = threading.Thread(target=Run, name="first")
    first.start()
    self.assertTrue(inside.wait(10))
    second = threading.Thread(target=Run, name="second")
    second.start()
    self.assertTrue(second_waits.wait(10))
    proceed.set()
    first.join(10)
    second.join(10)
    self.assertEqual(["serial:1"], list(results["first"].keys()))
    self.assertEqual(results["first"], results["second"])
    self.assertEqual(1, self.Rebuilds())
    self.assertEqual([REFRESHING], self.log.Calls("INFO")[:1])
    self.assertEqual(1, self.log.Calls("INFO").count(REFRESHING))


if __name__ == "__main__":
  unittest.main()
