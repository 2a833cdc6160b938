// The provider under hostile conditions, on real mounts in the tests' own
// mount namespace: devices and FUSE mounts that stop answering, fork, a
// thread that enters a new mount namespace, mounts hidden under or beneath
// others, binds of subtrees and files, and odd mount point names.
#include <fcntl.h>
#include <sched.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "bounded.h"
#include "hostile_support.h"
#include "raii.h"

using namespace k32l_test;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// What the module's table refresh asks of every volume.
void refresh_as_the_module_does() {
  for (const auto& name : all_volume_names()) {
    const auto paths = paths_of(name);
    volume_info(name);
    GetDriveTypeW(name.c_str());
    ULARGE_INTEGER total{};
    GetDiskFreeSpaceExW(name.c_str(), nullptr, &total, nullptr);
  }
}

class Hostile : public NamespaceTest {};

}  // namespace

TEST_F(Hostile, AStalledDeviceOrFuseMountCostsOneBoundedWaitAndOneThread) {
#ifndef K32L_STALLFS_PATH
  GTEST_SKIP() << "needs FUSE 3 to build the stalling test server";
#else
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
  const std::string backing = dir_.path() + "/backing.img";
  if (run("truncate -s 32M " + sh_quote(backing) + " && mkfs.ext4 -q -F -L Stalling " +
          sh_quote(backing) + " >/dev/null 2>&1").status != 0)
    GTEST_SKIP() << "needs mkfs.ext4";
  StallingServer server(backing, dir_.sub("fuse"));
  if (!server.running()) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  const auto attached = run("losetup -f --show -r " + sh_quote(server.file()) + " 2>/dev/null");
  if (attached.status != 0 || trim(attached.out).empty()) GTEST_SKIP() << "needs loop devices";
  LoopGuard loop(trim(attached.out));
  const std::string target = dir_.sub("ext4");
  ASSERT_EQ(run("mount -o ro,noload " + loop.device() + " " + sh_quote(target)).status, 0);
  MountGuard ext4(target);
  ResumeGuard resume(server);

  const auto name = volume_at(target);
  ASSERT_TRUE(name);
  ASSERT_EQ(volume_info(*name).label, "Stalling");
  k32l::UniqueFd file(open(server.file().c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(by_handle(file.get()).ok);

  // Stalls the server; the loop device's cached blocks are dropped so that
  // reading the device reaches the server.
  auto stall = [&] {
    server.stall();
    run("timeout 5 blockdev --flushbufs " + loop.device());
  };
  auto wait_until_answering = [&] {
    server.resume();
    for (int i = 0; i < 100 && !volume_info(*name).ok; ++i) usleep(50 * 1000);
    for (int i = 0; i < 100 && !by_handle(file.get()).ok; ++i) usleep(50 * 1000);
  };

  // The device: one bounded wait, then failures at once, no thread per call.
  stall();
  int threads = thread_count();
  auto t0 = Clock::now();
  const auto first = volume_info(*name);
  const double device_wait = seconds_since(t0);
  EXPECT_FALSE(first.ok) << "the probe of a stalled device must give up";
  EXPECT_EQ(first.error, ERROR_TIMEOUT);
  t0 = Clock::now();
  for (int i = 0; i < 8; ++i) {
    const auto again = volume_info(*name);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.error, ERROR_TIMEOUT);
  }
  const double device_repeat = seconds_since(t0) / 8;
  EXPECT_LE(thread_count() - threads, 1) << "one stuck thread per stalled device";
  // A child forked now has none of the stuck worker: nothing shut may stay
  // shut there once the device answers again.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    server.resume();
    for (int i = 0; i < 100; ++i) {
      if (volume_info(*name).ok) _exit(0);
      usleep(50 * 1000);
    }
    _exit(1);
  }
  // Waited for a bounded time: a child left with a lock the parent's
  // threads held would never end.
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 300 && ended == 0; ++i) {
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0) usleep(50 * 1000);
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "a forked child kept the parent's shut gate";
  wait_until_answering();
  EXPECT_TRUE(volume_info(*name).ok) << "the device answers again";

  // The FUSE mount, through an open file on it.
  stall();
  threads = thread_count();
  t0 = Clock::now();
  const auto handle_first = by_handle(file.get());
  const double mount_wait = seconds_since(t0);
  EXPECT_FALSE(handle_first.ok);
  EXPECT_EQ(handle_first.error, ERROR_TIMEOUT);
  t0 = Clock::now();
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(by_handle(file.get()).ok);
  const double mount_repeat = seconds_since(t0) / 8;
  EXPECT_LE(thread_count() - threads, 1) << "one stuck thread per stalled mount";
  wait_until_answering();
  EXPECT_TRUE(by_handle(file.get()).ok) << "the mount answers again";

  // A refresh of the whole table while both stall: with the table changed,
  // so that it is read again, and with the table as it was.
  stall();
  const std::string other = dir_.sub("other");
  ASSERT_TRUE(mount_tmpfs(other));
  MountGuard other_guard(other);
  t0 = Clock::now();
  refresh_as_the_module_does();
  const double refresh_wait = seconds_since(t0);
  t0 = Clock::now();
  refresh_as_the_module_does();
  const double refresh_again = seconds_since(t0);
  EXPECT_TRUE(volume_at(other)) << "the healthy volumes are listed";
  EXPECT_TRUE(volume_at(target)) << "the stalled volume is still listed";
  wait_until_answering();
  stall();
  t0 = Clock::now();
  refresh_as_the_module_does();
  const double refresh_unchanged = seconds_since(t0);
  wait_until_answering();

  std::printf("[ figures  ] stalled device: first call %.3f s, then %.4f s per call\n"
              "[ figures  ] stalled FUSE mount (by handle): first call %.3f s, then %.4f s per call\n"
              "[ figures  ] refresh with both stalled: %.3f s, the next one %.3f s; "
              "with the table unchanged %.3f s (bound %.1f s)\n",
              device_wait, device_repeat, mount_wait, mount_repeat, refresh_wait, refresh_again,
              refresh_unchanged, std::chrono::duration<double>(k32l::kBlockingCallTimeout).count());
