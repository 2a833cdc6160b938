// Probes of block devices (they may block: callers run them behind the
// device's gate unless the caller may not read the device).
#pragma once

#include <cstdint>
#include <string>

#include "fs_classes.h"

namespace k32l {

// Result of probing a device with libblkid's low-level prober.
struct ProbeResult {
  bool found = false;
  bool published = false;  // kept by the system from before (udev, libblkid's cache), not read now
  std::string type, version, label, uuid;
  // errno of an open of the device that failed for want of descriptors or
  // memory: the device was not read, so nothing is known of it (0 otherwise).
  int error = 0;
};
// A caller who may not open the device gets what the system publishes
// about it instead (published_device_facts).
ProbeResult probe_device(const std::string& device, std::uint64_t rdev);
// False when the caller may not read the device node (the permission check
// that opening it would make refuses): probe_device then reads only what
// the system publishes, which never waits on the device, so it needs no
// bounded worker and no answer check.
bool may_read_device(const std::string& device);
// What the udev database, or failing that libblkid's cache, says of a device.
ProbeResult published_device_facts(const std::string& device, std::uint64_t rdev);
// `facts` of the device of the file system whose mounted root is the file
// of descriptor `root` (st_dev `dev`), or none where they were published
// and the kernel says that file system is another one (its UUID is not
// theirs: the device was reused, and what was kept about it is stale).
// `root` -1: the root cannot be opened without blocking, and published
// facts are taken as they are.
ProbeResult facts_for_mount(ProbeResult facts, int root, std::uint64_t dev);

// The disk under block device `rdev` (none when 0), from sysfs.
DiskFacts disk_facts(std::uint64_t rdev);

// All that is read of a volume's device while a snapshot is built.
struct DeviceFacts {
  ProbeResult probe;
  DiskFacts disk;
};
// Probes `device` (when named) and reads the facts of disk `rdev`.
DeviceFacts read_device(const std::string& device, std::uint64_t rdev);

}  // namespace k32l
