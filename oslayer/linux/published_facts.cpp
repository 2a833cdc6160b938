// What the system publishes about a block device to every user, for callers
// who may not read the device itself: the udev database and libblkid's cache
// of earlier probes by root. The FAT version is in the udev database only.
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "k32l.h"
#include "raii.h"

namespace k32l {

namespace {

struct BlkidCacheDeleter {
  // Frees the cache; writes the file only if the cache changed, which a
  // look-up that neither creates nor verifies entries never does.
  void operator()(blkid_cache c) const { blkid_put_cache(c); }
};
struct BlkidTagIterateDeleter {
  void operator()(blkid_tag_iterate i) const { blkid_tag_iterate_end(i); }
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// udev's *_ENC values write unsafe bytes (blanks, '/', '\\') as \xHH.
std::string decode_udev(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      const int hi = hex_digit(text[i + 2]), lo = hex_digit(text[i + 3]);
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

// Longest udev record read; real ones are a few hundred bytes.
constexpr std::size_t kMaxUdevRecord = 1 << 16;

// The device's record in the udev database, /run/udev/data/b<major>:<minor>:
// one "E:KEY=VALUE" line per property, a later line replacing an earlier one
// as udev reads them. Read directly: one open and read instead of the
// several sysfs reads with which libudev builds a whole device first.
ProbeResult from_udev(std::uint64_t rdev) {
  ProbeResult result;
  char path[64];
  std::snprintf(path, sizeof path, "/run/udev/data/b%u:%u", major(static_cast<dev_t>(rdev)),
                minor(static_cast<dev_t>(rdev)));
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return result;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got <= 0 || text.size() + static_cast<std::size_t>(got) > kMaxUdevRecord) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  std::string label_enc;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (line.substr(0, 2) != "E:") continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(2, equals - 2);
    const std::string value(line.substr(equals + 1));
    if (key == "ID_FS_TYPE") result.type = value;
    else if (key == "ID_FS_VERSION") result.version = value;
    else if (key == "ID_FS_LABEL_ENC") label_enc = value;
    else if (key == "ID_FS_UUID") result.uuid = value;
  }
  if (result.type.empty()) return ProbeResult{};
  result.found = true;
  result.label = decode_udev(label_enc);
  return result;
}

// The device's entry in libblkid's cache, exactly as root's last probe left
// it: looked up without being created or verified, so that reading it
// neither probes the device nor rewrites the cache file.
ProbeResult from_blkid_cache(const std::string& device) {
  ProbeResult result;
  blkid_cache raw = nullptr;
  if (blkid_get_cache(&raw, nullptr) != 0 || !raw) return result;
  std::unique_ptr<std::remove_pointer_t<blkid_cache>, BlkidCacheDeleter> cache(raw);
  blkid_dev dev = blkid_get_dev(cache.get(), device.c_str(), BLKID_DEV_FIND);
  if (!dev) return result;
  std::unique_ptr<std::remove_pointer_t<blkid_tag_iterate>, BlkidTagIterateDeleter> tags(
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
  if (!result.found && !device.empty()) result = from_blkid_cache(device);
  return result;
}

}  // namespace k32l
