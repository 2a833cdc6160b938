// The immutable snapshot of the volumes of one mount table, and its
// look-ups. Built by snapshot_builder.cpp, kept per view by
// snapshot_cache.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "block_policy.h"
#include "device_probe.h"
#include "fs_classes.h"
#include "kernel32.h"
#include "mount_point_text.h"
#include "mount_table.h"
#include "outcome.h"
#include "verified_mount_points.h"

namespace k32l {

struct Volume {
  std::string id;                    // goes between the braces of the name
  std::u16string name;               // \\?\Volume{id}\ in UTF-16
  std::uint64_t dev = 0;             // st_dev of the mounted root
  bool dev_verified = false;         // false: statx of the root did not answer in time
  std::uint64_t table_devno = 0;     // major:minor in the mount table
  std::string fstype;                // mount-table type
  std::string source;                // mount-table source
  std::string device;                // block device to probe, empty if none
  DiskFacts disk;
  UINT drive_type = DRIVE_UNKNOWN;
  std::uint64_t rdev = 0;            // number of `device`, 0 if none
  std::vector<std::string> targets;  // mount points, mount-table order
  // The targets as they are listed (listed_mount_point): as they are, or
  // with the root marker where that text would name another mount point.
  std::vector<std::string> listed;
  // The mount of each target (an ID of the table's MountReach::id_kind()).
  std::vector<std::uint64_t> target_mounts;
  std::string reach;                 // a mount of it for statvfs (may be no mount point)
  std::uint64_t reach_mount = 0;     // the mount at `reach`, as target_mounts
  // Whether calls on `reach` (with this volume's type) may block, as the
  // blocking policy says for this snapshot's mounts: asked once, when the
  // snapshot is built, since its answer depends on nothing else.
  bool reach_may_block = true;
  // The longest name its file system takes, as statvfs at `reach` said when
  // the table was built, where that is a mount (by its unique ID) of a file
  // system that cannot block: block-backed, RAM and stacked local file
  // systems fix it when they are mounted (a server of a network or FUSE
  // file system may answer otherwise at each call). 0: not known, asked at
  // each call.
  std::uint64_t name_max = 0;
  // The listed targets as GetVolumePathNamesForVolumeName writes them (set
  // by Snapshot::add_volume): each valid UTF-8 one in UTF-16, NUL-terminated,
  // then one more NUL. Targets that are not valid UTF-8 are left out.
  std::u16string path_names;
};

// Positions of volumes under 64-bit keys (a hash, a mount ID, a device
// number), in one flat array: sorted by seal() once a snapshot is
// assembled, with a directory of where each range of keys starts, so that a
// look-up reads one or two entries; entries added since are scanned. A
// look-up answers the lowest position under its key that its check
// accepts, as a scan of the volumes in order would (a hash says nothing
// alone: the check compares).
class PositionIndex {
 public:
  void reserve(std::size_t n) { entries_.reserve(n); }
  void add(std::uint64_t key, std::size_t position) { entries_.emplace_back(mixed(key), position); }
  void seal();
  // Sets out[position], for each entry sorted so far, to whether no entry
  // before it under its key is the same as it (as `same` compares two
  // positions): the first of its kind.
  template <class Same>
  void mark_firsts(std::vector<bool>& out, Same same) const {
    for (std::size_t run = 0, end = 0; run < sealed_; run = end) {
      for (end = run + 1; end < sealed_ && entries_[end].first == entries_[run].first;) ++end;
      for (std::size_t i = run; i < end; ++i) {
        bool first = true;
        for (std::size_t j = run; j < i && first; ++j)
          first = !same(entries_[j].second, entries_[i].second);
        out[entries_[i].second] = first;
      }
    }
  }
  // The lowest position under `key`, where a key says all (an ID, a number).
  std::optional<std::size_t> find(std::uint64_t key) const {
    return find(key, [](std::size_t) { return true; });
  }
  template <class Accept>
  std::optional<std::size_t> find(std::uint64_t key, Accept accept) const {
    const std::uint64_t k = mixed(key);
    std::size_t i = 0, end = 0;
    if (sealed_ != 0) {
      const std::size_t range = k >> shift_;
      i = directory_[range];
      end = directory_[range + 1];
    }
    // Within a range, sorted by key then position; after it, as added.
    for (; i < end; ++i)
      if (entries_[i].first == k && accept(entries_[i].second)) return entries_[i].second;
    for (i = sealed_; i < entries_.size(); ++i)
      if (entries_[i].first == k && accept(entries_[i].second)) return entries_[i].second;
    return std::nullopt;
  }

 private:
  // Keys spread over all 64 bits (a one-to-one mix), so that the ranges of
  // the directory hold about one entry each whatever the keys.
  static std::uint64_t mixed(std::uint64_t key) { return key * 0x9E3779B97F4A7C15ULL; }

