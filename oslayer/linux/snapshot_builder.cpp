// A snapshot built from a mount table in named stages: index the visible
// mounts, group the mounts per file system, probe them (statx of their mount
// points, the devices under them) within one bound in all, and assemble the
// volumes. Nothing here changes a snapshot after it is built.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "bounded.h"
#include "device_probe.h"
#include "errors.h"
#include "fs_devices.h"
#include "identity.h"
#include "snapshot.h"
#include "text.h"

namespace k32l {

namespace {

// What the statx of every mount point of one file system found (may block:
// runs on a bounded worker).
struct FileSystemFacts {
  std::vector<PathIdentity> targets;  // one per member, in member order
};

// The walks of the mount points of one file system (begun on the calling
// thread, as far as they ask no mount that may block), with their mounts.
struct MountPointWalks {
  std::vector<Walk> walks;
  std::vector<std::uint64_t> mounts;
};

// The statx of where each walk of `w` ends, finished first, and, when
// `ask_server`, a statvfs of the first that lands on its mount: statx may
// be answered from cached attributes, statvfs of a file system that may
// block asks its server, so one that stopped answering is found within the
// refresh's deadline and its gate shut.
FileSystemFacts look_at_file_system(MountPointWalks& w, bool ask_server, MountIdKind kind) {
  FileSystemFacts facts;
  for (std::size_t n = 0; n < w.walks.size(); ++n) {
    int error = w.walks[n].error;
    const UniqueFd root =
        error ? UniqueFd() : finish_mount_root_walk(w.walks[n], w.mounts[n], kind, error);
    facts.targets.push_back(root.valid() ? identify_descriptor(root.get(), kind)
                                         : PathIdentity{error});
    struct statvfs ignored {};
    if (ask_server && root.valid()) ask_server = ::fstatvfs(root.get(), &ignored) != 0;
  }
  return facts;
}

// Numbers keys (device numbers) in order of first appearance, 0, 1, 2 ...,
// in one flat open-addressed table: no allocation per key, where a table
// of a thousand mounts is grouped twice per build.
class FirstSeen {
 public:
  explicit FirstSeen(std::size_t most_keys) {
    std::size_t slots = 16;
    while (slots < 2 * most_keys) slots *= 2;
    slots_.assign(slots, Slot{0, kEmpty});
    mask_ = slots - 1;
  }
  // The number `key` got when first seen; a new key gets the next one.
  std::size_t number(std::uint64_t key) {
    for (std::size_t i = (key * 0x9E3779B97F4A7C15ULL) >> 32 & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.number == kEmpty) {
        slot = Slot{key, count_};
        return count_++;
      }
      if (slot.key == key) return slot.number;
    }
  }
  std::size_t size() const { return count_; }

 private:
  static constexpr std::size_t kEmpty = ~std::size_t{0};
  struct Slot {
    std::uint64_t key;
    std::size_t number;
  };
  std::vector<Slot> slots_;
  std::size_t mask_ = 0, count_ = 0;
};

// Entry indices of one group of mounts (a file system, a volume): a range
// of one flat array, in mount-table order.
struct Members {
  const std::size_t* first;
  const std::size_t* last;
  const std::size_t* begin() const { return first; }
  const std::size_t* end() const { return last; }
  std::size_t front() const { return *first; }
  std::size_t size() const { return static_cast<std::size_t>(last - first); }
};

// Groups entries `of` (group index per entry, kNoGroup for none) into one
// flat array, each group's entries together and in table order; `starts`
// gets the start of each group's range, plus the end of the last.
constexpr std::size_t kNoGroup = ~std::size_t{0};
std::vector<std::size_t> grouped(const std::vector<std::size_t>& of, std::size_t groups,
                                 std::vector<std::size_t>& starts) {
  starts.assign(groups + 1, 0);
  for (std::size_t g : of)
    if (g != kNoGroup) ++starts[g + 1];
  for (std::size_t g = 0; g < groups; ++g) starts[g + 1] += starts[g];
  std::vector<std::size_t> flat(starts.back());
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t i = 0; i < of.size(); ++i)
    if (of[i] != kNoGroup) flat[next[of[i]]++] = i;
  return flat;
}

