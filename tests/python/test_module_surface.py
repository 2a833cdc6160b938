"""windows.volumes as its users see it after import: the namespace, the
constants, the class and its decoration, the docstrings, and what a failed
import reports and leaves behind."""

import ast
import logging
import os
import re
import shutil
import tempfile
import textwrap
import unittest

import common
import common.service.service
import common.utils
import common.volume_entry
import platforms.platform_utils
import volumes_testing
from volumes_testing import BUILTINS, LONG, PY3
import windows.volumes as volumes

DeviceType = common.volume_entry.DeviceType

FUNCTIONS = ("GetVolumeInformationByHandle", "GetVolumeInformation",
             "_GetVolumePathNamesForVolumeName", "_ListVolumeNames", "FindVolumeID",
             "_VolumeIDFromSerialNumber", "IsFAT")
METHODS = ("__init__", "FindVolumeID", "AllVolumeEntries", "GetVolumeEntryForVolumeID",
           "GetVolumeEntryForDeviceNumber", "_PopulateVolumeTable")
CLASS_DOC = ("Volume information cache service.\n\n"
             "  On Windows this currently does nothing but return the volume\n"
             "  serial number obtained with the stat, but will eventually handle\n"
             "  track other volume information to be used in volume mount/dismount\n"
             "  change handling.\n  ")
FIND_VOLUME_ID_DOC = ("Get the volume ID from the VolumeInfo service.\n\n{0}Args:\n"
                      "{0}  stat_result: Raw stat result of the file.\n\n{0}Returns:\n"
                      "{0}  Object to be used as volume ID. Generally string-typed.\n{0}")
SIGNATURE = ("PyObject *(int __pyx_skip_dispatch, struct "
             "__pyx_opt_args_7windows_7winwrap_RaiseWindowsError *__pyx_optional_args)")

# Run in a fresh interpreter: imports windows.volumes and prints what failed,
# the function names of the traceback, and the names the module had bound
# (None where the interpreter keeps no module of a failed import: Python 3).
IMPORT_PROBE = """
import sys, traceback
try:
  import windows.volumes
  print(repr(None))
except BaseException as error:
  module = sys.modules.get("windows.volumes")
  print(repr((type(error).__name__, str(error),
              [entry[2] for entry in traceback.extract_tb(sys.exc_info()[2])],
              sorted(vars(module)) if module is not None else None)))
"""


class NamespaceTest(unittest.TestCase):

  def testNamespaceHoldsThePublicSurfaceOnly(self):
    # The winwrap module, RaiseWindowsError and the FAT cache stay private.
    public = set(name for name in dir(volumes) if not name.startswith("__"))
    self.assertEqual(set(FUNCTIONS) | set([
        "logging", "re", "utils", "volume_entry", "service", "platform_utils", "LOGGER",
        "DRIVE_TYPE_MAP", "VOLUME_NAME_GUID_MATCHER", "VolumeInfo"]), public)
    self.assertIs(BUILTINS, volumes.__builtins__)
    self.assertEqual("windows.volumes", volumes.__name__)

  def testCollaboratorsAreTheSiblingModules(self):
    self.assertIs(logging, volumes.logging)
    self.assertIs(re, volumes.re)
    self.assertIs(common.utils, volumes.utils)
    self.assertIs(common.volume_entry, volumes.volume_entry)
    self.assertIs(common.service.service, volumes.service)
    self.assertIs(platforms.platform_utils, volumes.platform_utils)
    self.assertIs(logging.getLogger("windows.volumes"), volumes.LOGGER)

  def testFunctionsAreBuiltinsOfThisModule(self):
    for name in FUNCTIONS:
      function = getattr(volumes, name)
      self.assertIsInstance(function, type(len), name)
      self.assertEqual(name, function.__name__)
      self.assertEqual("windows.volumes", function.__module__, name)

  def testDocstrings(self):
    self.assertEqual("Volume information cache service.", volumes.__doc__)
    self.assertEqual(CLASS_DOC, volumes.VolumeInfo.__doc__)
    self.assertEqual(FIND_VOLUME_ID_DOC.format("  "), volumes.FindVolumeID.__doc__)
    self.assertEqual(FIND_VOLUME_ID_DOC.format("    "), volumes.VolumeInfo.FindVolumeID.__doc__)
    undocumented = [volumes._VolumeIDFromSerialNumber] + [
        getattr(volumes.VolumeInfo, name) for name in (
            "__init__", "GetVolumeEntryForVolumeID", "GetVolumeEntryForDeviceNumber",
            "_PopulateVolumeTable")]
    for function in undocumented:
      self.assertIsNone(function.__doc__, function)


  @unittest.skipUnless(PY3, "Python 3's inspect.signature reads a built-in's text signature")
  def testSignaturesNameTheParameters(self):
    import inspect
    cls = volumes.VolumeInfo.__wrapped__
    instance = cls()
    for function, signature in [
        (volumes.GetVolumeInformationByHandle, "(handle, /)"),
        (volumes.GetVolumeInformation, "(path, /)"),
        (volumes._GetVolumePathNamesForVolumeName, "(guid_path, /)"),
        (volumes._ListVolumeNames, "()"),
        (volumes.FindVolumeID, "(stat_result, /)"),
        (volumes._VolumeIDFromSerialNumber, "(serial_number, /)"),
        (volumes.IsFAT, "(serial_number, handle)"),
        (cls.__init__, "(self, /)"),
        (cls.AllVolumeEntries, "(self, /, force_update=False)"),
        (instance.AllVolumeEntries, "(force_update=False)"),
        (instance.FindVolumeID, "(stat_result)"),
        (instance.GetVolumeEntryForVolumeID, "(volume_id)"),
        (instance.GetVolumeEntryForDeviceNumber, "(st_dev)"),
        (instance._PopulateVolumeTable, "(current_volume_ids)")]:
      self.assertEqual(signature, str(inspect.signature(function)), function)


