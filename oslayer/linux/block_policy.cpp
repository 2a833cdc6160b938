// What may block, decided from the mount a call reaches and its type.
#include "block_policy.h"

#include "fs_classes.h"
#include "text.h"

namespace k32l {

namespace {

// Crossing a mount point of this type may block: its file system may, and
// an automount trigger mounts (and may wait) on the way through.
bool crossing_may_block(std::string_view fstype) {
  return may_block(fstype) || fstype == "autofs";
}

}  // namespace

bool may_block(std::string_view fstype) { return is_remote_fs(fstype) || is_fuse_fs(fstype); }

GateKey mount_gate(std::uint64_t table_devno) { return {GateKind::Mount, table_devno}; }

GateKey device_gate(std::uint64_t rdev) { return {GateKind::Device, rdev}; }

void MountReach::add_visible(const std::string& target, std::string_view fstype,
                             std::uint64_t devno) {
  visible_.emplace_back(target, devno);
  if (crossing_may_block(fstype)) blocking_.push_back(target);
}

void MountReach::add_mount(std::uint64_t mount_id, std::uint64_t devno) {
  devno_by_mount_.emplace(mount_id, devno);
}

bool MountReach::call_may_block(Via via, std::string_view path, std::string_view fstype) const {
  // A caller's path may pass symbolic links into a mount that blocks,
  // whatever its text says, and a descriptor's file system is not looked up
  // by type: only a path from the mount table is judged by the mounts it crosses.
  if (via != Via::TablePath) return true;
  return may_block(fstype) || path_may_block(path);
}

bool MountReach::path_may_block(std::string_view absolute_path) const {
  for (const std::string& target : blocking_) {
    if (path_is_under(absolute_path, target)) return true;
  }
  return false;
}

const std::pair<std::string, std::uint64_t>* MountReach::holder_of(std::string_view path) const {
  const std::pair<std::string, std::uint64_t>* best = nullptr;
  for (const auto& mount : visible_) {
    if (path_is_under(path, mount.first) && (!best || mount.first.size() >= best->first.size()))
      best = &mount;
  }
  return best;
}

std::string MountReach::mount_point_of(std::string_view path) const {
  const auto* holder = holder_of(path);
  return holder ? holder->first : std::string();
}

std::uint64_t MountReach::devno_reached(std::string_view path) const {
  const auto* holder = holder_of(path);
  return holder ? holder->second : 0;
}

std::optional<std::uint64_t> MountReach::devno_of_mount(std::uint64_t mount_id) const {
  const auto found = devno_by_mount_.find(mount_id);
  if (found == devno_by_mount_.end()) return std::nullopt;
  return found->second;
}

}  // namespace k32l
