"""volinfo: the storage volumes of this machine, as windows.volumes sees them.

Usage:
  volinfo [-v] [--json] [PATH ...]
  volinfo --version

Without paths, prints the volume table: volume ID, mount point, label, file
system, drive type, size and UUID of every mounted volume. With paths, says
for each which volume holds it and whether that volume is FAT32 or exFAT.

Exit status: 0 done; 1 a PATH could not be stat'ed; 2 bad options; 3 the
volume table could not be read; 4 the output could not be written. A closed
pipe ends the command through SIGPIPE, quietly, as other Unix tools end.
"""

import argparse
import collections
import ctypes
import errno
try:
  import fcntl
except ImportError:  # Windows: no PATH look-ups there (they need O_PATH), the table only
  fcntl = None
import json
import logging
import os
import signal
import sys
try:
  import thread
except ImportError:  # Python 3
  import _thread as thread
import threading
import time
import unicodedata

try:
  from StringIO import StringIO
except ImportError:  # Python 3
  from io import StringIO
try:
  from itertools import izip as _Zip  # 2.7's zip would start every look-up at once
except ImportError:  # Python 3: zip takes one pair at a time
  _Zip = zip

import windows.volumes as volumes

DISTRIBUTION = "windows-volumes"

EXIT_OK = 0
EXIT_PATH_ERROR = 1
EXIT_USAGE = 2
EXIT_TABLE_ERROR = 3
EXIT_WRITE_ERROR = 4

# The standard descriptors, written and closed by number: Python 3 has no
# sys.__stdout__ or sys.__stderr__ (None) for one that was closed at start.
STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO = 0, 1, 2

# The output is assembled as bytes under either interpreter (2.7's str is
# bytes): UTF-8 text with its escapes, written with os.write.
PY3 = sys.version_info[0] >= 3
TEXT = str if PY3 else unicode  # noqa: F821 (Python 2.7 only)

# Opens a path for its identity only: no read, no driver's open, no wait on
# a FIFO's writer. Python 2.7 has no os.O_PATH; this is its value on the
# architectures that use the generic fcntl numbers (x86, ARM, POWER, s390,
# RISC-V, MIPS). O_NONBLOCK keeps a FIFO from blocking should a kernel not
# know O_PATH; _PathHandle checks that the descriptor really is an O_PATH one.
O_PATH = getattr(os, "O_PATH", 0o10000000)

# How long the look-up of one PATH may take: as long as the module waits for
# one blocking call. A path on a mount that stopped answering (a stalled FUSE
# or network file system) is then an error, as the kernel reports a soft
# network mount that timed out.
LOOKUP_TIMEOUT = 2.0
# Look-ups started ahead of the one being waited for, so that paths on one
# stalled mount cost one wait together, not one each.
LOOKUPS_AHEAD = 16


def HumanSize(size):
  """1536 -> '1.5K': powers of 1024, as df -h prints them."""
  value = float(size)
  for unit in ("B", "K", "M", "G", "T", "P"):
    if value < 1024 or unit == "P":
      if unit == "B":
        return "%d%s" % (value, unit)
      return ("%.1f%s" if value < 10 else "%.0f%s") % (value, unit)
    value /= 1024.0


def DeviceTypeName(device_type):
  return getattr(device_type, "name", None) or str(device_type)


def Utf8(value):
  """The UTF-8 bytes of a field. Python 3 gets a path's undecodable bytes
  back from their surrogate escapes (as os.fsencode does); a lone surrogate
  of another kind keeps the form 2.7's encoder gives it."""
  if isinstance(value, bytes):
    return value
  if not isinstance(value, TEXT):
    value = TEXT(value)
  if not PY3:
    return value.encode("utf-8")
  try:
    return value.encode("utf-8", "surrogateescape")
  except UnicodeEncodeError:
    return value.encode("utf-8", "surrogatepass")


# Code points that Python 2.7's Unicode 5.2 tables call unassigned but that
# later versions made invisible format characters: the bidirectional isolates
# and the Arabic letter mark (Unicode 6.3). Other code points unassigned in
# 5.2 (letters, emoji) are taken as printable.
_LATER_FORMAT_CHARACTERS = frozenset([0x061C, 0x2066, 0x2067, 0x2068, 0x2069])
# Controls, format characters (bidirectional overrides among them), line and
# paragraph separators, surrogates and private use: a terminal acts on them
# or shows nothing definite.
_UNPRINTABLE_CATEGORIES = frozenset(["Cc", "Cf", "Cs", "Co", "Zl", "Zp"])


