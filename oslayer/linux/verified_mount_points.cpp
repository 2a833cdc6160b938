// Answers of statx at the mount points, kept from one build of a view's
// snapshot for the next, and the rule of when they still hold.
#include "verified_mount_points.h"

#include <algorithm>
#include <string_view>

#include "identity.h"
#include "text.h"

namespace k32l {

namespace {

// Past this many entries new, moved or gone, every mount point is asked
// again: comparing each with each would cost more than it saves.
constexpr std::size_t kMostChanged = 64;

}  // namespace

void VerifiedMountPoints::note(const MountEntry& e, const PathIdentity* verified) {
  Noted n;
  n.unique_id = e.unique_id;
  n.parent_unique_id = e.parent_unique_id;
  n.target = e.target;
  n.verified = verified != nullptr;
  if (verified) n.seen = *verified;
  noted_.push_back(std::move(n));
}

void VerifiedMountPoints::seal() {
  std::sort(noted_.begin(), noted_.end(),
            [](const Noted& a, const Noted& b) { return a.unique_id < b.unique_id; });
}

const VerifiedMountPoints::Noted* VerifiedMountPoints::find(std::uint64_t unique_id) const {
  const auto at = std::lower_bound(
      noted_.begin(), noted_.end(), unique_id,
      [](const Noted& n, std::uint64_t id) { return n.unique_id < id; });
  return at != noted_.end() && at->unique_id == unique_id ? &*at : nullptr;
}

std::vector<const PathIdentity*> VerifiedMountPoints::still_holding(
    const std::vector<MountEntry>& entries) const {
  std::vector<const PathIdentity*> held(entries.size(), nullptr);
  if (noted_.empty() || compared_by(entries) != MountIdKind::Unique) return held;
  // The mount points of the entries that are new, moved or gone since.
  std::vector<std::string_view> changed;
  // Same mount, same mount point, on the same mount.
  std::vector<const Noted*> kept(entries.size(), nullptr);
  std::vector<std::uint64_t> ids_now;
  ids_now.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const MountEntry& e = entries[i];
    const Noted* before = e.unique_id != 0 ? find(e.unique_id) : nullptr;
    if (before && before->target == e.target && before->parent_unique_id == e.parent_unique_id)
      kept[i] = before;
    else
      changed.push_back(e.target);
    if (e.unique_id != 0) ids_now.push_back(e.unique_id);
  }
  std::sort(ids_now.begin(), ids_now.end());
  for (const Noted& n : noted_)
    if (!std::binary_search(ids_now.begin(), ids_now.end(), n.unique_id))
      changed.push_back(n.target);
  if (changed.size() > kMostChanged) return held;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!kept[i] || !kept[i]->verified) continue;
    const bool touched = std::any_of(changed.begin(), changed.end(), [&](std::string_view c) {
      return path_is_under(entries[i].target, c);
    });
    if (!touched) held[i] = &kept[i]->seen;
  }
  return held;
}

}  // namespace k32l
