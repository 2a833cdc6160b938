// Look-ups in a snapshot.
#include "snapshot.h"

#include <cstring>

#include "mount_identity.h"
#include "text.h"

namespace k32l {

void Snapshot::add_volume(Volume volume) {
  volume.path_names = multi_string_of(volume.listed);
  const bool indexed = indexed_volumes == volumes.size();
  volume_by_dev.emplace(volume.dev, volumes.size());
  volumes.push_back(std::move(volume));
  if (!indexed) return;
  // emplace keeps an earlier volume's position: the first match wins, as in a scan.
  std::string folded;
  const std::size_t position = volumes.size() - 1;
  const Volume& added = volumes.back();
  const bool first_with_id = id_index.emplace(fold_volume_id(added.id, folded), position).second;
  // Only names that find_by_id would answer with this very volume.
  // A second name with the same hash is left out: found by its ID instead.
  if (first_with_id && is_valid_volume_id(added.id))
    name_index.emplace(name_hash(added.name), position);
  for (const auto& target : volumes.back().targets) target_index.emplace(target, position);
  indexed_volumes = volumes.size();
}

const Volume* Snapshot::find_by_id(std::string_view id) const {
  // same_volume_id compares sizes and ASCII-lower-cased bytes: exactly
  // equality of the folded texts, so the index answers as the scan would.
  if (indexed_volumes == volumes.size()) {
    thread_local std::string folded;
    const auto found = id_index.find(fold_volume_id(id, folded));
    return found == id_index.end() ? nullptr : &volumes[found->second];
  }
  for (const auto& v : volumes)
    if (same_volume_id(v.id, id)) return &v;
  return nullptr;
}

std::size_t Snapshot::name_hash(std::u16string_view name) {
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(char16_t)));
}

const Volume* Snapshot::find_by_name(const WCHAR* text) const {
  if (text == nullptr || indexed_volumes != volumes.size()) return nullptr;
  std::size_t length = 0;
  while (length < kLongestIndexedName && text[length] != 0) ++length;
  if (text[length] != 0) return nullptr;
  const std::u16string_view name(text, length);
  const auto found = name_index.find(name_hash(name));
  if (found == name_index.end()) return nullptr;
  const Volume& v = volumes[found->second];
  // The same hash is not the same name: the text itself is compared.
  const bool same = v.name.size() == length &&
                    std::memcmp(v.name.data(), text, length * sizeof(char16_t)) == 0;
  return same ? &v : nullptr;
}

const Volume* Snapshot::find_by_target(std::string_view path) const {
  if (indexed_volumes == volumes.size()) {
    thread_local std::string key;
    key.assign(path.data(), path.size());
    const auto found = target_index.find(key);
    return found == target_index.end() ? nullptr : &volumes[found->second];
  }
  for (const auto& v : volumes)
    for (const auto& t : v.targets)
      if (t == path) return &v;
  return nullptr;
}

const Volume* Snapshot::find_by_mount(std::uint64_t mount_id) const {
  const auto found = volume_by_mount.find(mount_id);
  return found == volume_by_mount.end() ? nullptr : &volumes[found->second];
}

Snapshot::HandleVolume Snapshot::volume_of_descriptor(int fd, std::uint64_t mount_id) const {
  // The gate of a volume's calls is its mount-table number's: every mount
  // of the volume has it.
  if (const Volume* v = find_by_mount(mount_id)) return {v, v->table_devno};
  // The file itself says which file system it is on.
  const auto dev = descriptor_device(fd);
  const auto found = dev ? volume_by_dev.find(*dev) : volume_by_dev.end();
  if (found == volume_by_dev.end()) return {};
  const Volume& on = volumes[found->second];
  return {&on, on.table_devno};
}

bool Snapshot::is_other_target(std::string_view path) const {
  for (const auto& t : other_targets)
    if (t == path) return true;
  return false;
}

}  // namespace k32l