#endif
}

// ---- what may block: every type not known to be local ------------------------------

namespace {

// How long GetVolumeInformation of mount point `target` takes while
// `server` stalls, and what it answers: at most one bound where the policy
// knows the call may block; the server's whole stall (10 s) where the call
// ran on the calling thread.
std::pair<double, VolumeInfo> call_while_stalled(StallingServer& server,
                                                 const std::string& target) {
  server.stall();
  const auto t0 = Clock::now();
  const VolumeInfo info = volume_info(wide(target + "\\"));
  const double waited = seconds_since(t0);
  server.resume();
  return {waited, info};
}

const double kOneBoundAndMargin =
    std::chrono::duration<double>(k32l::kBlockingCallTimeout).count() + 1.5;

}  // namespace

// FUSE of a block device with a subtype nobody listed: the kernel names the
// type "fuseblk.someunknownname", which is no type known to be local.
TEST_F(Hostile, AMountOfATypeNotKnownToBeLocalCostsOneBoundWhenItStalls) {
#ifndef K32L_STALLFS_PATH
  GTEST_SKIP() << "needs FUSE 3 to build the stalling test server";
#else
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
  const std::string blank = dir_.path() + "/blank.img", backing = dir_.path() + "/backing.img";
  const auto attached = run("truncate -s 16M " + sh_quote(blank) + " " + sh_quote(backing) +
                            " && losetup -f --show " + sh_quote(blank) + " 2>/dev/null");
  if (attached.status != 0 || trim(attached.out).empty()) GTEST_SKIP() << "needs loop devices";
  LoopGuard loop(trim(attached.out));
  const std::string target = dir_.sub("fuseblk");
  StallingServer server(backing, target,
                        "blkdev,fsname=" + loop.device() + ",subtype=someunknownname");
  if (!server.running()) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  ResumeGuard resume(server);
  ASSERT_EQ(trim(run("findmnt -no FSTYPE " + sh_quote(target)).out), "fuseblk.someunknownname");
  ASSERT_TRUE(volume_info(wide(target + "\\")).ok);

  const auto [waited, info] = call_while_stalled(server, target);
  EXPECT_LT(waited, kOneBoundAndMargin) << "the call waited on the stalled server";
  EXPECT_EQ(info.error, ERROR_TIMEOUT);
#endif
}

