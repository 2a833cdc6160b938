// Tools of the hostile-condition tests: a FUSE server that stalls on command,
// counts of this process's threads, and questions asked as nobody.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support.h"

namespace k32l_test {

// Whether main() entered a private mount namespace (root only), and if not,
// why.
extern bool private_namespace;
extern std::string no_private_namespace_reason;

// A test on mounts of its own in the tests' private mount namespace
// (skipped without one), in a fresh temporary directory /tmp/PREFIX-XXXXXX;
// the tmpfs mounts it makes have PREFIX as their source.
class NamespaceTest : public ::testing::Test {
 protected:
  explicit NamespaceTest(const std::string& prefix = "k32l-test") : prefix_(prefix), dir_(prefix) {}
  void SetUp() override {
    if (!private_namespace) GTEST_SKIP() << no_private_namespace_reason;
    ASSERT_FALSE(dir_.path().empty());
  }

  bool mount_tmpfs(const std::string& target, const std::string& size = "4m") {
    return run("mount -t tmpfs -o size=" + size + " " + prefix_ + " " + sh_quote(target)).status ==
           0;
  }

  const std::string prefix_;
  TempDir dir_;
};

// Entries of directory `path`, but . and .. (0 where it cannot be read).
inline int entry_count(const char* path) {
  int n = 0;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// Threads of this process right now.
inline int thread_count() { return entry_count("/proc/self/task"); }

// Descriptors open in the calling thread's table now.
inline int descriptor_count() { return entry_count("/proc/thread-self/fd"); }

// What `ask` answers in a child that has dropped to uid and gid 65534
// (nobody), every one of them: real, effective and saved.
inline std::string as_nobody(const std::function<std::string()>& ask) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string answer = "no privileges dropped";
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
        setresuid(65534, 65534, 65534) == 0)
      answer = ask();
    (void)!write(fds[1], answer.data(), answer.size());
    _exit(0);
  }
  close(fds[1]);
  std::string answer;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) answer.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return answer;
}

// The file system name and label a caller without privileges gets for the
// mount point `root` ("FS|LABEL", or "error CODE").
inline std::string unprivileged_answer(const std::string& root) {
  return as_nobody([&] {
    const auto info = volume_info(wide(root + "\\"));
    return info.ok ? info.fs_name + "|" + info.label : "error " + std::to_string(info.error);
  });
}

// Lowers this process's descriptor limit to the lowest free descriptor, so
// that every open fails with EMFILE, until the end of the scope; with
// `spare`, that many opens succeed first (while nothing is closed).
class NoFreeDescriptors {
 public:
  explicit NoFreeDescriptors(int spare = 0) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest = open("/", O_PATH | O_CLOEXEC);  // open takes the lowest free one
    if (lowest < 0) return;
    close(lowest);
    rlimit tight = saved_;
    tight.rlim_cur = static_cast<rlim_t>(lowest + spare);
    active_ = setrlimit(RLIMIT_NOFILE, &tight) == 0;
  }
  ~NoFreeDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }
  NoFreeDescriptors(const NoFreeDescriptors&) = delete;
  NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

// The stalling FUSE server (k32l_stallfs) serving `backing` as
// MOUNT/disk.img, with mount options `options` ("-o" text, none when
// empty). Stall() makes every request wait; Slow() makes each take 400 ms;
// Resume() or the end of the guard lets them go on at full speed, so
// nothing stays stuck after a test.
class StallingServer {
 public:
  StallingServer(const std::string& backing, const std::string& mount,
                 const std::string& options = "")
      : mount_(mount) {
#ifdef K32L_STALLFS_PATH
    pid_ = fork();
    if (pid_ == 0) {
      if (options.empty())
        execl(K32L_STALLFS_PATH, K32L_STALLFS_PATH, backing.c_str(), "-f", "-s", mount.c_str(),
              static_cast<char*>(nullptr));
      else
        execl(K32L_STALLFS_PATH, K32L_STALLFS_PATH, backing.c_str(), "-f", "-s", "-o",
              options.c_str(), mount.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid_ > 0 && !wait_for_mount(mount)) stop();
#else
    (void)backing;
    (void)options;
#endif
  }
  ~StallingServer() { stop(); }
  StallingServer(const StallingServer&) = delete;
  StallingServer& operator=(const StallingServer&) = delete;

  bool running() const { return pid_ > 0; }
  std::string file() const { return mount_ + "/disk.img"; }
  void stall() { kill(pid_, SIGUSR1); }
  void slow() { kill(pid_, SIGWINCH); }
  void resume() { kill(pid_, SIGUSR2); }

 private:
  void stop() {
    if (pid_ <= 0) return;
    resume();
    umount2(mount_.c_str(), MNT_DETACH);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string mount_;
  pid_t pid_ = -1;
};

// Resumes a stalled server when a test ends, before the guards declared
// earlier unmount and detach what sits on it.
class ResumeGuard {
 public:
  explicit ResumeGuard(StallingServer& server) : server_(server) {}
  ~ResumeGuard() { server_.resume(); }
  ResumeGuard(const ResumeGuard&) = delete;
  ResumeGuard& operator=(const ResumeGuard&) = delete;

 private:
  StallingServer& server_;
};

}  // namespace k32l_test
