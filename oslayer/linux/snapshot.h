// The immutable snapshot of the volumes of one mount table, and its
// look-ups. Built by snapshot_builder.cpp, kept per view by
// snapshot_cache.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "block_policy.h"
#include "fs_classes.h"
#include "kernel32.h"
#include "mount_table.h"
#include "outcome.h"

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
  std::string reach;                 // a mount of it for statvfs (may be no mount point)
  // Whether calls on `reach` (with this volume's type) may block, as the
  // blocking policy says for this snapshot's mounts: asked once, when the
  // snapshot is built, since its answer depends on nothing else.
  bool reach_may_block = true;
  // The listed targets as GetVolumePathNamesForVolumeName writes them (set
  // by Snapshot::add_volume): each valid UTF-8 one in UTF-16, NUL-terminated,
  // then one more NUL. Targets that are not valid UTF-8 are left out.
  std::u16string path_names;
};

struct Snapshot {
  std::vector<Volume> volumes;
  // Visible mount points of file systems that are not volumes (/proc ...).
  std::vector<std::string> other_targets;
  // The visible mounts as far as blocking goes: which mount a path reaches,
  // whether calls on it may block, the mount-table number of every mount ID.
  MountReach mounts;
  // The ID folded to ASCII lower case -> position of the first volume with
  // that ID, for the volumes added through add_volume; find_by_id then costs
  // one hash lookup instead of a scan (a refresh looks up every volume).
  std::unordered_map<std::string, std::size_t> id_index;
  std::size_t indexed_volumes = 0;
  // The hash of the GUID name, exactly as FindNextVolumeW gives it out ->
  // position of its volume, for the volumes of id_index whose ID is valid
  // and first of its kind: a call that passes a name back as it was given
  // finds its volume without parsing and folding it.
  std::unordered_map<std::size_t, std::size_t> name_index;
  static std::size_t name_hash(std::u16string_view name);
  // Mount point -> position of the first volume listing it, for the same
  // volumes: find_by_target then costs one hash look-up.
  std::unordered_map<std::string, std::size_t> target_index;
  // The gates of the probes that did not answer while this snapshot was
  // built (a stalled mount or device, or one busy with another caller's
  // probe): what they would have said is missing, and a volume whose device
  // did not answer is named by its device number.
  std::vector<GateKey> unanswered;
  // 32-bit mount ID (as fdinfo gives it) -> position of the volume it
  // belongs to.
  std::unordered_map<std::uint64_t, std::size_t> volume_by_mount;
  // st_dev of a volume's root -> its position (set by add_volume).
  std::unordered_map<std::uint64_t, std::size_t> volume_by_dev;

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

// The snapshot of `entries` (a mount table of the caller's view): probes
// its mounts and devices, each behind its gate, within one bound in all.
Snapshot build_snapshot(const std::vector<MountEntry>& entries);

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
// How often the mount table has been read so far in this process.
std::uint64_t mount_table_reads();

// Checks at once, under one deadline, that every volume's device and every
// mount that may block answer: one that does not has its gate shut before
// the calls of a refresh reach it one after another.
void check_volumes_answer(const Snapshot& snap);

}  // namespace k32l
