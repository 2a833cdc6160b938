// The provider's rules, each asked directly: what may block and which mount a
// path reaches (block_policy), how a mount stands and how a volume is named
// (identity), whose view the caller is in (caller_view), and the error
// channel (outcome, errors).
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block_policy.h"
#include "caller_view.h"
#include "errors.h"
#include "identity.h"
#include "mount_table.h"
#include "outcome.h"
#include "raii.h"
#include "text.h"

using namespace k32l;

namespace {

// /, /mnt (ext4), /mnt/net (nfs), /mnt/auto (autofs), /mnt/fuse (fuse.sshfs)
// and /mnt/a (tmpfs), visible in that order; mount N has device number N.
MountReach sample_table() {
  std::vector<MountEntry> entries;
  const std::pair<const char*, const char*> mounts[] = {
      {"/", "ext4"},          {"/mnt", "ext4"},           {"/mnt/net", "nfs4"},
      {"/mnt/auto", "autofs"}, {"/mnt/fuse", "fuse.sshfs"}, {"/mnt/a", "tmpfs"}};
  std::vector<std::size_t> visible;
  for (const auto& [target, fstype] : mounts) {
    MountEntry e;
    e.target = target;
    e.fstype = fstype;
    e.root = "/";
    e.id = 100 + entries.size() + 1;
    e.devno = entries.size() + 1;
    visible.push_back(entries.size());
    entries.push_back(std::move(e));
  }
  return MountReach(entries, visible);
}

PathIdentity seen_on(std::uint64_t mount_id, std::uint64_t dev, bool directory = true) {
  PathIdentity id;
  id.mount_known = true;
  id.mount_id = mount_id;
  id.dev = dev;
  id.is_directory = directory;
  return id;
}

MountEntry entry(std::uint64_t id, std::uint64_t devno) {
  MountEntry e;
  e.target = "/mnt/x";
  e.id = id;
  e.devno = devno;
  return e;
}

bool never_taken(std::string_view) { return false; }

// A file holding `text` under /tmp, removed at the end of the scope; its
// path is empty where it could not be written.
class TextFile {
 public:
  explicit TextFile(const std::string& text) {
    std::string name = "/tmp/k32l-layer-XXXXXX";
    UniqueFd fd(::mkstemp(name.data()));
    if (!fd.valid()) return;
    path_ = name;
    if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      ::unlink(path_.c_str());
      path_.clear();
    }
  }
  ~TextFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

// ---- block_policy ------------------------------------------------------------------------

TEST(BlockPolicy, TablePathsMayBlockUnderNetworkFuseAndAutomountPointsOnly) {
  const MountReach reach = sample_table();
  for (const char* path : {"/mnt/net", "/mnt/net/deep/x", "/mnt/auto/share", "/mnt/fuse/f"})
    EXPECT_TRUE(reach.call_may_block(Via::TablePath, path)) << path;
  // Beside a blocking mount point, sharing its text as a prefix: local.
  for (const char* path : {"/", "/mnt", "/mnt/network", "/mnt/autox", "/mnt/fuse2", "/mnt/a/b"})
    EXPECT_FALSE(reach.call_may_block(Via::TablePath, path)) << path;
}

TEST(BlockPolicy, TheTypeAskedCountsBesideThePathCrossed) {
  const MountReach reach = sample_table();
  EXPECT_TRUE(reach.call_may_block(Via::TablePath, "/mnt/a", "fuseblk"));
  EXPECT_TRUE(reach.call_may_block(Via::TablePath, "/mnt/a", "cifs"));
  EXPECT_FALSE(reach.call_may_block(Via::TablePath, "/mnt/a", "tmpfs"));
}

TEST(BlockPolicy, DescriptorsAreAlwaysBounded) {
  // A descriptor's file system is known by number only.
  EXPECT_TRUE(sample_table().call_may_block(Via::Descriptor));
}

TEST(BlockPolicy, APathIsHeldByTheDeepestMountPointAboveIt) {
  const MountReach reach = sample_table();
  EXPECT_EQ(reach.mount_point_of("/mnt/a/b/c"), "/mnt/a");
  EXPECT_EQ(reach.mount_point_of("/mnt/ab"), "/mnt");  // not /mnt/a: a name beside it
  EXPECT_EQ(reach.mount_point_of("/etc"), "/");
  EXPECT_EQ(MountReach().mount_point_of("/x"), "");
}

TEST(BlockPolicy, MountIdsMapToTheirTableNumbers) {
  const MountReach reach = sample_table();
  EXPECT_EQ(reach.devno_of_mount(106), std::optional<std::uint64_t>(6));
  EXPECT_EQ(reach.devno_of_mount(999), std::nullopt);
}

TEST(BlockPolicy, MountAndDeviceGatesAreKeyedApart) {
  EXPECT_EQ(mount_gate(42), mount_gate(42));
  EXPECT_NE(mount_gate(42), device_gate(42));
  EXPECT_NE(mount_gate(42), mount_gate(43));
}

// Calls may block on every type not known to be local: a type the tables
// have never heard of costs a bound, never a hang.
TEST(BlockPolicy, OnlyTypesKnownToBeLocalAreTakenNotToBlock) {
  for (const char* t : {"ext4", "xfs", "btrfs", "vfat", "squashfs", "iso9660", "tmpfs", "ramfs",
                        "devtmpfs", "proc", "sysfs", "cgroup2", "fusectl", "overlay"})
    EXPECT_FALSE(may_block(t)) << t;
  for (const char* t : {"virtiofs", "k32l-made-up-fs", "zfs", "", "fuse", "fuse.someunknownname",
                        "fuseblk", "fuseblk.someunknownname", "fuse.lxcfs", "autofs", "nfs4"})
    EXPECT_TRUE(may_block(t)) << t;
  // The same through a table: a path under such a mount, or a call on its type.
  std::vector<MountEntry> entries;
  for (const auto& [target, fstype] : {std::pair<const char*, const char*>{"/", "ext4"},
                                       {"/srv/virtio", "virtiofs"},
                                       {"/srv/new", "k32l-made-up-fs"}}) {
    MountEntry e;
    e.target = target;
    e.fstype = fstype;
    e.root = "/";
    e.id = 200 + entries.size();
    e.devno = 0x100 + entries.size();
    entries.push_back(std::move(e));
  }
  const MountReach reach(entries, {0, 1, 2});
  EXPECT_TRUE(reach.call_may_block(Via::TablePath, "/srv/virtio/a"));
  EXPECT_TRUE(reach.call_may_block(Via::TablePath, "/srv/new"));
  EXPECT_FALSE(reach.call_may_block(Via::TablePath, "/srv/newer"));
  EXPECT_TRUE(reach.call_may_block(Via::TablePath, "/", "virtiofs"));
}

// An overlay's options, as the kernel writes them, escape a ',' or ':' in a
// layer's name ("\054"): they are split on the separators first and each
// layer unescaped after, whichever way the table is read.
TEST(BlockPolicy, OverlayLayersAreSplitBeforeTheyAreUnescaped) {
  const char* written = R"(ro,lowerdir+=/a\054b,lowerdir+=/c\072d,upperdir=/u\040x,workdir=/w)";
  const std::vector<std::string> layers{"/a,b", "/c:d", "/u x", "/w"};
  EXPECT_EQ(stacked_layers("overlay", written), layers);
  EXPECT_EQ(stacked_layers("overlay", R"(lowerdir=/a\054b:/c)"),
            (std::vector<std::string>{"/a,b", "/c"}));
  // A backslash the mounter wrote (shown as "\134") escapes a separator of
  // its own: the layers cannot be told.
  EXPECT_FALSE(stacked_layers("overlay", R"(lowerdir=/a\134:b:/c)"));

  // The same options in a mountinfo file, read as the table is read there.
  const TextFile file("36 35 0:40 / /mnt/ov rw,relatime shared:1 - overlay overlay " +
                      std::string(written) + "\n");
  ASSERT_FALSE(file.path().empty());
  const auto table = read_mount_table(file.path().c_str());
  ASSERT_TRUE(table.ok()) << table.error;
  ASSERT_EQ(table.value.size(), 1u);
  EXPECT_EQ(stacked_layers(table.value[0].fstype, table.value[0].options), layers)
      << table.value[0].options;
}

// ---- identity ----------------------------------------------------------------------------

TEST(Identity, StatxOnThisVeryMountVerifiesIt) {
  const PathIdentity seen = seen_on(7, 0x0801);
  const Standing s = standing_of(entry(7, 0x00000023), &seen, false);
  EXPECT_TRUE(s.listed);
  EXPECT_TRUE(s.verified);
  EXPECT_EQ(s.dev, 0x0801u);  // the root's st_dev, not the table's number
  EXPECT_FALSE(s.is_file);
  const PathIdentity file = seen_on(7, 0x0801, false);
  EXPECT_TRUE(standing_of(entry(7, 0x23), &file, true).is_file);
}

TEST(Identity, StatxOnAnotherMountHidesThisOneWhateverTheTableOrder) {
  const PathIdentity seen = seen_on(8, 0x0801);
  const Standing s = standing_of(entry(7, 0x23), &seen, true);
  EXPECT_FALSE(s.listed);
  EXPECT_FALSE(s.verified);
}

TEST(Identity, AMissingRootIsHiddenAndNoAnswerFallsBackToTableOrder) {
  PathIdentity missing;
  missing.error = ENOENT;
  EXPECT_FALSE(standing_of(entry(7, 0x23), &missing, true).listed);

  const Standing last = standing_of(entry(7, 0x23), nullptr, true);
  EXPECT_TRUE(last.listed);
  EXPECT_FALSE(last.verified);
  EXPECT_EQ(last.dev, 0x23u);
  EXPECT_FALSE(standing_of(entry(7, 0x23), nullptr, false).listed);

  // A kernel without mount IDs: the last mount on a target, verified by statx.
  PathIdentity no_id;
  no_id.dev = 0x0802;
  no_id.is_directory = true;
  const Standing old_kernel = standing_of(entry(7, 0x23), &no_id, true);
  EXPECT_TRUE(old_kernel.verified);
  EXPECT_EQ(old_kernel.dev, 0x0802u);
}

TEST(Identity, VolumeIdsComeFromTheUuidOrTheDeviceNumber) {
  EXPECT_EQ(volume_id("1b2c-33", 0x0801, 0x0801, never_taken), "1b2c-33");
  // A subvolume: its own st_dev beside the file system's number.
  EXPECT_EQ(volume_id("1b2c-33", 0x2a, 0x0801, never_taken), "1b2c-33-000000000000002a");
  // No usable UUID (empty, or characters a name cannot hold).
  EXPECT_EQ(volume_id("", 0x0801, 0x0801, never_taken), device_volume_id(0x0801));
  EXPECT_EQ(volume_id("a b", 0x0801, 0x0801, never_taken), device_volume_id(0x0801));
  // A clone of a volume named before gets its device number appended.
  const auto taken = [](std::string_view id) { return id == "1b2c-33"; };
  EXPECT_EQ(volume_id("1b2c-33", 0x0702, 0x0702, taken), "1b2c-33-0000000000000702");
}

// A mount with an anonymous number is on the device its source names only
// where its file system reports that device among its own.
TEST(Identity, AnAnonymousNumbersSourceNamesADeviceTheFileSystemReportsOrNone) {
  struct stat node {};
  node.st_mode = S_IFBLK | 0600;
  node.st_rdev = makedev(7, 3);
  const std::uint64_t anonymous = makedev(0, 41);
  EXPECT_EQ(find_device("/dev/loop3", &node, anonymous, {}).rdev, 0u) << "text alone";
  EXPECT_EQ(find_device("/dev/loop3", &node, anonymous, {makedev(7, 4)}).rdev, 0u)
      << "another device of the file system's";
  const DeviceNode reported = find_device("/dev/loop3", &node, anonymous, {makedev(7, 3)});
  EXPECT_EQ(reported.path, "/dev/loop3");
  EXPECT_EQ(reported.rdev, makedev(7, 3));
  node.st_mode = S_IFREG | 0600;
  EXPECT_EQ(find_device("/dev/loop3", &node, anonymous, {makedev(7, 3)}).rdev, 0u)
      << "no block device";
}

// Of clones (one UUID), the lowest device number keeps the plain UUID, in
// whichever order the volumes come.
TEST(Identity, TheLowestNumberedCloneKeepsThePlainUuid) {
  const std::vector<NamingFacts> clones = {
      {"1b2c-33", 0x0703, 0x0703}, {"1b2c-33", 0x0701, 0x0701}, {"1b2c-33", 0x0702, 0x0702}};
  EXPECT_EQ(volume_ids(clones), (std::vector<std::string>{"1b2c-33-0000000000000703", "1b2c-33",
                                                          "1b2c-33-0000000000000702"}));
  const std::vector<NamingFacts> reversed(clones.rbegin(), clones.rend());
  EXPECT_EQ(volume_ids(reversed), (std::vector<std::string>{"1b2c-33-0000000000000702", "1b2c-33",
                                                            "1b2c-33-0000000000000703"}));
}

TEST(Identity, ADescriptorNamesTheMountItsFileIsOn) {
  UniqueFd fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  const auto mount = mount_of_descriptor(fd.get());
  ASSERT_TRUE(mount.ok());
  const PathIdentity root = identify_path("/");
  if (root.mount_known) {
    EXPECT_EQ(mount.value, root.mount_id);
  }

  const int closed = fd.release();
  ::close(closed);
  EXPECT_EQ(mount_of_descriptor(closed).error, ERROR_INVALID_HANDLE);
}

// ---- caller_view -------------------------------------------------------------------------

TEST(CallerView, TheViewIsTheCallingThreadsRootAndStaysItWhileNothingMoves) {
  const ViewKey first = current_view().key;
  EXPECT_NE(first, ViewKey{});
  EXPECT_EQ(current_view().key, first);
}

TEST(CallerView, AForkedChildThatUnsharesSeesItsOwnNamespace) {
  // The child's own namespace holds copies of its parent's mounts: the view
  // must tell them apart from the parent's.
  const ViewKey parent = current_view().key;
  ASSERT_NE(parent, ViewKey{});
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0) ::_exit(77);
    const ViewKey own = current_view().key;
    ::_exit(own != ViewKey{} && own != parent ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs root to unshare the mount namespace";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's view was its parent's";
}

// ---- the error channel -------------------------------------------------------------------

TEST(ErrorChannel, TheFirstFailureOfANestedOutcomeWins) {
  EXPECT_EQ(flatten(failed<Outcome<int>>(ERROR_TIMEOUT)).error, ERROR_TIMEOUT);
  EXPECT_EQ(flatten(Outcome<Outcome<int>>{ERROR_SUCCESS, failed<int>(ERROR_NOT_READY)}).error,
            ERROR_NOT_READY);
  const auto ok = flatten(Outcome<Outcome<int>>{ERROR_SUCCESS, Outcome<int>{ERROR_SUCCESS, 7}});
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.value, 7);
}

TEST(ErrorChannel, ErrnoMapsToWindowsCodes) {
  EXPECT_EQ(error_from_errno(ENOENT), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(error_from_errno(ELOOP), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(error_from_errno(EACCES), ERROR_ACCESS_DENIED);
  EXPECT_EQ(error_from_errno(ENAMETOOLONG), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(error_from_errno(EBADF), ERROR_INVALID_HANDLE);
  EXPECT_EQ(error_from_errno(ENOTCONN), ERROR_NOT_READY);  // a FUSE server gone
  EXPECT_EQ(error_from_errno(ESTALE), ERROR_NOT_READY);
  EXPECT_EQ(error_from_errno(EIO), ERROR_IO_DEVICE);
}
