// A FUSE file system whose server never answers getattr or statfs: stat and
// statvfs on its mount block until the server dies. Run: k32l_deadfs -f -s DIR
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <unistd.h>

namespace {

[[noreturn]] void never_answer() {
  for (;;) pause();
}

int dead_getattr(const char*, struct stat*, struct fuse_file_info*) { never_answer(); }

int dead_statfs(const char*, struct statvfs*) { never_answer(); }

}  // namespace

int main(int argc, char* argv[]) {
  fuse_operations ops{};
  ops.getattr = dead_getattr;
  ops.statfs = dead_statfs;
  return fuse_main(argc, argv, &ops, nullptr);
}
