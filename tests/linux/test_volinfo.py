# -*- coding: utf-8 -*-
"""The volinfo command, run as a user runs it."""

import errno
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unicodedata
import unittest

from real_volumes import (PY3, MissingPrerequisite, MountingTestCase, NativeText,
                          ROOT_IS_NO_MOUNT_POINT, Text)
import windows.volumes as volumes  # only to find the module tree

VOLINFO = os.path.join(os.environ.get("VOLUMES_SOURCE_DIR",
                                      os.path.join(os.path.dirname(__file__), "..", "..")),
                       "tools", "volinfo.py")
ENTRY_KEYS = {"volume_id", "mountpoint", "device", "label", "filesystem", "drive_type", "size",
              "uuid", "uuid_source"}
# The whole of a volume name as the system gives it (\\?\Volume{...}\).
VOLUME_GUID_NAME = r"^\\\\\?\\Volume\{[^{}\\]+\}\\$"


def Volinfo(*arguments, **options):
  """(exit status, stdout, stderr) of one volinfo run, given up after 30 s
  (a volinfo that blocks fails the test instead of hanging it). `stdout`
  replaces the captured output; `preexec_fn` runs in the child; `program`
  and `env` replace the command and its environment."""
  stdout = options.get("stdout", subprocess.PIPE)
  with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
    process = subprocess.Popen([sys.executable, "-B", options.get("program", VOLINFO)]
                               + list(arguments),
                               stdout=out if stdout is subprocess.PIPE else stdout, stderr=err,
                               preexec_fn=options.get("preexec_fn"), env=options.get("env"))
    deadline = time.time() + 30
    while process.poll() is None and time.time() < deadline:
      time.sleep(0.05)
    if process.poll() is None:
      process.kill()
      process.wait()
      raise AssertionError("volinfo %s did not end in 30 s" % " ".join(arguments))
    out.seek(0)
    err.seek(0)
    return process.returncode, NativeText(out.read()), NativeText(err.read())


def Unescaped(shown):
  """The native str that volinfo's \\xHH escapes in `shown` stand for."""
  data = shown.encode("utf-8", "surrogateescape") if PY3 else shown
  data = re.sub(br"\\x([0-9a-f]{2})", lambda match: bytes(bytearray([int(match.group(1), 16)])),
                data)
  return NativeText(data)


def TableMountPoints():
  """The mount points of volinfo --json."""
  status, out, _ = Volinfo("--json")
  assert status == 0, status
  return [record["mountpoint"] for record in json.loads(out)]

# Where a cell of the table starts: at the start of its line, or after the
# two spaces that end the cell before it (a cell holds single spaces only).
CELL_START = re.compile(r"(?:^|(?<=  ))\S")
# "e" with a combining acute accent (U+0301): two characters, one column.
COMBINED_E = NativeText(b"e\xcc\x81")


def CellColumns(line):
  """The terminal columns at which the cells of a table line start, for a
  line whose only non-ASCII characters are combining marks (which take no
  column)."""
  text = line if PY3 else line.decode("utf-8")
  columns = []
  for match in CELL_START.finditer(text):
    before = text[:match.start()]
    marks = sum(1 for character in before if unicodedata.combining(character))
    assert all(ord(c) < 0x80 or unicodedata.combining(c) for c in before), line
    columns.append(len(before) - marks)
  return columns


def CommandLineOf(pid):
  """The command line of process `pid` (None once it has ended)."""
  try:
    with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
      return cmdline.read()
  except EnvironmentError:
    return None


def WaitChannelOf(pid):
  """Where in the kernel process `pid` sleeps ("pipe_write", or on newer
  kernels "anon_pipe_write", for a write to a full pipe); "0" when it runs;
  None where the kernel does not tell (or the process ended)."""
  try:
    with open("/proc/%d/wchan" % pid) as wchan:
      return wchan.read() or None
  except EnvironmentError:
    return None


def ChildrenOf(pid):
  """The process IDs whose parent is `pid`."""
  children = []
  for entry in os.listdir("/proc"):
    if not entry.isdigit():
      continue
    try:
      with open("/proc/%s/stat" % entry) as stat_file:
        fields = stat_file.read().rsplit(")", 1)[1].split()  # state, ppid, ...
    except EnvironmentError:
      continue  # it ended meanwhile
    if int(fields[1]) == pid:
      children.append(int(entry))
  return children