  std::vector<std::pair<std::uint64_t, std::size_t>> entries_;
  std::size_t sealed_ = 0;  // entries_[0, sealed_) are sorted
  unsigned shift_ = 63;     // a key's range: its top bits
  std::vector<std::uint32_t> directory_;  // where each range starts, then the end
};

struct Snapshot {
  std::vector<Volume> volumes;
  // Visible mount points of file systems that are not volumes (/proc ...).
  std::vector<std::string> other_targets;
  // The visible mounts as far as blocking goes: which mount a path reaches,
  // whether calls on it may block, the mount-table number of every mount ID.
  MountReach mounts;
  // The volumes added through add_volume by the hash of their IDs (as IDs
  // compare): find_by_id then costs one look-up instead of a scan (a
  // refresh looks up every volume).
  PositionIndex id_index;
  std::size_t indexed_volumes = 0;
  // The same volumes by the hash of their GUID names, exactly as
  // FindNextVolumeW gives them out: a call that passes a name back as it was
  // given finds its volume without parsing and folding it (a volume whose
  // ID is valid and first of its kind).
  PositionIndex name_index;
  static std::size_t name_hash(std::u16string_view name);
  // The same volumes by the hash of each mount point: find_by_target then
  // costs one look-up.
  PositionIndex target_index;
  // The gates of the probes that did not answer while this snapshot was
  // built (a stalled mount or device, or one busy with another caller's
  // probe): what they would have said is missing, and a volume whose device
  // did not answer is named by its device number.
  std::vector<GateKey> unanswered;
  // 32-bit mount ID (as fdinfo gives it) -> position of the volume it
  // belongs to.
  PositionIndex volume_by_mount;
  // st_dev of a volume's root -> its position (set by add_volume).
  PositionIndex volume_by_dev;
  // What statx found at every mount point of the table, for the next build
  // of the same view.
  std::shared_ptr<const VerifiedMountPoints> verified_mount_points;
  // The mount points of the table it was built from, as read: a search
  // proves them against the table's text read again (mount_point_text.h).
  std::shared_ptr<const MountPointText> mount_point_text;

  // Sorts the indexes once the volumes are added: look-ups then search them.
  void seal();
  // Whether find_by_name answers with the volume at `position`: its ID is
  // valid and no volume before it has that ID (kept for every volume by
  // seal(), so that a name given back costs no look-up of its ID).
  bool answers_to_name(std::size_t position) const;
  std::vector<bool> answers_name;
  void add_volume(Volume volume);
  const Volume* find_by_id(std::string_view id) const;
  // The volume whose GUID name is exactly the caller's text `text` (null
  // when none is, or the text is longer than any name): the volume that
  // parse_volume_name and find_by_id would give for that text.
  const Volume* find_by_name(const WCHAR* text) const;
  static constexpr std::size_t kLongestIndexedName = 256;
  const Volume* find_by_target(std::string_view normalised_path) const;
  const Volume* find_by_mount(std::uint64_t mount_id) const;
  // The volume the file of descriptor `fd` is on, with the mount-table
  // number of its mount's gate: the volume of its mount `mount_id` (from
  // mount_of_descriptor), or when this table does not list that mount (the
  // descriptor was opened in another mount namespace, or through a mount
  // unmounted since), the volume whose files have the file's own st_dev.
  struct HandleVolume {
    const Volume* volume = nullptr;  // null: no volume of this table
    std::uint64_t devno = 0;
  };
  HandleVolume volume_of_descriptor(int fd, std::uint64_t mount_id) const;
  bool is_other_target(std::string_view normalised_path) const;
};

// The facts `probe` of volume `v`'s device (a volume of the table of
// `mounts`), checked against the mounted file system where they are
// published and calls on it cannot block (facts_for_mount): its root is
// reached by the walk of its mount point, never by the text alone.
ProbeResult facts_for_volume(ProbeResult probe, const MountReach& mounts, const Volume& v);

// The snapshot of `entries` (a mount table of the caller's view): probes
// its mounts and devices, each behind its gate, within one bound in all.
// `earlier`: what statx found at the mount points when this view's last
// snapshot was built, kept where it still holds (null: every mount point is
// asked).
Snapshot build_snapshot(const std::vector<MountEntry>& entries,
                        const VerifiedMountPoints* earlier = nullptr);

// The snapshot for the mount table as it is now, in the calling thread's
// view: re-read only when the kernel has flagged a change on the descriptor
// this process watches for that view. A table that cannot be read fails
// this call with its code (ERROR_TOO_MANY_OPEN_FILES when out of
// descriptors) and is read again by the next.
Outcome<std::shared_ptr<const Snapshot>> current_snapshot();
// The same for a volume search (FindFirstVolumeW): the calling thread then
// keeps in mind that its volume names came from this table.
Outcome<std::shared_ptr<const Snapshot>> search_snapshot();
// The snapshot a call that names a volume by its GUID name is answered
// from: a volume name is an identifier of the table of the search that gave
// it out, so the table of the calling thread's last search answers, checked
// for changes by that table's own signal (one poll), without looking at the
// caller's view again; the thread's current view (current_snapshot) when it
// has made no search, has called from another view since, or the table
// changed.
Outcome<std::shared_ptr<const Snapshot>> volume_name_snapshot();
// Where a mount point of the calling thread's table, walked, no longer
// leads to its mount (a directory above it was renamed, with no change
// signal): the table it holds is read and built again by its next call.
void forget_moved_mount_points();
// Whether the mount points of `volume`, of `snap`, the table the calling
// thread holds, are proven by that table's rename watch: started for this
// very snapshot, covering all of them, and quiet as of the table's change
// signal asked by this call (one epoll_ctl proves the watch still the
// table's).
bool mount_points_watched(const Snapshot& snap, const Volume& volume);
// Whether the calling thread calls from the view the table it holds was read
// in: only there does a walk of that table's mount points prove anything (a
// thread that moved to another view is answered from its last search's
// table, whose text that search proved).
bool in_view_of_held_table();
// How often the mount table has been read so far in this process.
std::uint64_t mount_table_reads();

// Checks at once, under one deadline, that every volume's device and every
// mount that may block answer: one that does not has its gate shut before
// the calls of a refresh reach it one after another.
void check_volumes_answer(const Snapshot& snap);

}  // namespace k32l