// An overlay whose layer's name holds a comma (lowerdir+ through the new
// mount API; the kernel writes it "\054"): the layer is "D/a,b", a stalled
// FUSE mount, and not "D/a", a local directory beside it.
TEST_F(Hostile, AnOverlayLayerWhoseNameHoldsACommaIsToldByItsWholeName) {
#ifndef K32L_STALLFS_PATH
  GTEST_SKIP() << "needs FUSE 3 to build the stalling test server";
#else
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
  const std::string backing = dir_.path() + "/backing.img";
  ASSERT_EQ(run("truncate -s 1M " + sh_quote(backing)).status, 0);
  const std::string layer = dir_.sub("a,b");
  dir_.sub("a");
  const std::string other_layer = dir_.sub("c"), target = dir_.sub("ov");
  StallingServer server(backing, layer);
  if (!server.running()) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  ResumeGuard resume(server);

  k32l::UniqueFd context(fsopen("overlay", FSOPEN_CLOEXEC));
  if (!context.valid())
    GTEST_SKIP() << "needs overlay through the new mount API: " << strerror(errno);
  if (fsconfig(context.get(), FSCONFIG_SET_STRING, "lowerdir+", layer.c_str(), 0) != 0)
    GTEST_SKIP() << "the kernel here takes no lowerdir+: " << strerror(errno);
  ASSERT_EQ(fsconfig(context.get(), FSCONFIG_SET_STRING, "lowerdir+", other_layer.c_str(), 0), 0);
  ASSERT_EQ(fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0), 0)
      << strerror(errno);
  k32l::UniqueFd overlay(fsmount(context.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_RDONLY));
  ASSERT_TRUE(overlay.valid()) << strerror(errno);
  ASSERT_EQ(move_mount(overlay.get(), "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH), 0)
      << strerror(errno);
  MountGuard overlay_guard(target);
  ASSERT_TRUE(volume_info(wide(target + "\\")).ok);

  const auto [waited, info] = call_while_stalled(server, target);
  EXPECT_LT(waited, kOneBoundAndMargin) << "the call waited on the stalled layer";
  EXPECT_EQ(info.error, ERROR_TIMEOUT);
#endif
}

TEST_F(Hostile, AForkedChildAndItsParentEachSeeTheirOwnMountChanges) {
  ASSERT_FALSE(all_volume_names().empty());  // the parent watches the table
  const std::string by_child = dir_.sub("by-child");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const bool mounted = mount("k32l-test", by_child.c_str(), "tmpfs", 0, "size=1m") == 0;
    _exit(mounted && volume_at(by_child) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  MountGuard child_mount(by_child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child missed its own mount";
  EXPECT_TRUE(volume_at(by_child)) << "the parent missed the mount the child made";

  const std::string by_parent = dir_.sub("by-parent");
  ASSERT_TRUE(mount_tmpfs(by_parent));
  MountGuard parent_mount(by_parent);
  EXPECT_TRUE(volume_at(by_parent));
}

TEST_F(Hostile, AThreadInANewMountNamespaceSeesThatNamespace) {
  ASSERT_FALSE(all_volume_names().empty());  // the table of the first namespace is cached
  const std::string target = dir_.sub("elsewhere");
  bool unshared = false, listed = false;
  VolumeInfo info;
  std::thread other([&] {
    if (unshare(CLONE_NEWNS) != 0) return;
    unshared = true;
    if (mount("k32l-test", target.c_str(), "tmpfs", 0, "size=1m") != 0) return;
    listed = volume_at(target).has_value();
    info = volume_info(wide(target + "\\"));
  });
  other.join();
  if (!unshared) GTEST_SKIP() << "unshare(CLONE_NEWNS) refused";
  EXPECT_TRUE(listed) << "the mount of the new namespace is missing";
  EXPECT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.fs_name, "tmpfs");
  EXPECT_FALSE(volume_at(target)) << "the other namespace's mount is not in this one";
}

TEST_F(Hostile, AMountCoveredByAnotherLendsItNoIdentity) {
  const auto dev = loop_image(dir_.path() + "/exfat.img", "32M", "mkfs.exfat -L HIDDEN IMG");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.exfat";
  LoopGuard loop(*dev);
  const std::string outer = dir_.sub("x");
  const std::string inner = dir_.sub("x/y");
  const auto names_before = all_volume_names();
  if (run("mount.exfat-fuse " + *dev + " " + sh_quote(inner) + " >/dev/null 2>&1").status != 0)
    GTEST_SKIP() << "needs FUSE (mount.exfat-fuse failed)";
  MountGuard exfat(inner);
  ASSERT_TRUE(wait_for_mount(inner));
  const auto exfat_name = volume_at(inner);
  ASSERT_TRUE(exfat_name) << "the exFAT volume before it is covered";
  ASSERT_TRUE(mount_tmpfs(outer));
  MountGuard cover(outer);

  // Covered, the exFAT volume is no volume at all: the table is the one
  // before it plus the tmpfs, whether the covered mount point's path is
  // missing on the tmpfs or is a directory there.
  const auto hides_the_covered_volume = [&](const char* stage) {
    const auto name = volume_at(outer);
    ASSERT_TRUE(name) << stage;
    auto expected = names_before;
    expected.push_back(*name);
    EXPECT_EQ(all_volume_names(), expected) << stage;
    EXPECT_FALSE(volume_at(inner)) << stage << ": a covered mount point is no way to the volume";
    const auto info = volume_info(*exfat_name);
    EXPECT_FALSE(info.ok) << stage << ": the covered volume still answers as " << info.fs_name;
    EXPECT_EQ(info.error, ERROR_FILE_NOT_FOUND) << stage;
  };
  hides_the_covered_volume("path missing on the cover");
  ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);  // the same path, now on the tmpfs
  // Changes the mount table, so that it is read again with the path present.
  const std::string poke = dir_.sub("poke");
  ASSERT_TRUE(mount_tmpfs(poke));
  MountGuard(poke).release();
  hides_the_covered_volume("path present on the cover");

  const std::string file = inner + "/note";
  ASSERT_EQ(run("echo hi > " + sh_quote(file)).status, 0);
  const auto name = volume_at(outer);
  ASSERT_TRUE(name);
  const auto dev_outer = stat_dev(outer);
  ASSERT_TRUE(dev_outer);
  EXPECT_EQ(narrow(*name), k32l::format_volume_name(k32l::device_volume_id(*dev_outer)));
  const auto info = volume_info(wide(outer + "\\"));
  EXPECT_EQ(info.fs_name, "tmpfs");
  EXPECT_EQ(info.label, "");
  k32l::UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  const auto held = by_handle(fd.get());
  ASSERT_TRUE(held.ok) << held.error;
  EXPECT_EQ(held.fs_name, "tmpfs") << "a file on the tmpfs is not on exFAT";
  EXPECT_EQ(held.serial, k32l::serial_from_device(*dev_outer));
}

TEST_F(Hostile, AMountPlacedBeneathLendsItNoIdentity) {
  const std::string target = dir_.sub("top");
  ASSERT_TRUE(mount_tmpfs(target));
  MountGuard top(target);
  const std::string staging = dir_.sub("staging");
  ASSERT_EQ(run("mount -t ramfs k32l-test " + sh_quote(staging)).status, 0);
  MountGuard staged(staging);
  constexpr unsigned kMoveMountBeneath = 0x200;
  if (syscall(SYS_move_mount, AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(),
              kMoveMountBeneath) != 0)
    GTEST_SKIP() << "needs move_mount beneath (Linux 6.5)";
  MountGuard beneath(target);  // detached after the top one

  const auto info = volume_info(wide(target + "\\"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.fs_name, "tmpfs");
  EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(target)));
  const auto name = volume_at(target);
  ASSERT_TRUE(name);
  EXPECT_EQ(narrow(*name), k32l::format_volume_name(k32l::device_volume_id(dev_of(target))));
}