class ConstantsTest(unittest.TestCase):

  def testDriveTypeMap(self):
    expected = [DeviceType.UNKNOWN, DeviceType.UNKNOWN, DeviceType.REMOVABLE,
                DeviceType.INTERNAL, DeviceType.NETWORK, DeviceType.REMOVABLE, DeviceType.RAM]
    self.assertEqual(list(range(7)), sorted(volumes.DRIVE_TYPE_MAP))
    self.assertEqual([LONG] * 7, list(map(type, volumes.DRIVE_TYPE_MAP)))
    for code, member in enumerate(expected):
      # 2.7: the system reports the code as a long; an int must find the
      # same member.
      self.assertIs(member, volumes.DRIVE_TYPE_MAP[code], code)
      self.assertIs(member, volumes.DRIVE_TYPE_MAP[LONG(code)], code)
    self.assertNotIn(7, volumes.DRIVE_TYPE_MAP)

  def testVolumeNameGuidMatcher(self):
    matcher = volumes.VOLUME_NAME_GUID_MATCHER
    self.assertEqual(r"\\\\\?\\Volume\{([\w-]+)\}\\", matcher.pattern)
    # 2.7's byte pattern without flags matches ASCII word characters; a
    # Python 3 str pattern does the same with re.ASCII.
    self.assertEqual(re.ASCII if PY3 else 0, matcher.flags)
    guid = u"1b2c3d4e-0000-11e5-a_9F"
    for name, group in [
        (u"\\\\?\\Volume{%s}\\" % guid, guid),
        (u"\\\\?\\Volume{%s}\\extra" % guid, guid),  # no end anchor
        (u"\\\\?\\Volume{%s}" % guid, None),         # trailing backslash required
        (u" \\\\?\\Volume{%s}\\" % guid, None),      # anchored at the start
        (u"C:\\", None),
        (u"\\\\?\\Volume{}\\", None),
        (u"\\\\?\\Volume{g\xe9}\\", None),           # no flags: ASCII word characters
    ]:
      match = matcher.match(name)
      self.assertEqual(group, match and match.group(1), name)


