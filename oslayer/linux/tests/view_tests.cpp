// Whose view a call is answered in: the calling thread's root directory
// (chroot), its descriptor table, its mount namespace, and descriptors whose
// mount the caller's table does not list. On real mounts in the tests' own
// mount namespace; threads that change their view do it on threads of their
// own, so the rest of the process keeps its view.
#include <fcntl.h>
#include <sched.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "bounded.h"
#include "caller_view.h"
#include "hostile_support.h"
#include "identity.h"
#include "raii.h"
#include "snapshot.h"
#include "verified_mount_points.h"

using namespace k32l_test;
using Clock = std::chrono::steady_clock;

namespace {

// Every mount point the provider lists, over all volumes.
std::set<std::string> listed_paths() {
  std::set<std::string> paths;
  for (const auto& name : all_volume_names())
    for (const auto& p : paths_of(name)) paths.insert(p);
  return paths;
}

// A thread that first unshares `flags` (its mount namespace, root and
// working directory, or descriptor table) and then runs what it is given,
// one task at a time, until it is destroyed. run() waits for the task.
class ViewThread {
 public:
  explicit ViewThread(int flags) : thread_([this, flags] { main(flags); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
  }
  ~ViewThread() { finish(); }
  ViewThread(const ViewThread&) = delete;
  ViewThread& operator=(const ViewThread&) = delete;

  bool unshared() const { return unshared_; }
  void run(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    changed_.notify_all();
    changed_.wait(lock, [this] { return tasks_.empty() && !busy_; });
  }
  // Ends the thread and waits until it is gone.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void main(int flags) {
    std::unique_lock<std::mutex> lock(mutex_);
    unshared_ = unshare(flags) == 0;
    started_ = true;
    changed_.notify_all();
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      busy_ = true;
      lock.unlock();
      if (unshared_) task();
      lock.lock();
      tasks_.pop_front();
      busy_ = false;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;
  bool started_ = false, busy_ = false, stop_ = false, unshared_ = false;
  std::thread thread_;  // last: starts after the members it uses
};

// Takes the calling thread's root and working directory back to where they
// were when it was made (the thread must not have unshared them since).
class RootGuard {
 public:
  RootGuard()
      : root_(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)),
        cwd_(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  ~RootGuard() {
    if (!saved()) return;
    if (fchdir(root_.get()) != 0 || chroot(".") != 0 || fchdir(cwd_.get()) != 0)
      std::abort();  // the tests would go on in the jail
  }
  RootGuard(const RootGuard&) = delete;
  RootGuard& operator=(const RootGuard&) = delete;
  bool saved() const { return root_.valid() && cwd_.valid(); }

 private:
  k32l::UniqueFd root_, cwd_;
};

class View : public NamespaceTest {
 protected:
  View() : NamespaceTest("view-test") {}

  // An ext4 image on a loop device (nullopt: no loop devices or mkfs.ext4).
  std::optional<std::string> ext4_image(const std::string& name, const std::string& label) {
    return loop_image(dir_.path() + "/" + name, "16M", "mkfs.ext4 -q -F -L " + label + " IMG");
  }

