// The mount table as volumes: read with libmount, grouped per file system,
// named from the UUID libblkid probes, and cached until the kernel reports a
// change of the mount table.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "bounded.h"
#include "k32l.h"
#include "raii.h"

namespace k32l {

namespace {

// The calling thread's table: threads may differ in mount namespace.
constexpr const char* kMountInfo = "/proc/thread-self/mountinfo";

using Entry = MountEntry;

std::string nonnull(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

std::vector<MountEntry> parse_mount_table(const char* path) {
  std::vector<Entry> entries;
  MntTable table(mnt_new_table());
  if (!table) throw std::bad_alloc();
  if (mnt_table_parse_file(table.get(), path) != 0) return entries;
  MntIter iter(mnt_new_iter(MNT_ITER_FORWARD));
  if (!iter) throw std::bad_alloc();
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    Entry e;
    e.target = nonnull(mnt_fs_get_target(fs));
    e.source = nonnull(mnt_fs_get_source(fs));
    e.fstype = nonnull(mnt_fs_get_fstype(fs));
    e.root = nonnull(mnt_fs_get_root(fs));
    e.devno = mnt_fs_get_devno(fs);
    e.id = static_cast<std::uint64_t>(mnt_fs_get_id(fs));
    if (!e.target.empty()) entries.push_back(std::move(e));
  }
  return entries;
}

EntryClasses classify_entries(const std::vector<MountEntry>& entries) {
  EntryClasses classes;
  // A later mount on the same target hides the earlier ones there.
  std::vector<bool> visible(entries.size(), false);
  std::set<std::string_view> seen;
  for (std::size_t i = entries.size(); i-- > 0;)
    visible[i] = seen.insert(entries[i].target).second;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!visible[i]) continue;
    (is_pseudo_fs(entries[i].fstype) ? classes.other : classes.data).push_back(i);
  }
  return classes;
}

namespace {

// The block device under a mount: its source when that is a device node
// (block file systems, fuseblk, btrfs, whose mount-table number is an
// anonymous one), otherwise the device of the mount-table number.
struct DeviceNode {
  std::string path;        // device node to probe, empty if none found
  std::uint64_t rdev = 0;  // block device number, 0 if none
};

DeviceNode find_device(const std::string& source, std::uint64_t devno) {
  DeviceNode node;
  struct stat src {};
  if (!source.empty() && source.front() == '/' && ::stat(source.c_str(), &src) == 0 &&
      S_ISBLK(src.st_mode)) {
    node.path = source;
    node.rdev = src.st_rdev;
  } else if (major(devno) != 0) {
    node.rdev = devno;
    MallocString name(blkid_devno_to_devname(static_cast<dev_t>(devno)));
    if (name) node.path = name.get();
  }
  return node;
}

// What the statx of every mount point of one file system found (may block:
// runs on a bounded worker).
struct FileSystemFacts {
  std::vector<PathIdentity> targets;  // one per member, in member order
};

bool read_flag_file(const std::string& path) {
  std::ifstream in(path);
  int value = 0;
  return (in >> value) && value != 0;
}

DiskFacts disk_facts(std::uint64_t rdev) {
  DiskFacts facts;
  if (rdev == 0) return facts;
  facts.has_device = true;
  char name[PATH_MAX] = {0};
  dev_t disk = 0;
  if (blkid_devno_to_wholedisk(static_cast<dev_t>(rdev), name, sizeof name, &disk) == 0) {
    facts.disk_name = name;
  } else {
    disk = static_cast<dev_t>(rdev);
  }
  facts.disk_major = major(disk);
  char sys[64];
  std::snprintf(sys, sizeof sys, "/sys/dev/block/%u:%u", major(disk), minor(disk));
  facts.removable = read_flag_file(std::string(sys) + "/removable");
  MallocString real(::realpath(sys, nullptr));
  if (real && std::string_view(real.get()).find("/usb") != std::string_view::npos)
    facts.on_usb = true;
  return facts;
}

struct DeviceFacts {
  ProbeResult probe;
  DiskFacts disk;
};

std::string hex_suffix(std::uint64_t dev) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "-%016llx", static_cast<unsigned long long>(dev));
  return buf;
}

