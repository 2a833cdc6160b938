// Which mount a path or an open descriptor lands on, as the kernel says it:
// statx's mount ID for paths, /proc's fdinfo for descriptors, statmount for
// the mounts listmount finds. These tell a mount apart from another one that
// covers its mount point, or that got its 32-bit ID after it was gone.
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

#include "fs_classes.h"
#include "mount_identity.h"
#include "proc_paths.h"

// What the C library's headers of this build may not have yet (Linux 6.8).
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif
#ifndef SYS_statmount
#define SYS_statmount 457
#endif
#ifndef SYS_listmount
#define SYS_listmount 458
#endif

namespace k32l {

namespace {

// The kernel's request of statmount and listmount (its first version).
struct MountIdRequest {
  std::uint32_t size = sizeof(MountIdRequest);
  std::uint32_t spare = 0;
  std::uint64_t mnt_id = 0;
  std::uint64_t param = 0;
};
constexpr std::uint64_t kListFromRoot = ~0ULL;  // LSMT_ROOT: the caller's root

constexpr std::uint64_t kStatmountSbBasic = 0x1, kStatmountMntBasic = 0x2,
                        kStatmountMntRoot = 0x8, kStatmountMntPoint = 0x10,
                        kStatmountFsType = 0x20, kStatmountMntOpts = 0x80,
                        kStatmountFsSubtype = 0x100, kStatmountSbSource = 0x200,
                        kStatmountSupportedMask = 0x1000;
// What identifies a mount (kernel_mounts), and what a whole table entry
// takes besides (kernel_mount_table; Linux 6.15 says which it supports).
// The file system's options are asked for apart, only of the mounts whose
// type names its layers there: building them costs the kernel about a fifth
// of each statmount, and no other mount's options are read.
constexpr std::uint64_t kIdentifying =
    kStatmountSbBasic | kStatmountMntBasic | kStatmountMntRoot | kStatmountMntPoint;
constexpr std::uint64_t kEntryWithoutOptions =
    kIdentifying | kStatmountFsType | kStatmountFsSubtype | kStatmountSbSource;
constexpr std::uint64_t kWholeEntry = kEntryWithoutOptions | kStatmountMntOpts;

// The fixed part of the kernel's struct statmount, as far as it is read
// here; the strings follow at `str`, at the offsets the fields give.
struct StatmountHead {
  std::uint32_t size, mnt_opts;
  std::uint64_t mask;
  std::uint32_t sb_dev_major, sb_dev_minor;
  std::uint64_t sb_magic;
  std::uint32_t sb_flags, fs_type;
  std::uint64_t mnt_id, mnt_parent_id;
  std::uint32_t mnt_id_old, mnt_parent_id_old;
  std::uint64_t mnt_attr, mnt_propagation, mnt_peer_group, mnt_master, propagate_from;
  std::uint32_t mnt_root, mnt_point;
  std::uint64_t mnt_ns_id;
  std::uint32_t fs_subtype, sb_source, opt_num, opt_array, opt_sec_num, opt_sec_array;
  std::uint64_t supported_mask;
  std::uint64_t spare[45];
};
static_assert(sizeof(StatmountHead) == 512, "the kernel's struct statmount is 512 bytes");

std::optional<std::vector<std::uint64_t>> list_mount_ids() {
  std::vector<std::uint64_t> ids;
  std::uint64_t chunk[512];
  MountIdRequest request;
  request.mnt_id = kListFromRoot;
  for (;;) {
    const long n = ::syscall(SYS_listmount, &request, chunk, std::size(chunk), 0);
    if (n < 0) return std::nullopt;
    ids.insert(ids.end(), chunk, chunk + n);
    if (static_cast<std::size_t>(n) < std::size(chunk)) return ids;
    request.param = chunk[n - 1];  // the next call lists the mounts after it
  }
}

// statmount of mount `id` (asking for `want`) into `buffer`, grown while the
// strings do not fit; null with errno set when it fails.
const StatmountHead* stat_mount(std::uint64_t id, std::uint64_t want,
                                std::vector<std::uint64_t>& buffer) {
  MountIdRequest request;
  request.mnt_id = id;
  request.param = want;
  for (;;) {
    if (::syscall(SYS_statmount, &request, buffer.data(), buffer.size() * sizeof buffer[0], 0) ==
        0)
      return reinterpret_cast<const StatmountHead*>(buffer.data());
    if (errno != EOVERFLOW || buffer.size() > (1u << 20)) return nullptr;
    buffer.resize(buffer.size() * 2);
  }
}

std::string string_at(const StatmountHead& head, std::uint32_t offset) {
  return std::string(reinterpret_cast<const char*>(&head + 1) + offset);
}

// A string field the kernel wrote (`flag` in its mask); empty when it wrote
// none, as it does for an empty value.
std::string string_if(const StatmountHead& head, std::uint64_t flag, std::uint32_t offset) {
  return (head.mask & flag) ? string_at(head, offset) : std::string();
}

// A mount-table entry as mountinfo would give it, from the kernel's
// description of the mount, its options aside.
MountEntry entry_of(const StatmountHead& head) {
  MountEntry e;
  e.target = string_at(head, head.mnt_point);
  e.root = string_at(head, head.mnt_root);
  e.fstype = string_at(head, head.fs_type);
  if (head.mask & kStatmountFsSubtype) e.fstype += '.' + string_at(head, head.fs_subtype);
  // mountinfo writes "none" for a mount made without a source.
  e.source = (head.mask & kStatmountSbSource) ? string_at(head, head.sb_source) : "none";
  e.devno = makedev(head.sb_dev_major, head.sb_dev_minor);
  e.id = head.mnt_id_old;
  e.unique_id = head.mnt_id;
  e.parent_unique_id = head.mnt_parent_id;
  return e;
}

// Whether this kernel's statmount describes everything a table entry holds.
bool describes_whole_entries(std::uint64_t first_mount, std::vector<std::uint64_t>& buffer) {
  const StatmountHead* head = stat_mount(first_mount, kStatmountSupportedMask, buffer);
  return head && (head->mask & kStatmountSupportedMask) &&
         (head->supported_mask & kWholeEntry) == kWholeEntry;
}

}  // namespace

namespace {

// What statx of `path` from `dir` (flags `flags`) says.
PathIdentity identify_at(int dir, const char* path, int flags, MountIdKind kind) {
  PathIdentity id;
  struct statx sx {};
  const unsigned mount_mask = kind == MountIdKind::Unique ? STATX_MNT_ID_UNIQUE : STATX_MNT_ID;
  // No automount: an autofs trigger is reported as itself, not mounted.
  if (::syscall(SYS_statx, dir, path, flags | AT_NO_AUTOMOUNT,
                STATX_TYPE | STATX_MODE | mount_mask, &sx) != 0) {
    id.error = errno;
    return id;
  }
  id.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  id.is_directory = (sx.stx_mode & S_IFMT) == S_IFDIR;
  id.mount_id_unique = (sx.stx_mask & STATX_MNT_ID_UNIQUE) != 0;
  id.mount_known = id.mount_id_unique || (sx.stx_mask & STATX_MNT_ID) != 0;
  id.mount_id = sx.stx_mnt_id;
  return id;
}

}  // namespace

PathIdentity identify_path(const std::string& path, MountIdKind kind) {
  return identify_at(AT_FDCWD, path.c_str(), 0, kind);
}

PathIdentity identify_descriptor(int fd, MountIdKind kind) {
  return identify_at(fd, "", AT_EMPTY_PATH, kind);
}

std::optional<std::uint64_t> descriptor_mount_id(int fd) {
  // fdinfo comes from the calling thread's descriptor table (a thread may
  // have one of its own): reading it never waits on the file system that
  // holds the file.
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

std::optional<std::uint64_t> descriptor_mount(int fd, MountIdKind kind) {
  struct statx sx {};
  const unsigned mask = kind == MountIdKind::Unique ? STATX_MNT_ID_UNIQUE : STATX_MNT_ID;
  // Only the mount ID is asked for, without syncing: FUSE and network file
  // systems answer from the inode the kernel holds.
  if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, mask, &sx) != 0 ||
      !(sx.stx_mask & mask))
    return std::nullopt;
  return sx.stx_mnt_id;
}

