// The libblkid probe of a device and the sysfs facts of its disk.
#include "device_probe.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string_view>

#include "errors.h"
#include "identity.h"
#include "raii.h"

namespace k32l {

namespace {

// The flag in sysfs file `path`; `error` takes the errno of an open that
// failed for want of descriptors or memory.
bool read_flag_file(const std::string& path, int& error) {
  errno = 0;
  std::ifstream in(path);
  if (!in.is_open() && for_want_of_resources(errno)) error = errno;
  int value = 0;
  return (in >> value) && value != 0;
}

// A value the probe found, without the NUL its length counts.
std::string probe_value(blkid_probe probe, const char* key) {
  const char* data = nullptr;
  std::size_t len = 0;
  if (blkid_probe_lookup_value(probe, key, &data, &len) != 0 || !data) return std::string();
  std::string s(data, len);
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

}  // namespace

bool may_read_device(const std::string& device) {
  // The device node lives on devtmpfs (find_device takes no source on a
  // mount that may block): the walk cannot stall.
  if (::faccessat(AT_FDCWD, device.c_str(), R_OK, AT_EACCESS) == 0) return true;
  return errno != EACCES && errno != EPERM;
}

ProbeResult probe_device(const std::string& device, std::uint64_t rdev) {
  ProbeResult result;
  // Read through a descriptor that is this very device: the node's name may
  // have come to mean another one since the snapshot was built.
  const UniqueFd fd = open_device(device, rdev);
  if (!fd.valid()) {
    if (errno == EACCES || errno == EPERM) return published_device_facts(device, rdev);
    if (for_want_of_resources(errno)) result.error = errno;
    return result;
  }
  BlkidProbe probe(blkid_new_probe());
  if (!probe) throw std::bad_alloc();
  // libblkid opens sysfs files of the device too: a probe that failed for
  // want of descriptors found nothing about the device, not that it is blank.
  const auto unread = [&result] {
    if (for_want_of_resources(errno)) result.error = errno;
    return result;
  };
  errno = 0;
  if (blkid_probe_set_device(probe.get(), fd.get(), 0, 0) != 0) return unread();
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID |
                                                     BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
  if (blkid_do_safeprobe(probe.get()) != 0) return unread();
  result.found = true;
  result.type = probe_value(probe.get(), "TYPE");
  result.version = probe_value(probe.get(), "VERSION");
  result.label = probe_value(probe.get(), "LABEL");
  result.uuid = probe_value(probe.get(), "UUID");
  return result;
}

DiskFacts disk_facts(std::uint64_t rdev) {
  DiskFacts facts;
  if (rdev == 0) return facts;
  facts.has_device = true;
  char name[PATH_MAX] = {0};
  dev_t disk = 0;
  errno = 0;
  if (blkid_devno_to_wholedisk(static_cast<dev_t>(rdev), name, sizeof name, &disk) == 0) {
    facts.disk_name = name;
  } else {
    if (for_want_of_resources(errno)) facts.error = errno;
    disk = static_cast<dev_t>(rdev);
  }
  facts.disk_major = major(disk);
  char sys[64];
  std::snprintf(sys, sizeof sys, "/sys/dev/block/%u:%u", major(disk), minor(disk));
  facts.removable = read_flag_file(std::string(sys) + "/removable", facts.error);
  errno = 0;
  MallocString real(::realpath(sys, nullptr));
  if (!real && for_want_of_resources(errno)) facts.error = errno;
  if (real && std::string_view(real.get()).find("/usb") != std::string_view::npos)
    facts.on_usb = true;
  return facts;
}

ProbeResult facts_for_mount(ProbeResult facts, int root, std::uint64_t dev) {
  if (facts.published && root >= 0 && uuid_contradicted(facts.uuid, root, dev))
    return ProbeResult{};
  return facts;
}

DeviceFacts read_device(const std::string& device, std::uint64_t rdev) {
  DeviceFacts d;
  if (!device.empty()) d.probe = probe_device(device, rdev);
  d.disk = disk_facts(rdev);
  return d;
}

}  // namespace k32l