def _Printable(character):
  code = ord(character)
  if code in _LATER_FORMAT_CHARACTERS or (code & 0xFFFE) == 0xFFFE or 0xFDD0 <= code <= 0xFDEF:
    return False  # noncharacters included
  return unicodedata.category(character) not in _UNPRINTABLE_CATEGORIES


def _Utf8Length(lead):
  """The length of the UTF-8 sequence that byte `lead` starts (1 if invalid)."""
  if lead < 0xC2:
    return 1
  if lead < 0xE0:
    return 2
  if lead < 0xF0:
    return 3
  if lead < 0xF5:
    return 4
  return 1


def Escaped(value):
  """`value` as UTF-8 text for the terminal, as findmnt escapes it.

  Every byte of a character that is not printable, of a byte sequence that is
  not UTF-8, and of the backslash itself is written as \\xHH, so a backslash
  always starts an escape and the text can be read back unambiguously.
  Printable non-ASCII text stays as it is."""
  value = Utf8(value)
  pieces = []
  position = 0
  while position < len(value):
    length = _Utf8Length(bytearray(value[position:position + 1])[0])
    sequence = value[position:position + length]
    try:
      characters = sequence.decode("utf-8")
    except UnicodeDecodeError:
      sequence = value[position:position + 1]
      characters = None
    if (characters is not None and len(sequence) == length and sequence != b"\\"
        and all(_Printable(c) for c in characters)):
      pieces.append(sequence)
    else:
      pieces.extend(b"\\x%02x" % code for code in bytearray(sequence))
    position += len(sequence)
  return b"".join(pieces)


def EscapedText(value):
  """Escaped(value) as the native str, for messages on stderr."""
  escaped = Escaped(value)
  return escaped.decode("utf-8") if PY3 else escaped


def Text(value):
  """A field as escaped text for the terminal; None or empty as '-'."""
  if value is None or value == "":
    return b"-"
  return Escaped(value)


def DisplayWidth(text):
  """Columns that UTF-8 `text` takes on a terminal: wide East Asian characters
  take two, combining marks none."""
  width = 0
  for character in text.decode("utf-8"):
    if unicodedata.combining(character):
      continue
    width += 2 if unicodedata.east_asian_width(character) in ("W", "F") else 1
  return width


ENTRY_KEYS = ("volume_id", "mountpoint", "device", "label", "filesystem", "drive_type",
              "size", "uuid", "uuid_source")
# Where a volume's GUID comes from: the file system's own UUID, or, for a
# file system without one the system could read, its device number.
UUID_OF_FILE_SYSTEM = "file system"
UUID_OF_DEVICE_NUMBER = "device number"
_DEVICE_GUID_PREFIX = "00000000-0000-0000-"


def MadeUpUuidDevice(entry):
  """The device number the volume's GUID was made from, or None where the
  GUID is the file system's UUID. A made-up GUID is
  00000000-0000-0000-HHHH-LLLLLLLLLLLL of the 64-bit device number, whose
  folded 32 bits are the volume's serial number."""
  uuid = entry.uuid or ""
  if len(uuid) != 36 or not uuid.startswith(_DEVICE_GUID_PREFIX) or uuid[23] != "-":
    return None
  try:
    device = int(uuid[19:23] + uuid[24:], 16)
  except ValueError:
    return None
  folded = (device ^ (device >> 32)) & 0xFFFFFFFF
  return device if folded == entry.device_number else None


def UuidSource(entry):
  if entry.uuid is None:
    return None
  return UUID_OF_FILE_SYSTEM if MadeUpUuidDevice(entry) is None else UUID_OF_DEVICE_NUMBER


def UuidText(entry):
  """The UUID cell: a made-up GUID says what it was made from, so that it is
  not taken for a file system's UUID (findmnt shows none for it)."""
  device = MadeUpUuidDevice(entry)
  if device is None:
    return Text(entry.uuid)
  return Text(entry.uuid) + Utf8(" (from device %d:%d)" % (os.major(device), os.minor(device)))


