// Which mount a path or an open descriptor lands on, as the kernel says it
// (facts: statx's mount ID for paths, /proc's fdinfo for descriptors).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace k32l {

// What statx says of a path (may block: call it on a bounded worker).
struct PathIdentity {
  int error = 0;             // errno of a failed statx
  bool mount_known = false;  // the kernel reported the mount ID
  std::uint64_t mount_id = 0;
  std::uint64_t dev = 0;     // st_dev of the file
  bool is_directory = false;
};
PathIdentity identify_path(const std::string& path);

// The ID of the mount an open descriptor's file is on, read from /proc
// without touching that file system; nullopt when /proc does not say.
std::optional<std::uint64_t> descriptor_mount_id(int fd);

}  // namespace k32l