TEST_F(Hostile, BtrfsSubvolumesAreNamedByTheDeviceNumberTheirFilesReport) {
  const auto dev = loop_image(dir_.path() + "/btrfs.img", "128M", "mkfs.btrfs -q -f IMG");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.btrfs (btrfs-progs)";
  LoopGuard loop(*dev);
  const std::string top = dir_.sub("btrfs");
  if (run("mount -t btrfs " + *dev + " " + sh_quote(top) + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "needs btrfs in the kernel";
  MountGuard top_guard(top);
  ASSERT_EQ(run("btrfs -q subvolume create " + sh_quote(top + "/sub") + " >/dev/null").status, 0);
  const std::string sub = dir_.sub("sub-mount");
  ASSERT_EQ(run("mount -t btrfs -o subvol=sub " + *dev + " " + sh_quote(sub)).status, 0);
  MountGuard sub_guard(sub);
  ASSERT_EQ(run("echo hi > " + sh_quote(top + "/sub/file")).status, 0);

  const auto top_dev = stat_dev(top), sub_dev = stat_dev(sub);
  ASSERT_TRUE(top_dev && sub_dev);
  ASSERT_NE(*top_dev, *sub_dev) << "a subvolume's files report a device number of their own";
  for (const std::string& point : {top, sub}) {
    const auto info = volume_info(wide(point + "\\"));
    ASSERT_TRUE(info.ok) << point << ": " << info.error;
    EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(point))) << point;
    EXPECT_EQ(info.fs_name, "btrfs");
  }
  // Each mount is a volume of its own name, which leads back to its own
  // mount point and serial.
  const auto top_name = volume_at(top), sub_name = volume_at(sub);
  ASSERT_TRUE(top_name && sub_name) << "both mounts are listed";
  EXPECT_NE(*top_name, *sub_name);
  EXPECT_EQ(paths_of(*top_name), std::vector<std::string>{top});
  EXPECT_EQ(paths_of(*sub_name), std::vector<std::string>{sub});
  EXPECT_EQ(volume_info(*top_name).serial, k32l::serial_from_device(*top_dev));
  EXPECT_EQ(volume_info(*sub_name).serial, k32l::serial_from_device(*sub_dev));
  const auto names = all_volume_names();
  EXPECT_EQ(std::set<std::u16string>(names.begin(), names.end()).size(), names.size())
      << "a name listed twice";
  // A file of the subvolume reached through the top mount names the
  // subvolume's volume, as FindVolumeID(os.stat(file)) does.
  EXPECT_EQ(dev_of(top + "/sub/file"), *sub_dev);
}

