// A FUSE file system of nothing but its root whose statfs reports a block
// size other than its fragment size, as NFS and some FUSE servers do:
// capacities count fragments (f_frsize), never f_bsize.
// Run: k32l_fragmentfs -f -s DIR
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstring>

#include "fragmentfs.h"

namespace {

int fragment_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFDIR | 0755;
  st->st_nlink = 2;
  return 0;
}

int fragment_statfs(const char*, struct statvfs* st) {
  std::memset(st, 0, sizeof *st);
  st->f_bsize = k32l_fragmentfs::kBlockSize;
  st->f_frsize = k32l_fragmentfs::kFragmentSize;
  st->f_blocks = k32l_fragmentfs::kBlocks;
  st->f_bfree = k32l_fragmentfs::kFreeBlocks;
  st->f_bavail = k32l_fragmentfs::kAvailableBlocks;
  st->f_namemax = k32l_fragmentfs::kNameMax;
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  fuse_operations ops{};
  ops.getattr = fragment_getattr;
  ops.statfs = fragment_statfs;
  return fuse_main(argc, argv, &ops, nullptr);
}
