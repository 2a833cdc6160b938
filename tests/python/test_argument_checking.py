"""How every public function and method of windows.volumes checks its
arguments: the counts, keyword rules and messages its callers see, and that a
rejected call does no work."""

import unittest

import volumes_testing
from volumes_testing import PY3, QualifiedBuiltinName, VolumeName
import windows.volumes as volumes

VolumeInfo = volumes.VolumeInfo.__wrapped__


class Stat(object):
  st_dev = 1234


class Handle(object):
  handle = 77  # bound to no volume: the query fails, IsFAT answers False


def Unbound(name):
  """A method as stored in the class, called without binding."""
  return VolumeInfo.__dict__[name]


class ArgumentCheckingTest(volumes_testing.ScriptedSystemTestCase):

  def assertRejected(self, message, function, *args, **kwargs):
    with self.assertRaises(TypeError) as raised:
      function(*args, **kwargs)
    self.assertEqual(message, str(raised.exception))

  def testSingleArgumentFunctions(self):
    for name in ("GetVolumeInformationByHandle", "GetVolumeInformation",
                 "_GetVolumePathNamesForVolumeName", "FindVolumeID",
                 "_VolumeIDFromSerialNumber"):
      function = getattr(volumes, name)
      # Built-in functions: the interpreter checks their counts (Python 3
      # names them qualified).
      shown = QualifiedBuiltinName(name)
      for args in [(), (1, 2)]:
        self.assertRejected("%s() takes exactly one argument (%d given)" % (shown, len(args)),
                            function, *args)
      # Even the one argument may not be given by keyword.
      for args, kwargs in [((), {"x": 1}), ((1,), {"x": 1})]:
        self.assertRejected("%s() takes no keyword arguments" % shown,
                            lambda: function(*args, **kwargs))
      self.assertRejected("keywords must be strings" if PY3
                          else "%s() takes no keyword arguments" % shown,
                          lambda: function(1, **{1: 2}))
    self.assertEqual("serial:1234", volumes.FindVolumeID(Stat(), **{}))

  def testListVolumeNamesTakesNothing(self):
    shown = QualifiedBuiltinName("_ListVolumeNames")
    for args in [(1,), (1, 2)]:
      self.assertRejected("%s() takes no arguments (%d given)" % (shown, len(args)),
                          volumes._ListVolumeNames, *args)
    self.assertRejected("%s() takes no keyword arguments" % shown,
                        volumes._ListVolumeNames, names=1)

  def testInitTakesSelfAlone(self):
    instance = VolumeInfo()
    self.assertRejected("__init__() takes exactly one argument (2 given)", VolumeInfo, 1)
    self.assertRejected("__init__() takes exactly one argument (3 given)",
                        instance.__init__, 1, 2)
    self.assertRejected("__init__() takes exactly one argument (0 given)", Unbound("__init__"))
    self.assertRejected("__init__() takes no keyword arguments", VolumeInfo, lock=1)

  def testPositionalCounts(self):
    # The count includes self for methods; "s" unless the count is 1.
    instance = self.service
    exactly = "%s() takes exactly %d positional arguments (%d given)"
    for message, function, args in [
        (exactly % ("IsFAT", 2, 0), volumes.IsFAT, ()),
        (exactly % ("IsFAT", 2, 1), volumes.IsFAT, (1,)),
        (exactly % ("IsFAT", 2, 3), volumes.IsFAT, (1, 2, 3)),
        (exactly % ("FindVolumeID", 2, 1), instance.FindVolumeID, ()),
        (exactly % ("FindVolumeID", 2, 3), instance.FindVolumeID, (1, 2)),
        (exactly % ("GetVolumeEntryForVolumeID", 2, 1), instance.GetVolumeEntryForVolumeID, ()),
        (exactly % ("GetVolumeEntryForDeviceNumber", 2, 3),
         instance.GetVolumeEntryForDeviceNumber, (1, 2)),
        (exactly % ("_PopulateVolumeTable", 2, 1), instance._PopulateVolumeTable, ()),
        (exactly % ("_PopulateVolumeTable", 2, 0), Unbound("_PopulateVolumeTable"), ()),
        ("AllVolumeEntries() takes at most 2 positional arguments (3 given)",
         instance.AllVolumeEntries, (True, True)),
        ("AllVolumeEntries() takes at least 1 positional argument (0 given)",
         Unbound("AllVolumeEntries"), ()),
    ]:
      self.assertRejected(message, function, *args)

  def testParametersByKeyword(self):
    instance = self.service
    stat = Stat()
    self.assertEqual("serial:1234", instance.FindVolumeID(stat_result=stat))
    self.assertEqual("serial:1234", Unbound("FindVolumeID")(self=instance, stat_result=stat))
    self.assertEqual("serial:1234", instance.FindVolumeID(**{u"stat_result": stat}))
    self.assertIsNone(instance.GetVolumeEntryForVolumeID(volume_id="serial:1"))
    self.assertIsNone(instance.GetVolumeEntryForDeviceNumber(st_dev=1))
    self.assertIs(False, volumes.IsFAT(handle=Handle(), serial_number=1))
    self.system.add_volume(VolumeName("by-keyword"), [u"C:\\"], serial=9)
    self.assertEqual(["serial:9"], list(instance.AllVolumeEntries(force_update=True)))

  def testKeywordErrors(self):
    instance = self.service

    def NotStrings(name):
      # Python 3 passes keywords by name (a vector call): it refuses keys
      # that are not strings before the call, in its own words.
      return "keywords must be strings" if PY3 else name + "() keywords must be strings"
    for message, function, args, kwargs in [
        ("IsFAT() got an unexpected keyword argument 'serial'", volumes.IsFAT, (1, 2),
         {"serial": 3}),
        ("IsFAT() got multiple values for keyword argument 'serial_number'", volumes.IsFAT,
         (1, 2), {"serial_number": 3}),
        (NotStrings("IsFAT"), volumes.IsFAT, (1, 2), {1: 2}),
        ("FindVolumeID() got multiple values for keyword argument 'self'",
         instance.FindVolumeID, (1,), {"self": 2}),
        (NotStrings("FindVolumeID"), instance.FindVolumeID, (1,), {1: 2}),
        ("AllVolumeEntries() got multiple values for keyword argument 'force_update'",
         instance.AllVolumeEntries, (False,), {u"force_update": True}),
        ("AllVolumeEntries() got an unexpected keyword argument 'force'",
         instance.AllVolumeEntries, (), {"force": True}),
        (NotStrings("AllVolumeEntries"), instance.AllVolumeEntries, (), {None: True}),
        # A key with a NUL is not the parameter whose name precedes the NUL.
        ("AllVolumeEntries() got an unexpected keyword argument 'force_update'",
         instance.AllVolumeEntries, (), {"force_update\0x": True}),
        ("IsFAT() got an unexpected keyword argument 'handle'", volumes.IsFAT, (1, 2),
         {"handle\0": 3}),
        # Characters the default encoding (2.7's ASCII, 3's UTF-8) lacks are
        # replaced, still a TypeError.
        (u"GetVolumeEntryForVolumeID() got an unexpected keyword argument '%s'"
         % (u"v\xf6lume_id" if PY3 else u"v?lume_id"),
         instance.GetVolumeEntryForVolumeID, ("serial:1",), {u"v\xf6lume_id": 1}),
        ("_PopulateVolumeTable() got an unexpected keyword argument 'ids'",
         instance._PopulateVolumeTable, ({},), {"ids": 1}),
        ("GetVolumeEntryForDeviceNumber() got multiple values for keyword argument 'st_dev'",
         instance.GetVolumeEntryForDeviceNumber, (1,), {"st_dev": 1}),
    ]:
      self.assertRejected(message, lambda: function(*args, **kwargs))

  def testRejectedCallsDoNoWork(self):
    self.system.add_volume(VolumeName("argument-checks"), [u"C:\\"], serial=9)
    instance = self.service
    for call in [lambda: instance.AllVolumeEntries(force_update=True, force=True),
                 lambda: instance._PopulateVolumeTable(instance._volume_ids, 1),
                 lambda: volumes.IsFAT(9, handle=None, fat=1),
                 lambda: volumes._ListVolumeNames(1)]:
      self.assertRaises(TypeError, call)
    self.assertEqual([], self.SystemCalls())
    self.assertEqual({}, instance._volume_entries)
    self.assertEqual([], self.log.Calls())


if __name__ == "__main__":
  unittest.main()
