// Which volume is which, on real mounts in the tests' own mount namespace:
// a mount's device is the mount table's number whatever its source path
// names now; a mount ID the kernel hands out again does not join two mounts;
// clones sharing a UUID keep their names; mount points that differ by a
// trailing backslash are each answered as themselves; a table that cannot
// be read is an error for that call only; and a caller who cannot read a
// device is never told what a cache says was on it before.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "hostile_support.h"
#include "block_policy.h"
#include "fs_classes.h"
#include "identity.h"
#include "mount_table.h"
#include "raii.h"
#include "snapshot.h"
#include "text.h"
#include "verified_mount_points.h"

using namespace k32l_test;
using Clock = std::chrono::steady_clock;

namespace {

// The 32-bit mount ID of the mount `path` reaches, as /proc reports it for
// a descriptor (the provider's own code is not asked).
std::optional<unsigned long> reusable_mount_id(const std::string& path) {
  k32l::UniqueFd fd(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::ifstream in("/proc/thread-self/fdinfo/" + std::to_string(fd.get()));
  std::string key;
  while (in >> key) {
    unsigned long id = 0;
    if (key == "mnt_id:" && in >> id) return id;
  }
  return std::nullopt;
}

dev_t device_number(const std::string& node) {
  struct stat st {};
  return stat(node.c_str(), &st) == 0 ? st.st_rdev : 0;
}

class Identity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!private_namespace) GTEST_SKIP() << no_private_namespace_reason;
    ASSERT_FALSE(dir_.path().empty());
  }

  // An ext4 image labelled `label` on a loop device of its own.
  std::optional<std::string> ext4_loop(const std::string& name, const std::string& label) {
    return loop_image(dir_.path() + "/" + name + ".img", "16M",
                      "mkfs.ext4 -q -F -L " + label + " IMG");
  }

  bool mount_tmpfs(const std::string& target, const std::string& size = "4m") {
    return mount("ident-test", target.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }

  // Changes the mount table, so that the provider reads it again.
  void change_the_table() {
    const std::string poke = dir_.sub("poke");
    ASSERT_TRUE(mount_tmpfs(poke));
    MountGuard(poke).release();
  }

  TempDir dir_{"ident"};
};

}  // namespace

TEST_F(Identity, AMountsDeviceIsTheTableNumberWhateverItsSourcePathNamesNow) {
  const auto alpha = ext4_loop("alpha", "ALPHA");
  if (!alpha) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard alpha_loop(*alpha);
  const auto bravo = ext4_loop("bravo", "BRAVO");
  ASSERT_TRUE(bravo);
  LoopGuard bravo_loop(*bravo);
  const std::string alpha_uuid = blkid_value(*alpha, "UUID");
  const std::string bravo_uuid = blkid_value(*bravo, "UUID");
  ASSERT_FALSE(alpha_uuid.empty());
  ASSERT_NE(alpha_uuid, bravo_uuid);

  // A device node of the tests' own and a symbolic link, each the source of
  // a mount of ALPHA, each then made to name BRAVO.
  const std::string node = dir_.path() + "/node", link = dir_.path() + "/link";
  const auto point_node = [&](const std::string& device) {
    unlink(node.c_str());
    return mknod(node.c_str(), S_IFBLK | 0600, device_number(device)) == 0;
  };
  const auto point_link = [&](const std::string& device) {
    unlink(link.c_str());
    return symlink(device.c_str(), link.c_str()) == 0;
  };
  for (const auto& [source, point] :
       {std::pair<std::string, std::function<bool(const std::string&)>>{node, point_node},
        {link, point_link}}) {
    ASSERT_TRUE(point(*alpha)) << source;
    const std::string target = dir_.sub("by-" + source.substr(source.rfind('/') + 1));
    ASSERT_EQ(mount(source.c_str(), target.c_str(), "ext4", MS_RDONLY, nullptr), 0) << source;
    MountGuard guard(target);
    ASSERT_EQ(volume_info(wide(target + "\\")).label, "ALPHA") << source;
    ASSERT_TRUE(point(*bravo)) << source;

    // With the table kept from before, and read again.
    for (const char* stage : {"table kept", "table read again"}) {
      const auto info = volume_info(wide(target + "\\"));
      EXPECT_TRUE(info.ok) << source << ", " << stage << ": " << info.error;
      EXPECT_EQ(info.label, "ALPHA") << source << ", " << stage;
      EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(target))) << source << ", " << stage;
      const auto name = volume_at(target);
      ASSERT_TRUE(name) << source << ", " << stage;
      EXPECT_NE(narrow(*name).find(alpha_uuid), std::string::npos)
          << source << ", " << stage << ": " << narrow(*name);
      EXPECT_EQ(narrow(*name).find(bravo_uuid), std::string::npos) << source << ", " << stage;
      change_the_table();
    }
  }
}

TEST_F(Identity, AMountIdTheKernelHandsOutAgainIsNotTakenForTheMountThatHadIt) {
  const std::string target = dir_.sub("replaced");
  ASSERT_TRUE(mount_tmpfs(target, "1m"));
  MountGuard first_guard(target);
  const auto first_id = reusable_mount_id(target);
  ASSERT_TRUE(first_id);
  auto table = k32l::read_mount_table("/proc/thread-self/mountinfo");
  ASSERT_TRUE(table.ok()) << table.error;
  k32l::identify_mounts(table.value);
  const k32l::MountEntry* listed = nullptr;
  for (const auto& e : table.value)
    if (e.target == target) listed = &e;
  ASSERT_NE(listed, nullptr);
  const k32l::MountIdKind kind = k32l::compared_by(table.value);
  if (kind != k32l::MountIdKind::Unique)
    GTEST_SKIP() << "no unique mount IDs here (Linux before 6.8): a table that changed while "
                    "its mount points were looked at is read again instead";

  // Replaced until the kernel gives the new mount the old one's 32-bit ID
  // (it hands out the lowest free one, so this is quick), for at most 5 s.
  first_guard.release();
  bool reused = false;
  for (const auto t0 = Clock::now(); !reused && Clock::now() - t0 < std::chrono::seconds(5);) {
    umount2(target.c_str(), MNT_DETACH);
    ASSERT_TRUE(mount_tmpfs(target, "2m"));
    reused = reusable_mount_id(target) == first_id;
  }
  MountGuard second_guard(target);
  if (!reused) GTEST_SKIP() << "the kernel did not hand mount ID " << *first_id << " out again";

  const k32l::PathIdentity seen = k32l::identify_path(target, kind);
  ASSERT_EQ(seen.error, 0);
  ASSERT_TRUE(seen.mount_known);
  EXPECT_FALSE(k32l::is_this_mount(*listed, seen))
      << "the tmpfs mounted now at " << target << " is taken for the one listed before it";
  // The mount now there is itself, read afresh.
  table = k32l::read_mount_table("/proc/thread-self/mountinfo");
  ASSERT_TRUE(table.ok());
  k32l::identify_mounts(table.value);
  bool found = false;
  for (const auto& e : table.value) found = found || (e.target == target && k32l::is_this_mount(e, seen));
  EXPECT_TRUE(found) << "the mount at " << target << " is not its own table entry";
}