class VolumeInfoClassTest(unittest.TestCase):

  def testClassIsBuiltLikeAClassStatementThenDecorated(self):
    self.assertIsInstance(volumes.VolumeInfo, common.service.service.Singleton)
    cls = volumes.VolumeInfo.__wrapped__
    self.assertIs(type, type(cls))
    self.assertEqual((object,), cls.__bases__)
    self.assertEqual("VolumeInfo", cls.__name__)
    self.assertEqual("windows.volumes", cls.__module__)
    # Python 3 takes __qualname__ out of the namespace into the class.
    self.assertEqual("VolumeInfo", cls.__qualname__ if PY3 else cls.__dict__["__qualname__"])
    self.assertNotIn("__metaclass__", cls.__dict__)
    # Methods only: the class keeps no data of its own.
    self.assertEqual(set(METHODS) | set(["__module__", "__doc__", "__dict__", "__weakref__"]) |
                     (set() if PY3 else set(["__qualname__"])), set(cls.__dict__))
    self.assertEqual((False,), cls.__dict__["AllVolumeEntries"].__defaults__)
    self.assertIs(volumes.VolumeInfo(), volumes.VolumeInfo())

  def testMethodsBindLikePythonFunctions(self):
    cls = volumes.VolumeInfo.__wrapped__
    instance = cls()
    for name in METHODS:
      bound = getattr(instance, name)
      self.assertIs(instance, bound.__self__, name)
      if PY3:
        # On the class: the function itself, as for a Python function.
        self.assertIs(cls.__dict__[name], getattr(cls, name), name)
      else:
        self.assertIsNone(getattr(cls, name).im_self, name)
      self.assertEqual("windows.volumes", cls.__dict__[name].__module__, name)
      self.assertEqual(name, cls.__dict__[name].__name__)


