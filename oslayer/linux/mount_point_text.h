// The mount points of a mount table as the kernel writes them now. A
// directory renamed above a mount point changes its text, and the kernel
// signals no change of the mount table for it: a table that is kept is
// proven against the text read again (one read of the mountinfo file), not
// believed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "mount_table.h"

namespace k32l {

class MountPointText {
 public:
  // The mount points of `entries`, a table as read, with their mounts'
  // 32-bit IDs, in table order.
  explicit MountPointText(const std::vector<MountEntry>& entries);

  // Whether the mountinfo file at `path` lists the same mounts at the same
  // mount points, in the same order: then no mount point's text has changed
  // since the table was read. False where the file cannot be read (what
  // cannot be proven is taken to have changed).
  bool still_holds(const char* path) const;

 private:
  std::vector<std::pair<std::uint64_t, std::string>> mount_points_;
};

}  // namespace k32l
