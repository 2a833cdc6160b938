// The mount table as the kernel gives it (facts: nothing here blocks).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outcome.h"

namespace k32l {

// One line of a mount table, as libmount reads it.
struct MountEntry {
  std::string target, source, fstype;
  std::string root;         // the directory of the file system mounted there ("/": its root)
  std::uint64_t devno = 0;  // major:minor as the mount table gives it
  std::uint64_t id = 0;     // the mount's 32-bit ID, handed out again once it is gone
  std::uint64_t unique_id = 0;  // its unique ID where the kernel proved it (identify_mounts), else 0
  // The unique ID of the mount it is mounted on (itself for the namespace's
  // root), where unique_id is known, else 0: which of a stack of mounts on
  // one mount point is on top shows here, never in the mount point's text.
  std::uint64_t parent_unique_id = 0;
  // The file system's own options as the kernel writes them (escapes kept:
  // a ',' in a layer's name is "\054"), read only for the mounts whose type
  // names its layers there (options_name_layers: an overlay's), empty for
  // the others.
  std::string options;
};

// The entries of a mountinfo file (read once, parsed by libmount), in table order; entries
// without a target are left out. A file that cannot be opened or read fails
// with the code of its errno (ERROR_TOO_MANY_OPEN_FILES when the process is
// out of descriptors), one that cannot be parsed with ERROR_IO_DEVICE.
Outcome<std::vector<MountEntry>> read_mount_table(const char* path);
// The bytes of a mountinfo file, read once.
Outcome<std::string> read_mount_table_text(const char* path);

// Which entries count: a later mount on a target hides the earlier ones
// there; of the visible ones, data file systems may be volumes and the rest
// (kernel pseudo file systems) never are. Indices in mount-table order.
struct EntryClasses {
  std::vector<std::size_t> data;
  std::vector<std::size_t> other;
};
EntryClasses classify_entries(const std::vector<MountEntry>& entries);

}  // namespace k32l