// The same through the calls, as a race: a mount replaced between the read
// of the table and the look at its mount point. A provider that joins two
// mounts is caught in some runs only; the test above catches it every time.
TEST_F(Identity, AnswersWhileMountsAreReplacedAtOnePlaceNeverMixTwoMounts) {
  const auto alpha = ext4_loop("alpha", "ALPHA");
  if (!alpha) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard alpha_loop(*alpha);
  const std::string home = dir_.sub("alpha");
  ASSERT_EQ(mount(alpha->c_str(), home.c_str(), "ext4", MS_RDONLY, nullptr), 0);
  MountGuard home_guard(home);
  const auto alpha_serial = k32l::serial_from_device(dev_of(home));
  const std::string target = dir_.sub("churn");

  // ALPHA bound at the target, then a tmpfs, again and again: each new mount
  // gets the 32-bit ID the last one freed.
  std::atomic<bool> stop{false};
  const auto unmount = [&] {
    if (umount2(target.c_str(), 0) != 0) umount2(target.c_str(), MNT_DETACH);  // busy a moment
  };
  std::thread churn([&] {
    while (!stop) {
      if (mount(home.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0) unmount();
      if (mount_tmpfs(target, "1m")) unmount();
    }
  });
  int calls = 0, answers = 0, mixed = 0;
  std::string example;
  for (const auto t0 = Clock::now(); Clock::now() - t0 < std::chrono::seconds(3);) {
    const auto info = volume_info(wide(target + "\\"));
    ++calls;
    if (!info.ok) continue;
    ++answers;
    const bool is_alpha = info.fs_name == "ext4";
    if (is_alpha != (info.serial == alpha_serial) || is_alpha != (info.label == "ALPHA")) {
      if (mixed++ == 0)
        example = info.fs_name + " labelled '" + info.label + "' with serial " +
                  std::to_string(info.serial) + " (ALPHA's is " + std::to_string(alpha_serial) + ")";
    }
  }
  stop = true;
  churn.join();
  while (umount2(target.c_str(), MNT_DETACH) == 0) {
  }
  std::printf("[ figures  ] %d calls while mounts were replaced: %d answers, %d mixed\n", calls,
              answers, mixed);
  EXPECT_EQ(mixed, 0) << "e.g. " << example;
}

TEST_F(Identity, ClonesKeepTheirNamesWhateverTheOrderOfTheTable) {
  const auto alpha = ext4_loop("alpha", "ALPHA");
  if (!alpha) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard alpha_loop(*alpha);
  // BRAVO is a copy of ALPHA's image: the same UUID, another label.
  const std::string bravo_image = dir_.path() + "/bravo.img";
  ASSERT_EQ(run("cp " + sh_quote(dir_.path() + "/alpha.img") + " " + sh_quote(bravo_image) +
                " && tune2fs -L BRAVO " + sh_quote(bravo_image) + " >/dev/null 2>&1").status,
            0);
  const auto attached = run("losetup -f --show " + sh_quote(bravo_image) + " 2>/dev/null");
  ASSERT_EQ(attached.status, 0);
  LoopGuard bravo_loop(trim(attached.out));
  ASSERT_EQ(blkid_value(alpha_loop.device(), "UUID"), blkid_value(bravo_loop.device(), "UUID"));

  const std::string at_alpha = dir_.sub("alpha"), at_bravo = dir_.sub("bravo");
  const auto mount_alpha = [&] {
    return mount(alpha_loop.device().c_str(), at_alpha.c_str(), "ext4", MS_RDONLY, nullptr) == 0;
  };
  const auto mount_bravo = [&] {
    return mount(bravo_loop.device().c_str(), at_bravo.c_str(), "ext4", MS_RDONLY, nullptr) == 0;
  };
  ASSERT_TRUE(mount_alpha());
  MountGuard alpha_guard(at_alpha);
  ASSERT_TRUE(mount_bravo());
  MountGuard bravo_guard(at_bravo);
  const auto alpha_name = volume_at(at_alpha), bravo_name = volume_at(at_bravo);
  ASSERT_TRUE(alpha_name && bravo_name);
  ASSERT_NE(*alpha_name, *bravo_name);

  // Each remounted in turn, so that the other comes first in the table: a
  // refresh that listed the names before the remount asks with them after.
  const auto same_names = [&](const char* stage) {
    EXPECT_EQ(volume_at(at_alpha), alpha_name) << stage;
    EXPECT_EQ(volume_at(at_bravo), bravo_name) << stage;
    EXPECT_EQ(volume_info(*alpha_name).label, "ALPHA") << stage;
    EXPECT_EQ(volume_info(*bravo_name).label, "BRAVO") << stage;
    EXPECT_EQ(paths_of(*alpha_name), std::vector<std::string>{at_alpha}) << stage;
    EXPECT_EQ(paths_of(*bravo_name), std::vector<std::string>{at_bravo}) << stage;
  };
  // The clone with the lower device number is named by the UUID alone, the
  // other by the UUID and its own device number.
  const std::string uuid = blkid_value(alpha_loop.device(), "UUID");
  const auto alpha_dev = dev_of(at_alpha), bravo_dev = dev_of(at_bravo);
  const auto lower = alpha_dev < bravo_dev ? alpha_name : bravo_name;
  const auto higher = alpha_dev < bravo_dev ? bravo_name : alpha_name;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%016llx", std::max(alpha_dev, bravo_dev));
  EXPECT_EQ(narrow(*lower), k32l::format_volume_name(uuid)) << "the lower-numbered clone";
  EXPECT_EQ(narrow(*higher), k32l::format_volume_name(uuid + suffix))
      << "the higher-numbered clone";
  ASSERT_EQ(umount2(at_alpha.c_str(), 0), 0);
  ASSERT_TRUE(mount_alpha());
  same_names("ALPHA remounted");
  ASSERT_EQ(umount2(at_bravo.c_str(), 0), 0);
  ASSERT_TRUE(mount_bravo());
  same_names("BRAVO remounted");
}

// A mount's source is text its mounter chose: a FUSE server names its own
// (fusermount3 lets any user write "fsname=/dev/loop0"), and a tmpfs takes
// whatever source it is given. Such mounts naming a mounted disk get none of
// its identity (label, UUID, name), and the disk keeps its plain name,
// though their anonymous device numbers sort below the disk's.
TEST_F(Identity, ASourceNamingADiskLendsAMountNoneOfItsIdentity) {
  const auto alpha = ext4_loop("alpha", "ALPHA");
  if (!alpha) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard alpha_loop(*alpha);
  const std::string alpha_uuid = blkid_value(*alpha, "UUID");
  ASSERT_FALSE(alpha_uuid.empty());
  const std::string at_alpha = dir_.sub("alpha");
  ASSERT_EQ(mount(alpha->c_str(), at_alpha.c_str(), "ext4", MS_RDONLY, nullptr), 0);
  MountGuard alpha_guard(at_alpha);

  const std::string at_tmpfs = dir_.sub("tmpfs");
  ASSERT_EQ(mount(alpha->c_str(), at_tmpfs.c_str(), "tmpfs", 0, "size=1m"), 0);
  MountGuard tmpfs_guard(at_tmpfs);
  std::vector<std::string> impostors{at_tmpfs};
#ifdef K32L_FRAGMENTFS_PATH
  // Mounted by nobody through fusermount3 (which auto_unmount makes the
  // server use) where it may (the mount point is its own), else by root.
  std::unique_ptr<FuseServer> fuse;
  std::string mounter;
  const std::string at_fuse = dir_.sub("fuse");
  if (access("/dev/fuse", F_OK) == 0 && chmod(dir_.path().c_str(), 0755) == 0 &&
      chown(at_fuse.c_str(), 65534, 65534) == 0) {
    fuse = std::make_unique<FuseServer>(K32L_FRAGMENTFS_PATH, at_fuse,
                                        "auto_unmount,fsname=" + *alpha, 65534);
    mounter = "uid 65534";
    if (!fuse->mounted()) {
      fuse.reset();
      fuse = std::make_unique<FuseServer>(K32L_FRAGMENTFS_PATH, at_fuse, "fsname=" + *alpha);
      mounter = "root";
    }
  }
  if (fuse && fuse->mounted()) {
    impostors.push_back(at_fuse);
    std::printf("[ figures  ] a FUSE mount with source %s, mounted by %s\n", alpha->c_str(),
                mounter.c_str());
  } else {
    std::printf("[ SKIPPED  ] the FUSE part: the test server did not mount\n");
  }
#endif

  for (const std::string& impostor : impostors) {
    const auto name = volume_at(impostor);
    ASSERT_TRUE(name) << impostor;
    EXPECT_EQ(narrow(*name).find(alpha_uuid), std::string::npos)
        << impostor << " is named by the disk's UUID: " << narrow(*name);
    const auto info = volume_info(wide(impostor + "\\"));
    EXPECT_TRUE(info.ok) << impostor << ": " << info.error;
    EXPECT_NE(info.label, "ALPHA") << impostor << " is given the disk's label";
  }
  const auto disk = volume_at(at_alpha);
  ASSERT_TRUE(disk);
  EXPECT_EQ(narrow(*disk), k32l::format_volume_name(alpha_uuid)) << "the disk lost its name";
  EXPECT_EQ(volume_info(*disk).label, "ALPHA");
}

// A btrfs mount's number is anonymous too, but the file system itself
// reports the devices it is on: its source is its device, read for its
// label and UUID.
TEST_F(Identity, ABtrfsMountIsNamedAndLabelledFromTheDeviceItReportsBeingOn) {
  const auto dev = loop_image(dir_.path() + "/btrfs.img", "128M", "mkfs.btrfs -q -f -L BETA IMG");
  if (!dev) GTEST_SKIP() << "needs loop devices and mkfs.btrfs (btrfs-progs)";
  LoopGuard loop(*dev);
  const std::string top = dir_.sub("btrfs");
  if (mount(dev->c_str(), top.c_str(), "btrfs", MS_RDONLY, nullptr) != 0)
    GTEST_SKIP() << "needs btrfs in the kernel";
  MountGuard top_guard(top);
  ASSERT_EQ(major(dev_of(top)), 0u) << "btrfs reports an anonymous device number";
  const auto name = volume_at(top);
  ASSERT_TRUE(name);
  // Its UUID, with the number of its subvolume where the kernel gives the
  // top one a number of its own.
  EXPECT_EQ(narrow(*name).find("{" + blkid_value(*dev, "UUID")), 10u) << narrow(*name);
  const auto info = volume_info(*name);
  EXPECT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.label, "BETA");
  EXPECT_EQ(info.fs_name, "btrfs");
}