def EntryRecord(entry):
  return {
      "volume_id": entry.volume,
      "mountpoint": entry.mountpoint,
      "device": entry.device_file,
      "label": entry.label,
      "filesystem": entry.filesystem,
      "drive_type": DeviceTypeName(entry.device_type),
      "size": entry.size,
      "uuid": entry.uuid,
      "uuid_source": UuidSource(entry),
  }


def TableText(entries):
  header = (b"VOLUME ID", b"MOUNT POINT", b"LABEL", b"FS", b"TYPE", b"SIZE", b"UUID")
  rows = [header]
  for entry in sorted(entries, key=lambda e: e.mountpoint):
    rows.append((Text(entry.volume), Text(entry.mountpoint), Text(entry.label),
                 Text(entry.filesystem), Text(DeviceTypeName(entry.device_type)),
                 Utf8(HumanSize(entry.size)), UuidText(entry)))
  widths = [max(DisplayWidth(row[column]) for row in rows) for column in range(len(header))]
  lines = []
  for row in rows:
    cells = [cell + b" " * (width - DisplayWidth(cell)) for cell, width in zip(row, widths)]
    lines.append(b"  ".join(cells).rstrip() + b"\n")
  return b"".join(lines)


class _PathHandle(object):
  """What IsFAT reads: an object whose `handle` is a descriptor of the path
  opened with O_PATH, which names the file without opening it for I/O."""

  def __init__(self, path):
    self.handle = os.open(path, O_PATH | os.O_NONBLOCK | os.O_NOCTTY)
    try:
      if not fcntl.fcntl(self.handle, fcntl.F_GETFL) & O_PATH:
        raise OSError(errno.EINVAL, "this system does not open files with O_PATH")
    except BaseException:
      os.close(self.handle)
      raise

  def Close(self):
    os.close(self.handle)


class _Lookup(object):
  """The O_PATH open and fstat of one path, on a thread of its own: both wait
  in the kernel for as long as the path's file system takes to answer, and
  no signal ends that wait. Its caller waits at most LOOKUP_TIMEOUT from the
  start; a look-up it gave up on closes its own descriptor when it returns."""

  def __init__(self, path):
    self._path = path
    self._deadline = time.time() + LOOKUP_TIMEOUT
    self._finished = threading.Event()
    self._lock = threading.Lock()
    self._abandoned = False
    self._result = None  # (_PathHandle, stat result)
    self._error = None
    try:
      worker = threading.Thread(target=self._Run)
      worker.daemon = True
      worker.start()
    except thread.error:  # no thread could be started
      self._error = EnvironmentError(errno.EAGAIN, os.strerror(errno.EAGAIN))
      self._finished.set()

  def _Run(self):
    result = error = None
    try:
      opened = _PathHandle(self._path)
      try:
        result = (opened, os.fstat(opened.handle))
      except BaseException:
        opened.Close()
        raise
    except Exception as raised:  # pylint: disable=broad-except
      error = raised  # Result raises it on the caller's thread
    with self._lock:
      if self._abandoned:
        if result:
          result[0].Close()
        return
      self._result, self._error = result, error
      self._finished.set()

  def Result(self):
    """(_PathHandle, stat result), the caller's to close; raises what the
    look-up raised (EnvironmentError for the path), ETIMEDOUT when it did
    not answer in time."""
    self._finished.wait(max(0.0, self._deadline - time.time()))
    with self._lock:
      if not self._finished.is_set():
        self._abandoned = True
        raise EnvironmentError(errno.ETIMEDOUT, os.strerror(errno.ETIMEDOUT))
    if self._error is not None:
      raise self._error  # pylint: disable=raising-bad-type
    return self._result


def LookedUp(paths):
  """Yields a _Lookup for each path, in order, with up to LOOKUPS_AHEAD of
  the following ones already running."""
  pending = collections.deque()
  for path in paths:
    pending.append(_Lookup(path))
    if len(pending) > LOOKUPS_AHEAD:
      yield pending.popleft()
  while pending:
    yield pending.popleft()


