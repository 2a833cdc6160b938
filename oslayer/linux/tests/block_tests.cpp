// What may block, on real mounts in the tests' own mount namespace: FUSE
// mounts and a device that stop answering on command, reached directly,
// through an overlay, through "..", through a symbolic link, and a device
// shared by two btrfs subvolumes. Each stall must cost one bound in all and
// shut only the gate of what stalls.
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include <algorithm>
#include <climits>

#include "block_policy.h"
#include "bounded.h"
#include "caller_view.h"
#include "hostile_support.h"
#include "raii.h"

using namespace k32l_test;
using Clock = std::chrono::steady_clock;

namespace {

const double kBound = std::chrono::duration<double>(k32l::kBlockingCallTimeout).count();

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// GetVolumeInformationByHandle's failure code for `fd`, ERROR_SUCCESS when
// it answers.
DWORD handle_error(int fd) {
  DWORD serial = 0;
  const BOOL ok = GetVolumeInformationByHandleW(
      reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), nullptr, 0, &serial, nullptr, nullptr,
      nullptr, 0);
  return ok ? ERROR_SUCCESS : GetLastError();
}

// A refresh as the module makes one: every volume's paths, information,
// drive type and capacity. Records how long it took, leaving out the calls
// on volume `untimed` (a server made slow on purpose), and which volumes did
// not answer (name -> GetVolumeInformation's code).
struct Refresh {
  double seconds = 0;
  std::map<std::u16string, DWORD> failed;
};

Refresh refresh_table(const std::u16string& untimed = {}) {
  Refresh r;
  const auto t0 = Clock::now();
  double left_out = 0;
  for (const auto& name : all_volume_names()) {
    const auto t_volume = Clock::now();
    paths_of(name);
    const auto info = volume_info(name);
    if (!info.ok) r.failed[name] = info.error;
    GetDriveTypeW(name.c_str());
    ULARGE_INTEGER total{};
    GetDiskFreeSpaceExW(name.c_str(), nullptr, &total, nullptr);
    if (name == untimed) left_out = seconds_since(t_volume);
  }
  r.seconds = seconds_since(t0) - left_out;
  return r;
}

class Block : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef K32L_STALLFS_PATH
    GTEST_SKIP() << "needs FUSE 3 to build the stalling test server";
#endif
    if (!private_namespace) GTEST_SKIP() << no_private_namespace_reason;
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE: no /dev/fuse";
    ASSERT_FALSE(dir_.path().empty());
  }

  // A stalling server of its own backing file, mounted at dir/NAME.
  std::unique_ptr<StallingServer> serve(const std::string& name) {
    const std::string backing = dir_.path() + "/" + name + ".img";
    if (run("truncate -s 1M " + sh_quote(backing)).status != 0) return nullptr;
    return serve_file(backing, name);
  }
  std::unique_ptr<StallingServer> serve_file(const std::string& backing, const std::string& name) {
    auto server = std::make_unique<StallingServer>(backing, dir_.sub(name));
    if (!server->running()) return nullptr;
    return server;
  }

  // Changes the mount table, so that the next call reads it again.
  void touch_mount_table() {
    const std::string poke = dir_.sub("poke");
    ASSERT_EQ(run("mount -t tmpfs block-poke " + sh_quote(poke)).status, 0);
    MountGuard(poke).release();
  }

  TempDir dir_{"block"};
};

}  // namespace