// The mounts whose mount points Windows would list for a volume: where its
// root is mounted; binds of a subtree only when its root is mounted nowhere;
// never a single file. `members` index `entries`, and so do the mounts.
std::vector<std::size_t> mount_points(const std::vector<MountEntry>& entries, Members members,
                                      const std::vector<Standing>& standing) {
  const std::string* best = nullptr;  // the least deep directory mounted
  for (std::size_t m : members) {
    if (standing[m].is_file) continue;
    const std::string& root = entries[m].root;
    if (!best || root.size() < best->size()) best = &root;
  }
  std::vector<std::size_t> listed;
  if (!best) return listed;
  for (std::size_t m : members)
    if (!standing[m].is_file && entries[m].root == *best) listed.push_back(m);
  return listed;
}

class SnapshotBuilder {
 public:
  SnapshotBuilder(const std::vector<MountEntry>& entries, const VerifiedMountPoints* earlier)
      : entries_(entries),
        id_kind_(compared_by(entries)),
        earlier_(earlier),
        last_at_target_(entries.size(), false),
        standing_(entries.size()),
        verified_(entries.size()) {}

  Snapshot build() {
    index_visible_mounts();
    group_file_systems();
    find_devices();
    start_file_system_checks();
    start_device_probes();
    look_at_local_file_systems();
    collect_file_system_checks();
    collect_device_probes();
    assemble_volumes();
    note_verified_mount_points();
    snap_.mount_point_text = std::make_shared<const MountPointText>(entries_);
    return std::move(snap_);
  }

 private:
  // Read: the visible mount points, in mount-table order, and what may
  // block among the mounts.
  void index_visible_mounts() {
    const EntryClasses classes = classify_entries(entries_);
    for (std::size_t i : classes.other) snap_.other_targets.push_back(entries_[i].target);
    std::vector<std::size_t> visible(classes.data);
    visible.insert(visible.end(), classes.other.begin(), classes.other.end());
    std::sort(visible.begin(), visible.end());
    for (std::size_t i : visible) last_at_target_[i] = true;
    snap_.mounts = MountReach(entries_, visible);
  }

