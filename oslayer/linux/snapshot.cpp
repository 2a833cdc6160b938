// Look-ups in a snapshot.
#include "snapshot.h"

#include <cstring>

#include "mount_identity.h"
#include "text.h"

namespace k32l {

namespace {

std::size_t target_hash(std::string_view target) { return std::hash<std::string_view>()(target); }

// The units of `text` before its NUL, or kLongestIndexedName + 1 when more
// come before it (no indexed name is that long). Four units a step, one
// bound check for the four; no unit after the NUL is read.
std::size_t indexed_name_length(const WCHAR* text) {
  constexpr std::size_t kLongest = Snapshot::kLongestIndexedName;
  static_assert(kLongest % 4 == 0, "the steps end at the longest name");
  std::size_t n = 0;
  for (; n < kLongest; n += 4) {
    if (text[n] == 0) return n;
    if (text[n + 1] == 0) return n + 1;
    if (text[n + 2] == 0) return n + 2;
    if (text[n + 3] == 0) return n + 3;
  }
  return text[kLongest] == 0 ? kLongest : kLongest + 1;
}

}  // namespace

void PositionIndex::seal() {
  std::sort(entries_.begin(), entries_.end());
  sealed_ = entries_.size();
  unsigned bits = 1;  // at least as many ranges as entries
  while (bits < 32 && (std::size_t{1} << bits) < sealed_) ++bits;
  shift_ = 64 - bits;
  directory_.assign((std::size_t{1} << bits) + 1, 0);
  for (std::size_t i = 0; i < sealed_; ++i) ++directory_[(entries_[i].first >> shift_) + 1];
  for (std::size_t r = 1; r < directory_.size(); ++r) directory_[r] += directory_[r - 1];
}

void Snapshot::seal() {
  for (PositionIndex* index : {&id_index, &name_index, &target_index, &volume_by_mount,
                               &volume_by_dev})
    index->seal();
  // A volume whose ID an earlier volume has is found by name as that one.
  std::vector<bool> answers(volumes.size());
  id_index.mark_firsts(answers, [&](std::size_t a, std::size_t b) {
    return same_volume_id(volumes[a].id, volumes[b].id);
  });
  for (std::size_t k = 0; k < volumes.size(); ++k)
    answers[k] = answers[k] && is_valid_volume_id(volumes[k].id);
  answers_name = std::move(answers);
}

bool Snapshot::answers_to_name(std::size_t position) const {
  if (position < answers_name.size()) return answers_name[position];
  const Volume& v = volumes[position];
  return is_valid_volume_id(v.id) && find_by_id(v.id) == &v;
}

void Snapshot::add_volume(Volume volume) {
  volume.path_names = multi_string_of(volume.listed);
  const bool indexed = indexed_volumes == volumes.size();
  const std::size_t position = volumes.size();
  volume_by_dev.add(volume.dev, position);
  volumes.push_back(std::move(volume));
  if (!indexed) return;
  const Volume& added = volumes.back();
  id_index.add(volume_id_hash(added.id), position);
  name_index.add(name_hash(added.name), position);
  for (const auto& target : added.targets) target_index.add(target_hash(target), position);
  indexed_volumes = volumes.size();
}

const Volume* Snapshot::find_by_id(std::string_view id) const {
  // same_volume_id compares sizes and ASCII-lower-cased bytes, as the hash
  // folds them: the first volume with the ID, as the scan finds it.
  if (indexed_volumes == volumes.size()) {
    const auto found = id_index.find(volume_id_hash(id), [&](std::size_t position) {
      return same_volume_id(volumes[position].id, id);
    });
    return found ? &volumes[*found] : nullptr;
  }
  for (const auto& v : volumes)
    if (same_volume_id(v.id, id)) return &v;
  return nullptr;
}

std::size_t Snapshot::name_hash(std::u16string_view name) {
  // Four units (64 bits) a step, each step mixed in by a rotation and a
  // multiplication, seeded with the length: every unit of the name moves
  // the upper bits the index sorts by, at a few instructions a step (the
  // names share their prefix and differ anywhere after it).
  constexpr std::uint64_t kMultiplier = 0x517CC1B727220A95ULL;
  const auto mix = [](std::uint64_t hash, std::uint64_t word) {
    return (((hash << 5) | (hash >> 59)) ^ word) * kMultiplier;
  };
  std::uint64_t hash = name.size();
  std::size_t i = 0;
  for (; i + 4 <= name.size(); i += 4) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + i, sizeof word);
    hash = mix(hash, word);
  }
  if (i < name.size()) {
    std::uint64_t word = 0;
    for (unsigned shift = 0; i < name.size(); ++i, shift += 16)
      word |= std::uint64_t{name[i]} << shift;
    hash = mix(hash, word);
  }
  return static_cast<std::size_t>(hash);
}

const Volume* Snapshot::find_by_name(const WCHAR* text) const {
  if (text == nullptr || indexed_volumes != volumes.size()) return nullptr;
  const std::size_t length = indexed_name_length(text);
  if (length > kLongestIndexedName) return nullptr;
  const std::u16string_view name(text, length);
  // The same hash is not the same name: the text itself is compared. Only
  // a name that find_by_id would answer with this very volume is taken.
  const auto found = name_index.find(name_hash(name), [&](std::size_t position) {
    const std::u16string& candidate = volumes[position].name;
    return candidate.size() == length &&
           std::memcmp(candidate.data(), text, length * sizeof(char16_t)) == 0 &&
           answers_to_name(position);
  });
  return found ? &volumes[*found] : nullptr;
}

const Volume* Snapshot::find_by_target(std::string_view path) const {
  const auto lists = [&](const Volume& v) {
    return std::find(v.targets.begin(), v.targets.end(), path) != v.targets.end();
  };
  if (indexed_volumes == volumes.size()) {
    const auto found = target_index.find(
        target_hash(path), [&](std::size_t position) { return lists(volumes[position]); });
    return found ? &volumes[*found] : nullptr;
  }
  for (const auto& v : volumes)
    if (lists(v)) return &v;
  return nullptr;
}

const Volume* Snapshot::find_by_mount(std::uint64_t mount_id) const {
  const auto found = volume_by_mount.find(mount_id);
  return found ? &volumes[*found] : nullptr;
}

Snapshot::HandleVolume Snapshot::volume_of_descriptor(int fd, std::uint64_t mount_id) const {
  // The gate of a volume's calls is its mount-table number's: every mount
  // of the volume has it.
  if (const Volume* v = find_by_mount(mount_id)) return {v, v->table_devno};
  // The file itself says which file system it is on.
  const auto dev = descriptor_device(fd);
  const auto found = dev ? volume_by_dev.find(*dev) : std::nullopt;
  if (!found) return {};
  const Volume& on = volumes[*found];
  return {&on, on.table_devno};
}

bool Snapshot::is_other_target(std::string_view path) const {
  for (const auto& t : other_targets)
    if (t == path) return true;
  return false;
}

}  // namespace k32l
