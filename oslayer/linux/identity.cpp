// Identity of mounts, devices, volumes and descriptors' files.
#include "identity.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "errors.h"
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

// The kernel's FS_IOC_GETFSUUID (Linux 6.5): the UUID of a file system as
// its superblock holds it.
struct KernelFsUuid {
  std::uint8_t len;
  std::uint8_t uuid[16];
};
constexpr unsigned long kGetFsUuid = _IOR(0x15, 0, KernelFsUuid);

// The 16 bytes of a UUID written as hex digits (dashes anywhere); false for
// other text.
bool uuid_bytes(std::string_view text, std::uint8_t (&out)[16]) {
  std::size_t digits = 0;
  for (char c : text) {
    if (c == '-') continue;
    const int value = hex_digit_value(c);
    if (value < 0 || digits == 32) return false;
    std::uint8_t& byte = out[digits / 2];
    byte = static_cast<std::uint8_t>(digits % 2 ? (byte << 4) | value : value);
    ++digits;
  }
  return digits == 32;
}

}  // namespace

// ---- mounts -------------------------------------------------------------------------

void identify_mounts(std::vector<MountEntry>& entries) {
  const auto mounts = kernel_mounts();
  if (!mounts) return;
  using Key = std::tuple<std::uint64_t, std::uint64_t, std::string_view, std::string_view>;
  std::map<Key, const KernelMount*> described;
  for (const KernelMount& m : *mounts)
    described.emplace(Key{m.reusable_id, m.devno, m.root, m.target}, &m);
  for (MountEntry& e : entries) {
    const auto found = described.find(Key{e.id, e.devno, e.root, e.target});
    e.unique_id = found == described.end() ? 0 : found->second->unique_id;
    e.parent_unique_id = found == described.end() ? 0 : found->second->parent_unique_id;
  }
}

Outcome<std::vector<MountEntry>> read_identified_table(const char* path) {
  if (auto described = kernel_mount_table()) return {ERROR_SUCCESS, std::move(*described)};
  auto table = read_mount_table(path);
  if (table.ok()) identify_mounts(table.value);
  return table;
}

MountIdKind compared_by(const std::vector<MountEntry>& entries) {
  for (const MountEntry& e : entries)
    if (e.unique_id != 0) return MountIdKind::Unique;
  return MountIdKind::Reusable;
}

bool is_this_mount(const MountEntry& e, const PathIdentity& seen) {
  if (seen.mount_id_unique) return e.unique_id != 0 && e.unique_id == seen.mount_id;
  return e.id == seen.mount_id;
}

Standing standing_of(const MountEntry& e, const PathIdentity* seen, bool last_at_target) {
  Standing s;
  s.dev = e.devno;
  if (seen && seen->error == 0 && seen->mount_known) {
    // The kernel says which mount the path reaches: only that one is visible
    // there, whatever the order of the table (a mount may be placed beneath
    // another, or its mount point covered by a mount on a parent).
    return is_this_mount(e, *seen) ? verified_standing(*seen) : s;
  }
  // A root that statx reports missing lies under a later mount: hidden.
  // So does one whose walk no longer leads to its root (ESTALE).
  if (seen && (seen->error == ENOENT || seen->error == ENOTDIR || seen->error == ESTALE))
    return s;
  // No answer in time (or no mount ID from this kernel): the last mount on
  // a target is the visible one there.
  if (seen && seen->error == 0 && last_at_target) return verified_standing(*seen);
  s.listed = last_at_target;
  return s;
}

Outcome<std::uint64_t> mount_of_descriptor(int fd) {
  // statx of the descriptor needs no descriptor of its own (fdinfo does: a
  // process out of descriptors could not read it); fdinfo serves kernels
  // whose statx has no mount ID (before 5.8).
  auto mount_id = descriptor_mount(fd, MountIdKind::Reusable);
  if (!mount_id) mount_id = descriptor_mount_id(fd);
  if (mount_id) return {ERROR_SUCCESS, *mount_id};
  if (::fcntl(fd, F_GETFD) < 0) return failed<std::uint64_t>(ERROR_INVALID_HANDLE);
  return failed<std::uint64_t>(ERROR_UNRECOGNIZED_VOLUME);
}

// ---- devices ------------------------------------------------------------------------

