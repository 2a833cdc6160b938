"""Bad input from callers at every public entry.

Wrong types, wrong counts, NULs, bytes that do not decode, numbers out of
range, and objects whose __int__, __long__, __str__, __eq__, __hash__ or
truth test raise: each call raises a clear exception (the module's own
message where it defines one), leaves the module namespace, the service's
table and marker and the FAT cache answers as they were, and leaks nothing
(python2.7-dbg). Each case names the entry it calls (see Target); the leak
suite's coverage test checks that every entry of the modules has one.
"""

import sys
import unittest

import volumes_testing
from volumes_testing import (ANY_TEXT_NAME, BYTES_NAME, LONG, PY3, SECOND_INTEGER_METHOD,
                             TEXT, TEXT_NAME, Handle, QualifiedBuiltinName, Stat, VolumeName)
import windows.volumes as volumes
import windows.winwrap as winwrap

FAT_VOLUME, NTFS_VOLUME = VolumeName("fat"), VolumeName("ntfs")
FAT_HANDLE, NTFS_HANDLE = 21, 22
COUNT = "%s() takes exactly one argument (%d given)"
NO_KEYWORDS = "%s() takes no keyword arguments"
POSITIONAL = "%s() takes %s %d positional argument%s (%d given)"
INCORRECT = "Argument '%s' has incorrect type (expected %s, got %s)"


class Failing(object):
  """Raises ValueError(<protocol>) from the protocols named at creation."""

  def __init__(self, *protocols):
    self.protocols = protocols

  def _Fail(self, protocol):
    if protocol in self.protocols:
      raise ValueError(protocol)

  def __str__(self):
    self._Fail("str")
    return "failing"

  def __eq__(self, other):
    self._Fail("eq")
    return False

  def __hash__(self):
    self._Fail("hash")
    return hash("serial:1")  # collides with a key of the table

  def __nonzero__(self):
    self._Fail("bool")
    return True
  __bool__ = __nonzero__


class IntRaises(object):
  def __int__(self):
    raise ValueError("int")


class LongOnly(object):
  """Converts to an integer only by the method tried after __int__."""

  def __init__(self, result):
    self.result = result

  def __long__(self):
    if isinstance(self.result, Exception):
      # A new exception each time: Python 3 chains each raise of one
      # exception object to the traceback it carries.
      raise type(self.result)(*self.result.args)
    return self.result
  if PY3:
    __index__ = __long__


class IntGives(object):
  def __init__(self, result):
    self.result = result

  def __int__(self):
    return self.result


class OldStyle:
  pass


class UnicodeGiving(object):
  def __str__(self):
    return u"7"


class StDevRaises(object):
  @property
  def st_dev(self):
    raise ValueError("st_dev")


class Unicode(TEXT):
  pass


def FilenameRaises():
  """A WindowsError whose filename cannot be read."""
  class Error(winwrap.WindowsError):
    @property
    def filename(self):
      raise ValueError("filename")
  return Error(5, "Access is denied")


def WindowsErrorCases():
  """The cases of winwrap's own WindowsError, where it has one (off Windows:
  on Windows it is the interpreter's). Its methods are called as the class
  holds them, so that a call without an instance reaches their own check."""
  entries = volumes_testing.NativeEntries()
  init, text = "winwrap.WindowsError.__init__", "winwrap.WindowsError.__str__"
  if init not in entries or text not in entries:
    return []
  error = winwrap.WindowsError(5, "Access is denied")
  one_argument = "__str__() takes exactly one argument"
  return [
      (init, (), {}, TypeError, "unbound method __init__() must be called with an instance"),
      (init, (error, 5, "x"), {"filename": "f"}, TypeError,
       "WindowsError does not take keyword arguments"),
      (init, (object(), 5, "x"), {}, TypeError, None),  # OSError's own check
      (init, (5,), {}, TypeError, None),
      (text, (), {}, TypeError, one_argument),
      (text, (error, 1), {}, TypeError, one_argument),
      (text, (error,), {"x": 1}, TypeError, one_argument),
      (text, (object(),), {}, AttributeError, None),
      (text, (FilenameRaises(),), {}, ValueError, "filename"),
  ]


