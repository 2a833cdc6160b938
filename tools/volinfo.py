"""volinfo: the storage volumes of this machine, as windows.volumes sees them.

Usage:
  volinfo [-v] [--json] [PATH ...]

Without paths, prints the volume table: volume ID, mount point, label, file
system, drive type, size and UUID of every mounted volume. With paths, says
for each which volume holds it and whether that volume is FAT32 or exFAT.

Exit status: 0 done; 1 a PATH could not be stat'ed; 2 bad options; 3 the
volume table could not be read; 4 the output could not be written. A closed
pipe ends the command through SIGPIPE, quietly, as other Unix tools end.
"""

import argparse
import errno
import fcntl
import json
import logging
import os
import signal
import sys
import unicodedata

try:
  from StringIO import StringIO
except ImportError:  # Python 3
  from io import StringIO

import windows.volumes as volumes

EXIT_OK = 0
EXIT_PATH_ERROR = 1
EXIT_TABLE_ERROR = 3
EXIT_WRITE_ERROR = 4

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
              "size", "uuid")


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
  }


def TableText(entries):
  header = (b"VOLUME ID", b"MOUNT POINT", b"LABEL", b"FS", b"TYPE", b"SIZE", b"UUID")
  rows = [header]
  for entry in sorted(entries, key=lambda e: e.mountpoint):
    rows.append((Text(entry.volume), Text(entry.mountpoint), Text(entry.label),
                 Text(entry.filesystem), Text(DeviceTypeName(entry.device_type)),
                 Utf8(HumanSize(entry.size)), Text(entry.uuid)))
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


def DescribePath(service, path):
  """The record of the volume holding `path`; raises OSError for the path.

  The path is placed by what fstat says of an O_PATH descriptor (as stat
  follows symbolic links), and IsFAT asks through that descriptor: a FIFO,
  socket, device node or unreadable file is placed without being opened."""
  opened = _PathHandle(path)
  try:
    stat_result = os.fstat(opened.handle)
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


def Main(argv):
  parser = argparse.ArgumentParser(
      prog="volinfo", description="Lists this machine's storage volumes.")
  parser.add_argument("paths", nargs="*", metavar="PATH",
                      help="say which volume holds PATH and whether it is FAT")
  parser.add_argument("--json", action="store_true", help="print JSON for scripts")
  parser.add_argument("-v", "--verbose", action="store_true",
                      help="send the module's log records to stderr")
  options = parser.parse_args(argv)

  logging.basicConfig(stream=sys.stderr, format="%(levelname)s %(name)s: %(message)s",
                      level=logging.DEBUG if options.verbose else logging.CRITICAL + 1)

  service = volumes.VolumeInfo()
  try:
    entries = service.AllVolumeEntries().values()
  except (WindowsError, EnvironmentError) as error:
    sys.stderr.write("volinfo: cannot read the volume table: %s\n" % error)
    return EXIT_TABLE_ERROR

  status = EXIT_OK
  if not options.paths:
    if options.json:
      output = JsonText([EntryRecord(e) for e in sorted(entries, key=lambda e: e.mountpoint)])
    else:
      output = TableText(entries)
  else:
    placed, records = [], []
    for path in options.paths:
      try:
        records.append(DescribePath(service, path))
        placed.append(path)
      except EnvironmentError as error:
        reason = error.strerror or os.strerror(error.errno or errno.EIO)
        sys.stderr.write("volinfo: %s: %s\n" % (EscapedText(path), reason))
        status = EXIT_PATH_ERROR
    output = JsonText(records) if options.json else PathsText(placed, records)

  try:
    WriteAll(sys.__stdout__.fileno(), output)
  except EnvironmentError as error:
    # A closed pipe never gets here: SIGPIPE ends the process first.
    sys.stderr.write("volinfo: write error: %s\n" % (error.strerror or error))
    return EXIT_WRITE_ERROR
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
    WriteAll(sys.__stdout__.fileno(), Utf8(printed.getvalue()))
  except EnvironmentError as error:
    sys.stderr.write("volinfo: write error: %s\n" % (error.strerror or error))
    return EXIT_WRITE_ERROR
  return status


if __name__ == "__main__":
  # Python ignores SIGPIPE; a Unix tool whose reader went away ends by it.
  signal.signal(signal.SIGPIPE, signal.SIG_DFL)
  sys.exit(Run(sys.argv[1:]))