def DescribePath(service, path, lookup):
  """The record of the volume holding `path`, looked up by `lookup`; raises
  EnvironmentError for the path.

  The path is placed by what fstat says of an O_PATH descriptor (as stat
  follows symbolic links), and IsFAT asks through that descriptor: a FIFO,
  socket, device node or unreadable file is placed without being opened."""
  opened, stat_result = lookup.Result()
  try:
    volume_id = service.FindVolumeID(stat_result)
    is_fat = volumes.IsFAT(stat_result.st_dev, opened)
  finally:
    opened.Close()
  entry = service.GetVolumeEntryForVolumeID(volume_id)
  record = dict.fromkeys(ENTRY_KEYS)
  if entry is not None:
    record.update(EntryRecord(entry))
  record.update({"path": Utf8(path).decode("utf-8", "replace"),
                 "volume_id": volume_id, "is_fat": is_fat})
  return record


def PathsText(paths, records):
  """The lines for paths: each path as given (its bytes, escaped), the volume
  that holds it, and whether that is FAT."""
  lines = []
  for path, record in zip(paths, records):
    if record["mountpoint"] is not None:
      where = b"%s (%s, %s)" % (Text(record["mountpoint"]), Text(record["filesystem"]),
                                Text(record["volume_id"]))
    else:
      where = b"%s (not in the volume table)" % Text(record["volume_id"])
    lines.append(b"%s: %s, %s\n" % (Text(path), where,
                                     b"FAT" if record["is_fat"] else b"not FAT"))
  return b"".join(lines)


def JsonText(records):
  # JSON escapes every non-ASCII character itself: the text is ASCII. The
  # separators are 2.7's with an indent, which Python 3 would write without
  # the space after a comma: the output is the same under either.
  text = json.dumps(records, indent=2, sort_keys=True, separators=(", ", ": "))
  return (text + "\n").encode("ascii")


def WriteAll(descriptor, data):
  """Writes all of `data`, without Python's file buffering: a failure shows
  here, not in a flush at exit."""
  while data:
    written = os.write(descriptor, data)
    data = data[written:]


def Say(message):
  """Writes `message` (the native str, whole lines) to stderr. Its bytes are
  UTF-8 under either interpreter, as the output's are: Python 3's text
  stream would encode it as the locale or PYTHONIOENCODING says, and write
  what that cannot encode as escapes that are not volinfo's."""
  binary = getattr(sys.stderr, "buffer", None) if PY3 else None
  if binary is None:
    sys.stderr.write(message)
    return
  sys.stderr.flush()  # what logging or argparse wrote there goes first
  binary.write(Utf8(message))
  binary.flush()


def Version():
  """The version of the installed windows-volumes distribution; in a
  checkout, the version its pyproject.toml names."""
  try:
    from importlib import metadata
  except ImportError:  # 2.7: the distribution's metadata file on sys.path
    metadata = None
  if metadata is not None:
    try:
      return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
      pass
  prefix = DISTRIBUTION.replace("-", "_") + "-"
  for directory in sys.path:
    try:
      names = os.listdir(directory or ".")
    except EnvironmentError:
      continue
    for name in names:
      if name.startswith(prefix) and name.endswith(".dist-info"):
        with open(os.path.join(directory or ".", name, "METADATA")) as lines:
          for line in lines:
            if line.startswith("Version:"):
              return line.split(":", 1)[1].strip()
  project = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pyproject.toml")
  try:
    with open(project) as lines:
      for line in lines:
        if line.startswith("version = "):
          return line.split("=", 1)[1].strip().strip('"')
  except EnvironmentError:
    pass
  return "unknown (no windows-volumes metadata found)"


def WriteError(error):
  """Says that the output could not be written; its status."""
  Say("volinfo: write error: %s\n" % (error.strerror or error))
  return EXIT_WRITE_ERROR


