"""Traceback entries of exceptions that leave the module's functions or are
caught inside them: each function on the way shows once, innermost last, and
what handles an exception inside the module (a lock's __exit__, a log
record) gets the traceback too."""

import logging
import os
import sys
import traceback
import unittest

import volumes_testing
from volumes_testing import Handle, Stat, VolumeName
import windows.volumes as volumes

A, B = VolumeName("a"), VolumeName("b")
THIS_FILE = os.path.splitext(__file__)[0] + ".py"
RAISE = "windows.winwrap.RaiseWindowsError"
POPULATE = "windows.volumes.VolumeInfo._PopulateVolumeTable"


def Functions(tb):
  """The function names of a traceback's entries, outermost first."""
  return [entry[2] for entry in traceback.extract_tb(tb)]


class TracebackTest(volumes_testing.ScriptedSystemTestCase):

  longMessage = True

  def Raised(self, call):
    """The function names of the traceback of what `call` raises, without
    the entries of this test."""
    try:
      call()
    except Exception:
      return [entry[2] for entry in traceback.extract_tb(sys.exc_info()[2])
              if entry[0] != THIS_FILE]
    self.fail("nothing raised")

  def testEveryFunctionAnExceptionLeavesShowsOnce(self):
    service = self.service
    cases = [
        (volumes._ListVolumeNames, ["windows.volumes._ListVolumeNames", RAISE]),
        (lambda: volumes.GetVolumeInformation(u"Q:\\"),
         ["windows.volumes.GetVolumeInformation", RAISE]),
        (lambda: volumes.GetVolumeInformationByHandle(99),
         ["windows.volumes.GetVolumeInformationByHandle", RAISE]),
        (lambda: volumes._GetVolumePathNamesForVolumeName(3),
         ["windows.volumes._GetVolumePathNamesForVolumeName"]),
        # The internal entry a function calls directly shows as well.
        (lambda: volumes.FindVolumeID(Stat((1, 2))),  # "serial:%s" % (1, 2) fails
         ["windows.volumes.FindVolumeID", "windows.volumes._VolumeIDFromSerialNumber"]),
        # Caught inside IsFAT, found not to be a WindowsError and raised again.
        (lambda: volumes.IsFAT(1, Handle(None)), ["windows.volumes.IsFAT"]),
        (lambda: service.GetVolumeEntryForDeviceNumber((1, 2)),
         ["windows.volumes.VolumeInfo.GetVolumeEntryForDeviceNumber",
          "windows.volumes._VolumeIDFromSerialNumber"]),
        (lambda: service.AllVolumeEntries(True),
         ["windows.volumes.VolumeInfo.AllVolumeEntries", POPULATE,
          "windows.volumes._ListVolumeNames", RAISE]),
    ]
    for call, expected in cases:
      # The search fails: there is no volume.
      self.assertEqual(expected, self.Raised(call), expected[0])

  def testEntriesPointAtTheirDeclarationInTheSources(self):
    # Each entry shows the source file and line where the function's entry
    # is declared, with the function's name, where a reader looks for it.
    root = os.path.join(os.path.dirname(THIS_FILE), os.pardir, os.pardir)
    for call, count in [(lambda: volumes.FindVolumeID(Stat((1, 2))), 2),
                        (lambda: volumes.GetVolumeInformation(u"Q:\\"), 2),
                        (lambda: self.service.AllVolumeEntries(True), 4)]:
      try:
        call()
      except Exception:
        entries = [entry for entry in traceback.extract_tb(sys.exc_info()[2])
                   if entry[0] != THIS_FILE]
      self.assertEqual(count, len(entries), entries)
      for file_name, line, function, _ in entries:
        self.assertFalse(os.path.isabs(file_name), file_name)
        with open(os.path.join(root, file_name)) as source:
          lines = source.read().splitlines()
        self.assertIn('"%s"' % function, "\n".join(lines[max(0, line - 3):line]),
                      (file_name, line))

  def testLockExitGetsTheTraceback(self):
    exits = []

    class Lock(object):
      def __enter__(self):
        pass

      def __exit__(self, exc_type, exc_value, tb):
        exits.append((exc_type, Functions(tb)))
        tb.tb_lineno  # an __exit__ may read it without replacing the error
    self.service._lock = Lock()
    with self.assertRaises(WindowsError) as raised:
      self.service.AllVolumeEntries()
    self.assertEqual([(type(raised.exception),
                       [POPULATE, "windows.volumes._ListVolumeNames", RAISE])], exits)
    volumes_testing.AssertErrorType(self, WindowsError, raised.exception)

  def testCaughtFailuresAreLoggedWithTheirTraceback(self):
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.system.add_volume(B, [u"D:\\"], serial=2)
    self.system.push("GetVolumePathNamesForVolumeNameW", result=0, error=5)
    self.system.push("GetVolumeInformationW", result=0, error=21)
    self.system.bind_handle(7, A)
    self.system.push("GetVolumeInformationByHandleW", result=0, error=6)
    self.assertEqual({}, self.service.AllVolumeEntries())
    self.assertIs(False, volumes.IsFAT(1, Handle(7)))
    records = [r for r in self.log.records if r.exc_info]
    self.assertEqual([
        [POPULATE, "windows.volumes._GetVolumePathNamesForVolumeName", RAISE],
        [POPULATE, "windows.volumes.GetVolumeInformation", RAISE],
        ["windows.volumes.IsFAT", "windows.volumes.GetVolumeInformationByHandle", RAISE]],
        [Functions(r.exc_info[2]) for r in records])
    formatted = logging.Formatter().format(records[0])
    self.assertIn("Traceback (most recent call last):", formatted)
    self.assertIn("in windows.volumes._GetVolumePathNamesForVolumeName", formatted)


