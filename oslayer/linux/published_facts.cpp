// What the system publishes about a block device to every user, for callers
// who may not read the device itself: the udev database (through libudev)
// and libblkid's cache of earlier probes by root. The FAT version is in the
// udev database only.
#include <libudev.h>

#include <cerrno>
#include <memory>

#include "device_probe.h"
#include "errors.h"
#include "raii.h"
#include "text.h"

namespace k32l {

namespace {

// udev's *_ENC values write unsafe bytes (blanks, '/', '\\') as \xHH.
std::string decode_udev(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      const int hi = hex_digit_value(text[i + 2]), lo = hex_digit_value(text[i + 3]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// A record that could not be read for want of resources (libudev sets
// errno) is no record: the caller learns nothing, rather than "none".
ProbeResult unread_for_want_of_resources() {
  ProbeResult result;
  if (for_want_of_resources(errno)) result.error = errno;
  return result;
}

ProbeResult from_udev(std::uint64_t rdev) {
  ProbeResult result;
  Owned<udev*, udev_unref> context(udev_new());
  if (!context) return unread_for_want_of_resources();
  Owned<udev_device*, udev_device_unref> device(
      udev_device_new_from_devnum(context.get(), 'b', static_cast<dev_t>(rdev)));
  if (!device) return unread_for_want_of_resources();
  auto value = [&](const char* key) {
    const char* v = udev_device_get_property_value(device.get(), key);
    return v ? std::string(v) : std::string();
  };
  errno = 0;
  result.type = value("ID_FS_TYPE");
  if (result.type.empty()) return unread_for_want_of_resources();
  result.found = true;
  result.version = value("ID_FS_VERSION");
  result.label = decode_udev(value("ID_FS_LABEL_ENC"));
  result.uuid = value("ID_FS_UUID");
  return result;
}

// The device's entry in libblkid's cache, exactly as root's last probe left
// it: looked up without being created or verified, so that reading it
// neither probes the device nor rewrites the cache file.
ProbeResult from_blkid_cache(const std::string& device) {
  ProbeResult result;
  blkid_cache raw = nullptr;
  if (blkid_get_cache(&raw, nullptr) != 0 || !raw) return result;
  // Freeing the cache writes its file only if the cache changed, which a
  // look-up that neither creates nor verifies entries never does.
  Owned<blkid_cache, blkid_put_cache> cache(raw);
  blkid_dev dev = blkid_get_dev(cache.get(), device.c_str(), BLKID_DEV_FIND);
  if (!dev) return result;
  Owned<blkid_tag_iterate, blkid_tag_iterate_end> tags(
      blkid_tag_iterate_begin(dev));
  if (!tags) return result;
  const char* type = nullptr;
  const char* value = nullptr;
  while (blkid_tag_next(tags.get(), &type, &value) == 0) {
    if (!type || !value) continue;
    const std::string_view key(type);
    if (key == "TYPE") result.type = value;
    else if (key == "LABEL") result.label = value;
    else if (key == "UUID") result.uuid = value;
  }
  if (result.type.empty()) return ProbeResult{};
  result.found = true;
  return result;
}

}  // namespace

ProbeResult published_device_facts(const std::string& device, std::uint64_t rdev) {
  ProbeResult result = from_udev(rdev);
  if (!result.found && result.error == 0 && !device.empty()) result = from_blkid_cache(device);
  result.published = result.found;
  return result;
}

}  // namespace k32l
