# -*- coding: utf-8 -*-
"""windows.volumes over mounts set up the way a hostile user would: a FAT
volume covered by a tmpfs, a mount point ending in a backslash, a ".."
path, a bind of a single file, and a forked child that mounts. The whole
process runs in a mount namespace of its own, so no other process sees the
mounts."""

import os
import unittest

from real_volumes import EnterPrivateMountNamespace, MissingPrerequisite, MountingTestCase, Run, Text

_NO_NAMESPACE = EnterPrivateMountNamespace()

import windows.volumes as volumes  # pylint: disable=g-import-not-at-top


class _OpenFile(object):
  """What IsFAT reads: `handle` holds an open descriptor."""

  def __init__(self, path):
    self.handle = os.open(path, os.O_RDONLY)

  def close(self):
    os.close(self.handle)


def _Missing(**requirements):
  return _NO_NAMESPACE or MissingPrerequisite(**requirements)


class HostileMountsTest(MountingTestCase):

  def setUp(self):
    MountingTestCase.setUp(self)
    self.service = volumes.VolumeInfo.__wrapped__()

  def Tmpfs(self, *parts):
    return self.sandbox.Mount(self.sandbox.Path(*parts), "-t", "tmpfs", "-o", "size=1m",
                              "tmpfs")

  def EntryOf(self, path):
    table = self.service.AllVolumeEntries(True)
    return table.get(volumes.FindVolumeID(os.stat(path)))

  @unittest.skipIf(_Missing(tools=["mkfs.exfat", "mount.exfat-fuse", "losetup"], loop=True,
                            fuse=True),
                   _Missing(tools=["mkfs.exfat", "mount.exfat-fuse", "losetup"], loop=True,
                            fuse=True))
  def testAFatVolumeCoveredByATmpfsLendsItNothing(self):
    before = set(self.service.AllVolumeEntries(True))
    device = self.sandbox.LoopImage(16, "mkfs.exfat", "-L", "STICK")
    inner = self.sandbox.MountWith(self.sandbox.Path("x", "y"), "mount.exfat-fuse", device)
    exfat = self.EntryOf(inner)
    self.assertEqual((exfat.filesystem, exfat.label), ("exfat", u"STICK"))
    outer = self.Tmpfs("x")
    # Covered, the exFAT volume adds nothing to the table, whether its mount
    # point's path is missing on the tmpfs or is a directory there.
    for stage in ("path missing on the cover", "path present on the cover"):
      if stage.startswith("path present"):
        os.mkdir(inner)  # the same path, now on the tmpfs
        # A change of the mount table, so that it is read again.
        self.sandbox.Unmount(self.Tmpfs("poke"))
      table = self.service.AllVolumeEntries(True)
      self.assertEqual(before | set([volumes.FindVolumeID(os.stat(outer))]), set(table), stage)
      self.assertNotIn(exfat.device_file, volumes._ListVolumeNames(), stage)
    note = os.path.join(inner, "note")
    with open(note, "wb") as handle:
      handle.write(b"on the tmpfs")
    entry = self.EntryOf(note)
    self.assertIsNotNone(entry)
    self.assertEqual((entry.filesystem, entry.label, entry.mountpoint),
                     ("tmpfs", u"", Text(outer)))
    opened = _OpenFile(note)
    try:
      self.assertFalse(volumes.IsFAT(os.stat(note).st_dev, opened))
    finally:
      opened.close()

  @unittest.skipIf(_Missing(), _Missing())
  def testEveryMountPointIsAcceptedBackAsListed(self):
    target = self.Tmpfs("ends in \\")
    entry = self.EntryOf(target)
    self.assertEqual(entry.mountpoint, Text(target))
    for root in (entry.mountpoint, entry.mountpoint + u"\\"):
      self.assertEqual(volumes.GetVolumeInformation(root)[1], entry.device_number)
    for root in volumes._GetVolumePathNamesForVolumeName(entry.device_file):
      self.assertEqual(volumes.GetVolumeInformation(root)[1], entry.device_number)
    # ".." goes where the kernel's walk goes.
    self.assertEqual(volumes.GetVolumeInformation(u"/tmp/..")[1],
                     volumes.GetVolumeInformation(u"/")[1])
    # A directory that is no mount point is refused, with the system's text.
    inside = os.path.join(target, "inside")
    os.mkdir(inside)
    with self.assertRaises(WindowsError) as raised:
      volumes.GetVolumeInformation(Text(inside) + u"\\")
    self.assertEqual(raised.exception.winerror, 144)
    self.assertEqual(raised.exception.strerror,
                     "The directory is not a subdirectory of the root directory")

  @unittest.skipIf(_Missing(), _Missing())
  def testABindOfASingleFileIsNoMountPoint(self):
    whole = self.Tmpfs("whole")
    with open(os.path.join(whole, "hosts"), "wb") as handle:
      handle.write(b"127.0.0.1 localhost\n")
    bound = os.path.join(self.sandbox.root, "hosts")
    open(bound, "wb").close()
    self.sandbox.Mount(bound, "--bind", os.path.join(whole, "hosts"))
    entry = self.EntryOf(whole)
    self.assertEqual(entry.mountpoint, Text(whole))
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName(entry.device_file),
                     [Text(whole)])

  @unittest.skipIf(_Missing(), _Missing())
  def testAForkedChildAndItsParentEachSeeTheMountsMade(self):
    self.service.AllVolumeEntries(True)
    target = self.sandbox.Path("by-child")
    pid = os.fork()
    if pid == 0:
      status = 1
      try:
        Run("mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", target)
        if self.EntryOf(target) is not None:
          status = 0
      finally:
        os._exit(status)
    _, status = os.waitpid(pid, 0)
    self.addCleanup(lambda: Run("umount", "-l", target))
    self.assertEqual(status, 0, "the child missed its own mount")
    entry = self.EntryOf(target)
    self.assertIsNotNone(entry, "the parent missed the mount its child made")
    self.assertEqual(entry.mountpoint, Text(target))

  @unittest.skipIf(_Missing(), _Missing())
  def testEveryListedVolumeWithAMountPointIsInTheTable(self):
    # A mount point of four characters, covered in this namespace only: its
    # list ("/srv", NUL, NUL) is one unit longer than the module's first
    # buffer, so a provider that accepts one unit too little overruns that
    # buffer and the volume drops out of the table.
    short = [path for path in ("/srv", "/opt")
             if os.path.isdir(path) and not os.path.ismount(path)]
    if short:
      target = self.sandbox.Mount(short[0], "-t", "tmpfs", "-o", "size=1m", "tmpfs")
      entry = self.EntryOf(target)
      self.assertIsNotNone(entry, "the volume at %s is not in the table" % target)
      self.assertEqual(entry.mountpoint, Text(target))
    table = self.service.AllVolumeEntries(True)
    in_table = set(entry.device_file for entry in table.values())
    for name in volumes._ListVolumeNames():
      mount_points = volumes._GetVolumePathNamesForVolumeName(name)
      if mount_points:
        self.assertIn(name, in_table, "%s at %s is not in the table" % (name, mount_points))


if __name__ == "__main__":
  unittest.main()