class ImportTest(unittest.TestCase):
  """Each test imports the module in a fresh interpreter, with fake
  collaborators found before the real tree."""

  def FakeTree(self, files):
    root = tempfile.mkdtemp(prefix="volumes-fake-")
    self.addCleanup(shutil.rmtree, root)
    for path, text in files.items():
      full_path = os.path.join(root, path)
      if not os.path.isdir(os.path.dirname(full_path)):
        os.makedirs(os.path.dirname(full_path))
      with open(full_path, "w") as output:
        output.write(textwrap.dedent(text))
    return root

  def Import(self, files, probe=IMPORT_PROBE):
    status, out, err = volumes_testing.RunPython(probe, [self.FakeTree(files)])
    self.assertEqual(0, status, err)
    return ast.literal_eval(out.strip())

  def CommonWith(self, files):
    """A common package whose own files come first, then the real ones."""
    real = os.path.dirname(common.__file__)
    files["common/__init__.py"] = "__path__.append(%r)\n" % real
    return files

  def WinwrapExporting(self, capi_source):
    """A whole windows package (the real extension copied) whose winwrap is a
    Python module with the given __pyx_capi__."""
    real = os.path.dirname(volumes.__file__)
    files = {"windows/winwrap.py": "import ctypes\n" + capi_source}
    root = self.FakeTree(files)
    for name in os.listdir(real):
      if not name.startswith("winwrap") and not name.endswith((".pyc", ".pyo")):
        shutil.copy(os.path.join(real, name), os.path.join(root, "windows"))
    status, out, err = volumes_testing.RunPython(IMPORT_PROBE, [root])
    self.assertEqual(0, status, err)
    return ast.literal_eval(out.strip())

  def testImportQueriesNothingAndUsesDefaultResolution(self):
    # The module's namespace is the importing globals; in Python 3 it is in
    # sys.modules only once the import succeeded, so it is recognised by
    # its name alone there.
    probe = """
    try:
      import builtins
    except ImportError:
      import __builtin__ as builtins
    seen = []
    real_import = builtins.__import__
    def Import(name, globals=None, locals=None, fromlist=None, level=0):
      if globals and globals.get("__name__") == "windows.volumes":
        module = sys.modules.get("windows.volumes")
        seen.append((name, fromlist, level, locals,
                     module is None or globals is vars(module)))
      return real_import(name, globals, locals, fromlist, level)
    import sys, scripted_system
    builtins.__import__ = Import
    import windows.volumes
    builtins.__import__ = real_import
    print(repr((seen, scripted_system.calls())))
    """
    seen, calls = self.Import({}, probe)
    self.assertEqual([], calls)
    # 2.7 tries the package first (level -1); Python 3 imports absolutely.
    level = 0 if PY3 else -1
    self.assertEqual([("logging", [], level, {}, True), ("re", [], level, {}, True),
                      ("common", ["utils"], level, {}, True),
                      ("common", ["volume_entry"], level, {}, True),
                      ("common.service", ["service"], level, {}, True),
                      ("platforms", ["platform_utils"], level, {}, True)], seen)

  def testGuidMatcherFromAStandInCompileIsAskedByTheRefresh(self):
    # A re.compile replaced at import may return a pattern of other flags:
    # the refresh must ask it rather than match the module's own pattern.
    probe = r"""
    import re, scripted_system
    real_compile = re.compile
    re.compile = lambda pattern, *flags: real_compile(pattern, re.IGNORECASE | sum(flags))
    import windows.volumes as volumes
    re.compile = real_compile
    scripted_system.add_volume(u"\\\\?\\VOLUME{aBc}\\", [u"C:\\"], serial=7)
    print(repr(volumes.VolumeInfo().AllVolumeEntries()["serial:7"].uuid))
    """
    self.assertEqual("aBc", self.Import({}, probe))

  def testMissingServiceLeavesEarlierNamesBound(self):
    kind, message, frames, bound = self.Import(
        self.CommonWith({"common/service/__init__.py": "# no service here\n"}))
    self.assertEqual(("ImportError", "cannot import name service"), (kind, message))
    self.assertEqual("init windows.volumes", frames[-1])
    if PY3:
      self.assertIsNone(bound)  # a failed import leaves no module behind
      return
    for name in ("logging", "re", "utils", "volume_entry", "__builtins__"):
      self.assertIn(name, bound)
    for name in ("service", "platform_utils", "LOGGER", "VolumeInfo"):
      self.assertNotIn(name, bound)

  def testMissingCollaboratorSaysWhichAndHowToGetIt(self):
    probe = "import sys\nsys.modules['platforms'] = None\n" + IMPORT_PROBE
    kind, message, frames, _ = self.Import({}, probe)
    self.assertEqual("ModuleNotFoundError" if PY3 else "ImportError", kind)
    self.assertIn("windows.volumes needs the module platforms.platform_utils (", message)
    self.assertIn("pip install 'windows-volumes[standalone]'", message)
    self.assertEqual("init windows.volumes", frames[-1])
    # A module that a collaborator itself cannot find is the collaborator's
    # own failure, and reaches the importer as the interpreter raised it.
    kind, message, _, _ = self.Import({"platforms/__init__.py": "import no_such_helper_module\n"})
    self.assertEqual(("ModuleNotFoundError", "No module named 'no_such_helper_module'") if PY3
                     else ("ImportError", "No module named no_such_helper_module"), (kind, message))

  def testMissingCollaboratorIsCausedByTheFailedImport(self):
    # Python 3: the explained error is raised from the interpreter's own,
    # and names the module that could not be found; 2.7's errors have
    # neither a cause nor a name.
    probe = r"""
    import sys
    sys.modules['platforms'] = None
    try:
      import windows.volumes
    except ImportError as error:
      cause = getattr(error, "__cause__", None)
      print(repr((type(error).__name__, type(cause).__name__, getattr(error, "name", None),
                  cause is not None and str(cause) in str(error))))
    """
    if PY3:
      self.assertEqual(("ModuleNotFoundError", "ModuleNotFoundError", "platforms", True),
                       self.Import({}, probe))
    else:
      self.assertEqual(("ImportError", "NoneType", None, False), self.Import({}, probe))

  def testCollaboratorFailuresPropagate(self):
    for files, kind, message, last_bound, unbound in [
        ({"platforms/__init__.py": "# platform_utils missing\n"},
         "ImportError", "cannot import name platform_utils", "service", "platform_utils"),
        ({"platforms/__init__.py": "raise RuntimeError('no platform here')\n"},
         "RuntimeError", "no platform here", "service", "platform_utils"),
        (self.CommonWith({"common/volume_entry.py": """
            class DeviceType(object):
              UNKNOWN = REMOVABLE = INTERNAL = NETWORK = object()
            """}),
         "AttributeError", "type object 'DeviceType' has no attribute 'RAM'", "LOGGER",
         "DRIVE_TYPE_MAP"),
        (self.CommonWith({"common/service/__init__.py": "",
                          "common/service/service.py": """
            def Singleton(cls):
              raise ValueError('not a service: %s' % cls.__name__)
            """}),
         "ValueError", "not a service: VolumeInfo", "IsFAT", "VolumeInfo"),
    ]:
      got_kind, got_message, frames, bound = self.Import(files)
      self.assertEqual((kind, message), (got_kind, got_message))
      self.assertIn("init windows.volumes", frames)
      if PY3:
        self.assertIsNone(bound)
        continue
      self.assertIn(last_bound, bound)
      self.assertNotIn(unbound, bound)

  def testRaiseWindowsErrorMustBeExportedWithItsSignature(self):
    capsule = ("new = ctypes.pythonapi.PyCapsule_New\n"
               "new.restype = ctypes.py_object\n"
               "new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n")
    wrong = "C function windows.winwrap.RaiseWindowsError has wrong signature (expected %s, got %%s)"
    for source, kind, message in [
        ("", "AttributeError",
         "module 'windows.winwrap' has no attribute '__pyx_capi__'" if PY3
         else "'module' object has no attribute '__pyx_capi__'"),
        ("__pyx_capi__ = {}", "ImportError",
         "windows.winwrap does not export expected C function RaiseWindowsError"),
        # The capsule keeps a pointer to its name: the module keeps the text.
        (capsule + "NAME = b'void (int)'\n"
         "__pyx_capi__ = {'RaiseWindowsError': new(1, NAME, None)}",
         "TypeError", wrong % SIGNATURE % "void (int)"),
        # Neither may crash the interpreter while the message is made.
        ("__pyx_capi__ = {'RaiseWindowsError': 5}",
         "TypeError", wrong % SIGNATURE % "int object, not a capsule"),
        (capsule + "__pyx_capi__ = {'RaiseWindowsError': new(1, None, None)}",
         "TypeError", wrong % SIGNATURE % "a capsule without a name"),
    ]:
      got_kind, got_message, frames, bound = self.WinwrapExporting(source)
      self.assertEqual((kind, message), (got_kind, got_message), source)
      self.assertEqual("init windows.volumes", frames[-1])
      # Before any module statement runs.
      self.assertNotIn("logging", bound or ())


