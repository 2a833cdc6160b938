// Checks, all at once and under one deadline, that the devices and the mounts
// that may block answer. A refresh asks about every volume one call after
// another, each allowed one bounded wait; checked first, a stalled device or
// mount has its gate shut already, and the refresh waits one bound in all.
// With at most one device or mount that may block, the refresh's own call on
// it waits that one bound (its gate then fails the calls after it at once),
// so the check is left out.
#include <sys/statvfs.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "bounded.h"
#include "device_probe.h"
#include "identity.h"
#include "raii.h"
#include "snapshot.h"

namespace k32l {

namespace {

bool mount_may_block(const Snapshot&, const Volume& v) { return v.reach_may_block; }

// The gates a refresh may wait behind: those of the mounts that may block
// and of the devices; at most `limit` are counted.
std::size_t gates_that_may_wait(const Snapshot& snap, std::size_t limit) {
  std::set<GateKey> gates;
  for (const Volume& v : snap.volumes) {
    if (mount_may_block(snap, v)) gates.insert(mount_gate(v.table_devno));
    if (!v.device.empty()) gates.insert(device_gate(v.rdev));
    if (gates.size() >= limit) break;
  }
  return gates.size();
}

}  // namespace

void check_volumes_answer(const Snapshot& snap) {
  if (gates_that_may_wait(snap, 2) < 2) return;
  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  // Each gate is claimed once, without waiting: volumes that share a mount
  // or a device (btrfs subvolumes) share its check, and no check starts late.
  std::set<GateKey> claimed;
  std::vector<PendingPtr<bool>> pending;
  for (const Volume& v : snap.volumes) {
    if (mount_may_block(snap, v) && claimed.insert(mount_gate(v.table_devno)).second) {
      // The mount point is walked, never taken at its text's word: a
      // directory renamed above it may have left a link into another mount.
      auto walk = std::make_shared<Walk>(
          walk_to_mount_root(snap.mounts, v.reach, v.reach_mount, true));
      if (walk->error == 0) {
        pending.push_back(start_fanned_out<bool>(
            [walk, mount = v.reach_mount, kind = snap.mounts.id_kind()] {
              int error = 0;
              const UniqueFd root = finish_mount_root_walk(*walk, mount, kind, error);
              struct statvfs ignored {};
              return root.valid() && ::fstatvfs(root.get(), &ignored) == 0;
            },
            gate_for(mount_gate(v.table_devno))));
      }
    }
    if (!v.device.empty() && may_read_device(v.device) &&
        claimed.insert(device_gate(v.rdev)).second) {
      pending.push_back(start_fanned_out<bool>(
          [device = v.device, rdev = v.rdev] {
            // A device the caller may not open is never read by the probes
            // that follow (they read what the system publishes instead); a
            // node that names another device now is not opened as this one.
            const UniqueFd fd = open_device(device, rdev);
            return fd.valid() && probe_device(device, rdev).found;
          },
          gate_for(device_gate(v.rdev))));
    }
  }
  for (const auto& p : pending) await_bounded(p, deadline);
}

}  // namespace k32l