// A device's name may come to mean another device while the table is kept:
// here the name the system gives ALPHA's number, in a /dev of the test's
// own, is made to name BRAVO (another minor of the same major) after the
// table was read. Every read goes through a descriptor checked to be the
// whole device number, so BRAVO's label is lent to no one.
TEST_F(Identity, ADeviceNameRepointedAtAnotherMinorLendsThatDeviceNothing) {
  const auto alpha = ext4_loop("alpha", "ALPHA");
  if (!alpha) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  LoopGuard alpha_loop(*alpha);
  const auto bravo = ext4_loop("bravo", "BRAVO");
  ASSERT_TRUE(bravo);
  LoopGuard bravo_loop(*bravo);
  const dev_t alpha_rdev = device_number(*alpha), bravo_rdev = device_number(*bravo);
  ASSERT_EQ(major(alpha_rdev), major(bravo_rdev));
  ASSERT_NE(minor(alpha_rdev), minor(bravo_rdev));
  const std::string bravo_uuid = blkid_value(*bravo, "UUID");
  ASSERT_FALSE(bravo_uuid.empty());

  ASSERT_EQ(mount("ident-dev", "/dev", "tmpfs", 0, "mode=755,size=1m"), 0);
  MountGuard dev_guard("/dev");
  ASSERT_EQ(mknod(alpha->c_str(), S_IFBLK | 0600, alpha_rdev), 0);
  const std::string target = dir_.sub("alpha");
  ASSERT_EQ(mount(alpha->c_str(), target.c_str(), "ext4", MS_RDONLY, nullptr), 0);
  MountGuard alpha_guard(target);
  ASSERT_EQ(volume_info(wide(target + "\\")).label, "ALPHA");

  // The mount table does not change: the table kept names the node again.
  ASSERT_EQ(unlink(alpha->c_str()), 0);
  ASSERT_EQ(mknod(alpha->c_str(), S_IFBLK | 0600, bravo_rdev), 0);
  for (int call = 0; call < 2; ++call) {
    const auto info = volume_info(wide(target + "\\"));
    EXPECT_NE(info.label, "BRAVO") << "call " << call << ": " << *alpha << " names BRAVO now";
    const auto name = volume_at(target);
    ASSERT_TRUE(name);
    EXPECT_EQ(narrow(*name).find(bravo_uuid), std::string::npos) << narrow(*name);
  }
}

TEST_F(Identity, MountPointsThatDifferByATrailingBackslashAreEachAnsweredAsThemselves) {
  const std::string plain = dir_.sub("a"), with_backslash = dir_.sub("a\\");
  ASSERT_TRUE(mount_tmpfs(plain, "1m"));
  MountGuard plain_guard(plain);
  ASSERT_TRUE(mount_tmpfs(with_backslash, "2m"));
  MountGuard backslash_guard(with_backslash);
  const auto plain_serial = k32l::serial_from_device(dev_of(plain));
  const auto backslash_serial = k32l::serial_from_device(dev_of(with_backslash));
  ASSERT_NE(plain_serial, backslash_serial);

  // A root as the module passes it: with a backslash added unless it ends
  // in one.
  const auto as_passed = [](const std::string& p) { return p.back() == '\\' ? p : p + "\\"; };
  EXPECT_EQ(volume_info(wide(as_passed(plain))).serial, plain_serial);
  EXPECT_EQ(volume_info(wide(with_backslash + "\\")).serial, backslash_serial);

  // Both are volumes, and every mount point listed for either, passed back,
  // is that volume.
  int found = 0;
  for (const auto& name : all_volume_names()) {
    const auto serial = volume_info(name).serial;
    if (serial != plain_serial && serial != backslash_serial) continue;
    ++found;
    for (const auto& path : paths_of(name)) {
      const auto info = volume_info(wide(as_passed(path)));
      EXPECT_TRUE(info.ok) << path << ": " << info.error;
      EXPECT_EQ(info.serial, serial) << path << " answers another volume";
    }
  }
  EXPECT_EQ(found, 2);
}