class LifetimeTest(unittest.TestCase):

  def testFunctionsAndClassOutliveTheModuleLeavingSysModules(self):
    # Callers that drop windows.volumes from sys.modules (test isolation,
    # plugin unloading) may keep its functions and class: they must keep
    # working on the namespace they were built with.
    status, out, err = volumes_testing.RunPython(r"""
        import gc, sys
        import scripted_system
        import windows, windows.volumes as volumes
        name = u"\\\\?\\Volume{a}\\"
        scripted_system.add_volume(name, [u"C:\\"], serial=7, filesystem=u"FAT32")
        scripted_system.bind_handle(5, name)
        kept = (volumes.FindVolumeID, volumes.IsFAT, volumes._ListVolumeNames,
                volumes.VolumeInfo)
        del sys.modules["windows.volumes"], windows.volumes, volumes
        gc.collect()
        FindVolumeID, IsFAT, ListVolumeNames, VolumeInfo = kept

        class Stat(object):
          st_dev = 7

        class Handle(object):
          handle = 5
        print("%s %s %s %s" % (FindVolumeID(Stat()), IsFAT(7, Handle()),
                               ListVolumeNames() == [name], sorted(VolumeInfo().AllVolumeEntries())))
        """)
    self.assertEqual((0, "serial:7 True True ['serial:7']\n"), (status, out), err)

  def testImportingAgainGivesACopyOfTheFirstNamespace(self):
    # The module is initialised once per process, under either interpreter:
    # a second import makes a new module object from a copy of the first
    # namespace, and the functions keep looking names up in the first.
    status, out, err = volumes_testing.RunPython(r"""
        import sys
        import windows, windows.volumes as first
        del sys.modules["windows.volumes"], windows.volumes
        import windows.volumes as second

        class Stat(object):
          st_dev = 7
        second._VolumeIDFromSerialNumber = lambda serial: "rebound"
        print("%s %s %s %s" % (first is second, first.FindVolumeID is second.FindVolumeID,
                               sorted(vars(first)) == sorted(vars(second)),
                               second.FindVolumeID(Stat())))
        first._VolumeIDFromSerialNumber = lambda serial: "rebound first"
        print(second.FindVolumeID(Stat()))
        """)
    self.assertEqual((0, "False True True serial:7\nrebound first\n"), (status, out), err)


if __name__ == "__main__":
  unittest.main()
