// The calling thread's own entries under /proc (facts: which files, not
// what they say). A thread may have its own mount namespace, root and
// descriptor table, so each is the thread's, never the process's.
#pragma once

#include <string>

namespace k32l {

// The mount table of the calling thread's view: the kernel writes its mount
// points from the reader's root and leaves out mounts outside that root.
const char* mount_table_path();
// The link naming the calling thread's mount namespace ("mnt:[N]").
const char* mount_namespace_path();
// Where /proc describes descriptor `fd` of the calling thread's own
// descriptor table (its mount ID among other things).
std::string descriptor_info_path(int fd);
// The /proc link of the calling thread's descriptor `fd`: it reads as the
// path of the file, as the kernel reached it.
std::string descriptor_link_path(int fd);

}  // namespace k32l
