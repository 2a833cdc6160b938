"""volinfo: the storage volumes of this machine, as windows.volumes sees them.

Usage:
  volinfo [-v] [--json] [PATH ...]

Without paths, prints the volume table: volume ID, mount point, label, file
system, drive type, size and UUID of every mounted volume. With paths, says
for each which volume holds it and whether that volume is FAT32 or exFAT.
"""

import argparse
import errno
import json
import logging
import os
import sys

import windows.volumes as volumes

EXIT_OK = 0
EXIT_PATH_ERROR = 1
EXIT_TABLE_ERROR = 3


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


def Text(value):
  """A field as text for the terminal: None as '-', unicode as UTF-8."""
  if value is None or value == "":
    return "-"
  if isinstance(value, unicode):
    return value.encode("utf-8")
  return str(value)


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


def PrintTable(entries, out):
  header = ("VOLUME ID", "MOUNT POINT", "LABEL", "FS", "TYPE", "SIZE", "UUID")
  rows = [header]
  for entry in sorted(entries, key=lambda e: e.mountpoint):
    rows.append((entry.volume, Text(entry.mountpoint), Text(entry.label),
                 Text(entry.filesystem), DeviceTypeName(entry.device_type),
                 HumanSize(entry.size), Text(entry.uuid)))
  widths = [max(len(row[column].decode("utf-8")) for row in rows)
            for column in range(len(header))]
  for row in rows:
    cells = [cell + " " * (width - len(cell.decode("utf-8")))
             for cell, width in zip(row, widths)]
    out.write("  ".join(cells).rstrip() + "\n")


class _OpenFile(object):
  """What IsFAT reads: an object whose `handle` is the open descriptor."""

  def __init__(self, path):
    self.handle = os.open(path, os.O_RDONLY)

  def Close(self):
    os.close(self.handle)


def DescribePath(service, path):
  """The record of the volume holding `path`; raises OSError for the path."""
  stat_result = os.stat(path)
  volume_id = service.FindVolumeID(stat_result)
  entry = service.GetVolumeEntryForVolumeID(volume_id)
  opened = _OpenFile(path)
  try:
    is_fat = volumes.IsFAT(stat_result.st_dev, opened)
  finally:
    opened.Close()
  record = {"path": path.decode("utf-8", "replace") if isinstance(path, str) else path,
            "volume_id": volume_id, "is_fat": is_fat}
  if entry is not None:
    record.update(EntryRecord(entry))
  return record


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

  if not options.paths:
    if options.json:
      json.dump([EntryRecord(e) for e in sorted(entries, key=lambda e: e.mountpoint)],
                sys.stdout, indent=2, sort_keys=True)
      sys.stdout.write("\n")
    else:
      PrintTable(entries, sys.stdout)
    return EXIT_OK

  status = EXIT_OK
  records = []
  for path in options.paths:
    try:
      records.append(DescribePath(service, path))
    except EnvironmentError as error:
      reason = error.strerror or os.strerror(error.errno or errno.EIO)
      sys.stderr.write("volinfo: %s: %s\n" % (path, reason))
      status = EXIT_PATH_ERROR
  if options.json:
    json.dump(records, sys.stdout, indent=2, sort_keys=True)
    sys.stdout.write("\n")
  else:
    for record in records:
      if "mountpoint" in record:
        where = "%s (%s, %s)" % (Text(record["mountpoint"]), record["filesystem"],
                                 record["volume_id"])
      else:
        where = "%s (not in the volume table)" % record["volume_id"]
      sys.stdout.write("%s: %s, %s\n" % (Text(record["path"]), where,
                                         "FAT" if record["is_fat"] else "not FAT"))
  return status


if __name__ == "__main__":
  sys.exit(Main(sys.argv[1:]))
