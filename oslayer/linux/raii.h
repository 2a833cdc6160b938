// Owners for the descriptors and library objects the provider uses.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <memory>

#include <blkid/blkid.h>
#include <libmount/libmount.h>

namespace k32l {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct MntTableDeleter {
  void operator()(libmnt_table* t) const { mnt_unref_table(t); }
};
struct MntIterDeleter {
  void operator()(libmnt_iter* i) const { mnt_free_iter(i); }
};
struct BlkidProbeDeleter {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};
struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};

using MntTable = std::unique_ptr<libmnt_table, MntTableDeleter>;
using MntIter = std::unique_ptr<libmnt_iter, MntIterDeleter>;
using BlkidProbe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, BlkidProbeDeleter>;
using MallocString = std::unique_ptr<char, MallocDeleter>;

}  // namespace k32l
