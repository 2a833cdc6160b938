// Owners for the descriptors and library objects the provider uses.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
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

// A unique_ptr deleter that hands the pointer to the library's own release
// function (its return value, a reference count for some, is not needed).
template <auto Release>
struct ReleasedBy {
  template <class T>
  void operator()(T* p) const {
    Release(p);
  }
};

// Owns a library object given out as `Handle`, a pointer or a pointer type.
template <class Handle, auto Release>
using Owned = std::unique_ptr<std::remove_pointer_t<Handle>, ReleasedBy<Release>>;

using MntTable = Owned<libmnt_table*, mnt_unref_table>;
using MntIter = Owned<libmnt_iter*, mnt_free_iter>;
using BlkidProbe = Owned<blkid_probe, blkid_free_probe>;
using MallocString = Owned<char*, ::free>;
using CFile = Owned<FILE*, std::fclose>;
using Directory = Owned<DIR*, ::closedir>;

}  // namespace k32l