std::optional<DescriptorPlace> descriptor_place(int fd, MountIdKind kind) {
  struct statx sx {};
  if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &sx) != 0 ||
      !(sx.stx_mask & STATX_MNT_ID) || !(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return std::nullopt;
  DescriptorPlace place;
  place.reusable_mount_id = sx.stx_mnt_id;
  place.mount_id = sx.stx_mnt_id;
  place.is_mount_root = (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  if (kind == MountIdKind::Unique) {
    const auto unique = descriptor_mount(fd, MountIdKind::Unique);
    if (!unique) return std::nullopt;
    place.mount_id = *unique;
  }
  return place;
}

std::optional<bool> is_root_of_mount(int fd, std::uint64_t mount_id, MountIdKind kind) {
  struct statx sx {};
  const unsigned mask = kind == MountIdKind::Unique ? STATX_MNT_ID_UNIQUE : STATX_MNT_ID;
  if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, mask, &sx) != 0 ||
      !(sx.stx_mask & mask) || !(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return std::nullopt;
  return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 && sx.stx_mnt_id == mount_id;
}

std::optional<std::uint64_t> descriptor_device(int fd) {
  struct statx sx {};
  if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &sx) != 0)
    return std::nullopt;
  return makedev(sx.stx_dev_major, sx.stx_dev_minor);
}