// An overlay whose lower layer is a stalled FUSE mount may block like the
// mount itself; a path reaches the mount the kernel's walk ends on, whatever
// its text says ("vol/../stalled/x" and a symbolic link into the stalled
// mount lie on the stalled mount, not on vol or on the link's volume).
TEST_F(Block, AStallReachedThroughAnOverlayOrAWalkCostsOneBoundAndShutsOnlyItsGate) {
  auto stalled = serve("stalled");
  auto vol = serve("vol");
  if (!stalled || !vol) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  const std::string stalled_at = dir_.path() + "/stalled", vol_at = dir_.path() + "/vol";
  const std::string overlay = dir_.sub("overlay");
  if (run("mount -t overlay block-overlay -o lowerdir=" + stalled_at + ":" + dir_.sub("lower") +
          " " + sh_quote(overlay) + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "needs overlay over FUSE in the kernel";
  MountGuard overlay_guard(overlay);
  const std::string link = dir_.path() + "/link";
  ASSERT_EQ(symlink(stalled_at.c_str(), link.c_str()), 0);
  ASSERT_EQ(run("echo hi > " + sh_quote(dir_.path() + "/note")).status, 0);
  k32l::UniqueFd on_vol(open(vol->file().c_str(), O_RDONLY | O_CLOEXEC));
  k32l::UniqueFd on_tmp(open((dir_.path() + "/note").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(on_vol.valid() && on_tmp.valid());
  ResumeGuard resume(*stalled);

  ASSERT_TRUE(volume_at(overlay)) << "the overlay is a volume";
  ASSERT_EQ(handle_error(on_vol.get()), ERROR_SUCCESS);
  ASSERT_EQ(handle_error(on_tmp.get()), ERROR_SUCCESS);

  // Walks that end on the stalled mount, the first on a fresh stall: one
  // bound each at most, and the gates of the mounts their text passes (vol,
  // the link's volume) stay open.
  stalled->stall();
  auto t0 = Clock::now();
  const auto dotdot = volume_info(wide(vol_at + "/../stalled/x\\"));
  const double dotdot_wait = seconds_since(t0);
  EXPECT_FALSE(dotdot.ok);
  EXPECT_LT(dotdot_wait, 2 * kBound);
  t0 = Clock::now();
  ULARGE_INTEGER total{};
  EXPECT_FALSE(GetDiskFreeSpaceExW(wide(link + "/x").c_str(), nullptr, &total, nullptr));
  EXPECT_FALSE(volume_info(wide(link + "/x\\")).ok);
  const double link_wait = seconds_since(t0);
  EXPECT_LT(link_wait, 2 * kBound);
  EXPECT_EQ(handle_error(on_vol.get()), ERROR_SUCCESS)
      << "a walk through vol into the stalled mount shut vol's gate";
  EXPECT_TRUE(volume_info(wide(vol_at + "\\")).ok);
  EXPECT_TRUE(GetDiskFreeSpaceExW(wide(vol->file()).c_str(), nullptr, &total, nullptr))
      << "a walk that ends on vol waits behind vol's gate alone: " << GetLastError();
  EXPECT_EQ(handle_error(on_tmp.get()), ERROR_SUCCESS)
      << "a symbolic link into the stalled mount shut the gate of the link's volume";
  EXPECT_TRUE(GetDiskFreeSpaceExW(wide(dir_.path()).c_str(), nullptr, &total, nullptr))
      << GetLastError();
  std::printf("[ figures  ] walk into a stalled mount: through \"..\" %.3f s, through a link "
              "(two calls) %.3f s\n",
              dotdot_wait, link_wait);

  // The overlay (whose own gate is still open): a refresh with the table
  // read again, and with it unchanged.
  stalled->stall();
  touch_mount_table();
  const auto reread = refresh_table();
  stalled->stall();  // a refresh that waited out the stall ended it
  const auto unchanged = refresh_table();
  EXPECT_LT(reread.seconds, 2 * kBound) << "a refresh waited for the overlay's stalled layer";
  EXPECT_LT(unchanged.seconds, 2 * kBound) << "a refresh waited for the overlay's stalled layer";
  EXPECT_TRUE(volume_at(overlay)) << "the overlay is still listed";
  std::printf("[ figures  ] overlay over a stalled FUSE mount: refresh %.3f s, with the table "
              "unchanged %.3f s (bound %.1f s)\n",
              reread.seconds, unchanged.seconds, kBound);
}

// Three stalled FUSE mounts and one stalled device that two btrfs
// subvolumes share: a refresh waits one bound in all, the shared device's
// gate is claimed once, a slow but answering mount is not taken for stalled,
// and the stalled volumes get their names back once the device answers.
TEST_F(Block, StalledMountsAndASharedStalledDeviceCostOneBoundInAll) {
  const std::string image = dir_.path() + "/btrfs.img";
  {
    const auto direct = loop_image(image, "128M", "mkfs.btrfs -q -f IMG");
    if (!direct) GTEST_SKIP() << "needs loop devices and mkfs.btrfs (btrfs-progs)";
    LoopGuard direct_loop(*direct);
    const std::string staging = dir_.sub("staging");
    if (run("mount -t btrfs " + *direct + " " + sh_quote(staging) + " 2>/dev/null").status != 0)
      GTEST_SKIP() << "needs btrfs in the kernel";
    MountGuard staged(staging);
    ASSERT_EQ(run("btrfs -q subvolume create " + sh_quote(staging + "/sub") + " >/dev/null").status,
              0);
  }
  auto device_server = serve_file(image, "device");
  auto second = serve("second");
  auto third = serve("third");
  if (!device_server || !second || !third) GTEST_SKIP() << "needs FUSE: a server did not mount";
  const auto attached = run("losetup -f --show -r " + sh_quote(device_server->file()) + " 2>&1");
  if (attached.status != 0 || trim(attached.out).empty()) GTEST_SKIP() << "needs loop devices";
  LoopGuard loop(trim(attached.out));
  const std::string top = dir_.sub("top"), sub = dir_.sub("sub");
  ASSERT_EQ(run("mount -t btrfs -o ro " + loop.device() + " " + sh_quote(top)).status, 0);
  MountGuard top_guard(top);
  ASSERT_EQ(run("mount -t btrfs -o ro,subvol=sub " + loop.device() + " " + sh_quote(sub)).status, 0);
  MountGuard sub_guard(sub);
  // Mounted last, so that its check comes after the shared device's.
  auto slow = serve("slow");
  if (!slow) GTEST_SKIP() << "needs FUSE: a server did not mount";
  ResumeGuard resume_device(*device_server), resume_second(*second), resume_third(*third),
      resume_slow(*slow);

  const auto top_name = volume_at(top), sub_name = volume_at(sub);
  ASSERT_TRUE(top_name && sub_name);
  const auto before = refresh_table();
  const auto stall = [&] {
    for (StallingServer* s : {device_server.get(), second.get(), third.get()}) s->stall();
    run("timeout 5 blockdev --flushbufs " + loop.device());
  };

  // The table read again while everything stalls.
  stall();
  touch_mount_table();
  const auto reread = refresh_table();
  const auto stalled_top = volume_at(top), stalled_sub = volume_at(sub);
  ASSERT_TRUE(stalled_top && stalled_sub) << "the stalled volumes are still listed";
  EXPECT_NE(*stalled_top, *top_name) << "premise: no UUID while the device stalls";
  std::set<std::u16string> stalled_names = {*stalled_top, *stalled_sub};
  for (const char* server : {"/device", "/second", "/third"})
    if (const auto name = volume_at(dir_.path() + server)) stalled_names.insert(*name);

  // Once the device answers, its volumes get their names back, without a
  // change of the mount table.
  const auto resume = [&] {
    for (StallingServer* s : {device_server.get(), second.get(), third.get()}) s->resume();
  };
  resume();
  bool named = false;
  for (int i = 0; i < 60 && !named; ++i) {
    named = volume_at(top) == top_name && volume_at(sub) == sub_name;
    if (!named) usleep(100 * 1000);
  }
  EXPECT_TRUE(named) << "the stalled volumes kept their device-number names";
  stalled_names.insert(*top_name);
  stalled_names.insert(*sub_name);
  for (int i = 0; i < 60 && refresh_table().failed.size() > before.failed.size(); ++i)
    usleep(100 * 1000);

  // The table unchanged: the stalls are found by the refresh's check, the
  // shared device's gate is claimed once, and a mount that answers slowly
  // is not taken for stalled.
  const auto slow_name = volume_at(dir_.path() + "/slow");
  ASSERT_TRUE(slow_name);
  stall();
  slow->slow();
  const auto unchanged = refresh_table(*slow_name);
  slow->resume();
  for (const auto& [name, error] : unchanged.failed) {
    if (stalled_names.count(name) || before.failed.count(name)) continue;
    ADD_FAILURE() << narrow(name) << " answers, yet failed with " << error
                  << " during a refresh while other things stalled";
  }
  resume();
  EXPECT_LT(reread.seconds, 2 * kBound) << "more than one bound with the table read again";
  EXPECT_LT(unchanged.seconds, 2 * kBound) << "more than one bound with the table unchanged";
  std::printf("[ figures  ] three stalled mounts and a stalled device under two subvolumes: "
              "refresh %.3f s, with the table unchanged %.3f s (bound %.1f s)\n",
              reread.seconds, unchanged.seconds, kBound);
}

// ---- the policy on its own: which mounts may block, and where a walk stops ----

namespace {

k32l::MountEntry mount_entry(std::uint64_t id, std::string target, std::string fstype,
                             std::string options = {}) {
  k32l::MountEntry e;
  e.id = id;
  e.devno = 1000 + id;
  e.target = std::move(target);
  e.fstype = std::move(fstype);
  e.options = std::move(options);
  return e;
}

// A policy over `entries`, every one of them visible.
k32l::MountReach reach_of(const std::vector<k32l::MountEntry>& entries) {
  std::vector<std::size_t> visible(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) visible[i] = i;
  return k32l::MountReach(entries, visible, k32l::MountReach::Layers::AsWritten);
}

// The policy over this thread's mount table, with the type of the mount
// holding `path` replaced by `fstype` (to make a local mount one that may
// block; empty: kept); nullopt when the table cannot be read.
std::optional<k32l::MountReach> this_table_with(const std::string& path, const std::string& fstype) {
  auto table = k32l::read_mount_table(k32l::mount_table_path());
  if (!table.ok()) return std::nullopt;
  const auto classes = k32l::classify_entries(table.value);
  std::vector<std::size_t> visible(classes.data);
  visible.insert(visible.end(), classes.other.begin(), classes.other.end());
  std::sort(visible.begin(), visible.end());
  const auto holder = k32l::MountReach(table.value, visible).mount_point_of(path);
  for (std::size_t i : visible)
    if (table.value[i].target == holder && !fstype.empty()) table.value[i].fstype = fstype;
  return k32l::MountReach(table.value, visible);
}

// What the kernel's walk of `path` reaches, as realpath says.
std::string real_path(const std::string& path) {
  k32l::MallocString real(::realpath(path.c_str(), nullptr));
  return real ? real.get() : "";
}

std::string walked_to(const k32l::Walk& walk) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(k32l::descriptor_link_path(walk.at.get()).c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

}  // namespace

TEST(BlockPolicy, AnOverlayMayBlockWhenALayerLiesOnAMountThatMayBlockOrCannotBeTold) {
  using k32l::stacked_layers;
  EXPECT_EQ(stacked_layers("overlay", "ro,lowerdir=/a:/b,redirect_dir=on"),
            (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(stacked_layers("overlay", "rw,lowerdir=/l,upperdir=/u,workdir=/w,uuid=on"),
            (std::vector<std::string>{"/l", "/u", "/w"}));
  EXPECT_EQ(stacked_layers("overlay", "lowerdir=/a::/data"),
            (std::vector<std::string>{"/a", "/data"}));
  EXPECT_EQ(stacked_layers("ext4", "rw,errors=remount-ro"), std::vector<std::string>{});
  EXPECT_FALSE(stacked_layers("overlay", "ro,lowerdir=l1:l2")) << "relative to the mounter";
  EXPECT_FALSE(stacked_layers("overlay", "lowerdir=/a\\:b")) << "an escaped separator";
  EXPECT_FALSE(stacked_layers("overlay", "ro")) << "no layer named";
  EXPECT_FALSE(stacked_layers("aufs", "br:/a=rw"));

  const std::vector<k32l::MountEntry> entries = {
      mount_entry(1, "/", "ext4"),
      mount_entry(2, "/net", "nfs4"),
      mount_entry(3, "/fuse", "fuse.stallfs"),
      mount_entry(4, "/auto", "autofs"),
      mount_entry(5, "/local-ov", "overlay", "lowerdir=/srv/a:/srv/b,upperdir=/srv/u"),
      mount_entry(6, "/fuse-ov", "overlay", "ro,lowerdir=/srv/a:/fuse/layer"),
      mount_entry(7, "/stacked-ov", "overlay", "ro,lowerdir=/fuse-ov/x:/srv/a"),
      mount_entry(8, "/relative-ov", "overlay", "ro,lowerdir=a:b"),
      mount_entry(9, "/self-ov", "overlay", "ro,lowerdir=/self-ov/a:/srv/a"),
      mount_entry(10, "/on-local-ov", "overlay", "ro,lowerdir=/local-ov/a:/srv/b"),
  };
  const auto reach = reach_of(entries);
  const std::map<std::uint64_t, bool> expected = {
      {1, false}, {2, true}, {3, true}, {4, true}, {5, false},
      {6, true},  {7, true}, {8, true}, {9, true}, {10, false}};
  for (const auto& [id, blocks] : expected)
    EXPECT_EQ(reach.mount_may_block(id), blocks) << entries[id - 1].target;
  EXPECT_TRUE(reach.mount_may_block(99)) << "a mount not in the table";
  EXPECT_TRUE(reach.parent_step_may_block(2)) << "a network file system revalidates \"..\"";
  EXPECT_FALSE(reach.parent_step_may_block(3)) << "FUSE answers \"..\" from the cache";
  EXPECT_TRUE(reach.path_may_block("/stacked-ov/dir"));
  EXPECT_FALSE(reach.path_may_block("/local-ov/dir"));
  EXPECT_EQ(reach.gate_of_mount(6), k32l::mount_gate(1006));
}

TEST(BlockPolicy, AFanOutNeverWaitsForAGateClaimedAlready) {
  auto gate = std::make_shared<k32l::Gate>();
  ASSERT_EQ(gate->claim(k32l::BoundedClock::now()), k32l::Gate::Claim::Granted);
  EXPECT_FALSE(gate->idle());
  const auto t0 = Clock::now();
  EXPECT_FALSE(k32l::start_fanned_out<int>([] { return 1; }, gate)) << "admitted twice";
  EXPECT_LT(seconds_since(t0), kBound / 4) << "the claim waited for the gate";
  gate->release();
  EXPECT_TRUE(gate->idle());
  const auto pending = k32l::start_fanned_out<int>([] { return 7; }, gate);
  ASSERT_TRUE(pending);
  const auto got = k32l::await_bounded(pending, k32l::BoundedClock::now() + k32l::kBlockingCallTimeout);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value, 7);
  for (int i = 0; i < 100 && !gate->idle(); ++i) usleep(10 * 1000);
  EXPECT_TRUE(gate->idle()) << "the worker returned: the gate opens again";
}

TEST(BlockPolicy, AWalkReachesWhatTheKernelsWalkReachesAndStopsBeforeAMountThatMayBlock) {
  TempDir dir("block");
  ASSERT_FALSE(dir.path().empty());
  const std::string b = dir.sub("a") + "/b";
  ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
  ASSERT_EQ(symlink("a/b", (dir.path() + "/rel").c_str()), 0);
  ASSERT_EQ(symlink(b.c_str(), (dir.path() + "/abs").c_str()), 0);
  ASSERT_EQ(symlink("rel", (dir.path() + "/chain").c_str()), 0);
  ASSERT_EQ(symlink("loop", (dir.path() + "/loop").c_str()), 0);
  const auto local = this_table_with(dir.path(), "");
  ASSERT_TRUE(local);
  const auto& p = dir.path();
  for (const std::string& path : {p + "/a/b", p + "/rel", p + "/abs/..", p + "/chain/../b/.",
                                  p + "//a/./b/../../rel", std::string("/")}) {
    const auto walk = k32l::walk_without_blocking(*local, path);
    ASSERT_EQ(walk.error, 0) << path;
    EXPECT_EQ(walk.rest, "") << path;
    EXPECT_EQ(walked_to(walk), real_path(path)) << path;
  }
  EXPECT_EQ(k32l::walk_without_blocking(*local, p + "/missing/x").error, ENOENT);
  EXPECT_EQ(k32l::walk_without_blocking(*local, p + "/loop").error, ELOOP);

  // The mount holding the directory taken for FUSE: nothing is looked up in
  // it here, "..", answered from the cache, still is; taken for NFS, ".."
  // is not either.
  const auto fuse = this_table_with(p, "fuse.test");
  ASSERT_TRUE(fuse);
  const auto stopped = k32l::walk_without_blocking(*fuse, p + "/rel/x");
  ASSERT_EQ(stopped.error, 0);
  EXPECT_FALSE(stopped.rest.empty());
  EXPECT_EQ(stopped.rest.substr(stopped.rest.size() - 5), "rel/x") << stopped.rest;
  EXPECT_TRUE(fuse->mount_may_block(stopped.mount_id));
  const auto nfs = this_table_with(p, "nfs");
  ASSERT_TRUE(nfs);
  k32l::UniqueFd cwd(open(".", O_PATH | O_CLOEXEC));
  ASSERT_EQ(chdir(b.c_str()), 0);
  EXPECT_EQ(k32l::walk_without_blocking(*fuse, "..").rest, "");
  EXPECT_EQ(k32l::walk_without_blocking(*nfs, "..").rest, "..");
  EXPECT_EQ(fchdir(cwd.get()), 0);
}

// A mount's source is text the mounter chose (any FUSE server names its
// own): one that leads into a stalled mount through a symbolic link or ".."
// costs a refresh one bound at most, though its text lies on no mount that
// may block. The refresh runs in a child, which is ended if it never returns.
TEST_F(Block, ASourceLeadingIntoAStalledMountCostsOneBoundAtMost) {
  auto stalled = serve("stalled");
  if (!stalled) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  const std::string stalled_at = dir_.path() + "/stalled", link = dir_.path() + "/link";
  ASSERT_EQ(symlink(stalled_at.c_str(), link.c_str()), 0);
  const std::string by_link = dir_.sub("by-link"), by_dots = dir_.sub("by-dots");
  ASSERT_EQ(mount((link + "/disk.img").c_str(), by_link.c_str(), "tmpfs", 0, "size=1m"), 0);
  MountGuard link_mount(by_link);
  ASSERT_EQ(mount((dir_.sub("x") + "/../stalled/disk.img").c_str(), by_dots.c_str(), "tmpfs", 0,
                  "size=1m"),
            0);
  MountGuard dots_mount(by_dots);
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  k32l::UniqueFd heard(report[0]), told(report[1]);
  ResumeGuard resume(*stalled);
  stalled->stall();
  touch_mount_table();
  const auto t0 = Clock::now();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Its workers stuck on the stalled mount keep it from ending until the
    // server resumes: it reports its answer first.
    const char answer = volume_at(by_link) && volume_at(by_dots) ? 'y' : 'n';
    _exit(write(told.get(), &answer, 1) == 1 ? 0 : 1);
  }
  told.reset();
  pollfd wait_for{heard.get(), POLLIN, 0};
  const bool answered = poll(&wait_for, 1, static_cast<int>(10 * kBound * 1000)) == 1;
  const double waited = seconds_since(t0);
  char answer = 0;
  if (answered) {
    EXPECT_EQ(read(heard.get(), &answer, 1), 1);
  }
  stalled->resume();
  if (!answered) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(answered) << "the refresh never returned";
  EXPECT_LT(waited, 3 * kBound);
  EXPECT_EQ(answer, 'y') << "the tmpfs mounts are volumes";
}

// A directory renamed above a disk's mount point, and a symbolic link put in
// its place that leads into a FUSE share: the text of the mount point the
// last search read now leads into the share. Nothing looks at that text
// unwalked: the disk is never answered with the share's capacity, and while
// the share stalls (10 s) its questions, and a refresh, cost one bound at
// most.
TEST_F(Block, AMountPointWhoseTextNowLeadsIntoAStalledShareCostsOneBoundAtMost) {
  auto share = serve("share");
  if (!share) GTEST_SKIP() << "needs FUSE: the test server did not mount";
  const std::string data = dir_.sub("data"), disk = data + "/disk";
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  ASSERT_EQ(mount("block-disk", disk.c_str(), "tmpfs", 0, "size=3m"), 0);
  const std::string moved = dir_.path() + "/data.old", moved_disk = moved + "/disk";
  MountGuard disk_guard(moved_disk);
  const auto name = volume_at(disk);
  ASSERT_TRUE(name) << "the disk is a volume";
  // data -> via, via/disk -> the share's root: data/disk reads the share.
  ASSERT_EQ(rename(data.c_str(), moved.c_str()), 0);
  const std::string via = dir_.sub("via");
  ASSERT_EQ(symlink((dir_.path() + "/share").c_str(), (via + "/disk").c_str()), 0);
  ASSERT_EQ(symlink(via.c_str(), data.c_str()), 0);
  const std::uint64_t disk_bytes = 3 << 20;
  const auto total_of = [&] {
    ULARGE_INTEGER total{};
    return GetDiskFreeSpaceExW(name->c_str(), nullptr, &total, nullptr) ? total.QuadPart : 0;
  };
  EXPECT_EQ(total_of(), disk_bytes) << "the disk answered with the share's capacity";

  ResumeGuard resume(*share);
  share->stall();
  auto t0 = Clock::now();
  const auto info = volume_info(*name);
  const std::uint64_t stalled_total = total_of();
  const double asked = seconds_since(t0);
  EXPECT_LT(asked, 1.75 * kBound) << "the disk's questions waited on the stalled share";
  EXPECT_TRUE(info.ok) << "error " << info.error;
  EXPECT_EQ(stalled_total, disk_bytes);
  t0 = Clock::now();
  const Refresh refreshed = refresh_table();
  EXPECT_LT(refreshed.seconds, 1.75 * kBound) << "the refresh waited on the stalled share";
  EXPECT_EQ(paths_of(*name), std::vector<std::string>{moved_disk});
  EXPECT_EQ(total_of(), disk_bytes);
}
