// "Which volume is this?": the one place that decides, from the kernel's
// numbers (mount IDs, device numbers).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "mount_identity.h"
#include "mount_table.h"
#include "outcome.h"

namespace k32l {

// The block device under a mount: its source when that is a device node
// (block file systems, fuseblk, btrfs, whose mount-table number is an
// anonymous one), otherwise the device of the mount-table number.
struct DeviceNode {
  std::string path;        // device node to probe, empty if none found
  std::uint64_t rdev = 0;  // block device number, 0 if none
};
DeviceNode find_device(const std::string& source, std::uint64_t devno);

// How a mount-table entry stands after the statx of its mount point.
struct Standing {
  bool listed = false;      // a volume's mount: reachable, or not known to be hidden
  bool verified = false;    // statx landed on this very mount
  std::uint64_t dev = 0;    // st_dev of its root (verified) or the table's number
  bool is_file = false;     // the mount is of a single file
};
// `seen`: what statx of its target found (null: no answer in time);
// `last_at_target`: no later entry of the table is mounted on its target.
Standing standing_of(const MountEntry& e, const PathIdentity* seen, bool last_at_target);

// The ID of a volume (what goes between the braces of its name): the file
// system's UUID, with the device number appended for a subvolume (its own
// st_dev `dev` beside the file system's `table_devno`) or when the ID is
// `taken` by a volume named before; the device number alone without a
// usable UUID.
std::string volume_id(std::string_view uuid, std::uint64_t dev, std::uint64_t table_devno,
                      const std::function<bool(std::string_view)>& taken);

// The ID of the mount the file of descriptor `fd` is on, from /proc:
// ERROR_INVALID_HANDLE when `fd` is not open, ERROR_UNRECOGNIZED_VOLUME
// when /proc does not say.
Outcome<std::uint64_t> mount_of_descriptor(int fd);

}  // namespace k32l
