// The mount table as volumes: read with libmount, grouped per file system,
// named from the UUID libblkid probes, and cached until the kernel reports a
// change of the mount table.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>

#include <algorithm>
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

constexpr const char* kMountInfo = "/proc/self/mountinfo";

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
    e.devno = mnt_fs_get_devno(fs);
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

// What stat of a mount root and of its source tell (may block: runs on a
// bounded worker).
struct RootFacts {
  bool reachable = false;
  int error = 0;  // errno of a failed stat of the root
  std::uint64_t st_dev = 0;
  std::string device;      // device node to probe, empty if none found
  std::uint64_t rdev = 0;  // block device number, 0 if none
};

RootFacts inspect_root(const std::string& target, const std::string& source,
                       std::uint64_t devno) {
  RootFacts facts;
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) {
    facts.error = errno;
    return facts;
  }
  facts.reachable = true;
  facts.st_dev = st.st_dev;
  // The source names the device for block file systems, fuseblk and btrfs
  // (whose mount-table number is an anonymous one).
  struct stat src {};
  if (!source.empty() && source.front() == '/' && ::stat(source.c_str(), &src) == 0 &&
      S_ISBLK(src.st_mode)) {
    facts.device = source;
    facts.rdev = src.st_rdev;
  } else if (major(devno) != 0) {
    facts.rdev = devno;
    MallocString name(blkid_devno_to_devname(static_cast<dev_t>(devno)));
    if (name) facts.device = name.get();
  }
  return facts;
}

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

Snapshot build_snapshot(const std::vector<Entry>& entries) {
  Snapshot snap;

  const EntryClasses classes = classify_entries(entries);
  const std::vector<std::size_t>& data = classes.data;  // visible data file systems
  for (std::size_t i : classes.other) snap.other_targets.push_back(entries[i].target);
  // Every visible mount point, in mount-table order.
  std::vector<std::size_t> visible(classes.data);
  visible.insert(visible.end(), classes.other.begin(), classes.other.end());
  std::sort(visible.begin(), visible.end());
  for (std::size_t i : visible) {
    snap.all_targets.emplace_back(entries[i].target, entries[i].devno);
    if (may_block(entries[i].fstype) || entries[i].fstype == "autofs") {
      snap.blocking_targets.push_back(entries[i].target);
    }
  }

  // Stat every root at once on workers, with one shared deadline, so that
  // dead mounts cost one timeout in all.
  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  std::vector<PendingPtr<RootFacts>> pending(data.size());
  for (std::size_t k = 0; k < data.size(); ++k) {
    const Entry& e = entries[data[k]];
    auto gate = gate_for(e.devno);
    if (gate->stuck.load() > 0) continue;  // already known not to answer
    pending[k] = start_bounded<RootFacts>(
        [target = e.target, source = e.source, devno = e.devno] {
          return inspect_root(target, source, devno);
        },
        gate);
  }

  struct Group {
    std::vector<std::size_t> members;  // indices into entries
    RootFacts facts;
    bool verified = false;
  };
  std::vector<Group> groups;
  std::map<std::uint64_t, std::size_t> by_dev;
  for (std::size_t k = 0; k < data.size(); ++k) {
    const Entry& e = entries[data[k]];
    RootFacts facts;
    bool verified = false;
    if (pending[k]) {
      auto result = await_bounded(pending[k], deadline);
      if (result.status == BoundedStatus::Ok) {
        const RootFacts& got = *result.value;
        // A root that stat reports missing lies under a later mount: hidden.
        if (!got.reachable && (got.error == ENOENT || got.error == ENOTDIR)) continue;
        if (got.reachable) {
          facts = std::move(*result.value);
          verified = true;
        }
      }
    }
    // A root that did not answer in time keeps the mount table's number.
    const std::uint64_t dev = verified ? facts.st_dev : e.devno;
    auto [it, fresh] = by_dev.emplace(dev, groups.size());
    if (fresh) {
      Group g;
      g.facts = facts;
      g.facts.st_dev = dev;
      g.verified = verified;
      groups.push_back(std::move(g));
    }
    groups[it->second].members.push_back(data[k]);
  }

  // Probe each backing device once, again all at once.
  const auto probe_deadline = BoundedClock::now() + kBlockingCallTimeout;
  std::vector<PendingPtr<DeviceFacts>> probes(groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const RootFacts& f = groups[g].facts;
    if (f.rdev == 0) continue;
    probes[g] = start_bounded<DeviceFacts>(
        [device = f.device, rdev = f.rdev] {
          DeviceFacts d;
          if (!device.empty()) d.probe = probe_device(device);
          d.disk = disk_facts(rdev);
          return d;
        },
        gate_for(entries[groups[g].members.front()].devno));
  }

  for (std::size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    const Entry& first = entries[group.members.front()];
    Volume v;
    v.dev = group.facts.st_dev;
    v.dev_verified = group.verified;
    v.table_devno = first.devno;
    v.fstype = first.fstype;
    v.source = first.source;
    v.device = group.facts.device;
    DeviceFacts dev_facts;
    if (probes[g]) {
      auto result = await_bounded(probes[g], probe_deadline);
      if (result.status == BoundedStatus::Ok) dev_facts = std::move(*result.value);
    }
    if (group.facts.rdev != 0 && !dev_facts.disk.has_device) dev_facts.disk.has_device = true;
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
    for (std::size_t m : group.members) v.targets.push_back(entries[m].target);
    snap.add_volume(std::move(v));
  }
  return snap;
}

class MountTableCache {
 public:
  std::shared_ptr<const Snapshot> current() {
    std::lock_guard<std::mutex> lock(mutex_);
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

 private:
  std::mutex mutex_;
  UniqueFd watch_;
  std::shared_ptr<const Snapshot> snapshot_;
  std::atomic<std::uint64_t> reads_{0};
};

MountTableCache& cache() {
  static MountTableCache instance;
  return instance;
}

}  // namespace

ProbeResult probe_device(const std::string& device) {
  ProbeResult result;
  BlkidProbe probe(blkid_new_probe_from_filename(device.c_str()));
  if (!probe) return result;
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

std::string folded_volume_id(std::string_view id) {
  std::string folded(id);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

}  // namespace

void Snapshot::add_volume(Volume volume) {
  const bool indexed = indexed_volumes == volumes.size();
  volumes.push_back(std::move(volume));
  if (!indexed) return;
  // emplace keeps an earlier volume's position: the first match wins, as in a scan.
  id_index.emplace(folded_volume_id(volumes.back().id), volumes.size() - 1);
  indexed_volumes = volumes.size();
}

const Volume* Snapshot::find_by_id(std::string_view id) const {
  // same_volume_id compares sizes and ASCII-lower-cased bytes: exactly
  // equality of the folded texts, so the index answers as the scan would.
  if (indexed_volumes == volumes.size()) {
    const auto found = id_index.find(folded_volume_id(id));
    return found == id_index.end() ? nullptr : &volumes[found->second];
  }
  for (const auto& v : volumes)
    if (same_volume_id(v.id, id)) return &v;
  return nullptr;
}

const Volume* Snapshot::find_by_target(std::string_view path) const {
  for (const auto& v : volumes)
    for (const auto& t : v.targets)
      if (t == path) return &v;
  return nullptr;
}

const Volume* Snapshot::find_by_dev(std::uint64_t dev) const {
  for (const auto& v : volumes)
    if (v.dev == dev) return &v;
  return nullptr;
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
