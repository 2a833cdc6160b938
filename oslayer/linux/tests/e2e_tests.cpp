// End to end: the tests mount what they need (tmpfs, ext4 and exFAT images
// on loop devices, FAT through fusefat, bind mounts, a FUSE server that never
// answers) and check what the calls report. Guards undo every mount.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <thread>

#include "bounded.h"
#include "fragmentfs.h"
#include "support.h"

using namespace k32l_test;
using Clock = std::chrono::steady_clock;

namespace {

class MountedVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!is_root()) GTEST_SKIP() << "needs root to mount file systems";
    ASSERT_FALSE(dir_.path().empty());
  }

  // Mounts a tmpfs; false when mount(8) refuses.
  bool mount_tmpfs(const std::string& target, const std::string& options) {
    return run("mount -t tmpfs -o " + options + " k32l-test " + sh_quote(target)).status == 0;
  }

  std::optional<std::string> loop_or_skip_reason(const std::string& image, const std::string& mkfs,
                                                  std::string& reason) {
    auto dev = loop_image(image, "32M", mkfs);
    if (!dev) reason = "needs loop devices and " + mkfs.substr(0, mkfs.find(' '));
    return dev;
  }

  TempDir dir_;
};

}  // namespace

TEST_F(MountedVolumes, TmpfsIsARamDiskOfItsSize) {
  const std::string target = dir_.sub("ram");
  ASSERT_TRUE(mount_tmpfs(target, "size=16m"));
  MountGuard guard(target);

  const auto name = volume_at(target);
  ASSERT_TRUE(name) << "tmpfs at " << target << " not enumerated";
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{target});
  EXPECT_EQ(GetDriveTypeW(name->c_str()), DRIVE_RAMDISK);
  EXPECT_EQ(GetDriveTypeW(wide(target + "\\").c_str()), DRIVE_RAMDISK);

  const auto dev = stat_dev(target);
  ASSERT_TRUE(dev);
  EXPECT_EQ(narrow(*name), k32l::format_volume_name(k32l::device_volume_id(*dev)));
  const auto info = volume_info(wide(target + "\\"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.fs_name, "tmpfs");
  EXPECT_EQ(info.label, "");
  EXPECT_EQ(info.serial, k32l::serial_from_device(*dev));
  EXPECT_TRUE(info.flags & FILE_CASE_SENSITIVE_SEARCH);
  EXPECT_FALSE(info.flags & FILE_READ_ONLY_VOLUME);

  ULARGE_INTEGER avail{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(wide(target + "\\").c_str(), &avail, &total, &free));
  EXPECT_EQ(total.QuadPart, 16ull * 1024 * 1024);
  EXPECT_EQ(free.QuadPart, total.QuadPart);
}