// How a mount-table entry stands after the statx of its mount point.
struct Standing {
  bool listed = false;      // a volume's mount: reachable, or not known to be hidden
  bool verified = false;    // statx landed on this very mount
  std::uint64_t dev = 0;    // st_dev of its root (verified) or the table's number
  bool is_file = false;     // the mount is of a single file
};

Standing standing_of(const Entry& e, const PathIdentity* seen, bool last_at_target) {
  Standing s;
  s.dev = e.devno;
  if (seen && seen->error == 0 && seen->mount_known) {
    // The kernel says which mount the path reaches: only that one is visible
    // there, whatever the order of the table (a mount may be placed beneath
    // another, or its mount point covered by a mount on a parent).
    if (seen->mount_id != e.id) return s;
    s.listed = s.verified = true;
    s.dev = seen->dev;
    s.is_file = !seen->is_directory;
    return s;
  }
  // A root that statx reports missing lies under a later mount: hidden.
  if (seen && (seen->error == ENOENT || seen->error == ENOTDIR)) return s;
  // No answer in time (or no mount ID from this kernel): the last mount on
  // a target is the visible one there.
  s.listed = last_at_target;
  if (seen && seen->error == 0 && last_at_target) {
    s.verified = true;
    s.dev = seen->dev;
    s.is_file = !seen->is_directory;
  }
  return s;
}

// The mount points Windows would list for a volume: where its root is
// mounted; binds of a subtree only when its root is mounted nowhere; never a
// single file. `members` index `entries`.
std::vector<std::string> mount_points(const std::vector<Entry>& entries,
                                      const std::vector<std::size_t>& members,
                                      const std::vector<Standing>& standing) {
  const std::string* best = nullptr;  // the least deep directory mounted
  for (std::size_t m : members) {
    if (standing[m].is_file) continue;
    const std::string& root = entries[m].root;
    if (!best || root.size() < best->size()) best = &root;
  }
  std::vector<std::string> targets;
  if (!best) return targets;
  for (std::size_t m : members)
    if (!standing[m].is_file && entries[m].root == *best) targets.push_back(entries[m].target);
  return targets;
}