DeviceNode find_device(const std::string& source, const struct stat* source_node,
                       std::uint64_t devno, const std::vector<std::uint64_t>& reported) {
  DeviceNode node;
  const bool source_is_device = source_node && S_ISBLK(source_node->st_mode);
  if (major(devno) == 0) {
    // An anonymous number names no device, and the source is only text: it
    // names one of the devices the file system reports, or none.
    if (source_is_device && std::find(reported.begin(), reported.end(), source_node->st_rdev) !=
                                reported.end())
      node = DeviceNode{source, source_node->st_rdev};
    return node;
  }
  // The system's own name for the number first: a name of the caller's
  // (the source) may come to mean another device while the table is kept.
  node.rdev = devno;
  errno = 0;
  MallocString name(blkid_devno_to_devname(static_cast<dev_t>(devno)));
  const int name_error = errno;
  if (name) {
    node.path = name.get();
  } else if (source_is_device && source_node->st_rdev == devno) {
    node.path = source;
  } else if (for_want_of_resources(name_error)) {
    node.error = name_error;
  }
  return node;
}

UniqueFd open_device(const std::string& path, std::uint64_t rdev) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != rdev) {
    errno = ENODEV;
    return UniqueFd();
  }
  return fd;
}

bool uuid_contradicted(std::string_view uuid, int mounted_root, std::uint64_t dev) {
  UniqueFd root(::openat(mounted_root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!root.valid() || ::fstat(root.get(), &st) != 0 || st.st_dev != dev) return false;
  KernelFsUuid kernel{};
  if (::ioctl(root.get(), kGetFsUuid, &kernel) != 0 || kernel.len != sizeof kernel.uuid)
    return false;  // the kernel keeps no UUID of this file system (or predates the call)
  // A published UUID that is no 16-byte one (FAT's volume serial, say) is
  // not compared: it neither proves nor disproves anything.
  std::uint8_t claimed[16];
  return uuid_bytes(uuid, claimed) && std::memcmp(claimed, kernel.uuid, sizeof claimed) != 0;
}

// ---- names --------------------------------------------------------------------------

namespace {

// A volume's ID before clones are told apart: the UUID (with the device
// number appended for a subvolume), or the device number alone.
std::string plain_volume_id(std::string_view uuid, std::uint64_t dev, std::uint64_t table_devno) {
  if (!is_valid_volume_id(uuid)) return device_volume_id(dev);
  std::string id(uuid);
  if (dev != table_devno) id += hex_suffix(dev);
  return id;
}

// An ID that another volume has (a clone's) told apart by the volume's own
// device number.
void tell_apart(std::string& id, std::uint64_t dev) { id += hex_suffix(dev); }

}  // namespace

std::string volume_id(std::string_view uuid, std::uint64_t dev, std::uint64_t table_devno,
                      const std::function<bool(std::string_view)>& taken) {
  std::string id = plain_volume_id(uuid, dev, table_devno);
  if (taken(id)) tell_apart(id, dev);
  return id;
}

std::vector<std::string> volume_ids(const std::vector<NamingFacts>& volumes) {
  std::vector<std::string> ids;
  ids.reserve(volumes.size());
  for (const NamingFacts& v : volumes) ids.push_back(plain_volume_id(v.uuid, v.dev, v.table_devno));
  // The plain ID (as IDs compare) -> the lowest device number with it. The
  // keys are the IDs above, which stay put until the map is gone.
  const auto same = [](std::string_view a, std::string_view b) { return same_volume_id(a, b); };
  std::unordered_map<std::string_view, std::uint64_t, std::size_t (*)(std::string_view),
                     decltype(same)>
      lowest(volumes.size(), volume_id_hash, same);
  std::vector<const std::uint64_t*> lowest_of;
  lowest_of.reserve(volumes.size());
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    auto [it, fresh] = lowest.emplace(ids[i], volumes[i].dev);
    if (!fresh && volumes[i].dev < it->second) it->second = volumes[i].dev;
    lowest_of.push_back(&it->second);  // stays put while the map grows
  }
  // A clone that is not the lowest finds its ID taken.
  for (std::size_t i = 0; i < volumes.size(); ++i)
    if (*lowest_of[i] != volumes[i].dev) tell_apart(ids[i], volumes[i].dev);
  return ids;
}

std::string listed_mount_point(const std::string& target,
                               const std::function<bool(std::string_view)>& is_mount_point) {
  if (target.empty() || target.back() != '\\') return target;
  const auto as_root = normalise_root(target);
  if (!as_root || *as_root == target || !is_mount_point(*as_root)) return target;
  return target + '\\';
}

}  // namespace k32l