// The kernel's description of the mounts (statmount) stands in for the
// mountinfo file where it describes all a table entry holds: it must give
// the same entries in the same order, with the same unique IDs, for names
// that mountinfo escapes, a bind of a subtree, a mount made without a
// source (mountinfo's "none"), and an overlay, whose options name its layers.
TEST_F(Identity, TheKernelsDescriptionOfTheMountsIsTheTableMountinfoGives) {
  std::deque<MountGuard> guards;
  for (const char* name : {"sp ace", "tab\tnew\nline", "back\\slash", "hash#comma,", "\xff\xfe"}) {
    const std::string target = dir_.sub(name);
    ASSERT_TRUE(mount_tmpfs(target)) << name;
    guards.emplace_back(target);
  }
  const std::string sourceless = dir_.sub("sourceless");
  ASSERT_EQ(mount(nullptr, sourceless.c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
  guards.emplace_back(sourceless);
  const std::string subtree = dir_.sub("sp ace/sub"), bound = dir_.sub("bound");
  ASSERT_EQ(mount(subtree.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
  guards.emplace_back(bound);
  const std::string lower = dir_.sub("lower"), upper = dir_.sub("sp ace/upper"),
                    work = dir_.sub("sp ace/work"), merged = dir_.sub("merged");
  const std::string layers = "lowerdir=" + lower + ",upperdir=" + upper + ",workdir=" + work;
  const bool overlay = mount("overlay", merged.c_str(), "overlay", 0, layers.c_str()) == 0;
  if (overlay) guards.emplace_back(merged);

  const auto described = k32l::kernel_mount_table();
  if (!described)
    GTEST_SKIP() << "statmount here does not describe whole entries (Linux before 6.15)";
  auto read = k32l::read_mount_table("/proc/thread-self/mountinfo");
  ASSERT_TRUE(read.ok()) << read.error;
  k32l::identify_mounts(read.value);
  const auto& from_file = read.value;
  ASSERT_EQ(described->size(), from_file.size());
  bool saw_overlay = false, saw_none = false;
  for (std::size_t i = 0; i < from_file.size(); ++i) {
    const k32l::MountEntry &kernel = (*described)[i], &file = from_file[i];
    SCOPED_TRACE(file.target);
    EXPECT_EQ(kernel.target, file.target);
    EXPECT_EQ(kernel.root, file.root);
    EXPECT_EQ(kernel.source, file.source);
    EXPECT_EQ(kernel.fstype, file.fstype);
    EXPECT_EQ(kernel.devno, file.devno);
    EXPECT_EQ(kernel.id, file.id);
    EXPECT_EQ(kernel.unique_id, file.unique_id);
    EXPECT_NE(kernel.unique_id, 0u);
    // mountinfo puts "rw" or "ro" (and flags of the superblock) before the
    // file system's own options. The kernel's description holds them only
    // for the mounts whose type names its layers there.
    const std::string& own = kernel.options;
    if (k32l::options_name_layers(kernel.fstype)) {
      EXPECT_TRUE(!own.empty() && file.options.size() > own.size() &&
                  file.options.compare(file.options.size() - own.size() - 1, std::string::npos,
                                       "," + own) == 0)
          << own << " against " << file.options;
    } else {
      EXPECT_EQ(own, "") << "options read of a mount whose type names no layers";
    }
    EXPECT_EQ(k32l::stacked_layers(kernel.fstype, kernel.options),
              k32l::stacked_layers(file.fstype, file.options));
    saw_overlay = saw_overlay || (overlay && kernel.target == merged &&
                                  k32l::stacked_layers(kernel.fstype, kernel.options)->size() == 3);
    saw_none = saw_none || (kernel.target == sourceless && kernel.source == "none");
  }
  EXPECT_EQ(saw_overlay, overlay) << "the overlay's three layers are read from its options";
  EXPECT_TRUE(saw_none);
  // The provider reads the kernel's description here.
  const auto identified = k32l::read_identified_table("/proc/thread-self/mountinfo");
  ASSERT_TRUE(identified.ok());
  EXPECT_EQ(identified.value.size(), described->size());
}

namespace {

// Where the calling thread's table read from the kernel's description of its
// mounts differs from its own mountinfo file (identified), or "" where they
// agree entry by entry; "no statmount" where the kernel does not describe
// whole entries.
std::string kernel_table_against_mountinfo() {
  const auto described = k32l::kernel_mount_table();
  if (!described) return "no statmount";
  auto read = k32l::read_mount_table("/proc/thread-self/mountinfo");
  if (!read.ok()) return "mountinfo unread";
  k32l::identify_mounts(read.value);
  std::string differences;
  if (described->size() != read.value.size())
    differences += "sizes " + std::to_string(described->size()) + " and " +
                   std::to_string(read.value.size()) + "\n";
  for (std::size_t i = 0; i < std::min(described->size(), read.value.size()); ++i) {
    const k32l::MountEntry &kernel = (*described)[i], &file = read.value[i];
    if (kernel.target != file.target || kernel.root != file.root ||
        kernel.source != file.source || kernel.fstype != file.fstype ||
        kernel.devno != file.devno || kernel.id != file.id ||
        kernel.unique_id != file.unique_id || kernel.unique_id == 0)
      differences += "entry " + std::to_string(i) + ": " + kernel.target + " against " +
                     file.target + "\n";
  }
  return differences;
}

// The mount points of the calling thread's table read from the kernel's
// description, each followed by a space, without /proc.
std::string targets_in_kernel_table() {
  std::string targets;
  if (const auto described = k32l::kernel_mount_table())
    for (const k32l::MountEntry& e : *described)
      if (e.target != "/proc") targets += e.target + " ";
  return targets;
}

}  // namespace

// The kernel's description follows the calling thread's view as its
// mountinfo file does: a thread in a chroot into a directory that is no
// mount point (mounts outside the jail, a bind whose root is in the jail but
// mounted outside it, a bind from outside mounted inside), and a thread in a
// mount namespace of its own that changed it; with stacked mounts, a moved
// mount, binds of one file system in several places and odd bytes.
TEST_F(Identity, TheKernelsDescriptionFollowsTheCallingThreadsView) {
  std::deque<MountGuard> guards;
  const std::string jail = dir_.sub("jail"), outside = dir_.sub("outside");
  const std::string stacked = dir_.sub("jail/stacked"), from = dir_.sub("jail/from"),
                    to = dir_.sub("jail/to"), clone = dir_.sub("jail/clone"),
                    odd = dir_.sub("jail/od\nd \\101\t\xff"), in_from_out = dir_.sub("jail/in"),
                    out_from_in = dir_.sub("out-from-in");
  for (const std::string& target : {stacked, stacked, from, outside, odd}) {
    ASSERT_TRUE(mount_tmpfs(target)) << target;
    guards.emplace_back(target);
  }
  // The jail's own /proc, for its mountinfo file.
  const std::string proc = dir_.sub("jail/proc");
  ASSERT_EQ(mount("proc", proc.c_str(), "proc", 0, nullptr), 0) << strerror(errno);
  guards.emplace_back(proc);
  ASSERT_EQ(mount(from.c_str(), to.c_str(), nullptr, MS_MOVE, nullptr), 0) << strerror(errno);
  guards.emplace_back(to);
  ASSERT_EQ(mkdir((stacked + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((outside + "/sub").c_str(), 0755), 0);
  // A bind whose root has a backslash before octal digits, and a space.
  const std::string odd_root = odd + "/r\\040 s", odd_bind = dir_.sub("jail/odd-root");
  ASSERT_EQ(mkdir(odd_root.c_str(), 0755), 0);
  ASSERT_EQ(mount(odd_root.c_str(), odd_bind.c_str(), nullptr, MS_BIND, nullptr), 0);
  guards.emplace_back(odd_bind);
  for (const auto& [source, target] : {std::pair{stacked, clone},
                                       std::pair{stacked + "/sub", out_from_in},
                                       std::pair{outside + "/sub", in_from_out}}) {
    ASSERT_EQ(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << target;
    guards.emplace_back(target);
  }
  const std::string here = kernel_table_against_mountinfo();
  if (here == "no statmount")
    GTEST_SKIP() << "statmount here does not describe whole entries (Linux before 6.15)";
  EXPECT_EQ(here, "");

  std::string jailed = "not run", own_namespace = "not run", own_namespace_jailed = "not run";
  std::thread([&] {
    if (unshare(CLONE_FS) == 0 && chroot(jail.c_str()) == 0 && chdir("/") == 0)
      jailed = kernel_table_against_mountinfo() + targets_in_kernel_table();
  }).join();
  std::thread([&] {
    if (unshare(CLONE_FS | CLONE_NEWNS) != 0) return;
    // Only this namespace: one mount more, the top of the stack and the
    // moved mount gone.
    const std::string only_here = jail + "/stacked/sub";
    if (mount("ident-test", only_here.c_str(), "tmpfs", 0, "size=1m") != 0 ||
        umount2(stacked.c_str(), MNT_DETACH) != 0 || umount2(to.c_str(), MNT_DETACH) != 0)
      return;
    own_namespace = kernel_table_against_mountinfo();
    if (chroot(jail.c_str()) == 0 && chdir("/") == 0)
      own_namespace_jailed = kernel_table_against_mountinfo();
  }).join();
  EXPECT_EQ(jailed, "/stacked /stacked /to /od\nd \\101\t\xff /odd-root /clone /in ");
  EXPECT_EQ(own_namespace, "");
  EXPECT_EQ(own_namespace_jailed, "");
}

// A table longer than one listmount call gives (which lists a chunk at a
// time), in the main view and in a jail holding half of it.
TEST_F(Identity, TheKernelsDescriptionOfALongTableIsWhole) {
  std::deque<MountGuard> guards;
  const std::string jail = dir_.sub("long-jail");
  for (int n = 0; n < 1200; ++n) {
    const std::string target =
        n % 2 ? dir_.sub("long-jail/" + std::to_string(n)) : dir_.sub("long" + std::to_string(n));
    ASSERT_TRUE(mount_tmpfs(target, "64k")) << target;
    guards.emplace_back(target);
  }
  const std::string proc = dir_.sub("long-jail/proc");
  ASSERT_EQ(mount("proc", proc.c_str(), "proc", 0, nullptr), 0) << strerror(errno);
  guards.emplace_back(proc);
  const std::string here = kernel_table_against_mountinfo();
  if (here == "no statmount")
    GTEST_SKIP() << "statmount here does not describe whole entries (Linux before 6.15)";
  EXPECT_EQ(here, "");
  EXPECT_GE(k32l::kernel_mount_table()->size(), 1201u);
  std::string jailed = "not run";
  std::size_t jailed_size = 0;
  std::thread([&] {
    if (unshare(CLONE_FS) != 0 || chroot(jail.c_str()) != 0 || chdir("/") != 0) return;
    jailed = kernel_table_against_mountinfo();
    if (const auto table = k32l::kernel_mount_table()) jailed_size = table->size();
  }).join();
  EXPECT_EQ(jailed, "");
  EXPECT_EQ(jailed_size, 601u) << "the jail's 600 mounts and its /proc";
}

// Mounts made, moved and unmounted while the kernel's description is read
// (some between listmount and statmount, overlays also between the
// statmount of the entry and that of its options): each read is a table,
// with every mount that stayed, no entry twice, none without a mount point
// and no overlay without its layers.
TEST_F(Identity, TheKernelsDescriptionReadWhileMountsComeAndGoIsATable) {
  const std::string stays = dir_.sub("stays");
  ASSERT_TRUE(mount_tmpfs(stays));
  MountGuard stays_guard(stays);
  if (!k32l::kernel_mount_table())
    GTEST_SKIP() << "statmount here does not describe whole entries (Linux before 6.15)";
  std::atomic<bool> stop{false};
  std::vector<std::string> places, overlays, overlay_layers;
  for (int n = 0; n < 16; ++n) places.push_back(dir_.sub("churn" + std::to_string(n)));
  const std::string lower = dir_.sub("lower");
  for (int n = 0; n < 4; ++n) {
    const std::string own = std::to_string(n);
    overlays.push_back(dir_.sub("overlay" + own));
    overlay_layers.push_back("lowerdir=" + lower + ",upperdir=" + stays + "/upper" + own +
                             ",workdir=" + stays + "/work" + own);
    mkdir((stays + "/upper" + own).c_str(), 0755);
    mkdir((stays + "/work" + own).c_str(), 0755);
  }
  const std::string moved_to = dir_.sub("moved");
  std::thread churn([&] {
    while (!stop) {
      for (const std::string& place : places) mount_tmpfs(place, "1m");
      for (std::size_t n = 0; n < overlays.size(); ++n)
        mount("overlay", overlays[n].c_str(), "overlay", 0, overlay_layers[n].c_str());
      mount(places[0].c_str(), moved_to.c_str(), nullptr, MS_MOVE, nullptr);
      umount2(moved_to.c_str(), MNT_DETACH);
      for (const std::string& place : places) umount2(place.c_str(), MNT_DETACH);
      for (const std::string& place : overlays) umount2(place.c_str(), MNT_DETACH);
    }
  });
  int reads = 0, described = 0;
  for (const auto end = Clock::now() + std::chrono::seconds(1); Clock::now() < end; ++reads) {
    const auto table = k32l::kernel_mount_table();
    if (!table) continue;  // the mountinfo file is read then
    ++described;
    std::set<std::uint64_t> seen;
    bool has_stays = false;
    for (const k32l::MountEntry& e : *table) {
      EXPECT_FALSE(e.target.empty());
      EXPECT_TRUE(seen.insert(e.unique_id).second) << e.target;
      has_stays = has_stays || e.target == stays;
      if (e.fstype == "overlay" &&
          std::find(overlays.begin(), overlays.end(), e.target) != overlays.end()) {
        const auto layers = k32l::stacked_layers(e.fstype, e.options);
        EXPECT_TRUE(layers && layers->size() == 3) << e.target << ": " << e.options;
      }
    }
    EXPECT_TRUE(has_stays);
  }
  stop = true;
  churn.join();
  for (const std::string& place : places) umount2(place.c_str(), MNT_DETACH);
  for (const std::string& place : overlays) umount2(place.c_str(), MNT_DETACH);
  // Most reads are the kernel's description, not the file's.
  EXPECT_GT(described, reads / 2) << described << " of " << reads;
}

TEST_F(Identity, ATableReadThatFailsIsAnErrorForThatCallOnly) {
  ASSERT_TRUE(volume_info(u"/").ok);  // the table is watched and kept
  const std::string poke = dir_.sub("poke");
  ASSERT_TRUE(mount_tmpfs(poke));
  MountGuard poke_guard(poke);

  VolumeInfo starved;
  DWORD search_error = ERROR_SUCCESS;
  {
    NoFreeDescriptors limit;
    ASSERT_TRUE(limit.active());
    starved = volume_info(u"/");
    WCHAR name[MAX_PATH + 1];
    HANDLE h = FindFirstVolumeW(name, MAX_PATH + 1);
    search_error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (h != INVALID_HANDLE_VALUE) FindVolumeClose(h);
  }
  const auto root_serial = k32l::serial_from_device(dev_of("/"));
  if (starved.ok) {
    EXPECT_EQ(starved.serial, root_serial);
  }
  EXPECT_NE(search_error, ERROR_NO_MORE_FILES) << "a table that was not read is not empty";

  // Descriptors free again: the table is read, though it did not change.
  const auto after = volume_info(u"/");
  EXPECT_TRUE(after.ok) << after.error;
  EXPECT_EQ(after.serial, root_serial);
  EXPECT_TRUE(volume_at(poke)) << "the mount made before the failed read is listed";
}

TEST_F(Identity, ACallerWhoCannotReadTheDeviceIsNotToldWhatACacheSaysWasOnItBefore) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const auto old_disk = ext4_loop("old", "OLDDISK");
  if (!old_disk) GTEST_SKIP() << "needs loop devices and mkfs.ext4";
  std::optional<LoopGuard> old_loop(std::in_place, *old_disk);
  const std::string old_uuid = blkid_value(*old_disk, "UUID");
  ASSERT_FALSE(old_uuid.empty());

  // No udev database, and a libblkid cache of this namespace's own, in
  // which root's probe records OLDDISK.
  ASSERT_EQ(run("mkdir -p /run/udev /run/blkid").status, 0);
  ASSERT_TRUE(mount_tmpfs("/run/udev"));
  MountGuard udev_guard("/run/udev");
  ASSERT_TRUE(mount_tmpfs("/run/blkid"));
  MountGuard blkid_guard("/run/blkid");
  ASSERT_EQ(run("blkid " + *old_disk + " >/dev/null").status, 0);
  ASSERT_EQ(chmod("/run/blkid/blkid.tab", 0644), 0);

  // The same loop device, reused for a new image.
  const std::string new_image = dir_.path() + "/new.img";
  ASSERT_EQ(run("truncate -s 16M " + sh_quote(new_image) + " && mkfs.ext4 -q -F -L NEWDISK " +
                sh_quote(new_image) + " >/dev/null 2>&1").status,
            0);
  old_loop.reset();
  if (run("losetup " + *old_disk + " " + sh_quote(new_image) + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "the loop device was taken by another process meanwhile";
  LoopGuard new_loop(*old_disk);
  const std::string target = dir_.sub("new");
  ASSERT_EQ(mount(old_disk->c_str(), target.c_str(), "ext4", MS_RDONLY, nullptr), 0);
  MountGuard guard(target);
  ASSERT_EQ(volume_info(wide(target + "\\")).label, "NEWDISK");

  const std::string answer = as_nobody([&] {
    const auto info = volume_info(wide(target + "\\"));
    const auto name = volume_at(target);
    return (info.ok ? info.fs_name + "|" + info.label : "error " + std::to_string(info.error)) +
           "|" + (name ? narrow(*name) : "not listed");
  });
  std::printf("[ figures  ] unprivileged, the device reused: %s\n", answer.c_str());
  EXPECT_EQ(answer.rfind("ext4|", 0), 0u) << answer;
  EXPECT_EQ(answer.find("OLDDISK"), std::string::npos) << answer;
  EXPECT_EQ(answer.find(old_uuid), std::string::npos) << answer;
}

namespace {

// What a snapshot says of which mount is where: each volume's ID, st_dev,
// whether statx proved it, its mount points as found and as listed, the
// mount its calls reach; then the other file systems' mount points.
std::string where_mounts_are(const k32l::Snapshot& snap) {
  std::string out;
  for (const k32l::Volume& v : snap.volumes) {
    out += v.id + " dev=" + std::to_string(v.dev) + (v.dev_verified ? " proven" : "") + " reach=" +
           v.reach + " at:";
    for (const std::string& t : v.targets) out += " " + t;
    out += " listed:";
    for (const std::string& t : v.listed) out += " " + t;
    out += "\n";
  }
  for (const std::string& t : snap.other_targets) out += "other " + t + "\n";
  return out;
}

// The calling thread's table, its entries identified; a read that fails
// fails the test.
std::vector<k32l::MountEntry> identified_table() {
  auto table = k32l::read_identified_table("/proc/thread-self/mountinfo");
  EXPECT_TRUE(table.ok()) << table.error;
  return table.value;
}

constexpr const char* kNoKeptAnswers =
    "the kernel gives no unique mount IDs (Linux before 6.8): nothing is kept";

bool answers_are_kept() {
  return k32l::compared_by(identified_table()) == k32l::MountIdKind::Unique;
}

// Builds the calling thread's table as it is now twice, with the answers
// kept from the last build and by asking every mount point, and fails the
// test where the two differ; the kept build's answers are the next one's.
class RebuiltAlike {
 public:
  RebuiltAlike() : earlier_(k32l::build_snapshot(identified_table()).verified_mount_points) {}
  // Where the mounts are after `change` (where_mounts_are of the kept build).
  std::string operator()(const std::string& change) {
    const auto table = identified_table();
    const auto kept = k32l::build_snapshot(table, earlier_.get());
    const auto asked = k32l::build_snapshot(table);
    EXPECT_EQ(where_mounts_are(kept), where_mounts_are(asked)) << "after " << change;
    earlier_ = kept.verified_mount_points;
    return where_mounts_are(kept);
  }
  const k32l::VerifiedMountPoints* earlier() const { return earlier_.get(); }

 private:
  std::shared_ptr<const k32l::VerifiedMountPoints> earlier_;
};

}  // namespace

// A table read again after a change is built with what statx found at the
// mount points last time, where the change cannot have touched them: each
// change here (a mount stacked on another or on a directory above one, an
// unmount that uncovers, a move, a bind over a parent, a mount propagated to
// a peer, a renamed directory above a mount point, a lazy unmount of a
// subtree) gives the snapshot that asking every mount point again gives.
TEST_F(Identity, ATableReadAgainIsBuiltAsIfEveryMountPointWereAskedAgain) {
  if (!answers_are_kept()) GTEST_SKIP() << kNoKeptAnswers;
  std::deque<MountGuard> guards;
  const auto mount_at = [&](const std::string& target) {
    EXPECT_TRUE(mount_tmpfs(target)) << target;
    guards.emplace_back(target);
  };
  const std::string a = dir_.sub("a"), b = dir_.sub("b"), shared = dir_.sub("shared");
  mount_at(a);
  mount_at(b);
  mount_at(shared);
  const std::string nested = a + "/nested", peer = dir_.sub("peer"), file = dir_.path() + "/file";
  ASSERT_EQ(mkdir(nested.c_str(), 0755), 0);
  mount_at(nested);
  ASSERT_EQ(mount(nullptr, shared.c_str(), nullptr, MS_SHARED, nullptr), 0) << strerror(errno);
  ASSERT_EQ(mount(shared.c_str(), peer.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  guards.emplace_back(peer);
  const std::string renamed_parent = dir_.sub("parent"), in_parent = renamed_parent + "/m";
  ASSERT_EQ(mkdir(in_parent.c_str(), 0755), 0);
  mount_at(in_parent);
  { std::ofstream(file) << "x"; }
  ASSERT_EQ(mount(file.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  guards.emplace_back(file);

  RebuiltAlike rebuilt_alike;
  ASSERT_TRUE(rebuilt_alike.earlier());
  const auto listed = [](const std::string& where, const std::string& target) {
    std::istringstream lines(where);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t at = line.find(" listed:");
      if (at != std::string::npos && (line.substr(at + 8) + " ").find(" " + target + " ") !=
                                         std::string::npos)
        return true;
    }
    return false;
  };

  // Nothing near them changed: every mount point's answer is kept.
  const std::string poke = dir_.sub("poke");
  ASSERT_TRUE(mount_tmpfs(poke));
  MountGuard(poke).release();
  {
    const auto table = identified_table();
    const auto kept = rebuilt_alike.earlier()->still_holding(table);
    std::size_t ours = 0, held = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (!k32l::path_is_under(table[i].target, dir_.path())) continue;
      ++ours;
      held += kept[i] != nullptr;
    }
    EXPECT_EQ(ours, 7u);
    EXPECT_EQ(held, ours) << "a change elsewhere leaves every answer here standing";
  }
  rebuilt_alike("a mount and unmount elsewhere");

  mount_at(a);  // stacked on a: a's first mount and the one nested in it are hidden
  auto where = rebuilt_alike("a mount stacked on another");
  EXPECT_FALSE(listed(where, nested)) << where;
  guards.back().release();
  where = rebuilt_alike("the stacked mount unmounted");
  EXPECT_TRUE(listed(where, nested)) << where;

  mount_at(dir_.path());  // on the directory above them all
  where = rebuilt_alike("a mount on a directory above");
  EXPECT_FALSE(listed(where, a)) << where;
  guards.back().release();
  rebuilt_alike("that mount unmounted");

  ASSERT_EQ(mount(b.c_str(), a.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  guards.emplace_back(a);
  where = rebuilt_alike("a bind over a mount with one nested in it");
  EXPECT_FALSE(listed(where, nested)) << where;
  guards.back().release();
  rebuilt_alike("the bind unmounted");

  const std::string moved = a + "/moved";
  ASSERT_EQ(mkdir(moved.c_str(), 0755), 0);
  ASSERT_EQ(mount(b.c_str(), moved.c_str(), nullptr, MS_MOVE, nullptr), 0) << strerror(errno);
  guards.emplace_back(moved);
  where = rebuilt_alike("a mount moved below another");
  EXPECT_TRUE(listed(where, moved)) << where;
  EXPECT_FALSE(listed(where, b)) << where;

  ASSERT_EQ(mkdir((shared + "/sub").c_str(), 0755), 0);
  mount_at(shared + "/sub");  // propagated to the peer as well
  where = rebuilt_alike("a mount propagated to a peer");
  EXPECT_TRUE(listed(where, peer + "/sub")) << where;

  const std::string renamed = dir_.sub("renamed");
  rmdir(renamed.c_str());
  ASSERT_EQ(rename(renamed_parent.c_str(), renamed.c_str()), 0) << strerror(errno);
  guards.emplace_back(renamed + "/m");
  where = rebuilt_alike("a directory above a mount point renamed");
  EXPECT_TRUE(listed(where, renamed + "/m")) << where;

  ASSERT_EQ(umount2(a.c_str(), MNT_DETACH), 0) << strerror(errno);
  where = rebuilt_alike("a mount and the ones inside it unmounted at once");
  EXPECT_FALSE(listed(where, nested)) << where;
  EXPECT_FALSE(listed(where, moved)) << where;
}

// A stack of mounts reordered in place: every mount ends with the ID and
// the mount point it had, but another one is on top. Moves that take each
// away and put it back, one order and then the other, or a mount moved
// beneath the one on top (MOVE_MOUNT_BENEATH, Linux 6.5+), leave the
// table's text as it was; what statx found at the old top holds no more.
TEST_F(Identity, AMountStackReorderedInPlaceIsAskedAgain) {
  if (!answers_are_kept()) GTEST_SKIP() << kNoKeptAnswers;
  const std::string x = dir_.sub("x"), away = dir_.sub("away"), aside = dir_.sub("aside");
  std::deque<MountGuard> guards;
  const auto move = [](const std::string& from, const std::string& to) {
    ASSERT_EQ(mount(from.c_str(), to.c_str(), nullptr, MS_MOVE, nullptr), 0)
        << from << " -> " << to << ": " << strerror(errno);
  };
  ASSERT_TRUE(mount_tmpfs(x));  // the bottom one
  guards.emplace_back(x);
  ASSERT_TRUE(mount_tmpfs(x, "8m"));  // on top of it: the one statx finds
  guards.emplace_back(x);
  const auto top_size = [&] {
    struct statvfs st {};
    EXPECT_EQ(statvfs(x.c_str(), &st), 0);
    return st.f_blocks * st.f_frsize;
  };
  const unsigned long long bigger = top_size();

  RebuiltAlike rebuilt_alike;

  // Top one away, bottom one aside, top one back, bottom one on top of it.
  move(x, away);
  move(x, aside);
  move(away, x);
  move(aside, x);
  ASSERT_NE(top_size(), bigger) << "the smaller mount is on top now";
  rebuilt_alike("two stacked mounts taken away and put back the other way round");

  // The one on top now moved away and back beneath the other one.
  move(x, away);
  constexpr unsigned kMoveMountBeneath = 0x00000200;
  if (syscall(SYS_move_mount, AT_FDCWD, away.c_str(), AT_FDCWD, x.c_str(), kMoveMountBeneath) !=
      0) {
    const int error = errno;
    move(away, x);
    GTEST_SKIP() << "no MOVE_MOUNT_BENEATH (Linux before 6.5): " << strerror(error);
  }
  ASSERT_EQ(top_size(), bigger);
  rebuilt_alike("the mount on top moved beneath the other one");
}

// A change made while a table is being built (after it was read, before its
// mount points were looked at) is undone before the next call: that call's
// table reads as the one before, but what statx found meanwhile belonged to
// neither. Here the mount covering another is moved away as soon as a call
// has read the table and put back once that call is answered; the covered
// mount must not be listed afterwards. Each round races the call's statx,
// so some rounds prove nothing; none may list it.
TEST_F(Identity, WhatStatxFoundWhileTheTableChangedIsNotKept) {
  const std::string over = dir_.sub("over"), under = dir_.sub("over/under"),
                    away = dir_.sub("away");
  ASSERT_TRUE(mount_tmpfs(under));  // covered by the next one
  MountGuard under_mount(under);
  ASSERT_TRUE(mount_tmpfs(over));
  MountGuard over_mount(over);
  ASSERT_EQ(mkdir(under.c_str(), 0755), 0);  // a plain directory there
  const auto listed = [&] {
    for (const auto& name : all_volume_names())
      for (const auto& p : paths_of(name))
        if (p == under) return true;
    return false;
  };
  ASSERT_FALSE(listed());
  // A round: the mover is armed, the call reads the table, the mover moves
  // the covering mount away, the call is answered, the mover puts it back.
  std::atomic<bool> armed{false}, answered{false}, stop{false};
  std::atomic<int> failed_moves{0}, moves_in_time{0};
  std::atomic<std::uint64_t> read_before{0};
  std::thread mover([&] {
    while (!stop) {
      if (!armed) {
        std::this_thread::yield();
        continue;
      }
      while (k32l::mount_table_reads() == read_before && !answered) {
        // as soon as the call has read the table
      }
      if (!answered) {
        if (mount(over.c_str(), away.c_str(), nullptr, MS_MOVE, nullptr) != 0) ++failed_moves;
        while (!answered) std::this_thread::yield();
        ++moves_in_time;
        if (mount(away.c_str(), over.c_str(), nullptr, MS_MOVE, nullptr) != 0) ++failed_moves;
      }
      armed = false;
    }
  });
  int rounds = 0, listed_after = 0;
  for (; rounds < 100 && listed_after == 0; ++rounds) {
    change_the_table();  // so that the call reads it
    answered = false;
    read_before = k32l::mount_table_reads();
    armed = true;
    all_volume_names();  // one table read, raced by the move
    answered = true;
    while (armed) std::this_thread::yield();
    listed_after += listed();
  }
  stop = true;
  mover.join();
  ASSERT_EQ(failed_moves, 0);
  if (moves_in_time == 0) GTEST_SKIP() << "no move came before a call was answered";
  EXPECT_EQ(listed_after, 0) << "the covered mount was listed after " << rounds << " rounds ("
                             << moves_in_time << " moved during a call)";
}

// Changes the rule has to see through the table's text alone: mount points
// whose names hold a newline, a backslash, blanks and " (deleted)"; a single
// file bound over another bind of it, then moved; a mount point directory
// renamed, and one removed, from another mount namespace (where it is no
// mount point, so the kernel lets it go); each rebuilt with the kept answers
// as if every mount point were asked again.
TEST_F(Identity, OddMountPointsAndChangesFromAnotherNamespaceAreBuiltAlike) {
  if (!answers_are_kept()) GTEST_SKIP() << kNoKeptAnswers;
  std::deque<MountGuard> guards;
  const std::string odd = dir_.sub("odd\nname \\ with (deleted)"), file = dir_.path() + "/file",
                    other_file = dir_.path() + "/other-file", renamed = dir_.sub("renamed"),
                    removed = dir_.sub("removed");
  ASSERT_TRUE(mount_tmpfs(odd));
  guards.emplace_back(odd);
  { std::ofstream(file) << "x"; }
  { std::ofstream(other_file) << "y"; }
  ASSERT_EQ(mount(file.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  guards.emplace_back(file);
  ASSERT_TRUE(mount_tmpfs(renamed));
  guards.emplace_back(renamed);
  ASSERT_TRUE(mount_tmpfs(removed));
  guards.emplace_back(removed);

  RebuiltAlike rebuilt_alike;
  change_the_table();
  rebuilt_alike("a change elsewhere, with odd names about");

  ASSERT_EQ(mount(other_file.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0)
      << strerror(errno);
  guards.emplace_back(file);
  rebuilt_alike("a file bound over a bind of a file");
  const std::string moved_file = dir_.path() + "/moved-file";
  { std::ofstream(moved_file) << "z"; }
  ASSERT_EQ(mount(file.c_str(), moved_file.c_str(), nullptr, MS_MOVE, nullptr), 0)
      << strerror(errno);
  guards.emplace_back(moved_file);
  rebuilt_alike("the file mount on top moved");

  // In another namespace, where they are no mount points once unmounted
  // there, the directories are renamed and removed.
  const auto in_other_namespace = [&](const std::function<bool()>& change) {
    const pid_t child = fork();
    if (child == 0) {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        _exit(1);
      _exit(change() ? 0 : 2);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };
  const std::string renamed_to = dir_.path() + "/renamed-elsewhere";
  ASSERT_TRUE(in_other_namespace([&] {
    return umount2(renamed.c_str(), MNT_DETACH) == 0 &&
           rename(renamed.c_str(), renamed_to.c_str()) == 0;
  }));
  guards.emplace_back(renamed_to);
  const auto in_table = [&](const std::string& target) {
    for (const auto& e : identified_table())
      if (e.target == target) return true;
    return false;
  };
  EXPECT_TRUE(in_table(renamed_to)) << "the mount follows its directory";
  rebuilt_alike("a mount point directory renamed in another namespace");
  ASSERT_EQ(mkdir(renamed.c_str(), 0755), 0);
  ASSERT_TRUE(mount_tmpfs(renamed));
  guards.emplace_back(renamed);
  rebuilt_alike("a mount made where the renamed directory was");
  ASSERT_TRUE(in_other_namespace(
      [&] { return umount2(removed.c_str(), MNT_DETACH) == 0 && rmdir(removed.c_str()) == 0; }));
  EXPECT_FALSE(in_table(removed)) << "the mount goes with its directory";
  rebuilt_alike("a mount point directory removed in another namespace");
}
