// Promises of the provider, on mounts the tests make in a mount namespace of
// their own: a caller's buffer is never written past the room it gives; a
// thread that enters a new mount namespace is served by workers of that
// namespace; a file reached through any mount of a volume is that volume;
// what udev publishes about a device is read whole.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/sysmacros.h>

#include <functional>
#include <thread>

#include "hostile_support.h"
#include "raii.h"
#ifdef K32L_FRAGMENTFS_PATH
#include "fragmentfs.h"
#endif

using namespace k32l_test;

namespace {

class Promises : public NamespaceTest {
 protected:
  bool bind(const std::string& from, const std::string& to) {
    return run("mount --bind " + sh_quote(from) + " " + sh_quote(to)).status == 0;
  }
};

}  // namespace

// ---- caller buffers ----------------------------------------------------------
// Catches a length check off by one: a list accepted into one unit less room
// than it needs overruns the caller's buffer (the module's first buffer, 5
// units, then meets "/dev" and drops that volume from its table).

TEST_F(Promises, APathNameListOneUnitTooLongIsRefusedAndNothingIsWrittenPastTheRoom) {
  // A volume of two mount points, beside those of the machine.
  const std::string first = dir_.sub("a");
  ASSERT_TRUE(mount_tmpfs(first));
  MountGuard first_guard(first);
  const std::string second = dir_.sub("second");
  ASSERT_TRUE(bind(first, second));
  MountGuard second_guard(second);
  const auto mine = volume_at(first);
  ASSERT_TRUE(mine);
  ASSERT_EQ(paths_of(*mine), (std::vector<std::string>{first, second}));

  constexpr WCHAR kCanary = 0xA5A5;
  constexpr std::size_t kCanaryUnits = 8;
  // Every unit from `from` on still holds the canary.
  const auto untouched_from = [&](const std::vector<WCHAR>& buf, std::size_t from) {
    for (std::size_t i = from; i < buf.size(); ++i)
      if (buf[i] != kCanary) return false;
    return true;
  };
  for (const auto& name : all_volume_names()) {
    const std::string shown = narrow(name);
    DWORD needed = 0;
    ASSERT_FALSE(GetVolumePathNamesForVolumeNameW(name.c_str(), nullptr, 0, &needed)) << shown;
    ASSERT_EQ(GetLastError(), ERROR_MORE_DATA) << shown;
    ASSERT_GE(needed, 1u) << shown << ": even an empty list has its NUL";

    std::vector<WCHAR> short_room(needed - 1 + kCanaryUnits, kCanary);
    DWORD length = 0;
    const BOOL accepted =
        GetVolumePathNamesForVolumeNameW(name.c_str(), short_room.data(), needed - 1, &length);
    const DWORD error = GetLastError();
    EXPECT_FALSE(accepted) << shown << ": " << needed << " units written into " << needed - 1;
    EXPECT_EQ(error, ERROR_MORE_DATA) << shown;
    EXPECT_EQ(length, needed) << shown;
    EXPECT_TRUE(untouched_from(short_room, needed - 1)) << shown << ": written past the room";

    std::vector<WCHAR> exact(needed + kCanaryUnits, kCanary);
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameW(name.c_str(), exact.data(), needed, &length))
        << shown << ": " << GetLastError();
    EXPECT_EQ(length, needed) << shown;
    EXPECT_EQ(exact[needed - 1], 0) << shown << ": the list's closing NUL";
    EXPECT_TRUE(untouched_from(exact, needed)) << shown << ": written past the room";
  }
}

// ---- workers per mount namespace -------------------------------------------------
// Catches workers shared across namespaces: an idle worker of the first
// namespace that takes a task of a thread in another one resolves the task's
// paths in the first namespace, where the other's mounts do not exist.

#ifdef K32L_FRAGMENTFS_PATH
namespace {

// Starts the fragment-reporting FUSE server on `target`, in the mount
// namespace of the calling thread; -1 when it cannot start.
pid_t start_fragmentfs(const std::string& target) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl(K32L_FRAGMENTFS_PATH, K32L_FRAGMENTFS_PATH, "-f", "-s", target.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// What a volume answers, as the module's refresh asks it.
struct Figures {
  bool listed = false;
  VolumeInfo info;
  bool space_ok = false;
  DWORD space_error = 0;
  ULARGE_INTEGER total{};
};

Figures figures_at(const std::string& target) {
  Figures f;
  const auto name = volume_at(target);
  f.listed = name.has_value();
  if (!name) return f;
  f.info = volume_info(*name);
  f.space_ok = GetDiskFreeSpaceExW(name->c_str(), nullptr, &f.total, nullptr) != 0;
  f.space_error = GetLastError();
  return f;
}

void expect_fragmentfs_figures(const Figures& f, const char* where) {
  ASSERT_TRUE(f.listed) << where << ": the FUSE mount is not listed";
  ASSERT_TRUE(f.info.ok) << where << ": " << f.info.error;
  EXPECT_EQ(f.info.max_component, k32l_fragmentfs::kNameMax) << where;
  ASSERT_TRUE(f.space_ok) << where << ": " << f.space_error;
  EXPECT_EQ(f.total.QuadPart, k32l_fragmentfs::kBlocks * k32l_fragmentfs::kFragmentSize) << where;
}

}  // namespace

TEST_F(Promises, AThreadThatEntersANewNamespaceIsServedThereWhileTheFirstNamespacesWorkersIdle) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
  // A FUSE mount in the first namespace: the refresh hands its calls to
  // workers, which then wait idle for the next task for a few seconds.
  const std::string here = dir_.sub("here");
  ChildGuard here_server(start_fragmentfs(here));
  MountGuard here_guard(here);
  if (!wait_for_mount(here)) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  expect_fragmentfs_figures(figures_at(here), "first namespace");
  ASSERT_GT(thread_count(), 1) << "no worker of the first namespace idles: the test proves nothing";

