// Where the provider's rules meet: a caller's view (descriptor table, root)
// and the workers that run its blocking calls, what may block and the
// identity of the mount a walk reaches, process lifetime and the state a
// forked child inherits. On real mounts in the tests' own mount namespace.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <thread>

#include "block_policy.h"
#include "bounded.h"
#include "caller_view.h"
#include "identity.h"
#include "hostile_support.h"
#include "raii.h"

using namespace k32l_test;
using Clock = std::chrono::steady_clock;

namespace {

// What a call answered: its success and its code.
struct Answer {
  bool ok = false;
  DWORD error = 0;
  std::string fs_name;
};

const double kBound = std::chrono::duration<double>(k32l::kBlockingCallTimeout).count();

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

Answer answer_of(const VolumeInfo& v) { return {v.ok, v.error, v.fs_name}; }

Answer free_space_of(const std::string& path) {
  ULARGE_INTEGER total{};
  Answer a;
  a.ok = GetDiskFreeSpaceExW(wide(path).c_str(), nullptr, &total, nullptr) != 0;
  a.error = GetLastError();
  return a;
}

// What `ask` reports (one byte) in a forked child, or 0 when the child has
// not reported within `limit` seconds (it is killed then).
char in_child(const std::function<char()>& ask, double limit) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return 0;
  const pid_t child = fork();
  if (child == 0) {
    const char verdict = ask();
    (void)!write(report[1], &verdict, 1);
    _exit(0);
  }
  ChildGuard reaped(child);
  close(report[1]);
  pollfd p{report[0], POLLIN, 0};
  char verdict = 0;
  if (poll(&p, 1, static_cast<int>(limit * 1000)) == 1 && read(report[0], &verdict, 1) != 1)
    verdict = 0;
  close(report[0]);
  return verdict;
}

class Merge : public NamespaceTest {
 protected:
  Merge() : NamespaceTest("review-merge") {}

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

  // dir/jail: a tmpfs holding /proc (mounted) and the directories `subdirs`,
  // detached with all that is mounted in it at the end of the test; "" when
  // it cannot be made.
  std::string jail_with(std::initializer_list<const char*> subdirs) {
    const std::string jail = dir_.sub("jail");
    if (!mount_tmpfs(jail)) return "";
    jail_mount_ = std::make_unique<MountGuard>(jail);
    if (mkdir((jail + "/proc").c_str(), 0755) != 0 ||
        run("mount -t proc proc " + sh_quote(jail + "/proc")).status != 0)
      return "";
    for (const char* sub : subdirs)
      if (mkdir((jail + sub).c_str(), 0755) != 0) return "";
    return jail;
  }