def Target(entry, service):
  """What a case's entry names: a function of windows.volumes ("IsFAT"), a
  method of the service called through the instance
  ("service.AllVolumeEntries"), or a method of a class of another module as
  the class holds it ("winwrap.WindowsError.__str__")."""
  if entry.startswith("service."):
    return getattr(service, entry[len("service."):])
  if entry.startswith("winwrap."):
    _, class_name, member = entry.split(".")
    return vars(getattr(winwrap, class_name))[member]
  return getattr(volumes, entry)


def Cases():
  """(entry, args, kwargs, exception class, message or None)."""
  one_argument = ["GetVolumeInformation", "GetVolumeInformationByHandle",
                  "_GetVolumePathNamesForVolumeName", "FindVolumeID",
                  "_VolumeIDFromSerialNumber"]
  cases = []
  for name in one_argument:
    shown = QualifiedBuiltinName(name)
    cases += [(name, (), {}, TypeError, COUNT % (shown, 0)),
              (name, (1, 2), {}, TypeError, COUNT % (shown, 2)),
              (name, (), {"x": 1}, TypeError, NO_KEYWORDS % shown)]
  cases += [
      ("_ListVolumeNames", (1,), {}, TypeError,
       "%s() takes no arguments (1 given)" % QualifiedBuiltinName("_ListVolumeNames")),
      ("_ListVolumeNames", (), {"x": 1}, TypeError,
       NO_KEYWORDS % QualifiedBuiltinName("_ListVolumeNames")),
      # volume information by root path
      ("GetVolumeInformation", (b"C:\\",), {}, TypeError,
       INCORRECT % ("path", TEXT_NAME, BYTES_NAME)),
      ("GetVolumeInformation", (b"\xff",), {}, TypeError,
       INCORRECT % ("path", TEXT_NAME, BYTES_NAME)),
      ("GetVolumeInformation", (Unicode(u"C:\\"),), {}, TypeError,
       INCORRECT % ("path", TEXT_NAME, "Unicode")),
      ("GetVolumeInformation", (5,), {}, TypeError, INCORRECT % ("path", TEXT_NAME, "int")),
      ("GetVolumeInformation", (None,), {}, TypeError, "Expected %s, got None" % TEXT_NAME),
      ("GetVolumeInformation", (u"C:\\\x00D:\\",), {}, TypeError,
       "path must not contain NUL characters"),
      ("GetVolumeInformation", (u"\x00",), {}, TypeError, "path must not contain NUL characters"),
      ("GetVolumeInformation", (u"\udcff:\\",), {}, WindowsError, None),
      ("GetVolumeInformation", (u"Q" * 100000,), {}, WindowsError, None),
      # volume information by handle
      ("GetVolumeInformationByHandle", (None,), {}, TypeError, "an integer is required"),
      ("GetVolumeInformationByHandle", ("21",), {}, TypeError, "an integer is required"),
      ("GetVolumeInformationByHandle", (object(),), {}, TypeError, "an integer is required"),
      # 2.7's old-style instance has the conversion slots, which look the
      # method up and fail; a Python 3 object has none.
      ("GetVolumeInformationByHandle", (OldStyle(),), {}, TypeError if PY3 else AttributeError,
       None),
      ("GetVolumeInformationByHandle", (IntRaises(),), {}, ValueError, "int"),
      ("GetVolumeInformationByHandle", (LongOnly(ValueError("long")),), {}, ValueError, "long"),
      ("GetVolumeInformationByHandle", (IntGives("21"),), {}, TypeError,
       "__int__ returned non-int (type str)"),
      ("GetVolumeInformationByHandle", (LongOnly(21.0),), {}, TypeError,
       "__%s__ returned non-%s (type float)" % (SECOND_INTEGER_METHOD,
                                                "int" if PY3 else "long")),
      ("GetVolumeInformationByHandle", (IntGives(2 ** 64),), {}, OverflowError, None),
      ("GetVolumeInformationByHandle", (2 ** 63,), {}, OverflowError, None),
      ("GetVolumeInformationByHandle", (-2 ** 63 - 1,), {}, OverflowError, None),
      ("GetVolumeInformationByHandle", (float("inf"),), {}, OverflowError, None),
      ("GetVolumeInformationByHandle", (float("nan"),), {}, ValueError, None),
      ("GetVolumeInformationByHandle", (2 ** 63 - 1,), {}, WindowsError, None),
      ("GetVolumeInformationByHandle", (-1,), {}, WindowsError, None),
      # mount points
      ("_GetVolumePathNamesForVolumeName", (5,), {}, TypeError,
       INCORRECT % ("guid_path", ANY_TEXT_NAME, "int")),
      ("_GetVolumePathNamesForVolumeName", (bytearray(b"x"),), {}, TypeError,
       INCORRECT % ("guid_path", ANY_TEXT_NAME, "bytearray")),
      ("_GetVolumePathNamesForVolumeName", (Unicode(FAT_VOLUME),), {}, TypeError,
       INCORRECT % ("guid_path", ANY_TEXT_NAME, "Unicode")),
      # 2.7 takes a str and decodes it as ASCII; Python 3 refuses bytes.
      ("_GetVolumePathNamesForVolumeName", (b"\\\\?\\Volume{\xff}\\",), {},
       TypeError if PY3 else UnicodeDecodeError,
       INCORRECT % ("guid_path", "str", "bytes") if PY3 else None),
      ("_GetVolumePathNamesForVolumeName", (FAT_VOLUME[:-1] + u"\x00\\",), {}, TypeError,
       "guid_path must not contain NUL characters"),
      ("_GetVolumePathNamesForVolumeName", ("\x00",), {}, TypeError,
       "guid_path must not contain NUL characters"),
      # volume IDs
      ("FindVolumeID", (None,), {}, AttributeError, None),
      ("FindVolumeID", (StDevRaises(),), {}, ValueError, "st_dev"),
      ("FindVolumeID", (Stat(Failing("str")),), {}, ValueError, "str"),
      ("_VolumeIDFromSerialNumber", ((1, 2),), {}, TypeError, None),
      ("_VolumeIDFromSerialNumber", ((),), {}, TypeError, None),
      ("_VolumeIDFromSerialNumber", (Failing("str"),), {}, ValueError, "str"),
      # the FAT test
      ("IsFAT", (), {}, TypeError, POSITIONAL % ("IsFAT", "exactly", 2, "s", 0)),
      ("IsFAT", (1,), {}, TypeError, POSITIONAL % ("IsFAT", "exactly", 2, "s", 1)),
      ("IsFAT", (1, 2, 3), {}, TypeError, POSITIONAL % ("IsFAT", "exactly", 2, "s", 3)),
      ("IsFAT", (1,), {"handle": 2, "other": 3}, TypeError,
       "IsFAT() got an unexpected keyword argument 'other'"),
      ("IsFAT", (1, 2), {"serial_number": 3}, TypeError,
       "IsFAT() got multiple values for keyword argument 'serial_number'"),
      # Python 3 refuses keywords that are not strings before the call.
      ("IsFAT", (1, 2), {5: 3}, TypeError,
       "keywords must be strings" if PY3 else "IsFAT() keywords must be strings"),
      ("IsFAT", (1, 2), {"\xff": 3}, TypeError,
       "IsFAT() got an unexpected keyword argument '\xff'"),
      # A unicode keyword is shown in the default encoding: 2.7's ASCII
      # replaces what it cannot encode, 3's UTF-8 encodes it.
      ("IsFAT", (1, 2), {u"\xe9": 3}, TypeError,
       u"IsFAT() got an unexpected keyword argument '%s'" % (u"\xe9" if PY3 else u"?")),
      ("IsFAT", (1,), {"handle\x00": 3}, TypeError, POSITIONAL % ("IsFAT", "exactly", 2, "s", 1)),
      ("IsFAT", (Failing("str"), Handle(FAT_HANDLE)), {}, ValueError, "str"),
      ("IsFAT", (777, None), {}, AttributeError, None),
      ("IsFAT", (777, Handle(None)), {}, TypeError, "an integer is required"),
      ("IsFAT", (777, Handle(IntRaises())), {}, ValueError, "int"),
      ("IsFAT", (777, Handle(LongOnly(ValueError("long")))), {}, ValueError, "long"),
      ("IsFAT", (2 ** 80, Handle(2 ** 70)), {}, OverflowError, None),
      ("IsFAT", (-5, Handle(-2 ** 63 - 1)), {}, OverflowError, None),
      ("IsFAT", (777, Handle(IntGives(None))), {}, TypeError,
       "__int__ returned non-int (type NoneType)"),
      # methods of the service
      ("service.AllVolumeEntries", (1, 2), {}, TypeError,
       POSITIONAL % ("AllVolumeEntries", "at most", 2, "s", 3)),
      ("service.AllVolumeEntries", (), {"force": 1}, TypeError,
       "AllVolumeEntries() got an unexpected keyword argument 'force'"),
      ("service.AllVolumeEntries", (Failing("bool"),), {}, ValueError, "bool"),
      ("service.GetVolumeEntryForVolumeID", (), {}, TypeError,
       POSITIONAL % ("GetVolumeEntryForVolumeID", "exactly", 2, "s", 1)),
      ("service.GetVolumeEntryForVolumeID", ([],), {}, TypeError, None),
      ("service.GetVolumeEntryForVolumeID", (Failing("hash"),), {}, ValueError, "hash"),
      ("service.GetVolumeEntryForVolumeID", (Failing("eq"),), {}, ValueError, "eq"),
      ("service.GetVolumeEntryForDeviceNumber", ((1, 2),), {}, TypeError, None),
      ("service.GetVolumeEntryForDeviceNumber", (Failing("str"),), {}, ValueError, "str"),
      ("service.GetVolumeEntryForDeviceNumber", (), {"st_dev": 1, "x": 2}, TypeError,
       "GetVolumeEntryForDeviceNumber() got an unexpected keyword argument 'x'"),
      ("service.FindVolumeID", (), {}, TypeError,
       POSITIONAL % ("FindVolumeID", "exactly", 2, "s", 1)),
      ("service.FindVolumeID", (StDevRaises(),), {}, ValueError, "st_dev"),
      ("service._PopulateVolumeTable", (), {}, TypeError,
       POSITIONAL % ("_PopulateVolumeTable", "exactly", 2, "s", 1)),
      ("service._PopulateVolumeTable", ({}, {}), {}, TypeError,
       POSITIONAL % ("_PopulateVolumeTable", "exactly", 2, "s", 3)),
      ("service.__init__", (1,), {}, TypeError, COUNT % ("__init__", 2)),
      ("service.__init__", (), {"x": 1}, TypeError, NO_KEYWORDS % "__init__"),
  ]
  if not PY3:
    # "serial:%s" of unicode is unicode in 2.7, which is no volume ID; in
    # Python 3 every str is one.
    cases += [
        ("FindVolumeID", (Stat(u"1"),), {}, TypeError, "Expected str, got unicode"),
        ("_VolumeIDFromSerialNumber", (u"\xe9",), {}, TypeError, "Expected str, got unicode"),
        ("_VolumeIDFromSerialNumber", (UnicodeGiving(),), {}, TypeError,
         "Expected str, got unicode"),
        ("IsFAT", (u"1", Handle(FAT_HANDLE)), {}, TypeError, "Expected str, got unicode"),
        ("service.GetVolumeEntryForDeviceNumber", (u"1",), {}, TypeError,
         "Expected str, got unicode"),
        ("service.FindVolumeID", (Stat(u"1"),), {}, TypeError, "Expected str, got unicode"),
    ]
  return cases + WindowsErrorCases()


