// "May this call block?": the one policy every caller asks, decided from the
// mount a call reaches, and the one place gate keys are made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mount_identity.h"
#include "mount_table.h"
#include "raii.h"

namespace k32l {

// Calls on a file system of this type may wait on something that stops
// answering: every type not known to be local (is_local_fs), so network
// file systems, FUSE of any subtype, virtiofs and types never heard of. A
// stacked type (overlay) is judged by its layers instead.
bool may_block(std::string_view fstype);

// The directories a stacked file system (overlay) is made of, as its options
// name them (`options` as the kernel writes them, escapes kept: split on
// the separators first, then each layer unescaped); nullopt when they
// cannot be told (a type whose layers are not known, a layer written
// relative or with escapes of the mounter's own).
std::optional<std::vector<std::string>> stacked_layers(std::string_view fstype,
                                                       std::string_view options);

// What a gate guards: calls on paths of one mounted file system, or reads of
// one block device.
enum class GateKind { Mount, Device };
using GateKey = std::pair<GateKind, std::uint64_t>;

// The gate of calls on a mount: keyed by its mount-table device number, so
// every mount of one file system shares it.
GateKey mount_gate(std::uint64_t table_devno);
// The gate of reads of a block device: keyed by its device number.
GateKey device_gate(std::uint64_t rdev);

// How a call reaches the file system it asks.
enum class Via {
  TablePath,   // a path the mount table gives (a mount point, a source), judged
               // by the mounts it crosses
  Descriptor,  // an open descriptor: its file system is known by number only
};

// The mounts of one mount table, as far as blocking goes. A mount may block
// when its type may (any not known to be local), as an automount trigger does, or
// when it is stacked (overlay) on a layer that lies on a mount that may
// block, or on layers that cannot be told.
class MountReach {
 public:
  // How the directories a stacked mount's options name are placed. Its
  // options hold the text the mounter wrote, from the mounter's root, which
  // need not be the caller's (a thread in a chroot; a mount made in one):
  // Checked takes a layer for the place the text names only where the
  // caller's own walk of it, which asks no mount that may block, ends on a
  // directory of a mount that does not block. AsWritten believes the text
  // (for tables that describe no view).
  enum class Layers { Checked, AsWritten };

  MountReach() = default;
  // `visible`: indices of the entries visible at their targets, in table order.
  MountReach(const std::vector<MountEntry>& entries, const std::vector<std::size_t>& visible,
             Layers layers = Layers::Checked);

  // The kind of mount ID the mounts are known by (and a walk asks for): the
  // unique one where the table's entries have it. Judged by the 32-bit ID, a
  // mount that replaced one of the table after it was read, and got its ID,
  // would be taken for it.
  MountIdKind id_kind() const { return id_kind_; }

  // THE policy: whether a call reaching its file system `via` `path` may
  // block. `fstype` is the type of the file system the call asks (empty when
  // the call only walks the path).
  bool call_may_block(Via via, std::string_view path = {}, std::string_view fstype = {}) const;
  // Whether calls on mount `mount_id` (of id_kind()) may block (a mount not
  // in the table may).
  bool mount_may_block(std::uint64_t mount_id) const;
  bool mount_may_block(const MountEntry& e) const { return mount_may_block(key_of(e)); }
  // Whether going up ("..") from a directory of mount `mount_id` may block:
  // only a network file system asks its server on the way up.
  bool parent_step_may_block(std::uint64_t mount_id) const;
  // Whether walking to `absolute_path`, a path the mount table gives, crosses
  // or reaches a mount that may block.
  bool path_may_block(std::string_view absolute_path) const;

  // The gate of calls on mount `mount_id`.
  GateKey gate_of_mount(std::uint64_t mount_id) const;
  // The same for a mount reached through descriptor `fd`: one the table
  // does not list (mounted since it was read) is keyed by the device number
  // its files report, as the table will key it once it lists it.
  GateKey gate_of_mount(std::uint64_t mount_id, int fd) const;
  // The mount whose target is the longest prefix of `path` (the last such in
  // table order): its target ("" when none).
  std::string mount_point_of(std::string_view path) const;
  // The mount-table device number of the mount with ID `mount_id`.
  std::optional<std::uint64_t> devno_of_mount(std::uint64_t mount_id) const;

 private:
  struct Mount {
    std::uint64_t devno = 0;
    bool may_block = false;
    bool remote = false;
    bool stacked = false;  // an overlay or the like, whose layers are known
  };
  struct Visible {
    std::string target;
    std::uint64_t mount_id = 0;
  };
  const Visible* holder_of(std::string_view path) const;
  std::uint64_t key_of(const MountEntry& e) const;
  static bool is_stacked(const MountEntry& e);
  bool decide(const MountEntry& e, std::vector<std::uint64_t>& deciding) const;
  void place_layers(const std::vector<MountEntry>& entries);
  bool leads_to_local_directory(const std::string& path) const;

  MountIdKind id_kind_ = MountIdKind::Reusable;
  Layers layers_ = Layers::Checked;
  bool placing_layers_ = false;  // stacked mounts count as blocking meanwhile
  std::vector<Visible> visible_;  // in mount-table order
  // Visible mount points of mounts that may block: a path under none of them
  // resolves on mounts that do not block alone.
  std::vector<std::string> blocking_;
  std::unordered_map<std::uint64_t, Mount> mounts_;  // by key_of: a mount gone has none
  std::unordered_map<std::uint64_t, const MountEntry*> entries_;  // while deciding only
};

// Where a caller's path leads, walked here as far as no mount that may block
// is asked: each step is looked up only in a directory of a mount that does
// not block, and symbolic links there are followed here too, so the mount a
// path reaches is decided by the kernel's walk, never by the path's text.
struct Walk {
  int error = 0;              // errno of the step that failed; the walk ends there
  UniqueFd at;                // O_PATH descriptor of where the walk stopped
  std::uint64_t mount_id = 0; // the mount `at` is on (an ID of the table's id_kind())
  std::string rest;           // the steps left ("" at the end): the next asks a mount that may block
};
// `links`: Refuse ends a walk that meets a symbolic link (ELOOP).
enum class Links { Follow, Refuse };
Walk walk_without_blocking(const MountReach& mounts, std::string_view path,
                           Links links = Links::Follow);

// The walk of mount point `target` of the mount `mount_id` (an ID of
// id_kind()): the kernel writes a mount point's text with no link or ".."
// in it, so none is followed, and the walk must end on that very mount's
// root. A text that no longer leads there (a directory above it renamed, a
// link put in its place, a step gone) ends with ESTALE, and so does one whose walk would
// ask a mount that may block where the table places none on its way
// (`may_block_on_way` false). Otherwise `rest` is what is left to walk from
// `at` on a mount that may block: finish_mount_root_walk, on a worker.
Walk walk_to_mount_root(const MountReach& mounts, const std::string& target,
                        std::uint64_t mount_id, bool may_block_on_way);
// The rest of such a walk (its `at` is taken): a descriptor of the mount's
// root, or an invalid one with `error` set (ESTALE where it is not that
// mount's root).
UniqueFd finish_mount_root_walk(Walk& walk, std::uint64_t mount_id, MountIdKind kind,
                                int& error);

}  // namespace k32l