TEST_F(Hostile, OnlyWhereTheRootIsMountedIsAMountPoint) {
  const std::string root = dir_.sub("whole");
  ASSERT_TRUE(mount_tmpfs(root));
  MountGuard root_guard(root);
  ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(run("echo hi > " + sh_quote(root + "/file")).status, 0);
  const std::string subtree = dir_.sub("subtree");
  ASSERT_EQ(run("mount --bind " + sh_quote(root + "/sub") + " " + sh_quote(subtree)).status, 0);
  MountGuard subtree_guard(subtree);
  const std::string file_bind = dir_.path() + "/hosts";
  ASSERT_EQ(run("touch " + sh_quote(file_bind)).status, 0);
  ASSERT_EQ(run("mount --bind " + sh_quote(root + "/file") + " " + sh_quote(file_bind)).status, 0);
  MountGuard file_guard(file_bind);

  const auto name = volume_at(root);
  ASSERT_TRUE(name);
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{root});

  // Without a mount of its root, the volume is where its subtree is bound.
  root_guard.release();
  const auto still = volume_at(subtree);
  ASSERT_TRUE(still);
  EXPECT_EQ(*still, *name);
  EXPECT_EQ(paths_of(*still), std::vector<std::string>{subtree});
}

TEST_F(Hostile, AVolumeIsReadThroughItsMountPointNotAnEarlierBind) {
  // A read-only bind of a subtree comes first in the table; the volume's
  // one mount point, a writable bind of its root, comes later.
  const std::string root = dir_.sub("root");
  ASSERT_TRUE(mount_tmpfs(root));
  MountGuard root_guard(root);
  ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
  const std::string subtree = dir_.sub("subtree");
  ASSERT_EQ(run("mount --bind -o ro " + sh_quote(root + "/sub") + " " + sh_quote(subtree)).status,
            0);
  MountGuard subtree_guard(subtree);
  const std::string whole = dir_.sub("whole");
  ASSERT_EQ(run("mount --bind " + sh_quote(root) + " " + sh_quote(whole)).status, 0);
  MountGuard whole_guard(whole);
  root_guard.release();

  const auto name = volume_at(whole);
  ASSERT_TRUE(name);
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{whole});
  const auto info = volume_info(*name);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_FALSE(info.flags & FILE_READ_ONLY_VOLUME) << "read through the read-only subtree bind";
  EXPECT_TRUE(volume_info(wide(whole + "\\")).ok);
}