class BadInputTest(volumes_testing.ScriptedSystemTestCase):

  def setUp(self):
    volumes_testing.ScriptedSystemTestCase.setUp(self)
    self.system.add_volume(FAT_VOLUME, [u"C:\\"], serial=1, filesystem=u"FAT32")
    self.system.add_volume(NTFS_VOLUME, [u"D:\\"], serial=2)
    self.system.bind_handle(FAT_HANDLE, FAT_VOLUME)
    self.system.bind_handle(NTFS_HANDLE, NTFS_VOLUME)
    self.service.AllVolumeEntries()
    self.assertEqual((True, False), (volumes.IsFAT(1, Handle(FAT_HANDLE)),
                                     volumes.IsFAT(2, Handle(NTFS_HANDLE))))

  def State(self):
    """What no bad input may change: namespace, table, marker, FAT answers."""
    def FatAnswer(serial):
      try:
        return volumes.IsFAT(serial, None)  # the handle is read only on a miss
      except AttributeError:
        return "absent"
    namespace = sorted((name, id(value)) for name, value in vars(volumes).items())
    table = self.service._volume_entries
    return (namespace, id(self.service._volume_ids), id(table), sorted(table.items()),
            [FatAnswer(serial) for serial in (1, 2, 3)], self.service._lock.locked())

  def Call(self, entry, args, kwargs):
    return Target(entry, self.service)(*args, **kwargs)

  def testEachEntryRefusesBadInputCleanly(self):
    before = self.State()
    cases = Cases()
    for entry, args, kwargs, exception, message in cases:
      label = "%s%r %r" % (entry, args, kwargs)
      with self.assertRaises(exception) as raised:
        self.Call(entry, args, kwargs)
      volumes_testing.AssertErrorType(self, exception, raised.exception, label)
      if message is not None:
        self.assertEqual(message, str(raised.exception), label)
      self.assertEqual(before, self.State(), label)

      def Swallow(entry=entry, args=args, kwargs=kwargs, exception=exception):
        try:
          self.Call(entry, args, kwargs)
        except exception:
          pass
        volumes_testing.ClearHandledException()
      try:
        volumes_testing.AssertNoLeak(self, Swallow, calls_per_run=10)
      except AssertionError as failure:
        raise AssertionError("%s: %s" % (label, failure))
    self.assertEqual(before, self.State())
    sys.stderr.write("\n%d bad-input cases\n" % len(cases))

  def testKeywordDictEmptiedWhileItIsParsed(self):
    # The caller's dict reaches the entry as it is; a keyword whose __eq__
    # empties it must not free the keys or values being parsed.
    def EmptyingKey(name, matches):
      class Key(TEXT):
        def __eq__(self, other):
          kwargs.clear()
          return other == matches

        def __hash__(self):
          return 42
      return Key(name)
    before = self.State()
    for entry, args, key, matches in [
        ("IsFAT", (1, 2), u"zz" * 40, None),
        ("IsFAT", (778,), u"other", u"handle"),
        ("service.GetVolumeEntryForVolumeID", (), u"id", u"volume_id")]:
      def Call():
        kwargs[EmptyingKey(key, matches)] = 1
        if matches:
          kwargs[str(matches)] = Handle(FAT_HANDLE)  # held by kwargs alone
        try:
          return self.Call(entry, args, kwargs)
        except TypeError as error:
          return str(error)
      kwargs = {}
      outcome = Call()
      if matches is None:
        self.assertEqual("IsFAT() got an unexpected keyword argument '%s'" % key, outcome)
      else:
        self.assertIn(outcome, (True, None, "%s() got multiple values for keyword argument '%s'"
                                % (entry.split(".")[-1], matches)))
      volumes_testing.AssertNoLeak(self, Call, calls_per_run=5)
    self.assertEqual(before, self.State())

  def testAcceptedExtremesChangeNothing(self):
    """Odd but valid input: answers, and the same state afterwards."""
    before = self.State()
    self.assertTrue(volumes.IsFAT((1,), None))  # a one-tuple formats as its item
    self.assertIs(volumes.IsFAT(LONG(1), Handle(IntRaises())), True)  # cached: handle unread
    self.assertEqual("serial:-9223372036854775808",
                     volumes._VolumeIDFromSerialNumber(-2 ** 63))
    self.assertEqual("serial:" + str(2 ** 200), volumes.FindVolumeID(Stat(2 ** 200)))
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID(u"\xe9"))
    self.assertIsNone(self.service.GetVolumeEntryForVolumeID(Failing()))
    self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(-1))
    # None asks about the volume named "None", which the system does not know.
    with self.assertRaises(WindowsError) as raised:
      volumes._GetVolumePathNamesForVolumeName(None)
    self.assertEqual(2, raised.exception.winerror)
    self.assertEqual(sorted(self.service._volume_entries),
                     sorted(self.service.AllVolumeEntries(force_update=0)))
    self.assertEqual(before, self.State())


if __name__ == "__main__":
  unittest.main()
