// Whose view of the system the caller is in: the one place that decides it.
#pragma once

#include <cstdint>
#include <string>

namespace k32l {

// The view of the calling thread. Threads may differ in mount namespace; a
// new thread starts in its creator's.
struct CallerView {
  std::uint64_t mount_namespace = 0;  // inode of the namespace; 0 when /proc cannot tell

  // The key under which state kept per view (the snapshot cache and its
  // watch descriptor, worker pools) is stored.
  std::uint64_t key() const { return mount_namespace; }
};

CallerView current_view();

// The mount table of the calling thread's view.
const char* mount_table_path();
// Where /proc describes descriptor `fd` of the caller (its mount ID among
// other things).
std::string descriptor_info_path(int fd);

}  // namespace k32l
