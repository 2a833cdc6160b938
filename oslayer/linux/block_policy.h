// "May this call block?": the one policy every caller asks, and the one
// place gate keys are made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace k32l {

// Calls on a file system of this type may wait on a server that stops
// answering: network file systems and FUSE.
bool may_block(std::string_view fstype);

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
  CallerPath,  // the caller's text: may pass links anywhere, whatever it says
  Descriptor,  // an open descriptor: its file system is known by number only
};

// The visible mounts of one mount table, as far as blocking goes: which
// mount a path reaches and whether reaching it or calling it may block.
class MountReach {
 public:
  // A visible mount point, in mount-table order.
  void add_visible(const std::string& target, std::string_view fstype, std::uint64_t devno);
  // Any mount of the table, visible or not (descriptors may be on hidden ones).
  void add_mount(std::uint64_t mount_id, std::uint64_t devno);

  // THE policy: whether a call reaching its file system `via` `path` may
  // block. `fstype` is the type of the file system the call asks (empty when
  // the call only walks the path).
  bool call_may_block(Via via, std::string_view path = {}, std::string_view fstype = {}) const;
  // Whether walking to `absolute_path` crosses a mount whose calls may block
  // (network, FUSE, automount).
  bool path_may_block(std::string_view absolute_path) const;

  // The mount whose target is the longest prefix of `path` (the last such in
  // table order): its target ("" when none), and its device number (0).
  std::string mount_point_of(std::string_view path) const;
  std::uint64_t devno_reached(std::string_view path) const;
  // The mount-table device number of the mount with ID `mount_id`.
  std::optional<std::uint64_t> devno_of_mount(std::uint64_t mount_id) const;

 private:
  const std::pair<std::string, std::uint64_t>* holder_of(std::string_view path) const;

  // Every visible mount point with its device number, in mount-table order.
  std::vector<std::pair<std::string, std::uint64_t>> visible_;
  // Visible mount points of file systems whose calls may block: a path
  // under none of them resolves on local file systems alone.
  std::vector<std::string> blocking_;
  std::unordered_map<std::uint64_t, std::uint64_t> devno_by_mount_;
};

}  // namespace k32l