def Main(argv):
  parser = argparse.ArgumentParser(
      prog="volinfo", description="Lists this machine's storage volumes.")
  parser.add_argument("paths", nargs="*", metavar="PATH",
                      help="say which volume holds PATH and whether it is FAT")
  parser.add_argument("--json", action="store_true", help="print JSON for scripts")
  parser.add_argument("-v", "--verbose", action="store_true",
                      help="send the module's log records to stderr")
  parser.add_argument("--version", action="store_true", help="print the version and exit")
  options = parser.parse_args(argv)
  if options.version:
    try:
      WriteAll(STDOUT_FILENO, Utf8("volinfo %s\n" % Version()))
    except EnvironmentError as error:
      return WriteError(error)
    return EXIT_OK

  logging.basicConfig(stream=sys.stderr, format="%(levelname)s %(name)s: %(message)s",
                      level=logging.DEBUG if options.verbose else logging.CRITICAL + 1)

  service = volumes.VolumeInfo()
  try:
    entries = service.AllVolumeEntries().values()
  except (WindowsError, EnvironmentError) as error:
    Say("volinfo: cannot read the volume table: %s\n" % error)
    return EXIT_TABLE_ERROR

  if options.paths and fcntl is None:
    Say("volinfo: looking up a PATH needs Linux (O_PATH); here volinfo prints the volume table only\n")
    return EXIT_USAGE
  status = EXIT_OK
  if not options.paths:
    if options.json:
      output = JsonText([EntryRecord(e) for e in sorted(entries, key=lambda e: e.mountpoint)])
    else:
      output = TableText(entries)
  else:
    placed, records = [], []
    for path, lookup in _Zip(options.paths, LookedUp(options.paths)):
      try:
        records.append(DescribePath(service, path, lookup))
        placed.append(path)
      except EnvironmentError as error:
        reason = error.strerror or os.strerror(error.errno or errno.EIO)
        Say("volinfo: %s: %s\n" % (EscapedText(path), reason))
        status = EXIT_PATH_ERROR
    output = JsonText(records) if options.json else PathsText(placed, records)

  try:
    WriteAll(STDOUT_FILENO, output)
  except EnvironmentError as error:
    # A closed pipe never gets here: SIGPIPE ends the process first.
    return WriteError(error)
  return status


def Run(argv):
  """Main's status. What argparse prints (--help) is written the way the
  output is, so that a write error is reported for it too."""
  printed = StringIO()
  sys.stdout = printed
  try:
    status = Main(argv)
  except SystemExit as exit:  # argparse's --help and usage errors
    status = exit.code
  finally:
    sys.stdout = sys.__stdout__
  try:
    WriteAll(STDOUT_FILENO, Utf8(printed.getvalue()))
  except EnvironmentError as error:
    return WriteError(error)
  return status


def _Close(descriptor):
  """Closes `descriptor`; the error, or None."""
  try:
    os.close(descriptor)
  except OSError as error:
    return error
  return None


def EndOutput(status):
  """Closes stdout, then stderr, and returns the status: a file system that
  reports a failed write only when the file is closed makes it a write
  error. The output was written to the descriptor itself; stderr, which
  Python 3 buffers up to the end of a line, is flushed first.

  Closed here, the readers of the output see its end at once, although a
  thread of the module that still waits for a stalled mount keeps the
  process, and with it every descriptor it has not closed, until the file
  system answers."""
  if sys.stderr is not None:  # None in Python 3 when it was closed at start
    try:
      sys.stderr.flush()
    except (EnvironmentError, ValueError):
      pass  # what cannot be said is lost either way
  error = _Close(STDOUT_FILENO)
  if error is not None and error.errno not in (errno.EBADF, errno.EINTR):
    if status != EXIT_WRITE_ERROR:
      status = WriteError(error)
  _Close(STDERR_FILENO)
  return status


class _Ending(object):
  """How the child that does the work ends: its output closed, then its
  status (or the signal that ended it) told to the parent, then exit
  without the interpreter's clean-up."""

  def __init__(self, report):
    self._report = report

  def WithStatus(self, status):
    self._Tell(b"exit %d" % status, status)

  def BySignal(self, signum):
    for descriptor in (STDOUT_FILENO, STDERR_FILENO):
      _Close(descriptor)
    self._Tell(b"signal %d" % signum, 128 + signum)

  def _Tell(self, message, code):
    try:
      os.write(self._report, message + b"\n")
    except OSError:
      pass  # the parent is gone: no one is waiting for the status
    _Close(self._report)
    os._exit(code)  # pylint: disable=protected-access