TEST_F(Hostile, MountPointsAreAcceptedBackAsListedAndDotDotResolves) {
  const std::string odd = dir_.sub("ends in \\");
  ASSERT_TRUE(mount_tmpfs(odd));
  MountGuard odd_guard(odd);
  ASSERT_TRUE(volume_at(odd)) << "listed with its backslash";
  const auto serial = k32l::serial_from_device(dev_of(odd));
  for (const std::string& form : {odd, odd + "\\"}) {
    const auto info = volume_info(wide(form));
    EXPECT_TRUE(info.ok) << form << ": " << info.error;
    EXPECT_EQ(info.serial, serial) << form;
  }

  const std::string dots = dir_.sub("dots");
  ASSERT_TRUE(mount_tmpfs(dots));
  MountGuard dots_guard(dots);
  ASSERT_EQ(mkdir((dots + "/sub").c_str(), 0755), 0);
  const std::string link = dir_.path() + "/link";
  ASSERT_EQ(symlink((dots + "/sub").c_str(), link.c_str()), 0);
  const auto dots_serial = k32l::serial_from_device(dev_of(dots));
  // "link/.." is the parent of where the link leads, as the kernel walks it.
  for (const std::string& form : {dots + "/sub/..\\", dots + "/./sub/../\\", link + "/..\\"}) {
    const auto info = volume_info(wide(form));
    EXPECT_TRUE(info.ok) << form << ": " << info.error;
    EXPECT_EQ(info.serial, dots_serial) << form;
    EXPECT_EQ(GetDriveTypeW(wide(form).c_str()), DRIVE_RAMDISK) << form;
  }
  if (root_is_a_mount_point()) {
    const auto root = volume_info(u"/tmp/..");
    EXPECT_TRUE(root.ok) << root.error;
    EXPECT_EQ(root.serial, k32l::serial_from_device(dev_of("/")));
  }
  // A directory that is no mount point is still refused.
  EXPECT_FALSE(volume_info(wide(dots + "/sub\\")).ok);
  EXPECT_FALSE(volume_info(wide(link + "\\")).ok);
}

