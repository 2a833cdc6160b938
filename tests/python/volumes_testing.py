"""Shared fixtures of the Python suites that drive the scripted system.

The suites run with the scripted tree on sys.path: windows.volumes is linked
against the scripted provider, which `scripted_system` controls.
"""

import gc
import logging
import os
import struct
import subprocess
import sys
import textwrap
import types
import unittest

import scripted_system
import windows
import windows.volumes as volumes
import windows.winwrap as winwrap

# The suites run unchanged under Python 2.7 and Python 3; where the two
# interpreters name a type differently, they use these names.
PY3 = sys.version_info[0] >= 3
if PY3:
  TEXT = str            # labels, names, mount points, paths
  LONG = int            # what the module makes of the system's numbers
  INTEGERS = (int,)
  import builtins as BUILTINS
else:
  TEXT = unicode  # noqa: F821 (Python 2.7 only)
  LONG = long  # noqa: F821
  INTEGERS = (int, long)  # noqa: F821
  import __builtin__ as BUILTINS
# What a class is: 2.7's old-style classes are of their own type.
CLASS_TYPES = (type,) if PY3 else (type, types.ClassType)
# The type names the module's TypeErrors give: for required text, for text
# of either kind (2.7's basestring), and for the byte string a caller may
# pass instead of text.
TEXT_NAME = TEXT.__name__
ANY_TEXT_NAME = "str" if PY3 else "basestring"
BYTES_NAME = bytes.__name__
# The method that converts an object to an integer after __int__: __long__
# in 2.7, __index__ in 3.
SECOND_INTEGER_METHOD = "index" if PY3 else "long"


def _IsNativeFunction(value, module_name):
  """Whether `value` is a function the package's native code defines: a
  built-in function of module `module_name`, or one of the package's own
  function type (windows.function, which the methods of its classes are)."""
  if isinstance(value, types.BuiltinFunctionType):
    return getattr(value, "__module__", None) == module_name
  return type(value).__module__ == windows.__name__ and callable(value)


def NativeEntries():
  """{name: function} of every entry a caller can reach in the native
  modules, read from the modules themselves: their functions (private names
  included: the module calls them through its namespace, and a caller may
  too) and the methods of the classes they hold (VolumeInfo through the
  singleton's __wrapped__). Members of a class of the module's own are all
  entries; of another class (the interpreter's WindowsError, which winwrap
  holds on Windows), only those of the package's function type. Names are
  those of windows.volumes ("IsFAT", "VolumeInfo.FindVolumeID"), other
  modules' prefixed by theirs ("winwrap.WindowsError.__str__")."""
  entries = {}
  for module in (volumes, winwrap):
    prefix = "" if module is volumes else module.__name__.split(".")[-1] + "."
    for name, value in sorted(vars(module).items()):
      if name.startswith("__"):
        continue
      if _IsNativeFunction(value, module.__name__):
        entries[prefix + name] = value
        continue
      cls = getattr(value, "__wrapped__", value)
      if not isinstance(cls, CLASS_TYPES):
        continue
      own = getattr(cls, "__module__", None) == module.__name__
      for member_name, member in sorted(vars(cls).items()):
        if isinstance(member, CLASS_TYPES) or not callable(member):
          continue
        if own or _IsNativeFunction(member, module.__name__):
          entries["%s%s.%s" % (prefix, name, member_name)] = member
  return entries


def ClearHandledException():
  """Forgets the exception being handled (2.7 keeps it after its `except`
  block ends; Python 3 clears it itself)."""
  if not PY3:
    sys.exc_clear()


def ForgetTraceback(error):
  """Drops the traceback a raised exception object carries: Python 3 chains
  each new raise of the same object to it, so a test that raises one object
  again and again would see it grow."""
  if PY3:
    error.__traceback__ = None


def QualifiedBuiltinName(name):
  """How the interpreter names a function of windows.volumes in its own
  argument errors: by its simple name in 2.7, qualified in 3."""
  return "windows.volumes." + name if PY3 else name


class Stat(object):
  """A stat result as the module reads it: its st_dev alone."""

  def __init__(self, st_dev):
    self.st_dev = st_dev


class Handle(object):
  """An open file as IsFAT reads it: its `handle` alone."""

  def __init__(self, handle):
    self.handle = handle


class RaisingAttribute(object):
  """A class attribute whose every lookup raises `error`."""

  def __init__(self, error):
    self.error = error

  def __get__(self, instance, owner):
    raise self.error


def ServiceWhoseMappingLookupRaises(error):
  """A new VolumeInfo whose `_FindVolumeIDForDeviceNumber` lookup raises
  `error`."""
  cls = type("Service", (volumes.VolumeInfo.__wrapped__,),
             {"_FindVolumeIDForDeviceNumber": RaisingAttribute(error)})
  return cls()


def VolumeName(guid):
  """The volume GUID name the system yields for a GUID text."""
  return u"\\\\?\\Volume{%s}\\" % guid


class RecordingHandler(logging.Handler):
  """Keeps every record of the module's logger, unformatted."""

  def __init__(self):
    logging.Handler.__init__(self, level=logging.DEBUG)
    self.records = []

  def emit(self, record):
    self.records.append(record)

  def Calls(self, level=None):
    """(level name, format, args) of each record, optionally of one level."""
    return [(r.levelname, r.msg, r.args) for r in self.records
            if level is None or r.levelname == level]


