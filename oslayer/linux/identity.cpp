// Identity of mounts, devices, volumes and descriptors' files.
#include "identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>

#include "raii.h"
#include "text.h"

namespace k32l {

namespace {

std::string hex_suffix(std::uint64_t dev) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "-%016llx", static_cast<unsigned long long>(dev));
  return buf;
}

// The standing of a mount whose target statx saw: on this very mount.
Standing verified_standing(const PathIdentity& seen) {
  Standing s;
  s.listed = s.verified = true;
  s.dev = seen.dev;
  s.is_file = !seen.is_directory;
  return s;
}

}  // namespace

DeviceNode find_device(const std::string& source, std::uint64_t devno) {
  DeviceNode node;
  struct stat src {};
  if (!source.empty() && source.front() == '/' && ::stat(source.c_str(), &src) == 0 &&
      S_ISBLK(src.st_mode)) {
    node.path = source;
    node.rdev = src.st_rdev;
  } else if (major(devno) != 0) {
    node.rdev = devno;
    MallocString name(blkid_devno_to_devname(static_cast<dev_t>(devno)));
    if (name) node.path = name.get();
  }
  return node;
}

Standing standing_of(const MountEntry& e, const PathIdentity* seen, bool last_at_target) {
  Standing s;
  s.dev = e.devno;
  if (seen && seen->error == 0 && seen->mount_known) {
    // The kernel says which mount the path reaches: only that one is visible
    // there, whatever the order of the table (a mount may be placed beneath
    // another, or its mount point covered by a mount on a parent).
    return seen->mount_id == e.id ? verified_standing(*seen) : s;
  }
  // A root that statx reports missing lies under a later mount: hidden.
  if (seen && (seen->error == ENOENT || seen->error == ENOTDIR)) return s;
  // No answer in time (or no mount ID from this kernel): the last mount on
  // a target is the visible one there.
  if (seen && seen->error == 0 && last_at_target) return verified_standing(*seen);
  s.listed = last_at_target;
  return s;
}

std::string volume_id(std::string_view uuid, std::uint64_t dev, std::uint64_t table_devno,
                      const std::function<bool(std::string_view)>& taken) {
  std::string id;
  if (is_valid_volume_id(uuid)) {
    id = uuid;
    if (dev != table_devno) id += hex_suffix(dev);
  } else {
    id = device_volume_id(dev);
  }
  if (taken(id)) id += hex_suffix(dev);
  return id;
}

Outcome<std::uint64_t> mount_of_descriptor(int fd) {
  const auto mount_id = descriptor_mount_id(fd);
  if (mount_id) return {ERROR_SUCCESS, *mount_id};
  if (::fcntl(fd, F_GETFD) < 0) return failed<std::uint64_t>(ERROR_INVALID_HANDLE);
  return failed<std::uint64_t>(ERROR_UNRECOGNIZED_VOLUME);
}

}  // namespace k32l
