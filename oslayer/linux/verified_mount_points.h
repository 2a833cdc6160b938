// What statx of the mount points found when a view's snapshot was last
// built, kept for the next build of that view: a table read again after a
// change elsewhere need not ask again about the mount points the change
// cannot have touched.
//
// The mount a path reaches changes only by a mount operation on that path or
// on a directory above it (a mount, an unmount, a move, one propagated from a
// peer), and each shows in the next table as an entry that is new (a unique
// mount ID not seen before), moved (its mount point reads otherwise, or it is
// mounted on another mount: stacked mounts reordered in place, as by moves
// away and back or a move beneath the one on top, keep their mount points'
// text) or gone.
// A directory renamed above a mount point changes the text the kernel gives
// for it without a change signal: the table is read again once a search
// finds its text changed (mount_point_text.h), and an answer kept under
// the old text is not found under the new one. The st_dev of a
// mount's root and whether it is a directory never change while it is
// mounted. Kept only where mounts are told apart by their unique IDs, which
// are never handed out again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mount_identity.h"
#include "mount_table.h"

namespace k32l {

class VerifiedMountPoints {
 public:
  // Notes entry `e` of the table a snapshot is built from (every entry, so
  // that the next table's new, moved and gone ones can be told), with what
  // statx of its mount point found where that landed on its very mount
  // (null otherwise: hidden, not answered, not asked).
  void note(const MountEntry& e, const PathIdentity* verified);
  // Sorts what was noted; notes after this are not looked up.
  void seal();

  // For each entry of `entries` (a table of the same view read since), what
  // statx found at its mount point last time, where that still holds: its
  // mount had the same mount point then, on the same mount, and no entry
  // that is new, moved or gone since has that mount point or one above it. Null for the others,
  // and for all where the entries have no unique IDs or too many changed
  // to be worth comparing.
  std::vector<const PathIdentity*> still_holding(const std::vector<MountEntry>& entries) const;

 private:
  struct Noted {
    std::uint64_t unique_id = 0;
    std::uint64_t parent_unique_id = 0;
    std::string target;
    bool verified = false;
    PathIdentity seen;
  };
  const Noted* find(std::uint64_t unique_id) const;

  std::vector<Noted> noted_;  // by unique ID once sealed
};

}  // namespace k32l
