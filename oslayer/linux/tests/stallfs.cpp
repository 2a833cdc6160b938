// A FUSE file system of one file, "disk.img", whose contents are those of a
// backing file; SIGUSR1 makes every request wait until SIGUSR2 (at most 10 s), and SIGWINCH
// makes every request take 400 ms (a slow server that still answers) until SIGUSR2. A loop
// device on disk.img is then a block device that stops answering on command.
// Run: k32l_stallfs BACKING_FILE -f -s MOUNTPOINT
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kFile = "/disk.img";
int backing = -1;
// Monotonic time in ms until which requests wait; 0 when not stalled.
std::atomic<long long> stalled_until{0};
// Whether every request is answered slowly (SIGWINCH).
std::atomic<bool> slow{false};

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// A stall ends by itself 10 s after it began, so that a provider that waits
// without bound shows up as a slow answer instead of a test that never ends.
void wait_while_stalled() {
  while (now_ms() < stalled_until.load()) usleep(10 * 1000);
  if (slow.load()) usleep(400 * 1000);
}

int fs_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  wait_while_stalled();
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kFile) != 0) return -ENOENT;
  struct stat b {};
  if (fstat(backing, &b) != 0) return -errno;
  st->st_mode = S_IFREG | 0644;
  st->st_nlink = 1;
  st->st_size = b.st_size;
  return 0;
}

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
  wait_while_stalled();
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, kFile + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int fs_open(const char* path, struct fuse_file_info* fi) {
  wait_while_stalled();
  if (std::strcmp(path, kFile) != 0) return -ENOENT;
  fi->direct_io = 1;  // every read reaches this server: none is served from a cache
  return 0;
}

int fs_read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info*) {
  wait_while_stalled();
  const ssize_t n = pread(backing, buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int fs_write(const char*, const char* buf, size_t size, off_t offset, struct fuse_file_info*) {
  wait_while_stalled();
  const ssize_t n = pwrite(backing, buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int fs_statfs(const char*, struct statvfs* st) {
  wait_while_stalled();
  std::memset(st, 0, sizeof *st);
  st->f_bsize = st->f_frsize = 4096;
  st->f_namemax = 255;
  return 0;
}

void on_signal(int sig) {
  stalled_until.store(sig == SIGUSR1 ? now_ms() + 10000 : 0);
  slow.store(sig == SIGWINCH);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) return 2;
  backing = open(argv[1], O_RDWR | O_CLOEXEC);
  if (backing < 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGUSR1, &sa, nullptr);
  sigaction(SIGUSR2, &sa, nullptr);
  sigaction(SIGWINCH, &sa, nullptr);
  fuse_operations ops{};
  ops.getattr = fs_getattr;
  ops.readdir = fs_readdir;
  ops.open = fs_open;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.statfs = fs_statfs;
  argv[1] = argv[0];
  return fuse_main(argc - 1, argv + 1, &ops, nullptr);
}