TEST_F(MountedVolumes, Ext4OnALoopDeviceIsNamedByItsUuid) {
  const std::string uuid = "3f1c9b2e-5a6d-4e7f-8a9b-0c1d2e3f4a5b";
  std::string reason;
  auto dev = loop_or_skip_reason(dir_.path() + "/ext4.img",
                                 "mkfs.ext4 -q -F -L 'Data Vol' -U " + uuid + " IMG", reason);
  if (!dev) GTEST_SKIP() << reason;
  LoopGuard loop(*dev);
  const std::string target = dir_.sub("ext4");
  ASSERT_EQ(run("mount " + *dev + " " + sh_quote(target)).status, 0);
  MountGuard guard(target);

  // Independent reading of the device.
  ASSERT_EQ(blkid_value(*dev, "UUID"), uuid);
  ASSERT_EQ(blkid_value(*dev, "LABEL"), "Data Vol");

  const auto name = volume_at(target);
  ASSERT_TRUE(name);
  EXPECT_EQ(narrow(*name), "\\\\?\\Volume{" + uuid + "}\\");
  EXPECT_EQ(GetDriveTypeW(name->c_str()), DRIVE_FIXED);
  const auto info = volume_info(*name);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.label, "Data Vol");
  EXPECT_EQ(info.fs_name, "ext4");
  EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(target)));
  struct statvfs s {};
  ASSERT_EQ(statvfs(target.c_str(), &s), 0);
  EXPECT_EQ(info.max_component, s.f_namemax);

  // A file on it leads to the same volume.
  const std::string file = target + "/note.txt";
  ASSERT_EQ(run("echo hi > " + sh_quote(file)).status, 0);
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  WCHAR label[64];
  DWORD serial = 0;
  const BOOL ok = GetVolumeInformationByHandleW(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)),
                                                label, 64, &serial, nullptr, nullptr, nullptr, 0);
  close(fd);
  ASSERT_TRUE(ok) << GetLastError();
  EXPECT_EQ(narrow(label), "Data Vol");
  EXPECT_EQ(serial, info.serial);

  // A label or name too long for the caller's buffer is refused, not cut;
  // one exactly as long as the text has no room for the NUL.
  const std::size_t label_units = wide("Data Vol").size();
  for (const bool by_name : {true, false}) {
    const int held = by_name ? -1 : open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto ask = [&](WCHAR* label_buf, DWORD label_size, WCHAR* fs_buf, DWORD fs_size) {
      return by_name ? GetVolumeInformationW(name->c_str(), label_buf, label_size, nullptr,
                                             nullptr, nullptr, fs_buf, fs_size)
                     : GetVolumeInformationByHandleW(
                           reinterpret_cast<HANDLE>(static_cast<intptr_t>(held)), label_buf,
                           label_size, nullptr, nullptr, nullptr, fs_buf, fs_size);
    };
    for (const std::size_t room : {std::size_t{4}, label_units, label_units + 1}) {
      std::vector<WCHAR> buf(label_units + 2, u'#');
      const BOOL fits = ask(buf.data(), static_cast<DWORD>(room), nullptr, 0);
      const DWORD error = GetLastError();
      if (room > label_units) {
        EXPECT_TRUE(fits) << "room " << room << " by_name " << by_name << " error " << error;
        EXPECT_EQ(narrow(buf.data()), "Data Vol");
      } else {
        EXPECT_FALSE(fits) << "room " << room << " by_name " << by_name;
        EXPECT_EQ(error, ERROR_INSUFFICIENT_BUFFER);
      }
      EXPECT_EQ(buf[room], u'#') << "written past the room given";
    }
    // The file system name "ext4", likewise.
    for (const std::size_t room : {std::size_t{4}, std::size_t{5}}) {
      std::vector<WCHAR> fs(6, u'#');
      const BOOL fits = ask(nullptr, 0, fs.data(), static_cast<DWORD>(room));
      const DWORD error = GetLastError();
      EXPECT_EQ(fits != 0, room == 5) << "room " << room << " by_name " << by_name;
      if (fits) EXPECT_EQ(narrow(fs.data()), "ext4");
      else EXPECT_EQ(error, ERROR_INSUFFICIENT_BUFFER);
      EXPECT_EQ(fs[room], u'#');
    }
    if (held >= 0) close(held);
  }

  // Remounted read-only, the flag follows.
  ASSERT_EQ(run("mount -o remount,ro " + sh_quote(target)).status, 0);
  const auto ro = volume_info(*name);
  ASSERT_TRUE(ro.ok);
  EXPECT_TRUE(ro.flags & FILE_READ_ONLY_VOLUME);
}

// Whether a volume is read-only is its mount's own flag or its file
// system's (its superblock's), each read anew: the mount it is read at made
// read-only alone, then read-write again while its file system is made
// read-only through another of its mounts.
TEST_F(MountedVolumes, AVolumeIsReadOnlyByItsMountsOwnFlagOrByItsFileSystems) {
  const std::string first = dir_.sub("first"), second = dir_.sub("second");
  ASSERT_TRUE(mount_tmpfs(first, "size=1m"));
  MountGuard first_guard(first);
  ASSERT_EQ(run("mount --bind " + sh_quote(first) + " " + sh_quote(second)).status, 0);
  MountGuard second_guard(second);
  const auto name = volume_at(first);
  ASSERT_TRUE(name);
  ASSERT_EQ(paths_of(*name), (std::vector<std::string>{first, second}));
  EXPECT_FALSE(volume_info(*name).flags & FILE_READ_ONLY_VOLUME);
  const auto read_only_at = [&](const std::string& why) {
    struct statvfs s {};
    ASSERT_EQ(statvfs(first.c_str(), &s), 0);
    ASSERT_TRUE(s.f_flag & ST_RDONLY) << why;
    for (const auto& root : {*name, wide(first + "\\")}) {
      const auto info = volume_info(root);
      ASSERT_TRUE(info.ok) << info.error;
      EXPECT_TRUE(info.flags & FILE_READ_ONLY_VOLUME) << why << ": " << narrow(root);
    }
  };
  const auto own_flag = [&] {
    return trim(run("findmnt -no VFS-OPTIONS --mountpoint " + sh_quote(first)).out).substr(0, 3);
  };

  ASSERT_EQ(run("mount -o remount,bind,ro " + sh_quote(first)).status, 0);
  ASSERT_EQ(own_flag(), "ro,");
  read_only_at("the mount's own flag");
  ASSERT_EQ(run("mount -o remount,bind,rw " + sh_quote(first)).status, 0);
  EXPECT_FALSE(volume_info(*name).flags & FILE_READ_ONLY_VOLUME);

  ASSERT_EQ(run("mount -o remount,ro " + sh_quote(second)).status, 0);
  ASSERT_EQ(own_flag(), "rw,");
  read_only_at("its file system's flag");
}

