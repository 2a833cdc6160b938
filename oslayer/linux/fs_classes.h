// Pure per-type tables: which file systems are volumes, what Windows calls
// them and what kind of drive holds them. Whether calls on a type may block
// is block_policy's question.
#pragma once

#include <string>
#include <string_view>

#include "kernel32.h"

namespace k32l {

// Kernel and helper file systems that hold no user data: never volumes.
bool is_pseudo_fs(std::string_view fstype);
bool is_ram_fs(std::string_view fstype);
bool is_remote_fs(std::string_view fstype);
bool is_fuse_fs(std::string_view fstype);
// Types known to be local: kernel file systems of a block device, RAM file
// systems and kernel pseudo file systems (FUSE ones and automount triggers
// aside). Calls on any other type may block.
bool is_local_fs(std::string_view fstype);
// Whether every rename in a file system of statfs type `magic` is made
// through this kernel's VFS, which reports it to inotify: local disk and
// RAM file systems and overlays. Not network, FUSE or cluster file systems
// (a server or another node renames unseen), nor kernfs ones (sysfs,
// cgroup: the kernel renames their entries itself).
bool kernel_reports_renames(long magic);
// Whether a mount of `fstype` names the directories it is stacked on in its
// own options (an overlay's lowerdir, upperdir ...): the only mounts whose
// options are read.
bool options_name_layers(std::string_view fstype);

// The name GetVolumeInformation reports. mount_type comes from the mount
// table; probed_type/probed_version from probing the backing device (empty
// when there is none or the probe found nothing).
std::string windows_fs_name(std::string_view mount_type, std::string_view probed_type,
                            std::string_view probed_version);
// Case and Unicode flags for a file system reported as `fs_name`.
DWORD fs_flags(std::string_view fs_name, bool read_only);

// What is known about the disk under a block-backed volume.
struct DiskFacts {
  bool has_device = false;     // a block device backs the volume
  std::string disk_name;       // whole-disk kernel name, e.g. "sda", "sr0", "loop3"
  unsigned disk_major = 0;
  bool removable = false;      // sysfs "removable" of the whole disk
  bool on_usb = false;         // the disk sits on a USB bus
  // errno of a read that failed for want of descriptors or memory: the
  // facts above may be wrong (0 otherwise).
  int error = 0;
};
UINT drive_type_for(std::string_view fstype, const DiskFacts& disk);

}  // namespace k32l