// A directory renamed above a mount point: the kernel signals no change of
// the mount table, yet the mount point's text is another now. A path is
// matched by the mount its walk reaches (the new place at once, the old one
// no more); the next search lists the volume at its new place, and a
// listing asked after another rename, with no search between, gives the
// place where it is then.
TEST_F(Hostile, ADirectoryRenamedAboveAMountPointMovesItsTextWithoutASignal) {
  const std::string old_dir = dir_.sub("old"), new_dir = dir_.path() + "/new";
  const std::string old_at = old_dir + "/m", new_at = new_dir + "/m";
  ASSERT_EQ(mkdir(old_at.c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(old_at));
  auto guard = std::make_unique<MountGuard>(old_at);
  const auto name = volume_at(old_at);
  ASSERT_TRUE(name) << "listed before the rename";
  const auto serial = k32l::serial_from_device(dev_of(old_at));
  ASSERT_EQ(rename(old_dir.c_str(), new_dir.c_str()), 0);
  guard = std::make_unique<MountGuard>(new_at);
  ASSERT_EQ(trim(run("findmnt -no TARGET --mountpoint " + sh_quote(new_at)).out), new_at);

  const auto by_path = volume_info(wide(new_at + "\\"));
  EXPECT_TRUE(by_path.ok) << "the new mount point, error " << by_path.error;
  EXPECT_EQ(by_path.serial, serial);
  EXPECT_EQ(GetDriveTypeW(wide(new_at + "\\").c_str()), DRIVE_RAMDISK);
  EXPECT_FALSE(volume_info(wide(old_at + "\\")).ok) << "the old mount point is gone";

  // The module's forced refresh: a search, then each volume by its name.
  bool listed = false;
  for (const auto& n : all_volume_names()) {
    const auto paths = paths_of(n);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), old_at), 0) << "lists a path that is gone";
    if (std::find(paths.begin(), paths.end(), new_at) == paths.end()) continue;
    listed = true;
    EXPECT_EQ(n, *name);
    const auto info = volume_info(n);
    EXPECT_TRUE(info.ok) << "by its name, error " << info.error;
    EXPECT_EQ(info.serial, serial);
  }
  EXPECT_TRUE(listed) << "the volume is not listed at its new mount point";

  const std::string again_dir = dir_.path() + "/again", again_at = again_dir + "/m";
  ASSERT_EQ(rename(new_dir.c_str(), again_dir.c_str()), 0);
  guard = std::make_unique<MountGuard>(again_at);
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{again_at});
}