TEST_F(MountedVolumes, ExfatThroughFuseblkReportsExfat) {
  std::string reason;
  auto dev = loop_or_skip_reason(dir_.path() + "/exfat.img", "mkfs.exfat -L EXLBL IMG", reason);
  if (!dev) GTEST_SKIP() << reason;
  LoopGuard loop(*dev);
  const std::string target = dir_.sub("exfat");
  if (run("mount.exfat-fuse " + *dev + " " + sh_quote(target) + " >/dev/null 2>&1").status != 0)
    GTEST_SKIP() << "needs FUSE (mount.exfat-fuse failed)";
  MountGuard guard(target);
  ASSERT_TRUE(wait_for_mount(target));

  const auto name = volume_at(target);
  ASSERT_TRUE(name);
  const std::string uuid = blkid_value(*dev, "UUID");
  ASSERT_FALSE(uuid.empty());
  EXPECT_EQ(narrow(*name), "\\\\?\\Volume{" + uuid + "}\\");
  const auto info = volume_info(wide(target + "\\"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.fs_name, "exFAT");
  EXPECT_EQ(info.label, "EXLBL");
  EXPECT_FALSE(info.flags & FILE_CASE_SENSITIVE_SEARCH);
  EXPECT_TRUE(info.flags & FILE_UNICODE_ON_DISK);
  EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(target)));
  EXPECT_EQ(GetDriveTypeW(name->c_str()), DRIVE_FIXED);
}

TEST_F(MountedVolumes, FusefatReportsTheFatFamily) {
  const std::string image = dir_.path() + "/fat.img";
  if (run("truncate -s 40M " + sh_quote(image) + " && mkfs.fat -F 32 -n FATLBL " + sh_quote(image) +
          " >/dev/null 2>&1").status != 0)
    GTEST_SKIP() << "needs mkfs.fat";
  const std::string target = dir_.sub("fat");
  if (run("fusefat -o rw+ " + sh_quote(image) + " " + sh_quote(target) + " >/dev/null 2>&1")
          .status != 0)
    GTEST_SKIP() << "needs FUSE (fusefat failed)";
  MountGuard guard(target);
  ASSERT_TRUE(wait_for_mount(target));

  const auto name = volume_at(target);
  ASSERT_TRUE(name);
  const auto info = volume_info(*name);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.fs_name, "FAT");
  EXPECT_FALSE(info.flags & FILE_CASE_SENSITIVE_SEARCH);
  EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(target)));
}

TEST_F(MountedVolumes, ABindMountIsOneVolumeWithTwoMountPoints) {
  const std::string first = dir_.sub("first");
  const std::string second = dir_.sub("second");
  ASSERT_TRUE(mount_tmpfs(first, "size=4m"));
  MountGuard first_guard(first);
  ASSERT_EQ(run("mount --bind " + sh_quote(first) + " " + sh_quote(second)).status, 0);
  MountGuard second_guard(second);

  const auto name = volume_at(first);
  ASSERT_TRUE(name);
  EXPECT_EQ(paths_of(*name), (std::vector<std::string>{first, second}));
  EXPECT_EQ(volume_at(second), name);
  int listed = 0;
  for (const auto& n : all_volume_names()) listed += (n == *name);
  EXPECT_EQ(listed, 1);
  EXPECT_EQ(volume_info(wide(second + "\\")).serial, volume_info(*name).serial);
}

TEST_F(MountedVolumes, MountPointsWithSpacesAndNonAsciiRoundTrip) {
  const std::string target = dir_.sub("Données été 日本 \xF0\x9F\x93\x81");
  ASSERT_TRUE(mount_tmpfs(target, "size=4m"));
  MountGuard guard(target);

  const auto name = volume_at(target);
  ASSERT_TRUE(name) << "mount point lost in conversion";
  const std::u16string root = wide(target + "\\");
  const auto info = volume_info(root);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.serial, k32l::serial_from_device(dev_of(target)));
  EXPECT_EQ(GetDriveTypeW(root.c_str()), DRIVE_RAMDISK);
  ULARGE_INTEGER total{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(total.QuadPart, 4ull * 1024 * 1024);
}

TEST_F(MountedVolumes, UnmountingIsSeenByTheNextCall) {
  const std::string target = dir_.sub("brief");
  ASSERT_TRUE(mount_tmpfs(target, "size=4m"));
  MountGuard guard(target);
  const auto name = volume_at(target);
  ASSERT_TRUE(name);

  const auto reads = k32l::mount_table_reads();
  guard.release();
  EXPECT_FALSE(volume_at(target));
  EXPECT_EQ(k32l::mount_table_reads(), reads + 1);
  for (const auto& n : all_volume_names()) EXPECT_NE(n, *name);
  DWORD len = 777;
  WCHAR buf[64];
  EXPECT_FALSE(GetVolumePathNamesForVolumeNameW(name->c_str(), buf, 64, &len));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(volume_info(*name).ok);
}

