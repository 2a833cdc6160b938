// Which mount a path or an open descriptor lands on, as the kernel says it:
// statx's mount ID for paths, /proc's fdinfo for descriptors. These tell a
// mount apart from another one that covers its mount point.
//
// This file uses the kernel's statx structure (the C library's lacks the
// mount ID), so it includes no <sys/stat.h>.
#include <fcntl.h>
#include <linux/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "caller_view.h"
#include "mount_identity.h"

namespace k32l {

PathIdentity identify_path(const std::string& path) {
  PathIdentity id;
  struct statx sx {};
  // No automount: an autofs trigger is reported as itself, not mounted.
  if (::syscall(SYS_statx, AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT,
                STATX_TYPE | STATX_MODE | STATX_MNT_ID, &sx) != 0) {
    id.error = errno;
    return id;
  }
  id.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  id.is_directory = (sx.stx_mode & S_IFMT) == S_IFDIR;
  id.mount_known = (sx.stx_mask & STATX_MNT_ID) != 0;
  id.mount_id = sx.stx_mnt_id;
  return id;
}

std::optional<std::uint64_t> descriptor_mount_id(int fd) {
  // fdinfo comes from the process's file table: reading it never waits on
  // the file system that holds the file.
  std::ifstream in(descriptor_info_path(fd));
  std::string key;
  while (in >> key) {
    if (key == "mnt_id:") {
      std::uint64_t id = 0;
      if (in >> id) return id;
      return std::nullopt;
    }
    std::string rest;
    std::getline(in, rest);
  }
  return std::nullopt;
}

}  // namespace k32l