  // Another thread enters a new namespace at once and mounts there.
  const std::string there = dir_.sub("there");
  bool unshared = false, mounted = false;
  Figures seen;
  std::thread other([&] {
    if (unshare(CLONE_NEWNS) != 0) return;
    unshared = true;
    ChildGuard server(start_fragmentfs(there));  // forked from this thread: in its namespace
    MountGuard guard(there);                     // unmounted there, before the server ends
    if (!wait_for_mount(there)) return;
    mounted = true;
    seen = figures_at(there);
  });
  other.join();
  if (!unshared) GTEST_SKIP() << "unshare(CLONE_NEWNS) refused";
  ASSERT_TRUE(mounted) << "the test server did not mount in the new namespace";
  expect_fragmentfs_figures(seen, "new namespace");
  EXPECT_FALSE(volume_at(there)) << "the new namespace's mount is not in the first one";
  expect_fragmentfs_figures(figures_at(here), "first namespace, afterwards");
}
#endif

// ---- files by handle -----------------------------------------------------------
// Catches a mount-to-volume map that holds only one mount of each volume:
// a file opened through another of its mounts would be no volume (1005).

TEST_F(Promises, AFileOpenedThroughAnyMountOfAVolumeIsAnsweredAsThatVolume) {
  const std::string first = dir_.sub("first");
  ASSERT_TRUE(mount_tmpfs(first));
  MountGuard first_guard(first);
  ASSERT_EQ(mkdir((first + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(run("echo hi > " + sh_quote(first + "/sub/file")).status, 0);
  const std::string second = dir_.sub("second");
  ASSERT_TRUE(bind(first, second));
  MountGuard second_guard(second);
  const std::string subtree = dir_.sub("subtree");
  ASSERT_TRUE(bind(first + "/sub", subtree));
  MountGuard subtree_guard(subtree);

  const auto name = volume_at(first);
  ASSERT_TRUE(name);
  ASSERT_EQ(paths_of(*name), (std::vector<std::string>{first, second}));
  const auto serial = k32l::serial_from_device(dev_of(first));
  for (const std::string& path :
       {first + "/sub/file", second + "/sub/file", subtree + "/file", second}) {
    k32l::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid()) << path;
    const auto held = by_handle(fd.get());
    EXPECT_TRUE(held.ok) << path << ": " << held.error;
    if (!held.ok) continue;
    EXPECT_EQ(held.serial, serial) << path;
    EXPECT_EQ(held.fs_name, "tmpfs") << path;
  }
}

// ---- what the system publishes ------------------------------------------------------
// Catches a udev record read in part: the FAT version left out (a FAT32
// volume reported as FAT) or an escape at the very end of the label left
// encoded.

TEST_F(Promises, AFat32VolumeAndItsLabelAreReadWholeFromTheUdevRecord) {
  const auto dev = loop_image(dir_.path() + "/fat32.img", "40M", "mkfs.vfat -F 32 -n FATLBL IMG");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.vfat";
  LoopGuard loop(*dev);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  // The kernel has no FAT driver here: fusefat serves the device as a FUSE
  // file system of a block device (blkdev: the kernel ties the mount to the
  // device, whose number the table gives), so that the volume has it as
  // its device. A FUSE mount's source alone names none.
  const std::string target = dir_.sub("fat32");
  if (run("fusefat -o rw+,allow_other,blkdev,fsname=" + *dev + " " + *dev + " " +
          sh_quote(target) + " >/dev/null 2>&1")
          .status != 0)
    GTEST_SKIP() << "needs FUSE and fusefat";
  MountGuard guard(target);
  ASSERT_TRUE(wait_for_mount(target));
  const auto as_root = volume_info(wide(target + "\\"));
  ASSERT_TRUE(as_root.ok) << as_root.error;
  ASSERT_EQ(as_root.fs_name, "FAT32") << "root reads the device itself";

  // A udev database of the test's own, in this namespace only, and an empty
  // libblkid cache.
  ASSERT_EQ(run("mkdir -p /run/udev /run/blkid").status, 0);
  ASSERT_TRUE(mount_tmpfs("/run/udev"));
  MountGuard udev_guard("/run/udev");
  ASSERT_TRUE(mount_tmpfs("/run/blkid"));
  MountGuard blkid_guard("/run/blkid");
  ASSERT_EQ(run("mkdir -p /run/udev/data").status, 0);
  struct stat st {};
  ASSERT_EQ(stat(dev->c_str(), &st), 0);
  const std::string record = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
  // The record as udev writes it: each line "E:KEY=value", the label with
  // unsafe bytes as \xHH.
  const auto publish = [&](const std::string& label_enc) {
    return run("printf '%s\\n' 'E:ID_FS_TYPE=vfat' 'E:ID_FS_VERSION=FAT32' " +
               sh_quote("E:ID_FS_LABEL_ENC=" + label_enc) + " > " + sh_quote(record))
               .status == 0;
  };
  ASSERT_TRUE(publish("ab\\x2f"));
  EXPECT_EQ(unprivileged_answer(target), "FAT32|ab/") << "an escape that ends the label";
  ASSERT_TRUE(publish("\\x41\\x20b"));
  EXPECT_EQ(unprivileged_answer(target), "FAT32|A b");
  // An escape cut short is no escape: kept as written, nothing read past it.
  ASSERT_TRUE(publish("ab\\x2"));
  EXPECT_EQ(unprivileged_answer(target), "FAT32|ab\\x2");
}
