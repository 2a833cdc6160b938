// The mount points of a table checked against the mountinfo file read again.
#include "mount_point_text.h"

#include <charconv>
#include <string_view>

#include "text.h"

namespace k32l {

namespace {

// The mount ID and the mount point (the first and fifth fields, the latter
// as the kernel escapes it) of mountinfo line `line`; false where the line
// has no such fields.
bool id_and_mount_point(std::string_view line, std::uint64_t& id, std::string_view& escaped) {
  const auto [after_id, ec] = std::from_chars(line.data(), line.data() + line.size(), id);
  if (ec != std::errc()) return false;
  std::size_t at = static_cast<std::size_t>(after_id - line.data());
  for (int field = 1; field < 4; ++field) {
    at = line.find(' ', at + 1);
    if (at == std::string_view::npos) return false;
  }
  const std::size_t end = line.find(' ', at + 1);
  escaped = line.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
  return true;
}

// Whether mountinfo's escaped text `escaped` ("\040" for a blank) is `target`.
bool same_mount_point(std::string_view escaped, const std::string& target) {
  if (escaped.find('\\') == std::string_view::npos) return escaped == target;
  return unescape_octal(escaped) == target;
}

}  // namespace

MountPointText::MountPointText(const std::vector<MountEntry>& entries) {
  mount_points_.reserve(entries.size());
  for (const MountEntry& e : entries) mount_points_.emplace_back(e.id, e.target);
}

bool MountPointText::still_holds(const char* path) const {
  const auto text = read_mount_table_text(path);
  if (!text.ok()) return false;
  const std::string_view all = text.value;
  std::size_t next = 0;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    std::uint64_t id = 0;
    std::string_view escaped;
    if (!id_and_mount_point(all.substr(start, end - start), id, escaped)) return false;
    if (next == mount_points_.size() || mount_points_[next].first != id ||
        !same_mount_point(escaped, mount_points_[next].second))
      return false;
    ++next;
    start = end + 1;
  }
  return next == mount_points_.size();
}

}  // namespace k32l