// The same above a directory of a file system whose renames the provider
// does not take as reported (hugetlbfs: local, yet not one it knows to
// report them), so nothing watches that directory: the listing proves the
// text itself.
TEST_F(Hostile, ADirectoryRenamedWhereNoWatchReachesMovesItsTextToo) {
  const std::string huge = dir_.sub("huge");
  if (mount("hugetlbfs", huge.c_str(), "hugetlbfs", 0, nullptr) != 0)
    GTEST_SKIP() << "needs hugetlbfs: " << strerror(errno);
  MountGuard huge_mount(huge);
  const std::string old_dir = huge + "/old", new_dir = huge + "/new";
  ASSERT_EQ(mkdir(old_dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((old_dir + "/m").c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(old_dir + "/m"));
  auto guard = std::make_unique<MountGuard>(old_dir + "/m");
  const auto name = volume_at(old_dir + "/m");
  ASSERT_TRUE(name) << "listed before the rename";
  ASSERT_EQ(rename(old_dir.c_str(), new_dir.c_str()), 0);
  guard = std::make_unique<MountGuard>(new_dir + "/m");
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{new_dir + "/m"});
}

TEST_F(Hostile, ACallerWhoCannotReadTheDeviceGetsWhatTheSystemPublishes) {
  const auto dev = loop_image(dir_.path() + "/exfat.img", "32M", "mkfs.exfat -L EXLBL IMG");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.exfat";
  LoopGuard loop(*dev);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const std::string target = dir_.sub("exfat");
  if (run("mount.exfat-fuse -o allow_other " + *dev + " " + sh_quote(target) + " >/dev/null 2>&1")
          .status != 0)
    GTEST_SKIP() << "needs FUSE (mount.exfat-fuse failed)";
  MountGuard guard(target);
  ASSERT_TRUE(wait_for_mount(target));
  ASSERT_EQ(volume_info(wide(target + "\\")).fs_name, "exFAT");

  // Empty places for what udev and libblkid publish, in this namespace only.
  ASSERT_EQ(run("mkdir -p /run/udev /run/blkid").status, 0);
  ASSERT_TRUE(mount_tmpfs("/run/udev"));
  MountGuard udev_guard("/run/udev");
  ASSERT_TRUE(mount_tmpfs("/run/blkid"));
  MountGuard blkid_guard("/run/blkid");

  // Nothing published: the device's type is unknown to the caller. A cache
  // without the device, which the caller could rewrite, stays as it was: a
  // query reads the cache and never adds to it.
  ASSERT_EQ(chmod("/run/blkid", 0777), 0);
  ASSERT_EQ(run("touch /run/blkid/blkid.tab && chmod 0666 /run/blkid/blkid.tab").status, 0);
  struct stat cache_before {};
  ASSERT_EQ(stat("/run/blkid/blkid.tab", &cache_before), 0);
  std::printf("[ figures  ] unprivileged, nothing published: %s\n",
              unprivileged_answer(target).c_str());
  struct stat cache_after {};
  ASSERT_EQ(stat("/run/blkid/blkid.tab", &cache_after), 0);
  EXPECT_EQ(cache_after.st_ino, cache_before.st_ino);
  EXPECT_EQ(cache_after.st_size, 0);
  ASSERT_EQ(run("rm -f /run/blkid/blkid.tab*").status, 0);

  // libblkid's cache, as a probe by root leaves it.
  ASSERT_EQ(run("blkid " + *dev + " >/dev/null").status, 0);
  ASSERT_EQ(chmod("/run/blkid/blkid.tab", 0644), 0);
  EXPECT_EQ(unprivileged_answer(target), "exFAT|EXLBL");

  // The udev database, which wins over the cache.
  struct stat st {};
  ASSERT_EQ(stat(dev->c_str(), &st), 0);
  ASSERT_EQ(run("mkdir -p /run/udev/data").status, 0);
  const std::string record = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
  ASSERT_EQ(run("printf 'E:ID_FS_TYPE=exfat\\nE:ID_FS_LABEL_ENC=from\\\\x20udev\\n' > " +
                sh_quote(record)).status, 0);
  EXPECT_EQ(unprivileged_answer(target), "exFAT|from udev");
}

TEST_F(Hostile, ACallerWhoMayNotSearchAPathIsDeniedAccess) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const std::string locked = dir_.sub("locked");
  ASSERT_EQ(chmod(locked.c_str(), 0700), 0);
  const std::string inside = dir_.sub("locked/inside");
  const std::string missing = dir_.path() + "/missing";
  const std::string answer = as_nobody([&] {
    std::string codes;
    for (const std::string& path : {inside, missing}) {
      const auto info = volume_info(wide(path + "\\"));
      ULARGE_INTEGER total{};
      const BOOL space = GetDiskFreeSpaceExW(wide(path + "\\").c_str(), nullptr, &total, nullptr);
      codes += std::to_string(info.ok ? 0 : info.error) + " " +
               std::to_string(space ? 0 : GetLastError()) + ";";
    }
    return codes;
  });
  EXPECT_EQ(answer, std::to_string(ERROR_ACCESS_DENIED) + " " + std::to_string(ERROR_ACCESS_DENIED) +
                        ";" + std::to_string(ERROR_PATH_NOT_FOUND) + " " +
                        std::to_string(ERROR_PATH_NOT_FOUND) + ";");
}