namespace {

// A statmount buffer of the calling thread's, for the questions a call asks
// of one mount: a listing asks one per mount point, at each call.
std::vector<std::uint64_t>& call_buffer() {
  thread_local std::vector<std::uint64_t> buffer(128);
  return buffer;
}

}  // namespace

std::optional<std::string> current_mount_point(std::uint64_t unique_id) {
  std::vector<std::uint64_t>& buffer = call_buffer();
  const StatmountHead* head = stat_mount(unique_id, kStatmountMntPoint, buffer);
  if (!head || !(head->mask & kStatmountMntPoint)) return std::nullopt;
  return string_at(*head, head->mnt_point);
}

std::optional<bool> mount_is_read_only(std::uint64_t unique_id) {
  // The mount's attributes and its superblock's flags, no strings: the head
  // alone, as statvfs reads both (MOUNT_ATTR_RDONLY, SB_RDONLY).
  constexpr std::uint64_t kFlags = kStatmountSbBasic | kStatmountMntBasic;
  constexpr std::uint64_t kMountAttrReadOnly = 0x1, kSuperblockReadOnly = 0x1;
  const StatmountHead* head = stat_mount(unique_id, kFlags, call_buffer());
  if (!head || (head->mask & kFlags) != kFlags) return std::nullopt;
  return (head->mnt_attr & kMountAttrReadOnly) != 0 || (head->sb_flags & kSuperblockReadOnly) != 0;
}

std::optional<std::vector<KernelMount>> kernel_mounts() {
  const auto ids = list_mount_ids();
  if (!ids) return std::nullopt;
  std::vector<KernelMount> mounts;
  mounts.reserve(ids->size());
  std::vector<std::uint64_t> buffer(1024);
  for (std::uint64_t id : *ids) {
    const StatmountHead* head = stat_mount(id, kIdentifying, buffer);
    if (!head || (head->mask & kIdentifying) != kIdentifying) continue;  // gone, or out of reach
    mounts.push_back(KernelMount{head->mnt_id, head->mnt_id_old, head->mnt_parent_id,
                                 makedev(head->sb_dev_major, head->sb_dev_minor),
                                 string_at(*head, head->mnt_root),
                                 string_at(*head, head->mnt_point)});
  }
  return mounts;
}

std::optional<std::vector<MountEntry>> kernel_mount_table() {
  const auto ids = list_mount_ids();
  std::vector<std::uint64_t> buffer(1024);
  if (!ids || ids->empty() || !describes_whole_entries(ids->front(), buffer)) return std::nullopt;
  std::vector<MountEntry> entries;
  entries.reserve(ids->size());
  for (std::uint64_t id : *ids) {
    const StatmountHead* head = stat_mount(id, kEntryWithoutOptions, buffer);
    if (!head && errno == ENOENT) continue;  // unmounted since it was listed
    constexpr std::uint64_t kAlways = kIdentifying | kStatmountFsType;
    if (!head || (head->mask & kAlways) != kAlways) return std::nullopt;
    MountEntry e = entry_of(*head);
    if (e.target.empty()) continue;
    if (options_name_layers(e.fstype)) {
      // The same mount: its unique ID is never handed out again.
      head = stat_mount(id, kStatmountMntOpts, buffer);
      if (!head && errno == ENOENT) continue;
      if (!head) return std::nullopt;
      // As the kernel wrote them: a layer's name may hold an escaped ','.
      e.options = string_if(*head, kStatmountMntOpts, head->mnt_opts);
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace k32l