  bool mount_ext4(const std::string& device, const std::string& target) {
    return run("mount -t ext4 " + sh_quote(device) + " " + sh_quote(target)).status == 0;
  }
};

}  // namespace

// ---- who shares a view -----------------------------------------------------------

// Threads that share the main thread's root and descriptor table share its
// view and its workers; a thread with either of its own has workers of its
// own, and one with its own root (or namespace) a table of its own.
TEST(CallerViewOf, ThreadsAreToldApartByWhatTheyShareWithTheMainThread) {
  const auto main_view = k32l::current_view().key;
  EXPECT_EQ(k32l::worker_owner(), 0u);
  k32l::ViewKey plain_view;
  std::uint64_t plain_owner = 1;
  std::thread([&] {
    plain_view = k32l::current_view().key;
    plain_owner = k32l::worker_owner();
  }).join();
  EXPECT_EQ(plain_view, main_view);
  EXPECT_EQ(plain_owner, 0u);

  for (int flags : {CLONE_FILES, CLONE_FS}) {
    ViewThread own(flags);
    if (!own.unshared()) continue;
    std::uint64_t owner = 0, tid = 0;
    own.run([&] {
      owner = k32l::worker_owner();
      tid = static_cast<std::uint64_t>(gettid());
    });
    EXPECT_EQ(owner, tid) << "unshared " << flags;
  }
  if (!private_namespace) return;  // chroot needs root
  ViewThread jailed(CLONE_FS);
  k32l::ViewKey jailed_view;
  jailed.run([&] {
    if (chroot("/tmp") == 0) jailed_view = k32l::current_view().key;
  });
  EXPECT_NE(jailed_view, main_view) << "a thread in a chroot is in a view of its own";
}

// ---- the root directory ---------------------------------------------------------

// A thread in a chroot sees the jail: its mount points written from the
// jail's root, nothing outside it, and the jail's own capacity at "/" --
// also when the process read the whole table just before.
TEST_F(View, AThreadInAChrootSeesTheJailsMountsFromItsRoot) {
  const auto dev = ext4_image("data.img", "JailData");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*dev);
  const std::string jail = dir_.sub("jail");
  ASSERT_TRUE(mount_tmpfs(jail, "8m"));
  MountGuard jail_mount(jail);
  ASSERT_EQ(mkdir((jail + "/proc").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((jail + "/data").c_str(), 0755), 0);
  ASSERT_EQ(run("mount -t proc proc " + sh_quote(jail + "/proc")).status, 0);
  MountGuard proc_mount(jail + "/proc");
  ASSERT_TRUE(mount_ext4(*dev, jail + "/data"));
  MountGuard data_mount(jail + "/data");
  // The whole table, as the process sees it, is read and kept.
  ASSERT_TRUE(volume_at(jail + "/data"));
  ASSERT_TRUE(volume_at(jail));

  ViewThread jailed(CLONE_FS);
  if (!jailed.unshared()) GTEST_SKIP() << "unshare(CLONE_FS) refused";
  bool entered = false;
  std::set<std::string> paths;
  VolumeInfo data, root;
  ULARGE_INTEGER total{};
  BOOL space_ok = FALSE;
  struct statvfs expected {};
  jailed.run([&] {
    entered = chroot(jail.c_str()) == 0 && chdir("/") == 0;
    if (!entered) return;
    paths = listed_paths();
    data = volume_info(u"/data\\");
    root = volume_info(u"/\\");
    space_ok = GetDiskFreeSpaceExW(u"/\\", nullptr, &total, nullptr);
    statvfs("/", &expected);
  });
  ASSERT_TRUE(entered) << "chroot failed";
  EXPECT_EQ(paths, (std::set<std::string>{"/", "/data"}))
      << "the jail's table is its root and its data mount, written from its root";
  EXPECT_TRUE(data.ok) << "GetVolumeInformation(/data) in the jail failed with " << data.error;
  EXPECT_EQ(data.fs_name, "ext4");
  EXPECT_TRUE(root.ok) << root.error;
  EXPECT_EQ(root.fs_name, "tmpfs") << "the jail's root is its tmpfs";
  ASSERT_TRUE(space_ok);
  EXPECT_EQ(total.QuadPart, std::uint64_t(expected.f_blocks) * expected.f_frsize)
      << "the capacity of / is the jail's";

  // The rest of the process keeps its own view.
  EXPECT_TRUE(volume_at(jail + "/data"));
  EXPECT_FALSE(volume_at("/data"));

  // The main thread itself (and with it every thread sharing its root)
  // enters the jail, after reading the whole table, and comes back.
  {
    RootGuard back;
    ASSERT_TRUE(back.saved());
    ASSERT_EQ(chroot(jail.c_str()), 0);
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(listed_paths(), (std::set<std::string>{"/", "/data"}));
    EXPECT_EQ(volume_info(u"/data\\").fs_name, "ext4") << "the jailed process could not read /data";
  }
  EXPECT_TRUE(volume_at(jail + "/data")) << "back from the jail, the table is the whole one again";
}

// A jail that is a plain directory (no mount point) and has no /proc: its
// table is the mounts below it, written from its root, and with no change
// signal to watch there, a mount made after a call is seen by the next.
TEST_F(View, AThreadInAJailWithoutProcSeesItsMountsAndEachChange) {
  const std::string jail = dir_.sub("bare-jail"), first = dir_.sub("bare-jail/first"),
                    second = dir_.sub("bare-jail/second");
  ASSERT_TRUE(mount_tmpfs(first));
  MountGuard first_mount(first);
  ASSERT_TRUE(volume_at(first));  // the whole table is read and kept

  ViewThread jailed(CLONE_FS);
  if (!jailed.unshared()) GTEST_SKIP() << "unshare(CLONE_FS) refused";
  bool entered = false;
  std::set<std::string> before, after;
  VolumeInfo at_first;
  jailed.run([&] {
    entered = chroot(jail.c_str()) == 0 && chdir("/") == 0;
    if (!entered) return;
    before = listed_paths();
    at_first = volume_info(u"/first\\");
  });
  ASSERT_TRUE(entered) << "chroot failed";
  if (before.empty() && !at_first.ok)
    GTEST_SKIP() << "this kernel's mount table is read from /proc, which the jail lacks";
  EXPECT_EQ(before, std::set<std::string>{"/first"});
  EXPECT_TRUE(at_first.ok) << at_first.error;
  EXPECT_EQ(at_first.fs_name, "tmpfs");

  ASSERT_TRUE(mount_tmpfs(second));
  MountGuard second_mount(second);
  jailed.run([&] { after = listed_paths(); });
  EXPECT_EQ(after, (std::set<std::string>{"/first", "/second"}))
      << "a mount made since the last call is in the next one";
}

// A table read while the process had no descriptor free is kept without a
// change signal to watch: the first call that can open the signal again
// reads the table again, so a mount made in between is seen; with a
// descriptor for the table but none for an epoll instance, the table is
// polled for changes. In a forked
// child (no table kept yet), in a jail of tmpfs mounts and its own /proc,
// so that no device probe fails for want of descriptors and forces a new
// read anyway.
TEST_F(View, ATableKeptWhileNoDescriptorWasFreeIsReadAgainOnceOneIs) {
  const std::string jail = dir_.sub("fd-jail"), proc = dir_.sub("fd-jail/proc"),
                    first = dir_.sub("fd-jail/first");
  dir_.sub("fd-jail/second");
  ASSERT_TRUE(mount_tmpfs(first));
  MountGuard first_mount(first);
  ASSERT_EQ(mount("proc", proc.c_str(), "proc", 0, nullptr), 0) << strerror(errno);
  MountGuard proc_mount(proc);
  MountGuard second_mount(jail + "/second");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chroot(jail.c_str()) != 0 || chdir("/") != 0) _exit(10);
    std::set<std::string> before;
    {
      NoFreeDescriptors none;
      if (!none.active()) _exit(11);
      before = listed_paths();
    }
    if (before != std::set<std::string>{"/first"}) _exit(12);
    if (mount("view-test", "/second", "tmpfs", 0, "size=1m") != 0) _exit(13);
    int code = 0;
    {
      // One descriptor free: the table's, and none for the epoll instance,
      // so its changes are polled from then on.
      NoFreeDescriptors one(1);
      if (listed_paths() != std::set<std::string>{"/first", "/second"}) code |= 1;
    }
    if (umount2("/second", MNT_DETACH) != 0) _exit(13);
    if (listed_paths() != std::set<std::string>{"/first"}) code |= 2;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 12)
    GTEST_SKIP() << "this kernel's table is not read without a descriptor (before Linux 6.15)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the mount made since is not seen; 2: an unmount "
                                        "flagged by a polled table is not seen; 10, 11, 13: set-up";
}

