#include "proc_paths.h"

namespace k32l {

const char* mount_table_path() { return "/proc/thread-self/mountinfo"; }

const char* mount_namespace_path() { return "/proc/thread-self/ns/mnt"; }

std::string descriptor_info_path(int fd) {
  return "/proc/thread-self/fdinfo/" + std::to_string(fd);
}

std::string descriptor_link_path(int fd) {
  return "/proc/thread-self/fd/" + std::to_string(fd);
}

}  // namespace k32l