Snapshot build_snapshot(const std::vector<Entry>& entries) {
  Snapshot snap;

  const EntryClasses classes = classify_entries(entries);
  for (std::size_t i : classes.other) snap.other_targets.push_back(entries[i].target);
  // Every visible mount point, in mount-table order.
  std::vector<std::size_t> visible(classes.data);
  visible.insert(visible.end(), classes.other.begin(), classes.other.end());
  std::sort(visible.begin(), visible.end());
  std::vector<bool> last_at_target(entries.size(), false);
  for (std::size_t i : visible) {
    last_at_target[i] = true;
    snap.all_targets.emplace_back(entries[i].target, entries[i].devno);
    if (may_block(entries[i].fstype) || entries[i].fstype == "autofs") {
      snap.blocking_targets.push_back(entries[i].target);
    }
  }
  for (const Entry& e : entries) snap.devno_by_mount.emplace(e.id, e.devno);

  // Every mount of a data file system, hidden or not, grouped by file system:
  // one worker per file system statx-es its mount points, so a stalled one
  // holds one thread. All start at once with one shared deadline, so dead
  // mounts cost one timeout in all.
  std::map<std::uint64_t, std::vector<std::size_t>> by_devno;
  std::vector<std::uint64_t> devno_order;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (is_pseudo_fs(entries[i].fstype)) continue;
    auto& members = by_devno[entries[i].devno];
    if (members.empty()) devno_order.push_back(entries[i].devno);
    members.push_back(i);
  }
  // The device under each file system, found here (device nodes live on
  // devtmpfs, which never blocks; a source on a mount that may is skipped),
  // so that the probes start together with the statx-es, under the same
  // deadline: a refresh waits one bound in all, whatever stalls.
  std::map<std::uint64_t, DeviceNode> device_of;  // by mount-table number
  for (std::uint64_t devno : devno_order) {
    const Entry& first = entries[by_devno[devno].front()];
    if (!snap.path_may_block(first.source)) device_of[devno] = find_device(first.source, devno);
  }

  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  // File systems whose mount points may be reached only through, or are
  // themselves, mounts that may block are looked at on bounded workers; the
  // others cannot stall and are looked at on this thread afterwards, which
  // saves a hand-off per file system.
  std::vector<PendingPtr<FileSystemFacts>> pending(devno_order.size());
  std::vector<bool> on_worker(devno_order.size(), false);
  for (std::size_t k = 0; k < devno_order.size(); ++k) {
    const auto& members = by_devno[devno_order[k]];
    // statx may be answered from cached attributes; statvfs of a file system
    // that may block asks its server, so one that stopped answering is found
    // here, within this deadline, and its gate makes the refresh's calls on
    // it fail at once.
    const bool ask_server = may_block(entries[members.front()].fstype);
    bool blocking = ask_server;
    for (std::size_t i : members) blocking = blocking || snap.path_may_block(entries[i].target);
    if (!blocking) continue;
    on_worker[k] = true;
    std::vector<std::string> targets;
    for (std::size_t i : members) targets.push_back(entries[i].target);
    pending[k] = start_bounded<FileSystemFacts>(
        [targets = std::move(targets), ask_server] {
          FileSystemFacts facts;
          for (const std::string& t : targets) facts.targets.push_back(identify_path(t));
          struct statvfs ignored {};
          if (ask_server) ::statvfs(targets.front().c_str(), &ignored);
          return facts;
        },
        gate_for(GateKind::Mount, devno_order[k]), deadline);
  }
  // Probe each backing device once, each through the gate of its device.
  std::map<std::uint64_t, PendingPtr<DeviceFacts>> probes;
  std::map<std::uint64_t, DeviceFacts> probed;
  auto read_device = [](const std::string& device, std::uint64_t rdev) {
    DeviceFacts d;
    if (!device.empty()) d.probe = probe_device(device, rdev);
    d.disk = disk_facts(rdev);
    return d;
  };
  for (const auto& [devno, node] : device_of) {
    (void)devno;
    if (node.rdev == 0 || probes.count(node.rdev) || probed.count(node.rdev)) continue;
    if (!node.path.empty() && !may_read_device(node.path)) {
      probed[node.rdev] = read_device(node.path, node.rdev);
      continue;
    }
    probes[node.rdev] = start_bounded<DeviceFacts>(
        [device = node.path, rdev = node.rdev, read_device] { return read_device(device, rdev); },
        gate_for(GateKind::Device, node.rdev), deadline);
  }

  std::vector<Standing> standing(entries.size());
  for (std::size_t k = 0; k < devno_order.size(); ++k) {
    if (on_worker[k]) continue;
    for (std::size_t i : by_devno[devno_order[k]]) {
      const PathIdentity seen = identify_path(entries[i].target);
      standing[i] = standing_of(entries[i], &seen, last_at_target[i]);
    }
  }
  for (std::size_t k = 0; k < devno_order.size(); ++k) {
    if (!on_worker[k]) continue;
    const auto& members = by_devno[devno_order[k]];
    auto result = await_bounded(pending[k], deadline);
    const FileSystemFacts* facts = result.status == BoundedStatus::Ok ? &*result.value : nullptr;
    for (std::size_t n = 0; n < members.size(); ++n) {
      const std::size_t i = members[n];
      standing[i] = standing_of(entries[i], facts ? &facts->targets[n] : nullptr,
                                last_at_target[i]);
    }
  }
  for (auto& [rdev, p] : probes) {
    auto result = await_bounded(p, deadline);
    if (result.status == BoundedStatus::Ok) probed[rdev] = std::move(*result.value);
  }

  // Volumes: the listed mounts grouped by the st_dev of their roots, in order
  // of first appearance. Type and device come from the group's own mounts.
  std::vector<std::vector<std::size_t>> groups;
  std::map<std::uint64_t, std::size_t> group_of_dev;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!standing[i].listed) continue;
    auto [it, fresh] = group_of_dev.emplace(standing[i].dev, groups.size());
    if (fresh) groups.emplace_back();
    groups[it->second].push_back(i);
  }

  for (const auto& group : groups) {
    const Entry& first = entries[group.front()];
    const DeviceNode& node = device_of[first.devno];
    Volume v;
    v.dev = standing[group.front()].dev;
    v.dev_verified = standing[group.front()].verified;
    v.table_devno = first.devno;
    v.fstype = first.fstype;
    v.source = first.source;
    v.device = node.path;
    v.rdev = node.rdev;
    DeviceFacts dev_facts;
    if (auto found = probed.find(node.rdev); found != probed.end()) dev_facts = found->second;
    if (node.rdev != 0) dev_facts.disk.has_device = true;
    v.disk = dev_facts.disk;
    v.drive_type = drive_type_for(v.fstype, v.disk);

    // The file system's UUID names it; a subvolume (its own st_dev beside
    // the file system's number) or a cloned UUID gets the device number
    // appended so that every name stays unique.
    const std::string& uuid = dev_facts.probe.uuid;
    if (is_valid_volume_id(uuid)) {
      v.id = uuid;
      if (v.dev != v.table_devno) v.id += hex_suffix(v.dev);
    } else {
      v.id = device_volume_id(v.dev);
    }
    if (snap.find_by_id(v.id)) v.id += hex_suffix(v.dev);
    v.name = *utf8_to_utf16(format_volume_name(v.id));  // ASCII by construction
    v.targets = mount_points(entries, group, standing);
    v.reach = v.targets.empty() ? first.target : v.targets.front();
    for (std::size_t m : group) snap.volume_by_mount.emplace(entries[m].id, snap.volumes.size());
    snap.add_volume(std::move(v));
  }
  return snap;
}