// Kept answers in a jail, whose root the rest of the system can change
// under it: a mount over the jail's directory (the jailed thread's walks
// start below it, at its root), one placed beneath the jail's own mount
// (MOVE_MOUNT_BENEATH, Linux 6.5+), and each unmounted again. After each,
// the jailed thread builds its table with the answers kept from its last
// build and asking every mount point, and the two agree.
TEST_F(View, AJailsTableIsBuiltAlikeWithKeptAnswersWhenItsRootIsCoveredOrUnderlaid) {
  const std::string jail = dir_.sub("jail"), beneath = dir_.sub("beneath");
  ASSERT_TRUE(mount_tmpfs(jail, "8m"));
  MountGuard placed_beneath(jail);  // once the jail's own mount is gone
  MountGuard jail_mount(jail);
  ASSERT_EQ(mkdir((jail + "/inner").c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(jail + "/inner"));
  MountGuard inner_mount(jail + "/inner");
  ViewThread jailed(CLONE_FS);
  if (!jailed.unshared()) GTEST_SKIP() << "unshare(CLONE_FS) refused";
  bool entered = false;
  std::shared_ptr<const k32l::VerifiedMountPoints> earlier;
  std::vector<std::string> differences;
  const auto where = [](const k32l::Snapshot& snap) {
    std::string out;
    for (const k32l::Volume& v : snap.volumes) {
      out += v.id + " dev=" + std::to_string(v.dev) + " at:";
      for (const std::string& t : v.targets) out += " " + t;
      out += "\n";
    }
    return out;
  };
  const auto build_in_jail = [&](const std::string& change) {
    jailed.run([&] {
      auto table = k32l::read_identified_table(k32l::mount_table_path());
      if (!table.ok()) {
        differences.push_back(change + ": the table was not read");
        return;
      }
      const auto kept = k32l::build_snapshot(table.value, earlier.get());
      const auto asked = k32l::build_snapshot(table.value);
      if (where(kept) != where(asked))
        differences.push_back(change + ":\n" + where(kept) + "against\n" + where(asked));
      earlier = kept.verified_mount_points;
    });
  };
  jailed.run([&] { entered = chroot(jail.c_str()) == 0 && chdir("/") == 0; });
  ASSERT_TRUE(entered);
  if (k32l::compared_by(k32l::read_identified_table(k32l::mount_table_path()).value) !=
      k32l::MountIdKind::Unique)
    GTEST_SKIP() << "the kernel gives no unique mount IDs (Linux before 6.8): nothing is kept";
  build_in_jail("the first build");
  ASSERT_TRUE(mount_tmpfs(jail));
  {
    MountGuard cover(jail);
    build_in_jail("a mount over the jail's directory");
  }
  build_in_jail("the mount over the jail's directory gone");
  ASSERT_TRUE(mount_tmpfs(beneath));
  MountGuard beneath_mount(beneath);
  constexpr unsigned kMoveMountBeneath = 0x00000200;
  if (syscall(SYS_move_mount, AT_FDCWD, beneath.c_str(), AT_FDCWD, jail.c_str(),
              kMoveMountBeneath) == 0) {
    build_in_jail("a mount placed beneath the jail's");
  } else {
    std::printf("[ note     ] no MOVE_MOUNT_BENEATH (Linux before 6.5): %s\n", strerror(errno));
  }
  for (const std::string& d : differences) ADD_FAILURE() << d;
}

// ---- the descriptor table -------------------------------------------------------

// A thread with a descriptor table of its own: its descriptors are the ones
// asked about, whether or not the main table has the same number open (on
// another file system) or has it at all.
TEST_F(View, AThreadWithItsOwnDescriptorTableIsAnsweredFromThatTable) {
  const auto dev = ext4_image("own.img", "OwnTable");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*dev);
  const std::string tmp = dir_.sub("tmpfs"), ext4 = dir_.sub("ext4");
  ASSERT_TRUE(mount_tmpfs(tmp));
  MountGuard tmp_mount(tmp);
  ASSERT_TRUE(mount_ext4(*dev, ext4));
  MountGuard ext4_mount(ext4);
  ASSERT_EQ(run("touch " + sh_quote(tmp + "/a") + " " + sh_quote(ext4 + "/b")).status, 0);
  k32l::UniqueFd on_tmpfs(open((tmp + "/a").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(on_tmpfs.valid());
  ASSERT_EQ(by_handle(on_tmpfs.get()).fs_name, "tmpfs");  // the main table is read first
  const std::uint32_t ext4_serial = k32l::serial_from_device(dev_of(ext4));

  ViewThread own(CLONE_FILES);
  if (!own.unshared()) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
  VolumeInfo same_number, own_number;
  bool opened = false;
  own.run([&] {
    // The thread's copy of the tmpfs descriptor becomes a file on ext4 ...
    k32l::UniqueFd b(open((ext4 + "/b").c_str(), O_RDONLY | O_CLOEXEC));
    opened = b.valid() && dup2(b.get(), on_tmpfs.get()) == on_tmpfs.get();
    if (!opened) return;
    same_number = by_handle(on_tmpfs.get());
    // ... and a number the main table does not have open.
    k32l::UniqueFd only_here(fcntl(b.get(), F_DUPFD_CLOEXEC, 900));
    opened = only_here.valid();
    if (opened) own_number = by_handle(only_here.get());
    close(on_tmpfs.get());  // the thread's copy only
  });
  ASSERT_TRUE(opened);
  EXPECT_TRUE(same_number.ok) << same_number.error;
  EXPECT_EQ(same_number.fs_name, "ext4") << "answered from the main table's descriptor";
  EXPECT_EQ(same_number.serial, ext4_serial);
  EXPECT_EQ(same_number.label, "OwnTable");
  EXPECT_TRUE(own_number.ok) << own_number.error;
  EXPECT_EQ(own_number.fs_name, "ext4");
  EXPECT_EQ(own_number.serial, ext4_serial);
  // The main table's descriptor is still the tmpfs file.
  EXPECT_EQ(by_handle(on_tmpfs.get()).fs_name, "tmpfs");
}

namespace {

// In a forked child, whose provider holds no table yet (with kcmp refused
// when `refuse_kcmp`): a thread with a table of its own calls first and
// stays, then the main thread mounts at `later` and calls, and once more
// after that thread is gone. The child's exit status: bit 1, the mount was
// not seen; bit 2, the unmount was not seen; 10, unshare(CLONE_FILES)
// refused; 20, no system-call filter could be set; 11, 12: set-up.
// Has the kernel refuse kcmp with EPERM, in the calling thread and the
// threads it starts, as a container's system-call filter does; false when
// no filter could be set.
bool refuse_kcmp() {
  sock_filter refuse[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_kcmp, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(refuse)), refuse};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

int first_caller_has_its_own_table(const std::string& later, bool refuse_kcmp) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (refuse_kcmp && !::refuse_kcmp()) _exit(20);
    int code = 0;
    {
      ViewThread own(CLONE_FILES);
      if (!own.unshared()) _exit(10);
      own.run([] {
        // Numbers the main table does not have open.
        for (int i = 0; i < 20; ++i) (void)fcntl(0, F_DUPFD_CLOEXEC, 0);
        all_volume_names();
      });
      if (mount("view-test", later.c_str(), "tmpfs", 0, "size=1m") != 0) _exit(11);
      if (!volume_at(later)) code |= 1;
    }
    if (umount2(later.c_str(), MNT_DETACH) != 0) _exit(12);
    if (volume_at(later)) code |= 2;
    _exit(code);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

// The table's change signal reaches every thread, whatever descriptor table
// the first caller had; also where the kernel will not compare descriptor
// tables: kcmp is refused (a container's system-call filter refuses it
// unless the caller may trace), so which threads share the main thread's
// table cannot be told, and a thread with one of its own must not be taken
// to share it.
TEST_F(View, AChangeIsSeenWhicheverDescriptorTableTheFirstCallerHad) {
  for (const bool refuse_kcmp : {false, true}) {
    SCOPED_TRACE(refuse_kcmp ? "kcmp refused" : "kcmp allowed");
    const std::string later = dir_.sub(refuse_kcmp ? "later-no-kcmp" : "later");
    MountGuard later_mount(later);
    const int status = first_caller_has_its_own_table(later, refuse_kcmp);
    ASSERT_GE(status, 0);
    if (status == 10) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
    if (status == 20) GTEST_SKIP() << "no system-call filter could be set";
    EXPECT_EQ(status & 1, 0) << "a mount made while that thread stays is not seen";
    EXPECT_EQ(status & 2, 0) << "an unmount made after that thread is gone is not seen";
    EXPECT_LT(status, 4) << "mounting in the child failed";
  }
}

// A forked child keeps none of the descriptors its parent's provider watches
// tables with (each table's, and the epoll instance holding it): a child
// that forks in turn, as a server's workers do, would pile them up, each
// keeping the parent's mount namespace alive; and an instance shared with
// the parent would let the child's wait take the parent's notices.
TEST_F(View, AForkedChildHoldsNoneOfTheDescriptorsItsParentWatchesWith) {
  ASSERT_FALSE(all_volume_names().empty());  // the parent watches its table
  std::vector<int> watching;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[256];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
    const std::string text(link, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (text == "anon_inode:[eventpoll]" || text == "anon_inode:inotify" ||
        (text.size() > 10 && text.compare(text.size() - 10, 10, "/mountinfo") == 0))
      watching.push_back(fd);
  }
  ASSERT_GE(watching.size(), 3u) << "the table, the rename watch and the epoll instance";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int still_open = 0;
    for (int fd : watching) still_open += fcntl(fd, F_GETFD) >= 0;
    _exit(still_open);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "of the parent's watching descriptors still open there";
}

// Tables that part after the first call: a thread that shared the main
// thread's table (and so its view's watch) unshares it, and then the main
// thread unshares its own; each must go on seeing the changes made before
// its calls, and so must the main thread once the other thread is gone.
TEST_F(View, ThreadsThatUnshareTheirTablesAfterTheFirstCallSeeEveryChange) {
  const std::string first = dir_.sub("first"), second = dir_.sub("second");
  MountGuard first_mount(first), second_mount(second);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 0;
    all_volume_names();  // the main thread's table watched
    {
      ViewThread other(0);  // shares everything at first
      other.run([] { all_volume_names(); });
      other.run([&] {
        if (unshare(CLONE_FILES) != 0) _exit(10);
      });
      if (mount("view-test", first.c_str(), "tmpfs", 0, "size=1m") != 0) _exit(11);
      other.run([&] { code |= volume_at(first) ? 0 : 1; });
      if (!volume_at(first)) code |= 2;
      if (unshare(CLONE_FILES) != 0) _exit(10);
      if (mount("view-test", second.c_str(), "tmpfs", 0, "size=1m") != 0) _exit(11);
      if (!volume_at(second)) code |= 4;
      other.run([&] { code |= volume_at(second) ? 0 : 8; });
    }
    if (umount2(first.c_str(), MNT_DETACH) != 0) _exit(11);
    if (volume_at(first)) code |= 16;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1, 2: a mount after the thread unshared its table is missed by it, by the main thread; "
         "4, 8: one after the main thread unshared its own, by it, by the thread; 16: an unmount "
         "after the thread is gone, by the main thread; 11: set-up";
}

// ---- descriptors whose mount is not in the caller's table -----------------------

// The file says which volume it is on: a descriptor opened in another mount
// namespace (through that namespace's copy of a mount) and one opened
// through a bind that was lazily unmounted since are answered as the volume
// of the file's device, which the caller's table lists.
TEST_F(View, ADescriptorWhoseMountIsNotListedIsAnsweredFromItsFile) {
  const auto dev = ext4_image("elsewhere.img", "Elsewhere");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*dev);
  const std::string ext4 = dir_.sub("ext4"), bind = dir_.sub("bind");
  ASSERT_TRUE(mount_ext4(*dev, ext4));
  MountGuard ext4_mount(ext4);
  ASSERT_EQ(run("touch " + sh_quote(ext4 + "/f")).status, 0);
  const std::uint32_t serial = k32l::serial_from_device(dev_of(ext4));
  ASSERT_TRUE(volume_at(ext4));

  // Opened in a namespace of another thread (the descriptor table is shared).
  k32l::UniqueFd from_other_namespace;
  {
    ViewThread other(CLONE_NEWNS);
    if (!other.unshared()) GTEST_SKIP() << "unshare(CLONE_NEWNS) refused";
    other.run([&] {
      from_other_namespace.reset(open((ext4 + "/f").c_str(), O_RDONLY | O_CLOEXEC));
    });
  }
  ASSERT_TRUE(from_other_namespace.valid());
  const auto inherited = by_handle(from_other_namespace.get());
  EXPECT_TRUE(inherited.ok) << "from another namespace: failed with " << inherited.error;
  EXPECT_EQ(inherited.fs_name, "ext4");
  EXPECT_EQ(inherited.serial, serial);
  EXPECT_EQ(inherited.label, "Elsewhere");

  // Opened through a bind, which is then lazily unmounted.
  ASSERT_EQ(run("mount --bind " + sh_quote(ext4) + " " + sh_quote(bind)).status, 0);
  MountGuard bind_mount(bind);
  k32l::UniqueFd through_bind(open((bind + "/f").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(through_bind.valid());
  ASSERT_TRUE(by_handle(through_bind.get()).ok);  // the bind is listed so far
  bind_mount.release();
  const auto detached = by_handle(through_bind.get());
  EXPECT_TRUE(detached.ok) << "through a detached bind: failed with " << detached.error;
  EXPECT_EQ(detached.fs_name, "ext4");
  EXPECT_EQ(detached.serial, serial);
}

// ---- what the provider keeps for a view -----------------------------------------

// A thread that enters a namespace of its own, mounts an image there, asks
// about it and ends leaves nothing behind that keeps the namespace, and so
// the image's file system and loop device, in use: the device can be had
// exclusively again within a couple of bounds, while nothing else calls.
TEST_F(View, ADeadThreadsNamespaceIsNotKeptAlive) {
  const auto dev = ext4_image("dead.img", "DeadNs");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*dev);
  const std::string target = dir_.sub("private");
  ASSERT_FALSE(all_volume_names().empty());  // the process's own view is kept

  bool mounted = false;
  VolumeInfo asked;
  {
    ViewThread other(CLONE_NEWNS);
    if (!other.unshared()) GTEST_SKIP() << "unshare(CLONE_NEWNS) refused";
    other.run([&] {
      mounted = mount(dev->c_str(), target.c_str(), "ext4", 0, nullptr) == 0;
      if (mounted) asked = volume_info(wide(target + "\\"));
    });
  }
  ASSERT_TRUE(mounted);
  EXPECT_TRUE(asked.ok) << asked.error;
  EXPECT_EQ(asked.label, "DeadNs");

  // The thread has ended: the only mount of the device was in its namespace.
  const auto t0 = Clock::now();
  const double limit = 2.0 * std::chrono::duration<double>(k32l::kBlockingCallTimeout).count();
  bool released = false;
  double waited = 0;
  while (!released && waited < limit + 10) {
    k32l::UniqueFd exclusive(open(dev->c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    released = exclusive.valid();
    if (!released) usleep(50 * 1000);
    waited = std::chrono::duration<double>(Clock::now() - t0).count();
  }
  std::printf("[ measured ] the dead thread's image was %s after %.2f s\n",
              released ? "released" : "still in use", waited);
  EXPECT_TRUE(released) << "the image is still mounted " << waited << " s after the thread ended";
  EXPECT_LT(waited, limit) << "the namespace outlived its last thread by more than a bound";
}

// Threads in two mount namespaces that call in turn each keep their view:
// the table of each is read once, not again at every change of caller.
TEST_F(View, ThreadsInTwoNamespacesCallingInTurnKeepTheirTables) {
  const std::string mine = dir_.sub("mine"), theirs = dir_.sub("theirs");
  ViewThread other(CLONE_NEWNS);
  if (!other.unshared()) GTEST_SKIP() << "unshare(CLONE_NEWNS) refused";
  ASSERT_TRUE(mount_tmpfs(mine));  // after the other namespace was copied
  MountGuard mine_mount(mine);
  bool mounted = false;
  other.run([&] { mounted = mount_tmpfs(theirs); });
  ASSERT_TRUE(mounted);
  ASSERT_TRUE(volume_at(mine));
  other.run([&] { mounted = volume_at(theirs).has_value(); });
  ASSERT_TRUE(mounted);

  const auto reads_before = k32l::mount_table_reads();
  bool theirs_listed = true, mine_listed = true;
  for (int i = 0; i < 5; ++i) {
    mine_listed = mine_listed && volume_at(mine) && !volume_at(theirs);
    other.run([&] { theirs_listed = theirs_listed && volume_at(theirs) && !volume_at(mine); });
  }
  EXPECT_TRUE(mine_listed);
  EXPECT_TRUE(theirs_listed);
  EXPECT_EQ(k32l::mount_table_reads() - reads_before, 0u)
      << "the tables were read again although neither changed";
  other.run([&] { MountGuard(theirs).release(); });
}

// ---- volume names ------------------------------------------------------------------

// A volume named by its GUID name is looked up in the table of the search
// that gave the name out, which is checked for changes at every call: an
// unmount that completed before a call is seen by it, and a mount elsewhere
// leaves the other names answering.
TEST_F(View, AVolumeNameSeesEveryChangeMadeBeforeTheCall) {
  const std::string gone = dir_.sub("gone"), stays = dir_.sub("stays"), later = dir_.sub("later");
  ASSERT_TRUE(mount_tmpfs(gone));
  MountGuard gone_mount(gone);
  ASSERT_TRUE(mount_tmpfs(stays));
  MountGuard stays_mount(stays);
  const auto gone_name = volume_at(gone), stays_name = volume_at(stays);
  ASSERT_TRUE(gone_name && stays_name);

  gone_mount.release();
  WCHAR buf[MAX_PATH + 1];
  DWORD needed = 0;
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(gone_name->c_str(), buf, MAX_PATH + 1, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(volume_info(*gone_name).error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetDriveTypeW(gone_name->c_str()), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  ULARGE_INTEGER total{};
  EXPECT_FALSE(GetDiskFreeSpaceExW(gone_name->c_str(), nullptr, &total, nullptr));

  ASSERT_TRUE(mount_tmpfs(later, "8m"));
  MountGuard later_mount(later);
  EXPECT_EQ(paths_of(*stays_name), std::vector<std::string>{stays});
  EXPECT_TRUE(volume_info(*stays_name).ok);
  EXPECT_TRUE(GetDiskFreeSpaceExW(stays_name->c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 4ull << 20);

  // Unchanged since: the names are answered without reading the table again.
  const auto reads = k32l::mount_table_reads();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(volume_info(*stays_name).ok);
  EXPECT_EQ(k32l::mount_table_reads(), reads);
}

// A thread that moves to another mount namespace after its search still has
// its volume names answered from the table of that search; a call that
// takes a path follows its new view, and from then on so do its names.
TEST_F(View, AVolumeNameIsAnsweredFromTheTableOfItsSearch) {
  const std::string target = dir_.sub("named");
  ASSERT_TRUE(mount_tmpfs(target));
  MountGuard target_mount(target);
  ViewThread thread(0);
  bool moved = false;
  std::vector<std::string> from_search, after_path_call;
  DWORD path_error = 0, name_error = 0;
  thread.run([&] {
    const auto name = volume_at(target);  // a search, then its names
    if (!name) return;
    moved = unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            umount2(target.c_str(), MNT_DETACH) == 0;
    if (!moved) return;
    from_search = paths_of(*name);
    path_error = volume_info(wide(target + "\\")).error;
    after_path_call = paths_of(*name);
    name_error = GetLastError();
  });
  ASSERT_TRUE(moved) << "could not unmount in a namespace of the thread's own";
  EXPECT_EQ(from_search, std::vector<std::string>{target});
  EXPECT_EQ(path_error, static_cast<DWORD>(ERROR_DIR_NOT_ROOT)) << "a path follows the new view";
  EXPECT_TRUE(after_path_call.empty());
  EXPECT_EQ(name_error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const auto in_process_view = volume_at(target);
  ASSERT_TRUE(in_process_view) << "the process's own namespace keeps the mount";
  EXPECT_EQ(paths_of(*in_process_view), std::vector<std::string>{target});
}

// ---- the provider's descriptors beside the application's ------------------------

namespace {

// The numbers of the calling thread's descriptor table whose /proc link
// reads as `is` accepts.
std::set<int> descriptors_where(const std::function<bool(const std::string&)>& is) {
  std::set<int> found;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[256];
    const ssize_t n =
        readlink(("/proc/thread-self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
    if (n > 0 && is(std::string(link, static_cast<std::size_t>(n)))) found.insert(fd);
  }
  return found;
}

// What the provider watches tables and their mount points with: a mount
// table, an epoll instance, an inotify instance (the tests' own code opens
// none).
std::set<int> watching_descriptors() {
  return descriptors_where([](const std::string& text) {
    return text == "anon_inode:[eventpoll]" || text == "anon_inode:inotify" ||
           (text.size() > 10 && text.compare(text.size() - 10, 10, "/mountinfo") == 0);
  });
}

std::set<int> inotify_descriptors() {
  return descriptors_where([](const std::string& text) { return text == "anon_inode:inotify"; });
}

// How many of `fds` (write ends of pipes) fail a write in a forked child;
// -1 when no child could be forked.
int failed_writes_in_forked_child(const std::set<int>& fds) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    int failed = 0;
    for (int fd : fds) failed += write(fd, "x", 1) != 1;
    _exit(failed);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// `fds` made write ends of one new pipe; false when a number could not be.
bool make_pipe_ends(const std::set<int>& fds, std::vector<k32l::UniqueFd>& owners) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  k32l::UniqueFd low_reader(ends[0]), low_writer(ends[1]);
  // Away from the numbers wanted, which the pipe may have got.
  k32l::UniqueFd reader(fcntl(low_reader.get(), F_DUPFD_CLOEXEC, 700)),
      writer(fcntl(low_writer.get(), F_DUPFD_CLOEXEC, 700));
  low_reader.reset();
  low_writer.reset();
  for (int fd : fds) {
    if (dup3(writer.get(), fd, O_CLOEXEC) != fd) return false;
    owners.emplace_back(fd);
  }
  // The read end stays open, so that writes do not fail for want of a reader.
  owners.push_back(std::move(reader));
  return true;
}

}  // namespace

// A thread with a descriptor table of its own watches its table at numbers
// of that table; in the main thread's table the same numbers are the main
// thread's own files (here the write ends of a pipe, as subprocess's
// exec-status pipe). A child the main thread forks keeps them working.
TEST_F(View, AForkedChildKeepsItsFilesAtTheNumbersOfAnotherTablesWatch) {
  ViewThread own(CLONE_FILES);
  if (!own.unshared()) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
  std::set<int> before, after;
  own.run([&] {
    before = watching_descriptors();
    all_volume_names();
    after = watching_descriptors();
  });
  std::set<int> only_there;
  for (int fd : after)
    if (!before.count(fd) && fcntl(fd, F_GETFD) < 0) only_there.insert(fd);
  ASSERT_FALSE(only_there.empty()) << "the thread watches its table at numbers free here";
  std::vector<k32l::UniqueFd> pipe_ends;
  ASSERT_TRUE(make_pipe_ends(only_there, pipe_ends));
  EXPECT_EQ(failed_writes_in_forked_child(only_there), 0)
      << "of the main thread's files at the other table's watch numbers closed in the child";
}

// The exit status of `body` run in a forked child (-1: no child, or it did
// not exit): the child's descriptors are its own to close and replace.
int status_in_forked_child(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) _exit(body());
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The change signal fails safe: an application that closes descriptors it
// did not open (closerange(3, ~0)) leaves the provider's watch asking
// nothing; that is taken as a change, and the table read and watched again.
TEST_F(View, AWatchTheApplicationClosedStillSignalsEachChange) {
  const std::string later = dir_.sub("after-close");
  MountGuard later_mount(later);
  const int status = status_in_forked_child([&] {
    all_volume_names();
    all_volume_names();  // the second search starts the rename watch
    const std::set<int> watching = watching_descriptors();
    if (watching.size() != 3) return 10;
    for (int fd : watching) close(fd);
    if (mount("view-test", later.c_str(), "tmpfs", 0, "size=1m") != 0) return 11;
    int code = volume_at(later) ? 0 : 1;
    if (watching_descriptors().size() != 3) code |= 2;
    return code;
  });
  EXPECT_EQ(status, 0) << "1: a mount after the watch was closed is missed; 2: the table is "
                          "not watched again; 10: the watch was not three descriptors; 11: set-up";
}

// The same where the watch's numbers got files of the application's (dup2):
// they ask another file, or none that is an epoll instance; and those files
// are never closed, not by the provider nor by its fork handler.
TEST_F(View, AWatchWhoseNumbersGotTheApplicationsFilesStillSignalsEachChange) {
  const std::string later = dir_.sub("after-dup2");
  MountGuard later_mount(later);
  const int status = status_in_forked_child([&] {
    all_volume_names();
    all_volume_names();  // the second search starts the rename watch
    const std::set<int> watching = watching_descriptors();
    if (watching.size() != 3) return 10;
    std::vector<k32l::UniqueFd> pipe_ends;
    if (!make_pipe_ends(watching, pipe_ends)) return 11;
    if (mount("view-test", later.c_str(), "tmpfs", 0, "size=1m") != 0) return 11;
    int code = volume_at(later) ? 0 : 1;
    for (int fd : watching)
      if (write(fd, "x", 1) != 1) code |= 2;
    if (failed_writes_in_forked_child(watching) != 0) code |= 4;
    return code;
  });
  EXPECT_EQ(status, 0) << "1: a mount after the watch's numbers got other files is missed; 2: "
                          "those files were closed; 4: a fork closed them; 10: the watch was "
                          "not three descriptors; 11: set-up";
}

// A volume's mount points listed as the module lists them: a buffer of 5
// units first, grown to each length the call asks for (at most 4 calls).
std::vector<std::string> paths_by_growing(const std::u16string& name) {
  std::vector<WCHAR> buf(5);
  for (int call = 0; call < 4; ++call) {
    DWORD len = 0;
    if (GetVolumePathNamesForVolumeNameW(name.c_str(), buf.data(), buf.size(), &len)) {
      std::vector<std::string> paths;
      for (std::size_t i = 0; i < len && buf[i] != 0; i += paths.back().size() + 1)
        paths.push_back(narrow(std::u16string(buf.data() + i)));
      return paths;
    }
    if (GetLastError() != ERROR_MORE_DATA || len <= buf.size()) break;
    buf.assign(len, 0);
  }
  return {};
}

// The rename watch fails safe too: where the application closed its number,
// or put a file of its own there, a directory renamed above a mount point
// after the search is still seen by the next listing, whether its buffer
// was sized by the text from before the rename (a longer name here) or not.
TEST_F(View, ARenameWatchTheApplicationClosedOrReplacedStillSeesARename) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced (dup2)" : "closed");
    const std::string old_dir = dir_.sub(replaced ? "r-old" : "c-old");
    const std::string new_dir = dir_.path() + (replaced ? "/r-new-and-longer" : "/c-new-and-longer");
    const int status = status_in_forked_child([&] {
      if (mkdir((old_dir + "/m").c_str(), 0755) != 0 ||
          mount("view-test", (old_dir + "/m").c_str(), "tmpfs", 0, "size=1m") != 0)
        return 11;
      all_volume_names();  // the second search starts the rename watch
      const auto name = volume_at(old_dir + "/m");
      if (!name) return 12;
      const std::set<int> inotify = inotify_descriptors();
      if (inotify.size() != 1) return 10;
      std::vector<k32l::UniqueFd> pipe_ends;
      if (replaced ? !make_pipe_ends(inotify, pipe_ends) : close(*inotify.begin()) != 0)
        return 11;
      if (rename(old_dir.c_str(), new_dir.c_str()) != 0) return 11;
      const std::vector<std::string> moved{new_dir + "/m"};
      int code = paths_by_growing(*name) == moved && paths_of(*name) == moved ? 0 : 1;
      if (replaced && write(*inotify.begin(), "x", 1) != 1) code |= 2;
      umount2((new_dir + "/m").c_str(), MNT_DETACH);
      return code;
    });
    EXPECT_EQ(status, 0) << "1: the listing gives the text from before the rename; 2: the "
                            "application's file was closed; 10: no one rename watch; 11, 12: set-up";
  }
}

// Two directories swapped (renameat2 RENAME_EXCHANGE), one of them above a
// mount point: the kernel reports it as two renames, each under its old
// name, and the listing after it gives the mount point's new text.
TEST_F(View, ADirectorySwappedWithAnotherAboveAMountPointMovesItsText) {
  const std::string a = dir_.sub("swap-a"), b = dir_.sub("swap-b");
  ASSERT_EQ(mkdir((a + "/m").c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(a + "/m"));
  auto guard = std::make_unique<MountGuard>(a + "/m");
  const auto name = volume_at(a + "/m");
  ASSERT_TRUE(name);
  ASSERT_EQ(syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE), 0)
      << strerror(errno);
  guard = std::make_unique<MountGuard>(b + "/m");
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{b + "/m"});
}

// A mount point's own directory renamed where it is no mount point (in
// another mount namespace, after an unmount there): its text here changes
// with no change of this view's table, and no directory above it moved.
TEST_F(View, AMountPointsDirectoryRenamedInAnotherNamespaceMovesItsText) {
  const std::string at = dir_.sub("here") + "/m", moved = dir_.path() + "/here/moved";
  ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(at));
  auto guard = std::make_unique<MountGuard>(at);
  const auto name = volume_at(at);
  ASSERT_TRUE(name);
  const int status = status_in_forked_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return 11;
    if (umount2(at.c_str(), MNT_DETACH) != 0) return 12;
    return rename(at.c_str(), moved.c_str()) == 0 ? 0 : 13;
  });
  ASSERT_EQ(status, 0) << "set-up in the other namespace";
  guard = std::make_unique<MountGuard>(moved);
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{moved});
}

// inotify instances are counted per user, across the user's processes: a
// process whose threads each have a descriptor table of their own (each a
// view of its own) takes a few of them, none for a view that searched only
// once, and the views past those still answer.
TEST_F(View, ManyViewsTakeNoMoreThanAFewInotifyInstances) {
  constexpr int kThreads = 24;
  // A table unshared later starts as a copy of the main thread's, whose
  // instances then are at the same numbers there too.
  all_volume_names();
  const std::set<int> main_table = inotify_descriptors();
  std::vector<std::unique_ptr<ViewThread>> threads;
  int answered = 0, instances = 0, after_one = 0;
  for (int n = 0; n < kThreads; ++n) {
    threads.push_back(std::make_unique<ViewThread>(CLONE_FILES));
    if (!threads.back()->unshared()) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
    threads.back()->run([&] {
      // The second search of a view starts its rename watch, not the first.
      answered += !all_volume_names().empty();
      for (int fd : inotify_descriptors()) after_one += main_table.count(fd) == 0;
      answered += !all_volume_names().empty();
      for (int fd : inotify_descriptors()) instances += main_table.count(fd) == 0;
    });
  }
  EXPECT_EQ(answered, 2 * kThreads);
  EXPECT_EQ(after_one, 0) << "views that searched once hold inotify instances";
  EXPECT_GT(instances, 0) << "no view watches for renames";
  EXPECT_LE(instances, 16) << "of the user's inotify instances held by one process's views";
}

// A root path with ".." in a jail that has no /proc: the kernel's walk of it
// ends on a descriptor, which says itself which mount it is on and whether
// it is that mount's root.
TEST_F(View, ARootPathWithDotDotIsWalkedInAJailWithoutProc) {
  const std::string jail = dir_.sub("dotdot-jail");
  ASSERT_TRUE(mount_tmpfs(jail));
  MountGuard jail_mount(jail);
  const std::string inner = jail + "/d";
  ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(inner));
  MountGuard inner_mount(inner);

  ViewThread jailed(CLONE_FS);
  if (!jailed.unshared()) GTEST_SKIP() << "unshare(CLONE_FS) refused";
  const std::vector<std::u16string> roots{u"/", u"/d", u"/d/..", u"/d/../d", u"/d/../d/.."};
  std::vector<VolumeInfo> got;
  bool entered = false;
  jailed.run([&] {
    entered = chroot(jail.c_str()) == 0 && chdir("/") == 0;
    if (entered)
      for (const auto& root : roots) got.push_back(volume_info(root));
  });
  ASSERT_TRUE(entered) << "chroot failed";
  if (!got[0].ok) GTEST_SKIP() << "this kernel's mount table is read from /proc, which the jail lacks";
  for (std::size_t i = 0; i < roots.size(); ++i) {
    EXPECT_TRUE(got[i].ok) << narrow(roots[i]) << " failed with " << got[i].error;
    EXPECT_EQ(got[i].fs_name, "tmpfs") << narrow(roots[i]);
  }
  EXPECT_NE(got[0].serial, got[1].serial);
  EXPECT_EQ(got[2].serial, got[0].serial) << "/d/.. is the jail's root";
  EXPECT_EQ(got[3].serial, got[1].serial) << "/d/../d is /d";
  EXPECT_EQ(got[4].serial, got[0].serial);
}

// Where the kernel refuses kcmp, whether a thread shares the main thread's
// descriptor table, or the table its workers were started in, cannot be
// told: a thread with a table of its own, and the main thread once it has
// unshared its table after its workers started, must not hand descriptor
// numbers to workers in whose table they are other files or none. A
// question by handle about a file each opened (at a number the table the
// workers started in has free) is answered for that file. In a forked
// child, as the filter stays with the process.
TEST_F(View, AQuestionByHandleWhereKcmpIsRefusedIsAnsweredForTheCallersFile) {
  const std::string tmp = dir_.sub("refused-kcmp");
  ASSERT_TRUE(mount_tmpfs(tmp));
  MountGuard tmp_mount(tmp);
  ASSERT_EQ(run("touch " + sh_quote(tmp + "/f")).status, 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!refuse_kcmp()) _exit(20);
    // The file of `tmp`/f at `number`, a number the table had free; -1 when not.
    const auto open_at = [&](int number) {
      k32l::UniqueFd f(open((tmp + "/f").c_str(), O_RDONLY | O_CLOEXEC));
      if (!f.valid() || fcntl(number, F_GETFD) >= 0) return -1;
      return fcntl(f.get(), F_DUPFD_CLOEXEC, number) == number ? number : -1;
    };
    const auto answered = [](int fd) {
      const VolumeInfo got = by_handle(fd);
      return got.ok && got.fs_name == "tmpfs";
    };
    int code = 0;
    {
      // A question by handle runs on a worker: the process's workers start
      // in the main thread's table, and wait there for the next task.
      k32l::UniqueFd f(open((tmp + "/f").c_str(), O_RDONLY | O_CLOEXEC));
      if (!answered(f.get())) _exit(11);
    }
    {
      ViewThread own(CLONE_FILES);
      if (!own.unshared()) _exit(10);
      bool opened = false, ok = false;
      own.run([&] {
        k32l::UniqueFd there(open_at(900));
        opened = there.valid();
        ok = opened && answered(there.get());
      });
      if (!opened) _exit(11);
      if (!ok) code |= 1;
    }
    {
      k32l::UniqueFd f(open((tmp + "/f").c_str(), O_RDONLY | O_CLOEXEC));
      if (!answered(f.get())) _exit(11);  // workers in the main thread's table again
    }
    if (unshare(CLONE_FILES) != 0) _exit(10);
    k32l::UniqueFd there(open_at(901));
    if (!there.valid()) _exit(11);
    if (!answered(there.get())) code |= 2;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 20) GTEST_SKIP() << "no system-call filter could be set";
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "not answered for the caller's file: 1, a thread with a table of its own; 2, the main "
         "thread after it unshared its table; 11: set-up";
}

