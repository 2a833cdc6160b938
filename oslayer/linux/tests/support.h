// Helpers shared by the system tests: calling the provider with UTF-8
// text, running the independent tools, and guards that undo mounts, loop
// devices and servers whatever way a test ends.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs_classes.h"
#include "snapshot.h"
#include "text.h"

namespace k32l_test {

inline std::u16string wide(const std::string& s) { return k32l::utf8_to_utf16(s).value(); }
inline std::string narrow(const std::u16string& s) { return k32l::utf16_to_utf8(s).value(); }

// Single-quotes a word for /bin/sh.
inline std::string sh_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct CommandResult {
  int status = -1;
  std::string out;
};

struct PipeCloser {
  void operator()(FILE* f) const { pclose(f); }
};

inline CommandResult run(const std::string& command) {
  CommandResult r;
  FILE* raw = popen(command.c_str(), "r");
  if (!raw) return r;
  std::unique_ptr<FILE, PipeCloser> pipe(raw);
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) r.out.append(buf, n);
  r.status = pclose(pipe.release());
  return r;
}

inline std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  return s.substr(i);
}

// st_dev of a path as stat(1) prints it, bounded so a dead mount cannot hang
// the test; nullopt when stat fails.
inline std::optional<unsigned long long> stat_dev(const std::string& path) {
  auto r = run("timeout 5 stat -c %d " + sh_quote(path) + " 2>/dev/null");
  if (r.status != 0 || trim(r.out).empty()) return std::nullopt;
  return std::stoull(trim(r.out));
}

// st_dev of a path that must exist: a failed stat is a failure of the
// calling test (reported with the path) and gives 0, so the test's own
// comparisons fail next instead of reading an empty optional.
inline unsigned long long dev_of(const std::string& path) {
  const auto dev = stat_dev(path);
  if (!dev) ADD_FAILURE() << "stat " << path << " failed";
  return dev.value_or(0);
}

// Whether "/" is itself a mount point. In a plain chroot it is not: "/" is
// then a directory inside a mount of the host, which the chrooted process's
// mount table does not list, so "/" has no volume of its own.
inline bool root_is_a_mount_point() {
  struct statx root {};
  if (statx(AT_FDCWD, "/", 0, STATX_BASIC_STATS, &root) == 0 &&
      (root.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
    return (root.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return run("mountpoint -q /").status == 0;  // kernels before 5.8
}

// ---- the provider, called as the module calls it --------------------------------

inline std::vector<std::u16string> all_volume_names() {
  std::vector<std::u16string> names;
  WCHAR buf[MAX_PATH + 1];
  HANDLE h = FindFirstVolumeW(buf, MAX_PATH + 1);
  if (h == INVALID_HANDLE_VALUE) return names;
  do names.emplace_back(buf);
  while (FindNextVolumeW(h, buf, MAX_PATH + 1));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindVolumeClose(h));
  return names;
}

inline std::vector<std::string> paths_of(const std::u16string& name) {
  std::vector<std::string> paths;
  std::vector<WCHAR> buf(4096);
  DWORD len = 0;
  if (!GetVolumePathNamesForVolumeNameW(name.c_str(), buf.data(), buf.size(), &len)) return paths;
  for (std::size_t i = 0; i < len && buf[i] != 0;) {
    std::u16string item(buf.data() + i);
    paths.push_back(narrow(item));
    i += item.size() + 1;
  }
  return paths;
}

// The volume one of whose mount points is `path`, if any.
inline std::optional<std::u16string> volume_at(const std::string& path) {
  for (const auto& name : all_volume_names())
    for (const auto& p : paths_of(name))
      if (p == path) return name;
  return std::nullopt;
}

struct VolumeInfo {
  bool ok = false;
  DWORD error = 0;
  std::string label, fs_name;
  DWORD serial = 0, max_component = 0, flags = 0;
};

inline VolumeInfo volume_info(const std::u16string& root) {
  VolumeInfo v;
  WCHAR label[MAX_PATH + 1], fs[MAX_PATH + 1];
  v.ok = GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &v.serial, &v.max_component,
                               &v.flags, fs, MAX_PATH + 1) != 0;
  v.error = GetLastError();
  if (v.ok) {
    v.label = narrow(label);
    v.fs_name = narrow(fs);
  }
  return v;
}

// GetVolumeInformationByHandle of descriptor `fd`.
inline VolumeInfo by_handle(int fd) {
  VolumeInfo v;
  WCHAR label[MAX_PATH + 1], fs[MAX_PATH + 1];
  v.ok = GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), label,
                                       MAX_PATH + 1, &v.serial, &v.max_component, &v.flags, fs,
                                       MAX_PATH + 1) != 0;
  v.error = GetLastError();
  if (v.ok) {
    v.label = narrow(label);
    v.fs_name = narrow(fs);
  }
  return v;
}

// ---- guards ------------------------------------------------------------------------

inline bool is_root() { return geteuid() == 0; }

// In the body of a test that needs "/" to be a volume of its own.
#define K32L_SKIP_UNLESS_ROOT_IS_A_MOUNT_POINT()                                         \
  do {                                                                                   \
    if (!::k32l_test::root_is_a_mount_point())                                           \
      GTEST_SKIP() << "needs / to be a mount point (here it is not: a chroot?)";         \
  } while (0)

