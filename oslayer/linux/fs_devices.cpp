// The devices btrfs reports: its ID from the file system (BTRFS_IOC_FS_INFO,
// which any user may ask), then /sys/fs/btrfs/<ID>/devices/*/dev.
#include "fs_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <string>

#include "raii.h"

namespace k32l {

namespace {

// "M:m" as sysfs writes a device number; false for other text.
bool parse_devno(const char* text, std::uint64_t& devno) {
  unsigned int major_number = 0, minor_number = 0;
  if (std::sscanf(text, "%u:%u", &major_number, &minor_number) != 2) return false;
  devno = makedev(major_number, minor_number);
  return true;
}

// The number in file `name` (under directory `dir`) holding "M:m".
bool read_devno(int dir, const std::string& name, std::uint64_t& devno) {
  UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return false;
  char text[32] = {};
  const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
  return n > 0 && parse_devno(text, devno);
}

// The sysfs name of a btrfs file system: its ID as a UUID in lower case.
std::string btrfs_sysfs_name(const unsigned char (&fsid)[BTRFS_FSID_SIZE]) {
  std::string name;
  char byte[3];
  for (int i = 0; i < BTRFS_FSID_SIZE; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name += '-';
    std::snprintf(byte, sizeof byte, "%02x", fsid[i]);
    name += byte;
  }
  return name;
}

}  // namespace

std::vector<std::uint64_t> reported_devices(int fd) {
  std::vector<std::uint64_t> devices;
  // The type by the file system's own magic number: the ioctl below is
  // btrfs's, and means something else (or nothing) elsewhere.
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0 || static_cast<unsigned long>(fs.f_type) != BTRFS_SUPER_MAGIC)
    return devices;
  btrfs_ioctl_fs_info_args info{};
  if (::ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0) return devices;
  const std::string listed = "/sys/fs/btrfs/" + btrfs_sysfs_name(info.fsid) + "/devices";
  const Directory dir(::opendir(listed.c_str()));
  if (!dir) return devices;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    std::uint64_t devno = 0;
    if (name != "." && name != ".." && read_devno(::dirfd(dir.get()), name + "/dev", devno))
      devices.push_back(devno);
  }
  return devices;
}

}  // namespace k32l
