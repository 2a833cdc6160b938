// The view's rename watch started for a snapshot: which of its volumes have
// every directory above their mount points watched.
#pragma once

#include <vector>

#include "change_monitor.h"
#include "snapshot.h"

namespace k32l {

// Starts `changes`' rename watch anew and watches in it each directory
// above a mount point of `snap`'s volumes, from the top down, for renames of
// the entries that lead to one: a directory is watched only where the walk
// of its text, in the caller's view, reaches it following no link and
// asking no mount that may block, on a file system whose renames the kernel
// reports, below a watched directory. Returns, by volume position, whether
// all of a volume's mount points are under watched directories alone; the
// rest prove their text otherwise. The text must be proven once after this
// returns: a rename before a directory was watched is not reported.
std::vector<bool> watch_mount_points(ChangeMonitor& changes, const Snapshot& snap);

}  // namespace k32l
