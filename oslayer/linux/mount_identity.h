// Which mount a path or an open descriptor lands on, as the kernel says it
// (facts: statx's mount ID for paths, /proc's fdinfo for descriptors,
// listmount/statmount for the mounts of the caller's namespace).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mount_table.h"

namespace k32l {

// The two IDs the kernel gives a mount: the 32-bit one of mountinfo and
// fdinfo, which it hands out again once the mount is gone, and the unique
// 64-bit one (Linux 6.8+), never handed out twice while the system runs.
enum class MountIdKind { Reusable, Unique };

// What statx says of a path (may block: call it on a bounded worker).
struct PathIdentity {
  int error = 0;             // errno of a failed statx
  bool mount_known = false;  // the kernel reported the mount ID
  std::uint64_t mount_id = 0;
  bool mount_id_unique = false;  // mount_id is the unique ID
  std::uint64_t dev = 0;     // st_dev of the file
  bool is_directory = false;
  // The longest name its file system takes (statvfs's f_namemax), where it
  // was asked as well (the mount points of file systems that cannot block,
  // whose length is fixed while they are mounted); 0 otherwise.
  std::uint64_t name_max = 0;
};
// Asks for the mount ID of `kind`; a kernel without unique IDs answers
// with the reusable one (mount_id_unique then says which it is).
PathIdentity identify_path(const std::string& path, MountIdKind kind = MountIdKind::Reusable);
// The same of the file an open descriptor (O_PATH ones too) is of.
PathIdentity identify_descriptor(int fd, MountIdKind kind);

// The ID of the mount an open descriptor's file is on, read from /proc (the
// calling thread's own descriptor table) without touching that file system;
// nullopt when /proc does not say.
std::optional<std::uint64_t> descriptor_mount_id(int fd);
// The ID of `kind` of the mount an open descriptor (O_PATH ones too) is on,
// as statx of the descriptor says without asking its file system's server;
// nullopt when the kernel does not say (no unique IDs before Linux 6.8).
std::optional<std::uint64_t> descriptor_mount(int fd, MountIdKind kind);
// Where an open descriptor is, as statx of the descriptor itself says (no
// /proc, so a jail without it is answered too): the mount it is on, and
// whether it is that mount's root.
struct DescriptorPlace {
  std::uint64_t mount_id = 0;           // of the kind asked for
  std::uint64_t reusable_mount_id = 0;  // the 32-bit ID, as mountinfo gives it
  bool is_mount_root = false;
};
// nullopt when the kernel does not say (mount IDs and the mount-root flag
// from statx: Linux 5.8; the unique ID: 6.8) or the descriptor is not open.
std::optional<DescriptorPlace> descriptor_place(int fd, MountIdKind kind);
// Whether an open descriptor is the root of mount `mount_id` (of `kind`),
// in one statx of the descriptor; nullopt when the kernel does not say.
std::optional<bool> is_root_of_mount(int fd, std::uint64_t mount_id, MountIdKind kind);
// st_dev of an open descriptor's file, from the attributes the kernel holds:
// a file system's server is never asked (st_dev is its superblock's).
// nullopt when the descriptor is not open.
std::optional<std::uint64_t> descriptor_device(int fd);

// A mount of the caller's namespace as statmount describes it.
struct KernelMount {
  std::uint64_t unique_id = 0;
  std::uint64_t reusable_id = 0;
  std::uint64_t parent_unique_id = 0;  // of the mount it is mounted on
  std::uint64_t devno = 0;  // the superblock's device number, as mountinfo gives it
  std::string root, target;  // as mountinfo gives them, relative to the caller's root
};
// Every mount the caller's root reaches (listmount), each described by
// statmount; a mount gone meanwhile is left out. nullopt when the kernel
// has neither call (before 6.8) or refuses them.
std::optional<std::vector<KernelMount>> kernel_mounts();

// The mount point of the mount with unique ID `unique_id` as the kernel
// writes it now (statmount, relative to the caller's root), asking no file
// system; nullopt where the kernel does not say (before 6.8, a mount of
// another namespace, or one gone).
std::optional<std::string> current_mount_point(std::uint64_t unique_id);

// Whether the mount with unique ID `unique_id` is read-only now, as statvfs's
// ST_RDONLY would say (the mount's own flag, or its file system's, which some
// set by themselves on errors, with no change signal): statmount, which
// walks no path and asks no file system; nullopt where the kernel does not
// say (before 6.8, a mount gone, or one of another namespace).
std::optional<bool> mount_is_read_only(std::uint64_t unique_id);

// The mount table of the caller's view as the kernel describes each mount
// (listmount, statmount): the entries mountinfo would list, in its order,
// each with its unique ID. nullopt where statmount does not describe all
// an entry holds (before Linux 6.15, which says what it supports) or
// refuses a mount: the mountinfo file is read then.
std::optional<std::vector<MountEntry>> kernel_mount_table();

}  // namespace k32l