// ---- workers end with their view ------------------------------------------------

namespace {

// Waits up to `limit` seconds for `done`; the seconds waited.
double wait_for(const std::function<bool()>& done, double limit) {
  const auto t0 = Clock::now();
  double waited = 0;
  while (!done() && waited < limit) {
    usleep(20 * 1000);
    waited = std::chrono::duration<double>(Clock::now() - t0).count();
  }
  return waited;
}

// Well under the time an idle worker waits for another task before it
// ends by itself.
constexpr double kEndsAtOnce = 2.0;

}  // namespace

// A thread with a working directory of its own (unshare(CLONE_FS), chdir)
// shares the view of the main thread, whose root and descriptor table it
// has, but has workers of its own, which share its working directory. They
// end with the thread, though the view they served lives on: the
// directory's mount is busy no longer once the thread is gone.
TEST_F(View, AThreadsOwnWorkersEndWithItInAViewOtherThreadsHold) {
  const std::string place = dir_.sub("own-cwd");
  ASSERT_TRUE(mount_tmpfs(place));
  MountGuard place_mount(place);
  ASSERT_FALSE(all_volume_names().empty());  // the main thread holds the view
  const k32l::ViewKey main_view = k32l::current_view().key;

  bool entered = false, same_view = false, own_workers = false;
  VolumeInfo asked;
  {
    ViewThread own(CLONE_FS);
    if (!own.unshared()) GTEST_SKIP() << "unshare(CLONE_FS) refused";
    own.run([&] {
      entered = chdir(place.c_str()) == 0;
      const k32l::CallerView caller = k32l::current_view();
      same_view = caller.key == main_view;
      own_workers = caller.worker_owner != 0;
      k32l::UniqueFd here(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      asked = by_handle(here.get());  // always on a worker, started in `place`
    });
  }
  const double waited = wait_for([&] { return umount2(place.c_str(), 0) == 0; }, kEndsAtOnce + 1);
  ASSERT_TRUE(entered);
  ASSERT_TRUE(same_view) << "the thread is in a view of its own: the test proves nothing";
  ASSERT_TRUE(own_workers);
  EXPECT_TRUE(asked.ok) << asked.error;
  std::printf("[ measured ] the ended thread's working directory was free after %.2f s\n", waited);
  EXPECT_LT(waited, kEndsAtOnce) << "the thread's workers outlived it";
}

// Views come and go: the main thread (and with it the process's workers)
// enters jails in turn, threads with a descriptor table or a mount
// namespace of their own call and end. Each view that ends takes its
// workers and its watching descriptors with it, so threads and descriptors
// are back where they were at once.
TEST_F(View, WorkersAndDescriptorsStayFlatAcrossManyViews) {
  const std::string tmp = dir_.sub("flat");
  ASSERT_TRUE(mount_tmpfs(tmp));
  MountGuard tmp_mount(tmp);
  ASSERT_EQ(run("touch " + sh_quote(tmp + "/f")).status, 0);
  k32l::UniqueFd file(open((tmp + "/f").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(by_handle(file.get()).ok);
  const int threads = thread_count(), descriptors = descriptor_count();

  constexpr int kRounds = 12;
  int answered = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string jail = dir_.sub("flat-jail-" + std::to_string(round));
    ASSERT_TRUE(mount_tmpfs(jail));
    MountGuard jail_mount(jail);
    ASSERT_EQ(run("touch " + sh_quote(jail + "/f")).status, 0);
    {
      RootGuard back;
      ASSERT_TRUE(back.saved());
      ASSERT_EQ(chroot(jail.c_str()), 0);
      ASSERT_EQ(chdir("/"), 0);
      k32l::UniqueFd jailed(open("/f", O_RDONLY | O_CLOEXEC));
      answered += by_handle(jailed.get()).fs_name == "tmpfs";
    }
    for (const int flags : {CLONE_FILES, CLONE_NEWNS}) {
      ViewThread own(flags);
      ASSERT_TRUE(own.unshared()) << "unshare " << flags << " refused";
      own.run([&] { answered += by_handle(file.get()).ok && !all_volume_names().empty(); });
    }
  }
  EXPECT_EQ(answered, 3 * kRounds);
  ASSERT_TRUE(by_handle(file.get()).ok);  // the main thread's view again
  const double waited = wait_for(
      [&] { return thread_count() <= threads + 1 && descriptor_count() <= descriptors; },
      kEndsAtOnce + 1);
  std::printf("[ measured ] threads %d -> %d, descriptors %d -> %d, after %.2f s\n", threads,
              thread_count(), descriptors, descriptor_count(), waited);
  EXPECT_LE(thread_count(), threads + 1) << "the workers of views that ended are still there";
  EXPECT_LE(descriptor_count(), descriptors) << "descriptors of views that ended are still open";
  EXPECT_LT(waited, kEndsAtOnce);
}