 private:
  std::unique_ptr<MountGuard> jail_mount_;
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

// ---- the mount a walk reaches --------------------------------------------------

namespace {

// The 32-bit mount ID of the mount at `target` in this thread's table, 0
// when none is.
std::uint64_t mount_id_at(const std::string& target) {
  const auto r = run("findmnt -rn -o ID -M " + sh_quote(target) + " | tail -n1");
  return r.status == 0 && !trim(r.out).empty() ? std::stoull(trim(r.out)) : 0;
}

}  // namespace

// A walk is judged by the table the call's snapshot was built from. A mount
// replaced while that table was built (a stalled mount made the build wait
// one bound) by a stalled FUSE mount that got the 32-bit ID of the one it
// replaced is not taken for the mount it replaced: the caller's walk into
// it is handed to a worker and ends within one bound, instead of waiting on
// the calling thread for as long as the server stalls.
TEST_F(Merge, AWalkIntoAMountThatGotTheIdOfTheOneItReplacedIsBounded) {
  auto stall_build = serve("build");
  if (!stall_build) GTEST_SKIP() << "needs FUSE and the stalling test server";
  ResumeGuard resume_build(*stall_build);
  const std::string place = dir_.sub("place");
  ASSERT_TRUE(mount_tmpfs(place));
  MountGuard place_mount(place);
  const std::uint64_t replaced_id = mount_id_at(place);
  ASSERT_NE(replaced_id, 0u);
  stall_build->stall();  // a fresh stall: the next build waits one bound

  std::atomic<bool> returned{false};
  Answer walked;
  const auto t0 = Clock::now();
  std::thread caller([&] {
    walked = free_space_of(place + "/x");
    returned = true;
  });
  // While the caller's build waits, the tmpfs gives way to a stalled FUSE
  // mount, which gets the ID it freed (the lowest free one).
  usleep(300 * 1000);
  place_mount.release();
  const std::string backing = dir_.path() + "/replacement.img";
  ASSERT_EQ(run("truncate -s 1M " + sh_quote(backing)).status, 0);
  StallingServer replacement(backing, place);
  ResumeGuard resume_replacement(replacement);
  replacement.stall();
  const bool same_id = replacement.running() && mount_id_at(place) == replaced_id;
  while (!returned && seconds_since(t0) < 4 * kBound) usleep(20 * 1000);
  const double waited = seconds_since(t0);
  const bool in_time = returned;
  // The stall the walk met shut the replacing mount's own gate: the next
  // call, which reads the table again, does not wait for it again.
  double next_wait = 0;
  if (in_time) {
    const auto t1 = Clock::now();
    free_space_of(place + "/x");
    next_wait = seconds_since(t1);
  }
  replacement.resume();
  stall_build->resume();
  caller.join();
  if (!same_id) GTEST_SKIP() << "the replacing mount did not get the freed ID";
  EXPECT_TRUE(in_time) << "the walk into the replacing FUSE mount ran on the calling thread";
  EXPECT_FALSE(walked.ok);
  EXPECT_LT(next_wait, kBound / 2) << "the next call waited for the stall again";
  std::printf("[ figures  ] walk into a mount that got a freed ID: %.3f s, the next call %.3f s "
              "(bound %.1f s)\n",
              waited, next_wait, kBound);
}

// ---- a forked child ------------------------------------------------------------

// A child forked while another thread is inside a volume search goes on
// with the searches it inherited (the next name, the close) and starts new
// ones: no lock of the search registry is left held in it.
TEST(MergeFork, AForkedChildGoesOnWithTheSearchesItInheritedWhileAnotherThreadSearches) {
  WCHAR first[MAX_PATH];
  const HANDLE inherited = FindFirstVolumeW(first, MAX_PATH);
  ASSERT_NE(inherited, INVALID_HANDLE_VALUE) << GetLastError();
  WCHAR second[MAX_PATH] = {0};
  const HANDLE reference = FindFirstVolumeW(second, MAX_PATH);
  ASSERT_NE(reference, INVALID_HANDLE_VALUE);
  const bool has_second = FindNextVolumeW(reference, second, MAX_PATH) != 0;
  FindVolumeClose(reference);
  // A thread that searches all the time: its handle is used up, so each
  // call is a look-up under the registry's lock and nothing else.
  const HANDLE busy = FindFirstVolumeW(first, MAX_PATH);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  while (FindNextVolumeW(busy, first, MAX_PATH)) {
  }
  std::atomic<bool> stop{false};
  std::thread searcher([&] {
    WCHAR name[MAX_PATH];
    while (!stop) FindNextVolumeW(busy, name, MAX_PATH);
  });
  int hung = 0, wrong = 0;
  for (int round = 0; round < 40 && hung == 0; ++round) {
    const char verdict = in_child(
        [&] {
          WCHAR name[MAX_PATH] = {0};
          const bool next = FindNextVolumeW(inherited, name, MAX_PATH) != 0;
          if (next != has_second || (next && std::u16string(name) != std::u16string(second)))
            return 'n';
          if (!FindVolumeClose(inherited)) return 'n';
          const HANDLE fresh = FindFirstVolumeW(name, MAX_PATH);
          if (fresh == INVALID_HANDLE_VALUE) return 'n';
          FindVolumeClose(fresh);
          return 'y';
        },
        2 * kBound);
    hung += verdict == 0;
    wrong += verdict == 'n';
  }
  stop = true;
  searcher.join();
  FindVolumeClose(busy);
  FindVolumeClose(inherited);
  EXPECT_EQ(hung, 0) << "a child waited for the search registry's lock";
  EXPECT_EQ(wrong, 0) << "a child's inherited search did not go on";
}

// ---- a thread in a chroot ------------------------------------------------------

// A thread in a chroot whose jail holds a FUSE mount and an overlay over it
// (mounted from outside the jail: the overlay's options name its layers as
// the mounter saw them, which the jail's table does not show): when the
// FUSE server stalls, the thread's refresh of its table still ends within
// one bound, and a path into the overlay within one more.
TEST_F(Merge, AJailedThreadsRefreshIsBoundedWhenTheJailsOverlayLiesOnAStalledMount) {
  const std::string jail = jail_with({"/ov", "/lower", "/fuse"});
  ASSERT_FALSE(jail.empty());
  const std::string backing = dir_.path() + "/jailed.img";
  ASSERT_EQ(run("truncate -s 1M " + sh_quote(backing)).status, 0);
#ifndef K32L_STALLFS_PATH
  GTEST_SKIP() << "needs FUSE 3 to build the stalling test server";
#endif
  StallingServer fuse(backing, jail + "/fuse");
  if (!fuse.running()) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  ResumeGuard resume(fuse);
  if (run("mount -t overlay review-merge-ov -o lowerdir=" + jail + "/fuse:" + jail + "/lower " +
          sh_quote(jail + "/ov") + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "needs overlay over FUSE in the kernel";
  MountGuard overlay_mount(jail + "/ov");

  std::atomic<int> stage{0};  // 1: refreshed, 2: asked about a path in the overlay
  double refresh_seconds = 0;
  Answer in_overlay;
  bool jailed = false;
  fuse.stall();
  const auto t0 = Clock::now();
  std::thread thread([&] {
    if (unshare(CLONE_FS) != 0 || chroot(jail.c_str()) != 0 || chdir("/") != 0) return;
    jailed = true;
    for (const auto& name : all_volume_names()) volume_info(name);
    refresh_seconds = seconds_since(t0);
    stage = 1;
    in_overlay = free_space_of("/ov/x");
    stage = 2;
  });
  while (stage < 2 && seconds_since(t0) < 4 * kBound) usleep(20 * 1000);
  const int reached = stage;
  fuse.resume();
  thread.join();
  ASSERT_TRUE(jailed);
  EXPECT_GE(reached, 1) << "the jailed thread's refresh waited on the stalled mount under the "
                           "overlay";
  EXPECT_EQ(reached, 2) << "a path into the overlay waited on the stalled mount";
  if (reached >= 1) {
    EXPECT_LT(refresh_seconds, 2 * kBound);
  }
  std::printf("[ figures  ] jailed refresh over a stalled overlay layer: %.3f s (bound %.1f s)\n",
              refresh_seconds, kBound);
}

namespace {

// Whether calls on the mount at `target` may block, as the policy over the
// calling thread's own table says; nullopt when the table has no mount there.
std::optional<bool> policy_at(const std::string& target) {
  auto table = k32l::read_mount_table(k32l::mount_table_path());
  if (!table.ok()) return std::nullopt;
  k32l::identify_mounts(table.value);
  const auto classes = k32l::classify_entries(table.value);
  std::vector<std::size_t> visible(classes.data);
  visible.insert(visible.end(), classes.other.begin(), classes.other.end());
  std::sort(visible.begin(), visible.end());
  const k32l::MountReach reach(table.value, visible);
  for (std::size_t i : visible)
    if (table.value[i].target == target) return reach.mount_may_block(table.value[i]);
  return std::nullopt;
}

}  // namespace

// An overlay's layers are named from the mounter's root: in the mounter's
// view an overlay over local directories (one named through a symbolic
// link, as container engines name theirs) does not block, and in a jail
// that holds the overlay but not its layers' places it may (the layers
// cannot be told from there).
TEST_F(Merge, AnOverlaysLayersArePlacedOnlyInTheViewTheyWereNamedIn) {
  const std::string jail = jail_with({"/ov", "/lower", "/upper", "/work", "/l"});
  ASSERT_FALSE(jail.empty());
  ASSERT_EQ(symlink("../lower", (jail + "/l/short").c_str()), 0);
  if (run("mount -t overlay review-merge-ov -o lowerdir=" + jail + "/l/short,upperdir=" + jail +
          "/upper,workdir=" + jail + "/work " + sh_quote(jail + "/ov") + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "needs overlay in the kernel";
  MountGuard overlay_mount(jail + "/ov");
  EXPECT_EQ(policy_at(jail + "/ov"), std::optional<bool>(false))
      << "an overlay over local directories, seen from where it was made";
  std::optional<bool> jailed;
  std::thread([&] {
    if (unshare(CLONE_FS) == 0 && chroot(jail.c_str()) == 0 && chdir("/") == 0)
      jailed = policy_at("/ov");
  }).join();
  EXPECT_EQ(jailed, std::optional<bool>(true)) << "its layers, seen from the jail";
}

// ---- stalls met by threads of their own and by forked children ----------------

// A thread with a descriptor table of its own asks by handle about a file on
// a mount that has just stalled (the call's own refresh finds the stall and
// shuts the mount's gate): one bound, then a timeout -- no descriptor of the
// file is closed on the calling thread, which for FUSE would wait for the
// stalled server -- and its question about a file on a healthy mount is
// answered at once meanwhile.
TEST_F(Merge, AThreadWithItsOwnTableAskingAboutAStalledFileWaitsOneBound) {
  auto fuse = serve("stalled");
  if (!fuse) GTEST_SKIP() << "needs FUSE and the stalling test server";
  ResumeGuard resume(*fuse);
  const std::string tmp = dir_.sub("tmp");
  ASSERT_TRUE(mount_tmpfs(tmp));
  MountGuard tmp_mount(tmp);
  ASSERT_EQ(run("touch " + sh_quote(tmp + "/f")).status, 0);
  Answer stalled, healthy;
  double stalled_wait = 0, healthy_wait = 0;
  bool unshared = false;
  std::thread([&] {
    if (unshare(CLONE_FILES) != 0) return;
    unshared = true;
    k32l::UniqueFd on_fuse(open(fuse->file().c_str(), O_RDONLY | O_CLOEXEC));
    k32l::UniqueFd on_tmp(open((tmp + "/f").c_str(), O_RDONLY | O_CLOEXEC));
    fuse->stall();
    auto t0 = Clock::now();
    stalled = answer_of(by_handle(on_fuse.get()));
    stalled_wait = seconds_since(t0);
    t0 = Clock::now();
    healthy = answer_of(by_handle(on_tmp.get()));
    healthy_wait = seconds_since(t0);
    fuse->resume();  // before the thread closes its descriptor of the FUSE file
  }).join();
  if (!unshared) GTEST_SKIP() << "unshare(CLONE_FILES) refused";
  EXPECT_FALSE(stalled.ok);
  EXPECT_EQ(stalled.error, static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_LT(stalled_wait, 2 * kBound);
  EXPECT_TRUE(healthy.ok) << healthy.error;
  EXPECT_EQ(healthy.fs_name, "tmpfs");
  EXPECT_LT(healthy_wait, kBound / 2) << "the healthy mount's question waited";
}

// A child forked while another thread refreshes a table with a freshly
// stalled mount refreshes its own within one bound (with open gates and
// workers of its own, not behind the parent's refresh), and so does the
// parent's thread.
TEST_F(Merge, AChildForkedDuringARefreshWithAStalledMountRefreshesWithinOneBound) {
  auto fuse = serve("stalled");
  if (!fuse) GTEST_SKIP() << "needs FUSE and the stalling test server";
  ResumeGuard resume(*fuse);
  const std::string poke = dir_.sub("poke");
  ASSERT_TRUE(mount_tmpfs(poke));  // the table changed: the next call reads it again
  MountGuard poke_mount(poke);
  fuse->stall();
  const auto t0 = Clock::now();
  double parent_refresh = 0;
  std::thread refresher([&] {
    for (const auto& name : all_volume_names()) volume_info(name);
    parent_refresh = seconds_since(t0);
  });
  usleep(300 * 1000);  // inside the refresh, waiting on the stalled mount
  // The child reports its refresh's time in tenths of a second.
  const char tenths = in_child(
      [] {
        const auto started = Clock::now();
        for (const auto& name : all_volume_names()) volume_info(name);
        return static_cast<char>(std::min(100.0, seconds_since(started) * 10) + 1);
      },
      4 * kBound);
  refresher.join();
  ASSERT_NE(tenths, 0) << "the child did not refresh within four bounds";
  EXPECT_LT((tenths - 1) / 10.0, 2 * kBound);
  EXPECT_LT(parent_refresh, 2 * kBound);
  std::printf("[ figures  ] refresh with a stalled mount: forked child %.1f s, parent %.3f s\n",
              (tenths - 1) / 10.0, parent_refresh);
}

// ---- out of descriptors --------------------------------------------------------

// A process out of descriptors asks by handle about a file on a volume of
// its kept table: the answer needs no descriptor of the provider's own, and
// is never "no volume" (1005) for want of one.
TEST_F(Merge, AQuestionByHandleNeedsNoDescriptorOfItsOwn) {
  const std::string tmp = dir_.sub("tmp");
  ASSERT_TRUE(mount_tmpfs(tmp));
  MountGuard tmp_mount(tmp);
  k32l::UniqueFd file(open((tmp + "/f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(by_handle(file.get()).ok);  // the table is read and kept
  Answer starved;
  {
    NoFreeDescriptors tight;
    ASSERT_TRUE(tight.active());
    starved = answer_of(by_handle(file.get()));
  }
  EXPECT_TRUE(starved.ok) << starved.error;
  EXPECT_EQ(starved.fs_name, "tmpfs");
}

// A process out of descriptors asks about a volume of its kept table whose
// device must be read for the label: it gets the label, or fails with
// ERROR_TOO_MANY_OPEN_FILES -- never a success without the label.
TEST_F(Merge, AVolumeWhoseDeviceCannotBeOpenedForWantOfDescriptorsIsNoAnswer) {
  const auto device = loop_image(dir_.path() + "/alpha.img", "16M",
                                 "mkfs.ext4 -q -F -L ReviewAlpha IMG");
  if (!device) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*device);
  const std::string alpha = dir_.sub("alpha");
  ASSERT_EQ(run("mount -t ext4 " + sh_quote(*device) + " " + sh_quote(alpha)).status, 0);
  MountGuard alpha_mount(alpha);
  ASSERT_EQ(volume_info(wide(alpha + "\\")).label, "ReviewAlpha");  // the table is kept
  VolumeInfo starved;
  {
    NoFreeDescriptors tight;
    ASSERT_TRUE(tight.active());
    starved = volume_info(wide(alpha + "\\"));
  }
  if (starved.ok) {
    EXPECT_EQ(starved.label, "ReviewAlpha") << "a success without the label";
  } else {
    EXPECT_EQ(starved.error, static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
  }
  EXPECT_EQ(volume_info(wide(alpha + "\\")).label, "ReviewAlpha");
}

// A table built while the process runs out of descriptors part-way (the
// mount table read, the device's node, its probe or its disk's sysfs facts
// not) is never kept with the facts it could not read: whatever the call
// made then answered, the next one, with descriptors free, reports the
// device's drive type, name and label.
TEST_F(Merge, ATableBuiltOutOfDescriptorsIsNotKeptWithoutItsDeviceFacts) {
  const auto device = loop_image(dir_.path() + "/gamma.img", "16M",
                                 "mkfs.ext4 -q -F -L ReviewGamma IMG");
  if (!device) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*device);
  // Mounted through a node of its own, removed since: the table's source
  // then names nothing, and the device is found by its number alone.
  struct stat st {};
  ASSERT_EQ(stat(device->c_str(), &st), 0);
  const std::string node = dir_.path() + "/gamma-node";
  ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev), 0);
  const std::string gamma = dir_.sub("gamma");
  const int mounted = run("mount -t ext4 " + sh_quote(node) + " " + sh_quote(gamma)).status;
  unlink(node.c_str());
  ASSERT_EQ(mounted, 0);
  MountGuard gamma_mount(gamma);
  const std::string expected_name = "\\\\?\\Volume{" + blkid_value(*device, "UUID") + "}\\";
  const std::u16string root = wide(gamma + "\\");
  const std::string poke = dir_.sub("poke");
  // Another thread takes and gives back the one or two descriptors the
  // limit spares, so each build runs out of them at some other step: the
  // table read, the device's node, its probe, its disk's sysfs facts.
  std::atomic<bool> hogging{false}, done{false};
  std::thread hog([&] {
    while (!done) {
      if (!hogging) {
        usleep(1000);
        continue;
      }
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      usleep(20 + static_cast<unsigned>(random() % 400));
      if (fd >= 0) close(fd);
      usleep(20 + static_cast<unsigned>(random() % 400));
    }
  });
  const auto stop_hog = [&] {
    done = true;
    hog.join();
  };
  for (int round = 0; round < 1000 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (!mount_tmpfs(poke)) break;  // the table changed: the next call builds it
    { MountGuard poke_mount(poke); }
    {
      NoFreeDescriptors tight(1 + round % 2);
      if (!tight.active()) break;
      hogging = true;
      GetDriveTypeW(root.c_str());  // answered or failed: either is sound
      hogging = false;
    }
    EXPECT_EQ(GetDriveTypeW(root.c_str()), static_cast<UINT>(DRIVE_FIXED));
    const auto name = volume_at(gamma);
    EXPECT_EQ(name ? narrow(*name) : "none", expected_name) << "named without its device's UUID";
    EXPECT_EQ(volume_info(root).label, "ReviewGamma");
  }
  stop_hog();
}

// The same for a caller who may not read the device: what udev publishes is
// read with descriptors too, and one it could not read for want of them is
// no answer, not a volume without a label.
TEST_F(Merge, PublishedFactsUnreadForWantOfDescriptorsAreNoAnswer) {
  const auto device = loop_image(dir_.path() + "/beta.img", "16M",
                                 "mkfs.ext4 -q -F -L ReviewBeta IMG");
  if (!device) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard loop(*device);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const std::string beta = dir_.sub("beta");
  ASSERT_EQ(run("mount -t ext4 " + sh_quote(*device) + " " + sh_quote(beta)).status, 0);
  MountGuard beta_mount(beta);
  // A udev record of the device, in this namespace only.
  ASSERT_EQ(run("mkdir -p /run/udev").status, 0);
  ASSERT_TRUE(mount_tmpfs("/run/udev"));
  MountGuard udev_mount("/run/udev");
  struct stat st {};
  ASSERT_EQ(stat(device->c_str(), &st), 0);
  ASSERT_EQ(run("mkdir -p /run/udev/data && printf 'E:ID_FS_TYPE=ext4\\nE:ID_FS_LABEL_ENC="
                "ReviewBeta\\nE:ID_FS_UUID=" + blkid_value(*device, "UUID") + "\\n' > " +
                sh_quote("/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                         std::to_string(minor(st.st_rdev)))).status, 0);
  const std::string answers = as_nobody([&] {
    const auto kept = volume_info(wide(beta + "\\"));  // the table is read and kept
    VolumeInfo starved;
    {
      NoFreeDescriptors tight;
      if (!tight.active()) return std::string("no limit");
      starved = volume_info(wide(beta + "\\"));
    }
    const auto answer = [](const VolumeInfo& v) {
      return v.ok ? v.fs_name + "|" + v.label : "error " + std::to_string(v.error);
    };
    return answer(kept) + " " + answer(starved);
  });
  ASSERT_EQ(answers.substr(0, answers.find(' ')), "ext4|ReviewBeta") << answers;
  const std::string starved = answers.substr(answers.find(' ') + 1);
  EXPECT_TRUE(starved == "ext4|ReviewBeta" || starved == "error 4") << starved;
}