  // Group: every mount of a data file system, hidden or not, by file system
  // (its mount-table number), in order of first appearance.
  void group_file_systems() {
    FirstSeen index_of(entries_.size());
    fs_of_.assign(entries_.size(), kNoGroup);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (is_pseudo_fs(entries_[i].fstype)) continue;
      fs_of_[i] = index_of.number(entries_[i].devno);
      if (fs_of_[i] == file_systems_.size())
        file_systems_.push_back(FileSystem{entries_[i].devno, {}, false, {}});
    }
    fs_members_ = grouped(fs_of_, file_systems_.size(), fs_starts_);
  }

  Members members_of(std::size_t fs) const {
    return {fs_members_.data() + fs_starts_[fs], fs_members_.data() + fs_starts_[fs + 1]};
  }

  // The device under each file system, found here (device nodes live on
  // devtmpfs, which never blocks; a source reached only through a mount that
  // may is not looked at), so that the probes start together with the
  // statx-es, under the same deadline: a refresh waits one bound in all,
  // whatever stalls.
  void find_devices() {
    for (std::size_t fs = 0; fs < file_systems_.size(); ++fs) {
      FileSystem& f = file_systems_[fs];
      const MountEntry& first = entries_[members_of(fs).front()];
      int error = 0;
      const std::optional<struct stat> source = look_at_source(first.source, error);
      const bool anonymous_block_source = major(f.devno) == 0 && source && S_ISBLK(source->st_mode);
      f.device = find_device(first.source, source ? &*source : nullptr, f.devno,
                             anonymous_block_source ? devices_reported_by(fs)
                                                    : std::vector<std::uint64_t>{});
      // A source not walked for want of descriptors, where it was needed.
      if (f.device.path.empty() && f.device.error == 0 && for_want_of_resources(error))
        f.device.error = error;
      // No node found for want of descriptors: as a device not read.
      if (f.device.error != 0) snap_.unanswered.push_back(device_gate(f.devno));
    }
  }

  // The devices file system `fs` reports being on, asked of it through the
  // root of one of its mounts, reached by a walk that asks no mount that may
  // block and checked to land on that very mount. A mount that may block
  // (FUSE, whose source is its server's text) is never asked, nor is a
  // mount the walk does not reach (covered, or gone).
  std::vector<std::uint64_t> devices_reported_by(std::size_t fs) const {
    for (std::size_t i : members_of(fs)) {
      const std::uint64_t key = key_of(entries_[i]);
      if (key == 0 || snap_.mounts.mount_may_block(key)) continue;
      const Walk walk = walk_to_mount_root(snap_.mounts, entries_[i].target, key, false);
      if (walk.error != 0 || !walk.rest.empty()) continue;
      const UniqueFd root(
          ::openat(walk.at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
      if (root.valid()) return reported_devices(root.get());
    }
    return {};
  }

  // What a mount's source names, looked at on this thread as far as the
  // kernel's walk of it asks no mount that may block: the source is text
  // the mounter chose (a FUSE server names its own), and a symbolic link or
  // ".." in it may lead into a stalled mount wherever its text seems to lie.
  // nullopt when it is no path or was not reached so (`error`: the errno of
  // a step that failed).
  std::optional<struct stat> look_at_source(const std::string& source, int& error) const {
    if (source.empty() || source.front() != '/') return std::nullopt;
    const Walk walk = walk_without_blocking(snap_.mounts, source);
    error = walk.error;
    struct stat st {};
    if (walk.error != 0 || !walk.rest.empty() || !walk.at.valid() ||
        snap_.mounts.mount_may_block(walk.mount_id) ||
        ::fstatat(walk.at.get(), "", &st, AT_EMPTY_PATH) != 0)
      return std::nullopt;
    return st;
  }

  // Probe: one worker per file system whose mount points may block
  // statx-es them, so a stalled one holds one thread; all start at once
  // with one shared deadline, so dead mounts cost one timeout in all. Each
  // gate is claimed once, without waiting (start_fanned_out).
  void start_file_system_checks() {
    deadline_ = BoundedClock::now() + kBlockingCallTimeout;
    for (std::size_t fs = 0; fs < file_systems_.size(); ++fs) {
      const Members members = members_of(fs);
      bool blocking = false;
      for (std::size_t i : members) {
        blocking = blocking || snap_.mounts.call_may_block(Via::TablePath, entries_[i].target,
                                                           entries_[i].fstype);
      }
      if (!blocking) continue;
      file_systems_[fs].may_block = true;
      auto walks = std::make_shared<MountPointWalks>();
      for (std::size_t i : members) {
        walks->mounts.push_back(key_of(entries_[i]));
        walks->walks.push_back(
            walk_to_mount_root(snap_.mounts, entries_[i].target, key_of(entries_[i]), true));
      }
      const bool ask_server = snap_.mounts.mount_may_block(entries_[members.front()]);
      file_systems_[fs].check = start_fanned_out<FileSystemFacts>(
          [walks, ask_server, kind = id_kind_] {
            return look_at_file_system(*walks, ask_server, kind);
          },
          gate_for(mount_gate(file_systems_[fs].devno)));
    }
  }

  // Probe each backing device once, each through the gate of its device; a
  // device the caller may not read is answered from what the system
  // publishes, which never waits on it, here.
  void start_device_probes() {
    for (const FileSystem& f : file_systems_) {
      const DeviceNode& node = f.device;
      if (node.rdev == 0 || probes_.count(node.rdev) || probed_.count(node.rdev)) continue;
      if (!node.path.empty() && !may_read_device(node.path)) {
        probed_[node.rdev] = read_device(node.path, node.rdev);
        note_unread(probed_[node.rdev], node.rdev);
        continue;
      }
      probes_[node.rdev] = start_fanned_out<DeviceFacts>(
          [device = node.path, rdev = node.rdev] { return read_device(device, rdev); },
          gate_for(device_gate(node.rdev)));
    }
  }

  // The file systems that cannot stall are looked at on this thread, which
  // saves a hand-off per file system; a mount point whose answer from the
  // last build still holds is not asked again.
  void look_at_local_file_systems() {
    const std::vector<const PathIdentity*> held =
        earlier_ ? earlier_->still_holding(entries_)
                 : std::vector<const PathIdentity*>(entries_.size(), nullptr);
    for (std::size_t fs = 0; fs < file_systems_.size(); ++fs) {
      if (file_systems_[fs].may_block) continue;
      for (std::size_t i : members_of(fs)) {
        const PathIdentity seen = held[i] ? *held[i] : walk_local_mount_point(entries_[i]);
        standing_[i] = standing_of(entries_[i], &seen, last_at_target_[i]);
        if (seen.error == 0 && seen.mount_id_unique && is_this_mount(entries_[i], seen))
          verified_[i] = seen;
      }
    }
  }

  // What the walk of `e`'s mount point finds, on this thread: the file
  // system cannot stall, and a walk that would ask a mount that may block,
  // or that meets a link, does not lead to e's root any more (ESTALE).
  // Its file system's longest name is asked there too: fixed while it is
  // mounted, it is kept with what statx found (GetVolumeInformation then
  // reads only the read-only flag anew).
  PathIdentity walk_local_mount_point(const MountEntry& e) const {
    const Walk walk = walk_to_mount_root(snap_.mounts, e.target, key_of(e), false);
    if (walk.error != 0) return PathIdentity{walk.error};
    PathIdentity seen = identify_descriptor(walk.at.get(), id_kind_);
    struct statvfs stats {};
    if (seen.error == 0 && ::fstatvfs(walk.at.get(), &stats) == 0) seen.name_max = stats.f_namemax;
    return seen;
  }

  std::uint64_t key_of(const MountEntry& e) const {
    return id_kind_ == MountIdKind::Unique ? e.unique_id : e.id;
  }

  void collect_file_system_checks() {
    for (std::size_t fs = 0; fs < file_systems_.size(); ++fs) {
      if (!file_systems_[fs].may_block) continue;
      const Members members = members_of(fs);
      const auto result = await_bounded(file_systems_[fs].check, deadline_);
      note_unanswered(result, mount_gate(file_systems_[fs].devno));
      const FileSystemFacts* facts = result.ok() ? &result.value : nullptr;
      for (std::size_t n = 0; n < members.size(); ++n) {
        const std::size_t i = members.first[n];
        standing_[i] =
            standing_of(entries_[i], facts ? &facts->targets[n] : nullptr, last_at_target_[i]);
      }
    }
  }

  void collect_device_probes() {
    for (auto& [rdev, pending] : probes_) {
      auto result = await_bounded(pending, deadline_);
      note_unanswered(result, device_gate(rdev));
      if (result.ok()) note_unread(result.value, rdev);
      if (result.ok()) probed_[rdev] = std::move(result.value);
    }
  }

  // A probe that did not answer in time leaves the snapshot without its
  // facts until that gate opens again (snapshot_cache.cpp rebuilds then).
  template <class R>
  void note_unanswered(const Outcome<R>& result, GateKey key) {
    if (result.error == kWorkerTimedOut) snap_.unanswered.push_back(key);
  }

  // A device (or its disk's facts) not read for want of resources counts as
  // not answering: the snapshot is built again once its gate is idle (at
  // once).
  void note_unread(const DeviceFacts& facts, std::uint64_t rdev) {
    if (facts.probe.error != 0 || facts.disk.error != 0)
      snap_.unanswered.push_back(device_gate(rdev));
  }

  // Assemble: the listed mounts grouped by the st_dev of their roots, in
  // order of first appearance, one volume each, then named all together.
  void assemble_volumes() {
    FirstSeen group_of_dev(entries_.size());
    std::vector<std::size_t> group_of(entries_.size(), kNoGroup);
    for (std::size_t i = 0; i < entries_.size(); ++i)
      if (standing_[i].listed) group_of[i] = group_of_dev.number(standing_[i].dev);
    const std::size_t count = group_of_dev.size();
    std::vector<std::size_t> starts;
    const std::vector<std::size_t> flat = grouped(group_of, count, starts);
    // Room for every volume at once: no volume is moved to grow a vector.
    std::vector<Volume> volumes(count);
    std::vector<NamingFacts> naming(count);
    snap_.volumes.reserve(count);
    for (auto* index : {&snap_.id_index, &snap_.name_index, &snap_.volume_by_dev})
      index->reserve(count);
    snap_.target_index.reserve(flat.size());
    snap_.volume_by_mount.reserve(flat.size());
    for (std::size_t k = 0; k < count; ++k) {
      const Members group{flat.data() + starts[k], flat.data() + starts[k + 1]};
      for (std::size_t m : group) snap_.volume_by_mount.add(entries_[m].id, k);
      make_volume(group, volumes[k], naming[k]);
    }
    const std::vector<std::string> ids = volume_ids(naming);
    for (std::size_t k = 0; k < count; ++k) {
      volumes[k].id = ids[k];
      volumes[k].name = wide_volume_name(ids[k]);
      snap_.add_volume(std::move(volumes[k]));
    }
    snap_.seal();
  }

  // What statx found at the mount points of the file systems that cannot
  // stall, for the next build of this view (those that may are asked anew
  // each time, through their gates).
  void note_verified_mount_points() {
    auto noted = std::make_shared<VerifiedMountPoints>();
    for (std::size_t i = 0; i < entries_.size(); ++i)
      noted->note(entries_[i], verified_[i] ? &*verified_[i] : nullptr);
    noted->seal();
    snap_.verified_mount_points = std::move(noted);
  }

  // One volume of mounts `group` into `v`: type and device come from its
  // own mounts; what names it goes to `naming`.
  void make_volume(Members group, Volume& v, NamingFacts& naming) {
    const MountEntry& first = entries_[group.front()];
    const DeviceNode& node = file_systems_[fs_of_[group.front()]].device;
    v.dev = standing_[group.front()].dev;
    v.dev_verified = standing_[group.front()].verified;
    v.table_devno = first.devno;
    v.fstype = first.fstype;
    v.source = first.source;
    v.device = node.path;
    v.rdev = node.rdev;
    const auto found = node.rdev == 0 ? probed_.end() : probed_.find(node.rdev);
    const DeviceFacts* facts = found == probed_.end() ? nullptr : &found->second;
    if (facts) v.disk = facts->disk;
    if (node.rdev != 0) v.disk.has_device = true;
    v.drive_type = drive_type_for(v.fstype, v.disk);
    const std::vector<std::size_t> listed = mount_points(entries_, group, standing_);
    for (std::size_t m : listed) {
      v.targets.push_back(entries_[m].target);
      v.target_mounts.push_back(key_of(entries_[m]));
    }
    const std::size_t reach = listed.empty() ? group.front() : listed.front();
    v.reach = entries_[reach].target;
    v.reach_mount = key_of(entries_[reach]);
    // Proven only at a mount of a file system that cannot block, by its
    // unique ID (verified_ holds no other).
    v.name_max = verified_[reach] ? verified_[reach]->name_max : 0;
    const auto is_mount_point = [this](std::string_view p) {
      return snap_.mounts.mount_point_of(p) == p;
    };
    v.listed.reserve(v.targets.size());
    for (const std::string& t : v.targets) v.listed.push_back(listed_mount_point(t, is_mount_point));
    v.reach_may_block = snap_.mounts.call_may_block(Via::TablePath, v.reach, v.fstype);
    naming.dev = v.dev;
    naming.table_devno = v.table_devno;
    if (facts) naming.uuid = facts_for_volume(facts->probe, snap_.mounts, v).uuid;
  }

  // A data file system of the table: its mount-table number, the device
  // found under it, and, where calls on its mount points may block, the
  // worker looking at them (null when its gate did not admit one: they are
  // then not answered, never looked at on this thread).
  struct FileSystem {
    std::uint64_t devno = 0;
    DeviceNode device;
    bool may_block = false;
    PendingPtr<FileSystemFacts> check;
  };

  const std::vector<MountEntry>& entries_;
  const MountIdKind id_kind_;  // of the mount IDs statx is asked for
  const VerifiedMountPoints* earlier_;  // null: every mount point is asked
  Snapshot snap_;
  std::vector<bool> last_at_target_;
  std::vector<FileSystem> file_systems_;  // in order of first appearance
  // Their members (entry indices, hidden mounts included), file system
  // after file system: those of file system k from fs_starts_[k].
  std::vector<std::size_t> fs_members_, fs_starts_;
  std::vector<std::size_t> fs_of_;  // of each entry (kNoGroup: a pseudo file system's)
  std::vector<Standing> standing_;
  // What statx found at each mount point it proved (those of file systems
  // that cannot stall).
  std::vector<std::optional<PathIdentity>> verified_;
  BoundedClock::time_point deadline_;  // of every probe: one bound in all
  std::map<std::uint64_t, PendingPtr<DeviceFacts>> probes_;  // by device number
  std::map<std::uint64_t, DeviceFacts> probed_;
};

}  // namespace

Snapshot build_snapshot(const std::vector<MountEntry>& entries,
                        const VerifiedMountPoints* earlier) {
  return SnapshotBuilder(entries, earlier).build();
}

}  // namespace k32l
