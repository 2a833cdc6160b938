"""The volinfo command, run as a user runs it."""

import json
import os
import subprocess
import sys
import unittest

from real_volumes import MissingPrerequisite, MountingTestCase

VOLINFO = os.path.join(os.environ.get("VOLUMES_SOURCE_DIR",
                                      os.path.join(os.path.dirname(__file__), "..", "..")),
                       "tools", "volinfo.py")


def Volinfo(*arguments):
  """(exit status, stdout, stderr) of one volinfo run."""
  process = subprocess.Popen([sys.executable, "-B", VOLINFO] + list(arguments),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
  out, err = process.communicate()
  return process.returncode, out, err


class VolinfoTest(MountingTestCase):

  def testTableListsTheRootVolume(self):
    status, out, err = Volinfo()
    self.assertEqual((status, err), (0, ""))
    lines = out.splitlines()
    self.assertEqual(lines[0].split()[:3], ["VOLUME", "ID", "MOUNT"])
    root_rows = [line for line in lines[1:] if line.split()[1] == "/"]
    self.assertEqual(len(root_rows), 1, out)
    self.assertEqual(root_rows[0].split()[0], "serial:%d" % os.stat("/").st_dev)

  def testJsonAndPathsForScripts(self):
    status, out, _ = Volinfo("--json")
    self.assertEqual(status, 0)
    volumes = json.loads(out)
    self.assertTrue(volumes)
    self.assertEqual(set(volumes[0]), {"volume_id", "mountpoint", "device", "label",
                                       "filesystem", "drive_type", "size", "uuid"})
    status, out, _ = Volinfo("--json", "/")
    self.assertEqual(status, 0)
    (record,) = json.loads(out)
    self.assertEqual((record["path"], record["mountpoint"], record["is_fat"]),
                     ("/", "/", False))

  def testMissingPathIsAnErrorMessageNotATraceback(self):
    status, out, err = Volinfo("/", "/no/such/path")
    self.assertEqual(status, 1)
    self.assertEqual(err, "volinfo: /no/such/path: No such file or directory\n")
    self.assertTrue(out.startswith("/: / ("), out)
    self.assertIn("not FAT", out)

  def testVerboseSendsTheModuleLogToStderr(self):
    status, _, err = Volinfo("-v")
    self.assertEqual(status, 0)
    self.assertIn("INFO windows.volumes: Refreshing volume information table.", err)

  def testBadOptionIsAUsageError(self):
    status, _, err = Volinfo("--no-such-option")
    self.assertEqual(status, 2)
    self.assertIn("usage: volinfo", err)

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testMountedRamDiskAppearsWithItsSize(self):
    target = self.sandbox.Mount(self.sandbox.Path("ram"), "-t", "tmpfs", "-o", "size=8m",
                                "tmpfs")
    status, out, _ = Volinfo()
    self.assertEqual(status, 0)
    (row,) = [line.split() for line in out.splitlines() if target in line]
    self.assertEqual(row[1:], [target, "-", "tmpfs", "RAM", "8.0M", row[-1]])


if __name__ == "__main__":
  unittest.main()