def FullPipe():
  """(reader, writer) of a pipe that holds all it can: a write to it blocks
  until the reader takes something."""
  reader, writer = os.pipe()
  flags = fcntl.fcntl(writer, fcntl.F_GETFL)
  fcntl.fcntl(writer, fcntl.F_SETFL, flags | os.O_NONBLOCK)
  try:
    while True:
      os.write(writer, b"x" * 4096)
  except EnvironmentError as error:
    if error.errno != errno.EAGAIN:
      raise
  try:
    os.write(writer, b"x")  # what was left of the last page
  except EnvironmentError as error:
    if error.errno != errno.EAGAIN:
      raise
  fcntl.fcntl(writer, fcntl.F_SETFL, flags)
  return reader, writer


class VolinfoTest(MountingTestCase):

  @unittest.skipIf(ROOT_IS_NO_MOUNT_POINT, ROOT_IS_NO_MOUNT_POINT)
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
    self.assertEqual(set(volumes[0]), ENTRY_KEYS)
    # Written the same way under either interpreter: 2.7's separators with an
    # indent, ", " closing every line of a record but its last.
    self.assertEqual(["[", "  {", '    "device": %s, ' % json.dumps(volumes[0]["device"])],
                     out.splitlines()[:3])
    # A mount point of the table, whatever this machine mounts (where "/"
    # is no mount point, as in a chroot, it is not in the table).
    place = volumes[0]["mountpoint"].encode("utf-8")
    status, out, _ = Volinfo("--json", place)
    self.assertEqual(status, 0)
    (record,) = json.loads(out)
    self.assertEqual((record["path"], record["mountpoint"], record["volume_id"]),
                     (volumes[0]["mountpoint"], volumes[0]["mountpoint"],
                      volumes[0]["volume_id"]))

  def testJsonRecordsOfPathsAlwaysHaveTheSameKeys(self):
    # /proc is no volume (a pseudo file system): its volume keys are null.
    status, out, _ = Volinfo("--json", "/proc", TableMountPoints()[0].encode("utf-8"))
    self.assertEqual(status, 0)
    outside, inside = json.loads(out)
    self.assertEqual(set(outside), ENTRY_KEYS | {"path", "is_fat"})
    self.assertEqual(set(inside), set(outside))
    self.assertEqual(outside["volume_id"], "serial:%d" % os.stat("/proc").st_dev)
    self.assertEqual([outside[key] for key in sorted(ENTRY_KEYS - {"volume_id"})],
                     [None] * (len(ENTRY_KEYS) - 1))
    self.assertIsNotNone(inside["mountpoint"])

  def testJsonDeviceIsTheVolumesGuidName(self):
    status, out, _ = Volinfo("--json")
    self.assertEqual(status, 0)
    records = json.loads(out)
    # assertRegex in 3 (3.12 dropped 2.7's name for it).
    matches = getattr(self, "assertRegex", None) or self.assertRegexpMatches
    for record in records:
      matches(record["device"], VOLUME_GUID_NAME)
    # The name the system resolves back to the record's mount point, and
    # the same for a path on that volume.
    first = records[0]
    self.assertIn(first["mountpoint"], volumes._GetVolumePathNamesForVolumeName(first["device"]))
    status, out, _ = Volinfo("--json", first["mountpoint"].encode("utf-8"))
    self.assertEqual(status, 0)
    (record,) = json.loads(out)
    self.assertEqual(record["device"], first["device"])

  @unittest.skipIf(MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True),
                   MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True))
  def testJsonDeviceOfAFileSystemWithAUuidIsNamedByIt(self):
    uuid = "9b3d6f20-7c41-4e8a-b5d2-31e07a6c94f8"
    device = self.sandbox.LoopImage(8, "mkfs.ext4", "-q", "-F", "-U", uuid)
    target = self.sandbox.Mount(self.sandbox.Path("named"), device)
    name = u"\\\\?\\Volume{%s}\\" % uuid
    status, out, _ = Volinfo("--json")
    self.assertEqual(status, 0)
    self.assertEqual([r["device"] for r in json.loads(out) if r["mountpoint"] == target],
                     [name])
    status, out, _ = Volinfo("--json", target)
    self.assertEqual(status, 0)
    self.assertEqual([(r["device"], r["uuid"], r["uuid_source"]) for r in json.loads(out)],
                     [(name, uuid, "file system")])
    status, out, _ = Volinfo()
    self.assertEqual([line.split()[-1] for line in out.splitlines() if target in line], [uuid])

  def testMissingPathIsAnErrorMessageNotATraceback(self):
    status, out, err = Volinfo("/", "/no/such/path")
    self.assertEqual(status, 1)
    self.assertEqual(err, "volinfo: /no/such/path: No such file or directory\n")
    self.assertTrue(out.startswith("/: "), out)
    self.assertEqual(len(out.splitlines()), 1, out)
    self.assertIn("not FAT", out)

  def testMessagesAreUtf8WhateverTheStreamEncoding(self):
    # As the output is: a stream encoding that is not UTF-8 (a locale's,
    # PYTHONIOENCODING) changes no byte of a message about a path.
    missing = NativeText(b"/no/\xc3\xa9t\xc3\xa9/\xe6\x97\xa5")
    status, _, err = Volinfo(missing, env=dict(os.environ, PYTHONIOENCODING="latin-1"))
    self.assertEqual((status, err), (1, "volinfo: %s: No such file or directory\n" % missing))

  def testFifosSocketsDevicesAndUnreadableFilesArePlacedWithoutOpeningThem(self):
    directory = self.sandbox.Path("nodes")
    os.chmod(self.sandbox.root, 0o755)
    os.chmod(directory, 0o755)
    fifo = os.path.join(directory, "fifo")  # opening it for reading waits for a writer
    os.mkfifo(fifo)
    sock = os.path.join(directory, "socket")  # open() of a socket fails
    listener = socket.socket(socket.AF_UNIX)
    self.addCleanup(listener.close)
    listener.bind(sock)
    secret = os.path.join(directory, "secret")
    with open(secret, "wb") as handle:
      handle.write(b"x")
    os.chmod(secret, 0)
    paths = [fifo, sock]
    if os.geteuid() == 0:
      # A device with no driver behind it: opening it fails with ENXIO, so
      # an open at all shows as an error.
      device = os.path.join(directory, "device")
      try:
        os.mknod(device, 0o600 | stat.S_IFCHR, os.makedev(240, 77))
        paths.append(device)
      except OSError as error:
        if error.errno not in (errno.EPERM, errno.EACCES):
          raise
    status, out, err = Volinfo("--json", *paths)
    self.assertEqual((status, err), (0, ""))
    expected = "serial:%d" % os.stat(directory).st_dev
    self.assertEqual([(r["path"], r["volume_id"]) for r in json.loads(out)],
                     [(Text(p), expected) for p in paths])
    if os.geteuid() == 0:
      # A file the caller may stat but not read: root may read anything, so
      # the command runs as nobody, from copies of the command and the
      # module tree that nobody may read (the checkout may be in /root).
      tree = os.path.dirname(os.path.dirname(os.path.abspath(volumes.__file__)))
      copies = self.sandbox.Path("copies")
      os.chmod(copies, 0o755)
      shutil.copytree(tree, os.path.join(copies, "tree"))
      shutil.copy(VOLINFO, os.path.join(copies, "volinfo.py"))
      def AsNobody():
        os.setgid(65534)
        os.setuid(65534)
      status, out, err = Volinfo(secret, preexec_fn=AsNobody,
                                 program=os.path.join(copies, "volinfo.py"),
                                 env=dict(os.environ, PYTHONPATH=os.path.join(copies, "tree")))
      self.assertEqual((status, err), (0, ""))
      self.assertTrue(out.startswith(secret + ": "), out)

  _EXFAT = MissingPrerequisite(["mkfs.exfat", "mount.exfat-fuse", "losetup"], loop=True, fuse=True)

  @unittest.skipIf(_EXFAT, _EXFAT)
  def testAFileOnAFatVolumeIsFatThroughItsPathHandle(self):
    # The provider answers IsFAT by an O_PATH descriptor as by an open one.
    device = self.sandbox.LoopImage(16, "mkfs.exfat", "-L", "CARD")
    target = self.sandbox.MountWith(self.sandbox.Path("card"), "mount.exfat-fuse", device)
    photo = os.path.join(target, "photo.jpg")
    with open(photo, "wb") as handle:
      handle.write(b"jpeg")
    status, out, err = Volinfo("--json", photo, target)
    self.assertEqual((status, err), (0, ""))
    self.assertEqual([(r["mountpoint"], r["filesystem"], r["is_fat"]) for r in json.loads(out)],
                     [(Text(target), "exfat", True)] * 2)

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testControlCharactersInMountPointsAreEscapedAsFindmntDoes(self):
    name = NativeText(b"new\nline \x1b[31mred\x1b[0m back\\slash \xe2\x80\xaeevil \xc3\xa9t\xc3\xa9")
    target = self.sandbox.Mount(self.sandbox.Path(name), "-t", "tmpfs", "-o", "size=1m",
                                "tmpfs")
    status, out, _ = Volinfo()
    self.assertEqual(status, 0)
    self.assertNotIn("\x1b", out)
    self.assertNotIn(NativeText(b"\xe2\x80\xae"), out)
    shown = (os.path.dirname(target) +
             NativeText(b"/new\\x0aline \\x1b[31mred\\x1b[0m back\\x5cslash"
                        b" \\xe2\\x80\\xaeevil \xc3\xa9t\xc3\xa9"))
    rows = [line for line in out.splitlines() if shown in line]
    self.assertEqual(len(rows), 1, out)
    self.assertEqual(len(out.splitlines()), len(TableMountPoints()) + 1, "a row was forged")
    # The escapes read back to the mount point.
    self.assertEqual(Unescaped(shown), target)

  @unittest.skipIf(MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True),
                   MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True))
  def testEscapeSequencesInALabelDoNotReachTheTerminal(self):
    device = self.sandbox.LoopImage(8, "mkfs.ext4", "-q", "-L",
                                    NativeText(b"\x1b]0;t\x07\xc3\xa9"))
    target = self.sandbox.Mount(self.sandbox.Path("labelled"), device)
    status, out, _ = Volinfo()
    self.assertEqual(status, 0)
    (row,) = [line for line in out.splitlines() if target in line]
    self.assertIn(NativeText(b"  \\x1b]0;t\\x07\xc3\xa9  "), row)
    self.assertNotIn("\x1b", out)

  def AssertRowAlignedWithHeader(self, out, target):
    lines = out.splitlines()
    (row,) = [line for line in lines[1:] if (" %s " % target) in line]
    self.assertEqual(7, len(CellColumns(lines[0])), lines[0])
    self.assertEqual(CellColumns(lines[0]), CellColumns(row), out)

  @unittest.skipIf(MissingPrerequisite(), MissingPrerequisite())
  def testACombiningMarkInAMountPointTakesNoColumn(self):
    target = self.sandbox.Mount(self.sandbox.Path("caf" + COMBINED_E), "-t", "tmpfs", "-o",
                                "size=1m", "tmpfs")
    status, out, _ = Volinfo()
    self.assertEqual(status, 0)
    self.assertIn(target, out)  # printable: shown as it is, not escaped
    self.AssertRowAlignedWithHeader(out, target)

  @unittest.skipIf(MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True),
                   MissingPrerequisite(["mkfs.ext4", "losetup"], loop=True))
  def testACombiningMarkInALabelTakesNoColumn(self):
    label = "caf" + COMBINED_E + "s"
    device = self.sandbox.LoopImage(8, "mkfs.ext4", "-q", "-L", label)
    target = self.sandbox.Mount(self.sandbox.Path("marked-label"), device)
    status, out, _ = Volinfo()
    self.assertEqual(status, 0)
    self.assertIn("  %s  ext4" % label, out)
    self.AssertRowAlignedWithHeader(out, target)

  def testAPathIsShownEscapedOnOneLine(self):
    odd = os.path.join(self.sandbox.Path("names"), NativeText(b"a\nb\xff\\c"))
    open(odd, "w").close()
    status, out, err = Volinfo(odd)
    self.assertEqual((status, err), (0, ""))
    self.assertEqual(len(out.splitlines()), 1, out)
    self.assertTrue(out.startswith(os.path.dirname(odd) + "/a\\x0ab\\xff\\x5cc: "), out)

  def testAClosedPipeEndsItQuietlyBySigpipe(self):
    reader, writer = os.pipe()
    os.close(reader)
    try:
      status, _, err = Volinfo(stdout=writer)
    finally:
      os.close(writer)
    self.assertEqual((status, err), (-signal.SIGPIPE, ""))

  def testAWriteErrorIsOneLineWithItsOwnStatus(self):
    for arguments in (["--json"], ["--help"]):
      with open("/dev/full", "w") as full:
        status, _, err = Volinfo(*arguments, stdout=full)
      self.assertEqual((status, err), (4, "volinfo: write error: No space left on device\n"),
                       arguments)

  def testAWorkerKilledWithoutAWordEndsItByTheSameSignal(self):
    # The work is done by a forked child, which tells its status when it
    # ends; one that is killed first says nothing, and volinfo ends then by
    # the signal that killed it. Its log records on a full stderr hold the
    # child until it is killed.
    reader, writer = FullPipe()
    try:
      process = subprocess.Popen([sys.executable, "-B", VOLINFO, "-v"], stdout=subprocess.PIPE,
                                 stderr=writer)
      try:
        # The worker is a fork of volinfo, with its command line, held in a
        # write to the full pipe. A child that some library forks to run a
        # program has that command line too, until its exec: it is not the
        # worker, and killing it would leave the worker waiting for ever.
        def Workers():
          return [pid for pid in ChildrenOf(process.pid)
                  if CommandLineOf(pid) == CommandLineOf(process.pid)
                  and WaitChannelOf(pid) in ("pipe_write", "anon_pipe_write", None)]
        deadline = time.time() + 30
        workers = Workers()
        while not workers and time.time() < deadline:
          time.sleep(0.02)
          workers = Workers()
        (child,) = workers
        os.kill(child, signal.SIGTERM)
        while process.poll() is None and time.time() < deadline:
          time.sleep(0.02)
        self.assertEqual(process.poll(), -signal.SIGTERM)
        self.assertEqual(process.stdout.read(), b"")
      finally:
        if process.poll() is None:
          process.kill()
          process.wait()
        process.stdout.close()
    finally:
      os.close(reader)
      os.close(writer)

  def testClosedStandardDescriptors(self):
    # A closed stdout is a write error, also beside a closed stdin, whose
    # number the child's status pipe would otherwise take; a closed stderr
    # loses only what was said there.
    def Closing(*descriptors):
      return lambda: [os.close(descriptor) for descriptor in descriptors]
    for closed in ((1,), (0, 1)):
      status, out, err = Volinfo(preexec_fn=Closing(*closed))
      self.assertEqual((status, out, err), (4, "", "volinfo: write error: Bad file descriptor\n"),
                       closed)
    status, out, err = Volinfo("-v", preexec_fn=Closing(2))
    self.assertEqual((status, err), (0, ""))
    self.assertEqual(out.splitlines()[0].split()[:3], ["VOLUME", "ID", "MOUNT"])

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
    # tmpfs has no UUID: the GUID shown is made from its device number, and
    # says so, so that it is not taken for a file system's UUID.
    device = os.stat(target).st_dev
    made_up = "00000000-0000-0000-%04x-%012x" % (device >> 48, device & (2 ** 48 - 1))
    self.assertEqual(row[1:], [target, "-", "tmpfs", "RAM", "8.0M", made_up, "(from", "device",
                               "%d:%d)" % (os.major(device), os.minor(device))])
    status, out, _ = Volinfo("--json")
    self.assertEqual(status, 0)
    (record,) = [r for r in json.loads(out) if r["mountpoint"] == target]
    self.assertEqual((record["uuid"], record["uuid_source"]), (made_up, "device number"))


if __name__ == "__main__":
  unittest.main()
