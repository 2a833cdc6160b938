// Checks, all at once and under one deadline, that the devices and the mounts
// that may block answer. A refresh asks about every volume one call after
// another, each allowed one bounded wait; checked first, a stalled device or
// mount has its gate shut already, and the refresh waits one bound in all.
#include <fcntl.h>
#include <sys/statvfs.h>

#include <vector>

#include "bounded.h"
#include "k32l.h"
#include "raii.h"

namespace k32l {

void check_volumes_answer(const Snapshot& snap) {
  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  std::vector<PendingPtr<bool>> pending;
  for (const Volume& v : snap.volumes) {
    if (may_block(v.fstype) || snap.path_may_block(v.reach)) {
      pending.push_back(start_bounded<bool>(
          [target = v.reach] {
            struct statvfs ignored {};
            return ::statvfs(target.c_str(), &ignored) == 0;
          },
          gate_for(GateKind::Mount, v.table_devno), deadline));
    }
    if (!v.device.empty() && may_read_device(v.device)) {
      pending.push_back(start_bounded<bool>(
          [device = v.device, rdev = v.rdev] {
            // A device the caller may not open is never read by the probes
            // that follow (they read what the system publishes instead).
            UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
            return fd.valid() && probe_device(device, rdev).found;
          },
          gate_for(GateKind::Device, v.rdev), deadline));
    }
  }
  for (const auto& p : pending) await_bounded(p, deadline);
}

}  // namespace k32l