class MountTableCache {
 public:
  std::shared_ptr<const Snapshot> current() {
    std::lock_guard<std::mutex> lock(mutex_);
    // A descriptor opened in another namespace goes on watching that
    // namespace's table: a thread that changed namespace starts afresh.
    const std::uint64_t ns = current_mount_namespace();
    if (ns != namespace_) {
      watch_.reset();
      snapshot_.reset();
      namespace_ = ns;
    }
    if (!watch_.valid()) watch_.reset(::open(kMountInfo, O_RDONLY | O_CLOEXEC));
    bool changed = !snapshot_ || !watch_.valid();
    if (watch_.valid()) {
      // The kernel flags POLLPRI|POLLERR once per change of the table since
      // the last poll on this descriptor.
      pollfd p{watch_.get(), POLLPRI | POLLERR, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR))) changed = true;
    }
    if (changed) {
      snapshot_.reset();  // a failed rebuild is retried by the next call
      auto entries = parse_mount_table(kMountInfo);
      reads_.fetch_add(1);
      snapshot_ = std::make_shared<const Snapshot>(build_snapshot(entries));
    }
    return snapshot_;
  }

  std::uint64_t reads() const { return reads_.load(); }

  // In a forked child, for the cache it replaces: closes the child's copy of
  // the watched descriptor (no other thread runs there to hold the lock).
  void drop_watch_in_child() { watch_.reset(); }

 private:
  std::mutex mutex_;
  std::uint64_t namespace_ = 0;
  UniqueFd watch_;
  std::shared_ptr<const Snapshot> snapshot_;
  std::atomic<std::uint64_t> reads_{0};
};

// Never destroyed. A forked child gets a cache of its own: the parent's
// watched descriptor is shared with the parent (whichever process polls it
// first would take the other's change notices), and its lock may have been
// held by another thread at the fork.
MountTableCache* cache_instance = nullptr;

void new_cache_in_child() {
  cache_instance->drop_watch_in_child();
  cache_instance = new MountTableCache();
}

MountTableCache& cache() {
  static const bool registered = [] {
    cache_instance = new MountTableCache();
    pthread_atfork(nullptr, nullptr, new_cache_in_child);
    return true;
  }();
  (void)registered;
  return *cache_instance;
}

}  // namespace

bool may_read_device(const std::string& device) {
  // The device node lives on devtmpfs (find_device takes no source on a
  // mount that may block): the walk cannot stall.
  if (::faccessat(AT_FDCWD, device.c_str(), R_OK, AT_EACCESS) == 0) return true;
  return errno != EACCES && errno != EPERM;
}

