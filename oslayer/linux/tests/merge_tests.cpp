// Where the provider's rules meet: a caller's view (descriptor table, root)
// and the workers that run its blocking calls, what may block and the
// identity of the mount a walk reaches, process lifetime and the state a
// forked child inherits. On real mounts in the tests' own mount namespace.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "bounded.h"
#include "hostile_support.h"
#include "raii.h"

using namespace k32l_test;

namespace {

// What a call answered: its success and its code.
struct Answer {
  bool ok = false;
  DWORD error = 0;
  std::string fs_name;
};

Answer answer_of(const VolumeInfo& v) { return {v.ok, v.error, v.fs_name}; }

Answer free_space_of(const std::string& path) {
  ULARGE_INTEGER total{};
  Answer a;
  a.ok = GetDiskFreeSpaceExW(wide(path).c_str(), nullptr, &total, nullptr) != 0;
  a.error = GetLastError();
  return a;
}

class Merge : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!private_namespace) GTEST_SKIP() << no_private_namespace_reason;
    ASSERT_FALSE(dir_.path().empty());
  }

  bool mount_tmpfs(const std::string& target) {
    return run("mount -t tmpfs -o size=4m review-merge " + sh_quote(target)).status == 0;
  }

  // A stalling FUSE server of its own backing file, mounted at dir/NAME;
  // null where FUSE or the server is missing.
  std::unique_ptr<StallingServer> serve(const std::string& name) {
#ifdef K32L_STALLFS_PATH
    if (access("/dev/fuse", R_OK | W_OK) != 0) return nullptr;
    const std::string backing = dir_.path() + "/" + name + ".img";
    if (run("truncate -s 1M " + sh_quote(backing)).status != 0) return nullptr;
    auto server = std::make_unique<StallingServer>(backing, dir_.sub(name));
    if (server->running()) return server;
#else
    (void)name;
#endif
    return nullptr;
  }

  TempDir dir_{"review-merge"};
};

}  // namespace

// ---- the caller's descriptor table and its workers -------------------------------

// Workers resolve the descriptors and paths a caller hands them by number,
// so they must share its descriptor table and root. A thread that unshares
// its descriptor table again after its workers started (same root, same
// namespace), and a main thread that unshares its own after the process's
// workers started, are served by workers with the new table: a descriptor
// opened since, asked about by handle or reached by a walk into a FUSE
// mount, is that very file.
TEST_F(Merge, WorkersOfACallerThatUnsharedItsDescriptorTableAgainShareTheNewOne) {
  const std::string tmp = dir_.sub("tmp");
  ASSERT_TRUE(mount_tmpfs(tmp));
  MountGuard tmp_mount(tmp);
  const std::string file = tmp + "/f";
  ASSERT_EQ(run("touch " + sh_quote(file)).status, 0);
  auto fuse = serve("fuse");
  const bool with_fuse = fuse != nullptr;

  // A thread with a table of its own, whose workers started with it.
  Answer before, by_number, walked;
  bool unshared = false;
  std::thread([&] {
    if (unshare(CLONE_FILES) != 0) return;
    k32l::UniqueFd first(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    before = answer_of(by_handle(first.get()));
    if (with_fuse) free_space_of(fuse->file());
    if (unshare(CLONE_FILES) != 0) return;
    unshared = true;
    k32l::UniqueFd later(fcntl(k32l::UniqueFd(open(file.c_str(), O_RDONLY | O_CLOEXEC)).get(),
                               F_DUPFD_CLOEXEC, 700));
    by_number = answer_of(by_handle(later.get()));
    if (with_fuse) walked = free_space_of(fuse->file());
  }).join();
  if (!unshared) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
  EXPECT_TRUE(before.ok) << before.error;
  EXPECT_TRUE(by_number.ok) << "a descriptor opened after the second unshare: " << by_number.error;
  EXPECT_EQ(by_number.fs_name, "tmpfs");
  if (with_fuse) {
    EXPECT_TRUE(walked.ok) << "a walk into FUSE on the old table's workers: " << walked.error;
  }

  // The main thread of a process (a forked child of this one) that
  // unshares its descriptor table after the process's workers started.
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    k32l::UniqueFd first(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    const bool started = by_handle(first.get()).ok;
    char verdict = 's';  // skipped: the unshare was refused
    if (unshare(CLONE_FILES) == 0) {
      k32l::UniqueFd later(fcntl(k32l::UniqueFd(open(file.c_str(), O_RDONLY | O_CLOEXEC)).get(),
                                 F_DUPFD_CLOEXEC, 700));
      const auto answer = by_handle(later.get());
      verdict = started && answer.ok && answer.fs_name == "tmpfs" ? 'y' : 'n';
    }
    (void)!write(report[1], &verdict, 1);
    _exit(0);
  }
  ChildGuard reaped(child);
  close(report[1]);
  char verdict = 0;
  const bool reported = read(report[0], &verdict, 1) == 1;
  close(report[0]);
  ASSERT_TRUE(reported) << "the child did not report";
  if (verdict != 's') {
    EXPECT_EQ(verdict, 'y') << "the main thread's new table was not the workers' table";
  }
}