#ifdef K32L_FRAGMENTFS_PATH
TEST_F(MountedVolumes, CapacitiesCountFragmentsNotBlocks) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
  const std::string target = dir_.sub("fragments");
  FuseServer server(K32L_FRAGMENTFS_PATH, target);
  ASSERT_TRUE(server.started());
  if (!server.mounted()) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  struct statvfs s {};
  ASSERT_EQ(statvfs(target.c_str(), &s), 0);
  ASSERT_EQ(s.f_frsize, k32l_fragmentfs::kFragmentSize) << "the kernel passed another f_frsize";
  ASSERT_EQ(s.f_bsize, k32l_fragmentfs::kBlockSize) << "the kernel passed another f_bsize";

  using namespace k32l_fragmentfs;
  const auto name = volume_at(target);
  ASSERT_TRUE(name) << "the FUSE mount is not listed";
  // By mount point, with and without the backslash the module appends, and
  // by volume name, as the module's refresh asks.
  for (const std::u16string& root : {wide(target + "\\"), *name, wide(target)}) {
    ULARGE_INTEGER avail{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &avail, &total, &free)) << GetLastError();
    EXPECT_EQ(total.QuadPart, kBlocks * kFragmentSize) << narrow(root);
    EXPECT_EQ(free.QuadPart, kFreeBlocks * kFragmentSize) << narrow(root);
    EXPECT_EQ(avail.QuadPart, kAvailableBlocks * kFragmentSize) << narrow(root);
  }
  const auto info = volume_info(*name);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.max_component, kNameMax);
  EXPECT_EQ(GetDriveTypeW(name->c_str()), DRIVE_UNKNOWN);
}
#endif

#ifdef K32L_DEADFS_PATH
TEST_F(MountedVolumes, ADeadFuseServerTimesOutWithoutHangingTheRest) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
  const std::string target = dir_.sub("dead");
  // The mount is detached before the server is killed: stuck requests then
  // fail instead of waiting on.
  FuseServer server(K32L_DEADFS_PATH, target);
  ASSERT_TRUE(server.started());
  if (!server.mounted()) GTEST_SKIP() << "needs FUSE: the test server did not mount";

  const auto limit = k32l::kBlockingCallTimeout + std::chrono::seconds(2);
  auto t0 = Clock::now();
  const auto names = all_volume_names();
  EXPECT_LT(Clock::now() - t0, limit) << "enumeration waited on the dead mount";
  if (root_is_a_mount_point()) {
    EXPECT_TRUE(volume_at("/")) << "other volumes must still be listed";
  }
  // Its root never answered stat: it is listed under the mount table's
  // device number all the same.
  const auto dead = volume_at(target);
  ASSERT_TRUE(dead) << "the dead mount must still be enumerated";
  auto devno = run("findmnt -rn -o MAJ:MIN -M " + sh_quote(target));
  const std::string majmin = trim(devno.out);
  ASSERT_NE(majmin.find(':'), std::string::npos);
  const auto dev = makedev(std::stoul(majmin.substr(0, majmin.find(':'))),
                           std::stoul(majmin.substr(majmin.find(':') + 1)));
  EXPECT_EQ(narrow(*dead), k32l::format_volume_name(k32l::device_volume_id(dev)));

  const std::u16string root = wide(target + "\\");
  t0 = Clock::now();
  ULARGE_INTEGER total{};
  EXPECT_FALSE(GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_LT(Clock::now() - t0, limit);

  t0 = Clock::now();
  const auto info = volume_info(root);
  EXPECT_FALSE(info.ok);
  EXPECT_EQ(info.error, ERROR_TIMEOUT);
  EXPECT_LT(Clock::now() - t0, limit);

  t0 = Clock::now();
  EXPECT_EQ(GetDriveTypeW(root.c_str()), DRIVE_UNKNOWN);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));

  // A path below the dead mount is gated the same way.
  t0 = Clock::now();
  EXPECT_FALSE(GetDiskFreeSpaceExW(wide(target + "/sub\\").c_str(), nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_LT(Clock::now() - t0, limit);

  // The healthy volumes still answer in full: "/", or where "/" is no mount
  // point (a chroot) another volume of the table.
  std::u16string healthy = u"/\\";
  if (!root_is_a_mount_point()) {
    for (const auto& n : names) {
      if (n != *dead) {
        healthy = n;
        break;
      }
    }
  }
  EXPECT_TRUE(volume_info(healthy).ok) << narrow(healthy);
}
#endif