// A fresh directory under /tmp named PREFIX-XXXXXX, removed with what it
// holds (on its own file system) at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "k32l-test") {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) run("rm -rf --one-file-system " + sh_quote(path_));
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const {
    const std::string p = path_ + "/" + name;
    mkdir(p.c_str(), 0755);
    return p;
  }

 private:
  std::string path_;
};

// Detaches a mount point at the end of a test, pass or fail.
class MountGuard {
 public:
  explicit MountGuard(std::string target) : target_(std::move(target)) {}
  ~MountGuard() { release(); }
  MountGuard(const MountGuard&) = delete;
  MountGuard& operator=(const MountGuard&) = delete;
  void release() {
    if (!target_.empty()) umount2(target_.c_str(), MNT_DETACH);
    target_.clear();
  }

 private:
  std::string target_;
};

// Frees a loop device at the end of a test.
class LoopGuard {
 public:
  explicit LoopGuard(std::string device) : device_(std::move(device)) {}
  ~LoopGuard() {
    // A file system lazily unmounted a moment ago may still hold the device.
    for (int i = 0; i < 40 && !device_.empty(); ++i) {
      if (run("losetup -d " + sh_quote(device_) + " 2>/dev/null").status == 0) break;
      usleep(50 * 1000);
    }
  }
  LoopGuard(const LoopGuard&) = delete;
  LoopGuard& operator=(const LoopGuard&) = delete;
  const std::string& device() const { return device_; }

 private:
  std::string device_;
};

// Kills and reaps a child process at the end of a test.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ~ChildGuard() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;

 private:
  pid_t pid_;
};

// Makes a file system image of `size` with mkfs command `mkfs` ("IMG" is
// replaced by the image path) and attaches it to a loop device.
inline std::optional<std::string> loop_image(const std::string& image, const std::string& size,
                                             const std::string& mkfs) {
  if (run("truncate -s " + size + " " + sh_quote(image)).status != 0) return std::nullopt;
  std::string cmd = mkfs;
  cmd.replace(cmd.find("IMG"), 3, sh_quote(image));
  if (run(cmd + " >/dev/null 2>&1").status != 0) return std::nullopt;
  auto r = run("losetup -f --show " + sh_quote(image) + " 2>/dev/null");
  if (r.status != 0 || trim(r.out).empty()) return std::nullopt;
  return trim(r.out);
}

// Whether findmnt sees a mount at `target` (waits up to ~5 s for one).
inline bool wait_for_mount(const std::string& target) {
  for (int i = 0; i < 100; ++i) {
    if (run("findmnt -rn -M " + sh_quote(target) + " >/dev/null").status == 0) return true;
    usleep(50 * 1000);
  }
  return false;
}

// A FUSE server of the tests' own, `program`, mounted on `target` in the
// foreground and single-threaded, with mount options `options` ("-o" text,
// none when empty), run as user and group `uid` where it is not -1 (it
// then mounts through fusermount3, as any user may). The mount is detached
// before the server is killed: requests stuck in it then fail instead of
// waiting on.
class FuseServer {
 public:
  FuseServer(const char* program, const std::string& target, const std::string& options = "",
             uid_t uid = static_cast<uid_t>(-1))
      : server_(start(program, target, options, uid)), mount_(target) {
    mounted_ = server_pid_ > 0 && wait_for_mount(target);
  }
  bool started() const { return server_pid_ > 0; }
  // Whether its mount appeared.
  bool mounted() const { return mounted_; }

 private:
  pid_t start(const char* program, const std::string& target, const std::string& options,
              uid_t uid) {
    server_pid_ = fork();
    if (server_pid_ == 0) {
      if (uid != static_cast<uid_t>(-1) &&
          (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
           setresuid(uid, uid, uid) != 0))
        _exit(126);
      if (options.empty())
        execl(program, program, "-f", "-s", target.c_str(), static_cast<char*>(nullptr));
      else
        execl(program, program, "-f", "-s", "-o", options.c_str(), target.c_str(),
              static_cast<char*>(nullptr));
      _exit(127);
    }
    return server_pid_;
  }

  pid_t server_pid_ = -1;
  ChildGuard server_;  // declared before mount_: destroyed after it
  MountGuard mount_;
  bool mounted_ = false;
};

// KEY=value lines of `blkid -p -o export DEVICE`.
inline std::string blkid_value(const std::string& device, const std::string& key) {
  auto r = run("blkid -p -o export " + sh_quote(device) + " 2>/dev/null");
  std::size_t at = r.out.find("\n" + key + "=");
  if (r.out.compare(0, key.size() + 1, key + "=") == 0) at = 0;
  else if (at == std::string::npos) return "";
  else at += 1;
  at += key.size() + 1;
  // The export format escapes blanks and specials with a backslash.
  const std::string raw = r.out.substr(at, r.out.find('\n', at) - at);
  std::string value;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
    value += raw[i];
  }
  return value;
}

}  // namespace k32l_test
