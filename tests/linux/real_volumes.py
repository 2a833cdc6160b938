"""Mounting what the end-to-end tests need, and undoing it however they end."""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

PY3 = sys.version_info[0] >= 3


def NativeText(data):
  """A program's output as the native str: its bytes in 2.7; in Python 3
  the text they decode to as UTF-8, bytes that are not UTF-8 kept as
  surrogate escapes (as Python 3 decodes file names)."""
  return data.decode("utf-8", "surrogateescape") if PY3 else data


def Text(path):
  """The text of a path given as the native str (2.7: UTF-8 bytes), as the
  module reports mount points."""
  return path if PY3 else path.decode("utf-8")


def Run(*command):
  """Runs a command; raises CalledProcessError with its output on failure.
  The output is the native str."""
  process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
  output, _ = process.communicate()
  output = NativeText(output)
  if process.returncode != 0:
    raise subprocess.CalledProcessError(process.returncode, " ".join(command), output)
  return output


def MissingPrerequisite(tools=(), loop=False, fuse=False):
  """Why the tests cannot mount here, or None."""
  if os.geteuid() != 0:
    return "needs root to mount file systems"
  if loop and not os.path.exists("/dev/loop-control"):
    return "needs loop devices (/dev/loop-control is missing)"
  if fuse and not os.path.exists("/dev/fuse"):
    return "needs FUSE (/dev/fuse is missing)"
  for tool in tools:
    if not any(os.access(os.path.join(d, tool), os.X_OK)
               for d in os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin").split(":")
               + ["/sbin", "/usr/sbin"]):
      return "needs %s" % tool
  return None


def RootIsAMountPoint():
  """Whether "/" is a mount point of this process's mount table. In a plain
  chroot it is not: "/" is a directory inside a mount of the host, which the
  table does not list. (os.path.ismount("/") is always True.)"""
  with open("/proc/self/mountinfo") as mountinfo:
    return any(line.split()[4] == "/" for line in mountinfo)


ROOT_IS_NO_MOUNT_POINT = (None if RootIsAMountPoint()
                          else "needs / to be a mount point (here it is not: a chroot?)")


_CLONE_NEWNS = 0x00020000


def EnterPrivateMountNamespace():
  """Moves this process into a mount namespace of its own, whose mounts no
  other process sees; why it could not, or None."""
  if os.geteuid() != 0:
    return "needs root to mount file systems"
  if not RootIsAMountPoint():
    # The mount that holds "/" is then out of reach: its propagation cannot
    # be made private, and the tests' mounts would reach other processes.
    return "needs / to be a mount point, to keep its mounts private (here it is not: a chroot?)"
  libc = ctypes.CDLL(None, use_errno=True)
  if libc.unshare(_CLONE_NEWNS) != 0:
    return "unshare(CLONE_NEWNS) failed: %s" % os.strerror(ctypes.get_errno())
  Run("mount", "--make-rprivate", "/")
  return None


class MountSandbox(object):
  """A temporary directory to mount into; Close() unmounts (lazily, so that
  a busy mount cannot block it), detaches loop devices and removes files,
  in the reverse order of their creation."""

  def __init__(self):
    self.root = tempfile.mkdtemp(prefix="volumes-e2e-")
    self._undo = []

  def Path(self, *parts):
    path = os.path.join(self.root, *parts)
    if not os.path.isdir(path):
      os.makedirs(path)
    return path

  def Mount(self, target, *arguments):
    Run("mount", *(arguments + (target,)))
    self._undo.append(lambda: Run("umount", "-l", target))
    return target

  def MountWith(self, target, *command):
    """Mounts by a helper program: `command + (target,)`."""
    Run(*(command + (target,)))
    self._undo.append(lambda: Run("umount", "-l", target))
    return target

  def Unmount(self, target):
    Run("umount", target)

  def LoopImage(self, size_mb, *mkfs):
    """A file of size_mb MiB formatted by `mkfs + (image,)`, on a loop device."""
    image = os.path.join(self.root, "image-%d" % len(self._undo))
    with open(image, "wb") as handle:
      handle.truncate(size_mb << 20)
    Run(*(mkfs + (image,)))
    device = Run("losetup", "-f", "--show", image).strip()
    self._undo.append(lambda: Run("losetup", "-d", device))
    return device

  def Close(self):
    while self._undo:
      undo = self._undo.pop()
      try:
        undo()
      except (subprocess.CalledProcessError, OSError):
        pass  # already gone
    shutil.rmtree(self.root, ignore_errors=True)


class MountingTestCase(unittest.TestCase):
  """A test case with a sandbox that is always cleaned up."""

  def setUp(self):
    self.sandbox = MountSandbox()
    self.addCleanup(self.sandbox.Close)