ProbeResult probe_device(const std::string& device, std::uint64_t rdev) {
  ProbeResult result;
  BlkidProbe probe(blkid_new_probe_from_filename(device.c_str()));
  if (!probe) {
    if (errno == EACCES || errno == EPERM) return published_device_facts(device, rdev);
    return result;
  }
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID |
                                                     BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
  if (blkid_do_safeprobe(probe.get()) != 0) return result;
  result.found = true;
  auto value = [&](const char* key) {
    const char* data = nullptr;
    std::size_t len = 0;
    if (blkid_probe_lookup_value(probe.get(), key, &data, &len) != 0 || !data) return std::string();
    std::string s(data, len);
    while (!s.empty() && s.back() == '\0') s.pop_back();  // lengths count the NUL
    return s;
  };
  result.type = value("TYPE");
  result.version = value("VERSION");
  result.label = value("LABEL");
  result.uuid = value("UUID");
  return result;
}

namespace {

// Writes `id` folded to ASCII lower case into `folded`, whose buffer is
// reused from call to call.
const std::string& fold_volume_id(std::string_view id, std::string& folded) {
  folded.assign(id.data(), id.size());
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

}  // namespace

void Snapshot::add_volume(Volume volume) {
  std::vector<std::u16string> paths;
  for (const auto& target : volume.targets)
    if (auto wide = utf8_to_utf16(target)) paths.push_back(std::move(*wide));
  volume.path_names = build_multi_string(paths);
  const bool indexed = indexed_volumes == volumes.size();
  volumes.push_back(std::move(volume));
  if (!indexed) return;
  // emplace keeps an earlier volume's position: the first match wins, as in a scan.
  std::string folded;
  const std::size_t position = volumes.size() - 1;
  id_index.emplace(fold_volume_id(volumes.back().id, folded), position);
  for (const auto& target : volumes.back().targets) target_index.emplace(target, position);
  indexed_volumes = volumes.size();
}

const Volume* Snapshot::find_by_id(std::string_view id) const {
  // same_volume_id compares sizes and ASCII-lower-cased bytes: exactly
  // equality of the folded texts, so the index answers as the scan would.
  if (indexed_volumes == volumes.size()) {
    thread_local std::string folded;
    const auto found = id_index.find(fold_volume_id(id, folded));
    return found == id_index.end() ? nullptr : &volumes[found->second];
  }
  for (const auto& v : volumes)
    if (same_volume_id(v.id, id)) return &v;
  return nullptr;
}

const Volume* Snapshot::find_by_target(std::string_view path) const {
  if (indexed_volumes == volumes.size()) {
    thread_local std::string key;
    key.assign(path.data(), path.size());
    const auto found = target_index.find(key);
    return found == target_index.end() ? nullptr : &volumes[found->second];
  }
  for (const auto& v : volumes)
    for (const auto& t : v.targets)
      if (t == path) return &v;
  return nullptr;
}

const Volume* Snapshot::find_by_mount(std::uint64_t mount_id) const {
  const auto found = volume_by_mount.find(mount_id);
  return found == volume_by_mount.end() ? nullptr : &volumes[found->second];
}

std::uint64_t Snapshot::gate_key_for(std::string_view path) const {
  std::size_t best = 0;
  std::uint64_t key = 0;
  for (const auto& [target, devno] : all_targets) {
    if (path_is_under(path, target) && target.size() >= best) {
      best = target.size();
      key = devno;
    }
  }
  return key;
}

bool Snapshot::path_may_block(std::string_view absolute_path) const {
  for (const std::string& target : blocking_targets) {
    if (path_is_under(absolute_path, target)) return true;
  }
  return false;
}

bool Snapshot::is_other_target(std::string_view path) const {
  for (const auto& t : other_targets)
    if (t == path) return true;
  return false;
}

std::shared_ptr<const Snapshot> current_snapshot() { return cache().current(); }

std::uint64_t mount_table_reads() { return cache().reads(); }

}  // namespace k32l
