"""The hot paths of windows.volumes written in plain Python (2.7 or 3), for the
benchmarks only: the yardstick the native module is measured against.

Every name is a module global looked up at each use, volume IDs are
intern("serial:%s" % serial), the FAT answers live in a dict, and the table
is read through dict.get and dict.copy, as a Python implementation of the
same behaviour would do it.
"""

import logging
import sys

import windows.volumes as _native

try:
  _intern = intern  # a built-in in 2.7
except NameError:
  _intern = sys.intern

LOGGER = logging.getLogger("bench.purepy_volumes")
FAT_FILESYSTEMS = frozenset(["fat32", "exfat"])
IS_FAT_CACHE = {}


def _VolumeIDFromSerialNumber(serial_number):
  return _intern("serial:%s" % serial_number)


def FindVolumeID(stat_result):
  return _VolumeIDFromSerialNumber(stat_result.st_dev)


def _QueryFileSystemName(handle):
  return _native.GetVolumeInformationByHandle(handle.handle)[4]


def IsFAT(serial_number, handle):
  volume_id = _VolumeIDFromSerialNumber(serial_number)
  cached = IS_FAT_CACHE.get(volume_id)
  if cached is not None:
    return cached
  try:
    filesystem = _QueryFileSystemName(handle)
  except WindowsError:
    LOGGER.exception("WindowsError")
    return False
  is_fat = filesystem.lower() in FAT_FILESYSTEMS
  IS_FAT_CACHE[volume_id] = is_fat
  return is_fat


class VolumeInfo(object):
  """The read side of the service; the table is loaded from a copy of the
  native module's table (the rebuild itself is measured separately)."""

  def __init__(self, entries):
    self._volume_ids = {}
    self._volume_entries = dict(entries)

  def _PopulateVolumeTable(self, current_volume_ids):
    raise AssertionError("the benchmark never rebuilds the pure-Python table")

  def AllVolumeEntries(self, force_update=False):
    if not self._volume_entries or force_update:
      self._PopulateVolumeTable(self._volume_ids)
    return self._volume_entries.copy()

  def GetVolumeEntryForVolumeID(self, volume_id):
    return self._volume_entries.get(volume_id)
