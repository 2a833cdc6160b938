# -*- coding: utf-8 -*-
"""windows.volumes over this machine's real volumes: file systems mounted by
the tests, seen through the table, the volume IDs of stat results and the
FAT test."""

import os
import sys
import unittest

import windows.volumes as volumes
from common import volume_entry
from real_volumes import MissingPrerequisite, MountingTestCase, Run, Text


class _OpenFile(object):
  """What IsFAT reads: `handle` holds an open descriptor."""

  def __init__(self, path):
    self.handle = os.open(path, os.O_RDONLY)

  def close(self):
    os.close(self.handle)


class RealVolumesTest(MountingTestCase):

  def setUp(self):
    MountingTestCase.setUp(self)
    self.service = volumes.VolumeInfo.__wrapped__()

  def EntryHolding(self, path):
    """Refreshes the table and returns the entry of the volume holding path."""
    table = self.service.AllVolumeEntries(True)
    volume_id = volumes.FindVolumeID(os.stat(path))
    self.assertIn(volume_id, table, "%s (%s) not in the table" % (path, volume_id))
    self.assertIs(self.service.GetVolumeEntryForVolumeID(volume_id), table[volume_id])
    return table[volume_id]

  def IsFAT(self, path):
    opened = _OpenFile(path)
    try:
      return volumes.IsFAT(os.stat(path).st_dev, opened)
    finally:
      opened.close()

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testTmpfsIsARamDiskOfItsSize(self):
    target = self.sandbox.Mount(self.sandbox.Path("ram"), "-t", "tmpfs", "-o", "size=8m",
                                "tmpfs")
    entry = self.EntryHolding(target)
    self.assertEqual(entry.mountpoint, Text(target))
    self.assertIs(entry.device_type, volume_entry.DeviceType.RAM)
    self.assertEqual((entry.filesystem, entry.size), ("tmpfs", 8 << 20))
    self.assertIsInstance(entry.size, int if sys.version_info[0] >= 3 else long)  # noqa: F821
    self.assertFalse(self.IsFAT(target))

  @unittest.skipIf(MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True),
                   MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True))
  def testExt4ImageIsAFixedDriveNamedByItsUuid(self):
    uuid = "4a7e0c1d-52b3-4f8e-9d61-0c2f7b1e9a35"
    device = self.sandbox.LoopImage(16, "mkfs.ext4", "-q", "-F", "-L", "scratch", "-U", uuid)
    target = self.sandbox.Mount(self.sandbox.Path("ext4"), device)
    entry = self.EntryHolding(target)
    self.assertEqual(entry.uuid, uuid)
    self.assertEqual(entry.device_file, u"\\\\?\\Volume{%s}\\" % uuid)
    self.assertEqual((entry.label, entry.filesystem), (u"scratch", "ext4"))
    self.assertIs(entry.device_type, volume_entry.DeviceType.INTERNAL)
    self.assertEqual(volumes.GetVolumeInformation(Text(target))[0], u"scratch")

  @unittest.skipIf(MissingPrerequisite(["mkfs.exfat", "mount.exfat-fuse", "losetup"],
                                       loop=True, fuse=True),
                   MissingPrerequisite(["mkfs.exfat", "mount.exfat-fuse", "losetup"],
                                       loop=True, fuse=True))
  def testExfatThroughFuseIsFat(self):
    device = self.sandbox.LoopImage(16, "mkfs.exfat", "-L", "CARD")
    target = self.sandbox.MountWith(self.sandbox.Path("card"), "mount.exfat-fuse", device)
    inside = os.path.join(target, "photo.jpg")
    with open(inside, "wb") as handle:
      handle.write(b"jpeg")
    entry = self.EntryHolding(inside)
    self.assertEqual((entry.filesystem, entry.label), ("exfat", u"CARD"))
    self.assertTrue(self.IsFAT(inside))

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testBindMountIsOneVolumeMountedAtItsShortestPath(self):
    long_target = self.sandbox.Path("a-rather-long-directory-name", "and-deeper")
    self.sandbox.Mount(long_target, "-t", "tmpfs", "-o", "size=1m", "tmpfs")
    short_target = self.sandbox.Mount(self.sandbox.Path("b"), "--bind", long_target)
    entry = self.EntryHolding(short_target)
    self.assertEqual(entry.mountpoint, Text(short_target))
    same = [e for e in self.service.AllVolumeEntries().values()
            if e.device_file == entry.device_file]
    self.assertEqual(same, [entry])
    self.assertEqual(
        volumes._GetVolumePathNamesForVolumeName(entry.device_file),
        [Text(long_target), Text(short_target)])

  @unittest.skipIf(MissingPrerequisite(["mkfs.btrfs", "btrfs", "losetup"], loop=True),
                   MissingPrerequisite(["mkfs.btrfs", "btrfs", "losetup"], loop=True))
  def testBtrfsSubvolumeMountedBesideItsParentIsAVolumeOfItsOwn(self):
    device = self.sandbox.LoopImage(128, "mkfs.btrfs", "-q", "-f")
    top = self.sandbox.Mount(self.sandbox.Path("btrfs"), "-t", "btrfs", device)
    Run("btrfs", "-q", "subvolume", "create", os.path.join(top, "sub"))
    sub = self.sandbox.Mount(self.sandbox.Path("sub"), "-t", "btrfs", "-o", "subvol=sub", device)
    inside = os.path.join(sub, "file")
    open(inside, "wb").close()
    parent, child = self.EntryHolding(top), self.EntryHolding(inside)
    self.assertEqual((parent.mountpoint, child.mountpoint),
                     (Text(top), Text(sub)))
    self.assertNotEqual(parent.device_file, child.device_file)
    self.assertNotEqual(parent.volume, child.volume)
    for entry in (parent, child):
      self.assertEqual(volumes._GetVolumePathNamesForVolumeName(entry.device_file),
                       [entry.mountpoint])
      self.assertEqual(volumes.GetVolumeInformation(entry.device_file)[1], entry.device_number)
    # The file reached through the parent's mount is still the subvolume's.
    self.assertEqual(volumes.FindVolumeID(os.stat(os.path.join(top, "sub", "file"))),
                     child.volume)

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testMountPointWithSpaceAndNonAsciiLetters(self):
    target = self.sandbox.Mount(self.sandbox.Path("Fotos von Jürgen"), "-t", "tmpfs",
                                "-o", "size=1m", "tmpfs")
    entry = self.EntryHolding(target)
    self.assertEqual(entry.mountpoint, Text(target))
    self.assertIn(u"J\xfcrgen", entry.mountpoint)

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testUnmountedVolumeLeavesTheTableAndTheFatCache(self):
    target = self.sandbox.Mount(self.sandbox.Path("gone"), "-t", "tmpfs", "-o", "size=1m",
                                "tmpfs")
    entry = self.EntryHolding(target)
    serial = entry.device_number
    self.assertFalse(self.IsFAT(target))
    self.assertFalse(volumes.IsFAT(serial, None))  # answered from the cache
    self.sandbox.Unmount(target)
    table = self.service.AllVolumeEntries(True)
    self.assertNotIn(entry.volume, table)
    # The rebuild emptied the cache: the handle is needed again.
    self.assertRaises(AttributeError, volumes.IsFAT, serial, None)


if __name__ == "__main__":
  unittest.main()