class ScriptedSystemTestCase(unittest.TestCase):
  """Starts every test with an empty scripted system, a fresh VolumeInfo
  instance, an empty FAT cache and a logger that records."""

  def setUp(self):
    scripted_system.reset()
    self.system = scripted_system
    self.log = RecordingHandler()
    logger = logging.getLogger(volumes.__name__)
    self._old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(self.log)
    self.addCleanup(logger.removeHandler, self.log)
    self.addCleanup(logger.setLevel, self._old_level)
    # A completed rebuild empties the module's private FAT cache.
    scripted_system.add_volume(VolumeName("fixture"), [u"F:\\"], serial=1)
    flush = volumes.VolumeInfo.__wrapped__()
    flush._PopulateVolumeTable(flush._volume_ids)
    scripted_system.reset()
    del self.log.records[:]
    self.service = volumes.VolumeInfo.__wrapped__()

  def Rebind(self, name, value):
    """Rebinds a module attribute for the duration of the test."""
    old = getattr(volumes, name)
    setattr(volumes, name, value)
    self.addCleanup(setattr, volumes, name, old)

  def SystemCalls(self, function=None):
    return [c for c in scripted_system.calls() if function is None or c[0] == function]


# The debug interpreter (python2.7-dbg) counts every live reference.
COUNTS_REFERENCES = hasattr(sys, "gettotalrefcount")


def AssertNoLeak(test, path, calls_per_run=20, warmup_runs=3, measured_runs=5):
  """Fails `test` when calling `path` leaks references or gives away ones it
  never took: after warm-up runs, a reference total that grows on every
  measured run is a leak, one that shrinks on every run a missing reference.
  Under the release interpreter `path` just runs once."""
  if not COUNTS_REFERENCES:
    path()
    return

  def Run():
    for _ in range(calls_per_run):
      path()
      scripted_system.clear_calls()
  for _ in range(warmup_runs):
    Run()
  # Preallocated, so that recording a delta adds no reference itself.
  deltas = [0] * measured_runs
  before = after = 0
  for run in range(measured_runs):
    gc.collect()
    before = sys.gettotalrefcount()
    Run()
    gc.collect()
    after = sys.gettotalrefcount()
    deltas[run] = after - before
  test.assertFalse(min(deltas) > 0, "references grow on every run: %r" % deltas)
  # A reference returned without being taken (a borrowed None, say) makes
  # the total shrink instead, until the object is freed under its owner.
  test.assertFalse(max(deltas) < 0, "references shrink on every run: %r" % deltas)


def RunPython(source, extra_path=(), environment=None):
  """Runs Python 2.7 code in a fresh interpreter with the scripted tree on
  sys.path (after `extra_path`) and `environment` added to this process's;
  returns (exit status, stdout, stderr)."""
  env = dict(os.environ)
  env.update(environment or {})
  inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
  env["PYTHONPATH"] = os.pathsep.join(list(extra_path) + inherited)
  # Run from this directory: `-c` puts the working directory first on
  # sys.path, and the source tree's own `windows` package must not hide the
  # built one.
  # The child writes text: on Windows its stdout is in text mode ("\r\n")
  # unless PYTHONUNBUFFERED is set, so line ends are read as "\n" on both.
  process = subprocess.Popen([sys.executable, "-B", "-c", textwrap.dedent(source)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                             cwd=os.path.dirname(os.path.abspath(__file__)),
                             universal_newlines=True)
  out, err = process.communicate()
  return process.returncode, out, err


# The codec of the file system name: the ANSI code page ("mbcs") on Windows;
# Linux has no such codec, and its processes speak UTF-8.
FILE_SYSTEM_NAME_CODEC = "mbcs" if sys.platform == "win32" else "utf-8"


def FileSystemName(text):
  """The file system name the module gives for the system's `text`: 2.7's
  native str is the text encoded with the codec; Python 3's str is what
  those bytes decode to with the file system encoding (surrogateescape off
  Windows)."""
  if not PY3:
    return text.encode(FILE_SYSTEM_NAME_CODEC)
  if sys.platform == "win32":
    return text.encode(FILE_SYSTEM_NAME_CODEC, "replace").decode(FILE_SYSTEM_NAME_CODEC)
  return text.encode(FILE_SYSTEM_NAME_CODEC, "surrogatepass").decode(
      sys.getfilesystemencoding(), "surrogateescape")

def AssertErrorType(test, expected, error, message=None):
  """That `error` is of exactly the type `expected`, except that where
  WindowsError is the interpreter's own OSError (Python 3 on Windows) it
  may be the subclass that OSError picks for the code's errno
  (FileNotFoundError, PermissionError, ...), as for the interpreter's own
  errors."""
  if expected is WindowsError and PY3 and sys.platform == "win32":
    test.assertIsInstance(error, OSError, message)
    test.assertIsNotNone(error.winerror, message)
  else:
    test.assertIs(expected, type(error), message)


# The width of a HANDLE in this process: 32 bits in 32-bit Windows.
POINTER_BITS = struct.calcsize("P") * 8


def SystemHandle(value):
  """The HANDLE value that a handle integer becomes in this process, as a
  signed number: the integer itself in a 64-bit process, its low 32 bits in
  a 32-bit one (2**32 + 5 becomes 5)."""
  if POINTER_BITS == 64:
    return value
  low = value & 0xFFFFFFFF
  return low - (1 << 32) if low >= 1 << 31 else low
