// The block devices a mounted file system reports being on, asked of the
// file system itself (facts: its own numbers, never a path's text).
#pragma once

#include <cstdint>
#include <vector>

namespace k32l {

// The device numbers of the block devices under the file system that
// descriptor `fd` (a directory of it, opened for reading) is on, as the
// file system lists them: btrfs, whose superblock has an anonymous number,
// lists its devices in sysfs. Empty for a file system that lists none, or
// where the list cannot be read. Asks nothing that may block of a local
// file system.
std::vector<std::uint64_t> reported_devices(int fd);

}  // namespace k32l