class Marker(Exception):
  """The error a Python collaborator raises into the module."""


class ErrorCarriedThroughTheModuleTest(volumes_testing.ScriptedSystemTestCase):
  """An error raised by Python code that the module calls leaves the module
  as the very object that was raised, with the traceback it had and the
  module's entries added: whether it only unwinds the module's frames, is
  caught inside and raised again, or is raised inside a handler of the
  module while another exception is being handled."""

  longMessage = True

  def Leaving(self, call):
    """What `call` raises, and its traceback: the module's entries (outside
    this file) outermost first, and the function names of this file's
    entries after the test's own."""
    try:
      call()
    except Exception as error:
      entries = traceback.extract_tb(sys.exc_info()[2])
      return (error, [e[2] for e in entries if e[0] != THIS_FILE],
              [e[2] for e in entries[1:] if e[0] == THIS_FILE])
    self.fail("nothing raised")

  def RaiseMarker(self, *unused):
    raise self.raised

  def Logger(self, method, fmt_prefix):
    """The module's logger, whose `method` raises the marker for a record
    whose format begins with `fmt_prefix`."""
    test = self

    class MarkerLogger(logging.Logger):
      pass

    def Log(self, fmt, *args, **kwargs):
      if fmt.startswith(fmt_prefix):
        test.RaiseMarker()
    setattr(MarkerLogger, method, Log)
    logger = MarkerLogger("marker")
    logger.addHandler(logging.NullHandler())
    return logger

  def AssertMarkerLeaves(self, call, module_entries, name):
    self.raised = Marker("marker")
    error, native, python = self.Leaving(call)
    self.assertIs(self.raised, error, name)
    self.assertEqual(("marker",), error.args, name)
    self.assertEqual(module_entries, native, name)
    # The traceback still reaches down to where the marker was raised.
    self.assertEqual("RaiseMarker", python[-1], name)

  def testRaisedObjectLeavesItselfWithItsTraceback(self):
    class MarkerHandle(object):
      @property
      def handle(this):
        self.RaiseMarker()

    def FindVolumeIdRebound():
      self.Rebind("_VolumeIDFromSerialNumber", self.RaiseMarker)
      volumes.FindVolumeID(Stat(1))

    def ListingRebound():
      self.Rebind("_ListVolumeNames", self.RaiseMarker)
      self.service.AllVolumeEntries(True)

    def LoggedWhileHandlingAFailure():
      # The lookup's WindowsError is being handled when the log call raises.
      self.system.add_volume(A, [u"C:\\"], serial=1)
      self.system.push("GetVolumeInformationW", result=0, error=21)
      self.Rebind("LOGGER", self.Logger("exception", "Unable to fetch"))
      self.service.AllVolumeEntries(True)

    cases = [
        # Unwinds the module's frames only.
        (FindVolumeIdRebound, ["windows.volumes.FindVolumeID"]),
        # Caught inside IsFAT, found not to be a WindowsError, raised again.
        (lambda: volumes.IsFAT(1, MarkerHandle()), ["windows.volumes.IsFAT"]),
        # Caught to call the lock's __exit__, which does not swallow it.
        (ListingRebound, ["windows.volumes.VolumeInfo.AllVolumeEntries", POPULATE]),
        (LoggedWhileHandlingAFailure,
         ["windows.volumes.VolumeInfo.AllVolumeEntries", POPULATE]),
    ]
    for call, module_entries in cases:
      self.AssertMarkerLeaves(call, module_entries, call.__name__)
      self.assertFalse(self.service._lock.locked(), call.__name__)

  def testDestructorsThatCallTheModuleWhileAnErrorUnwinds(self):
    # A refresh that fails after installing its table empties the FAT
    # cache on the way out. The cached volume ID's __del__ runs then and
    # raises and catches an error of the module's own.
    seen_in_del = []
    made = []
    # The IDs outlive the test in the module's tables until these are
    # replaced, perhaps inside a later test's refresh: there __del__ would
    # take that test's scripted answers.
    in_this_test = [True]
    self.addCleanup(in_this_test.__setitem__, 0, False)

    class VolumeId(object):
      def __init__(self, serial):
        self.serial = serial
        self.ordinal = len(made)
        made.append(None)

      def __hash__(self):
        return hash(self.serial)

      def __eq__(self, other):
        return isinstance(other, VolumeId) and other.serial == self.serial

      def __del__(self):
        if not in_this_test[0]:
          return
        try:
          volumes.GetVolumeInformation(u"Q:\\")
        except WindowsError as error:
          seen_in_del.append((self.ordinal, error.winerror, Functions(sys.exc_info()[2])))

    self.Rebind("_VolumeIDFromSerialNumber", VolumeId)
    self.system.add_volume(A, [u"C:\\"], serial=1)
    self.system.bind_handle(1, A)
    volumes.IsFAT(1, Handle(1))  # caches the answer under VolumeId 0
    self.assertEqual([], seen_in_del)
    self.Rebind("LOGGER", self.Logger("info", "Got new"))
    self.AssertMarkerLeaves(lambda: self.service.AllVolumeEntries(True),
                            ["windows.volumes.VolumeInfo.AllVolumeEntries", POPULATE],
                            "after installing")
    self.assertEqual([(0, 3, ["__del__", "windows.volumes.GetVolumeInformation", RAISE])],
                     [seen for seen in seen_in_del if seen[0] == 0])
    self.assertEqual([1], [key.serial for key in self.service._volume_entries])


if __name__ == "__main__":
  unittest.main()