def _EndWithParent(parent):
  """Has the kernel kill this child when its parent ends (killed by a
  signal, say): nobody would wait for its output then."""
  libc = ctypes.CDLL(None, use_errno=True)
  pr_set_pdeathsig = 1
  libc.prctl(pr_set_pdeathsig, ctypes.c_ulong(signal.SIGKILL), ctypes.c_ulong(0),
             ctypes.c_ulong(0), ctypes.c_ulong(0))
  if os.getppid() != parent:  # it ended before the request
    os._exit(128 + signal.SIGKILL)  # pylint: disable=protected-access


def _DoTheWork(run, report, parent):
  """The child's part: runs `run` and ends through _Ending, never returns."""
  _EndWithParent(parent)
  ending = _Ending(report)
  # A Unix tool whose reader went away ends by SIGPIPE (Python ignores it).
  # The child ends in order instead, and the parent ends by the signal.
  signal.signal(signal.SIGPIPE, lambda signum, frame: ending.BySignal(signum))
  try:
    status = run()
  except BaseException:  # pylint: disable=broad-except
    sys.excepthook(*sys.exc_info())  # as the interpreter reports it (KeyboardInterrupt too)
    status = 1
  ending.WithStatus(EndOutput(status))


def _ReadLine(descriptor):
  """One line (bytes) from `descriptor`, without its newline; what came
  before the end of file if none."""
  chunks = [os.read(descriptor, 64)]
  while chunks[-1] and not chunks[-1].endswith(b"\n"):
    chunks.append(os.read(descriptor, 64))
  return b"".join(chunks).rstrip(b"\n")


def HoldClosedStandardDescriptors():
  """Opens /dev/null, read-only, on each standard descriptor that is closed.
  A write there still fails with EBADF, as on a closed descriptor, but no
  descriptor opened later takes its number: neither the status pipe, where
  the output would pass for the child's status, nor one of a path or of the
  module, which would receive the output."""
  for descriptor in (STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO):
    try:
      os.fstat(descriptor)
    except OSError as error:
      if error.errno != errno.EBADF:
        raise
      held = os.open(os.devnull, os.O_RDONLY)  # the lowest free number: this one
      if held != descriptor:
        os.dup2(held, descriptor)
        os.close(held)


def RunInChild(run):
  """Runs `run` (which returns an exit status) in a child process and ends
  as the child ends: with its status, or by the signal that ended it.

  A thread of the module that waits in the kernel for a mount that stopped
  answering cannot be ended, not even by exit: until the file system
  answers, the kernel keeps its process, and the wait of that process's
  parent, and every descriptor the process has not closed. The child
  closes its output and tells its status as soon as its work is done, so
  this process ends then, whatever threads the child leaves behind."""
  HoldClosedStandardDescriptors()
  reader, writer = os.pipe()
  parent = os.getpid()
  try:
    child = os.fork()
  except OSError:  # no process to spare: the work is done here
    os.close(reader)
    os.close(writer)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    return run()
  if child == 0:
    try:
      os.close(reader)
      _DoTheWork(run, writer, parent)
    finally:
      # _DoTheWork ends the process; should its ending fail (a message on a
      # broken stderr), the child still never goes on as the command.
      os._exit(1)  # pylint: disable=protected-access
  os.close(writer)
  # An interrupt from the terminal reaches the child too, which reports it.
  signal.signal(signal.SIGINT, signal.SIG_IGN)
  kind, _, number = _ReadLine(reader).partition(b" ")
  os.close(reader)
  if kind == b"exit":
    return int(number)
  if kind == b"signal":
    signum = int(number)
  else:  # the child ended without a word: killed, or crashed
    _, wait_status = os.waitpid(child, 0)
    if not os.WIFSIGNALED(wait_status):
      return os.WEXITSTATUS(wait_status)
    signum = os.WTERMSIG(wait_status)
  try:
    signal.signal(signum, signal.SIG_DFL)
  except (RuntimeError, ValueError):
    pass  # SIGKILL and SIGSTOP keep their action anyway
  os.kill(os.getpid(), signum)
  return 128 + signum  # a signal whose default action does not end a process


def Command():
  """The volinfo command (`python -m volinfo`, or the console script). Where
  there is no fork (Windows), no module thread can outlive the command in a
  stalled mount's wait, and the command runs in this process."""
  if not hasattr(os, "fork"):
    sys.exit(Run(sys.argv[1:]))
  sys.exit(RunInChild(lambda: Run(sys.argv[1:])))


if __name__ == "__main__":
  Command()
