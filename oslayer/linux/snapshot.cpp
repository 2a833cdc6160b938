// Look-ups in a snapshot.
#include "snapshot.h"

#include <cstring>

#include "device_probe.h"
#include "mount_identity.h"
#include "text.h"

namespace k32l {

namespace {

std::size_t target_hash(std::string_view target) { return std::hash<std::string_view>()(target); }

// A name's hash is built four units (64 bits) a step, each step mixed in by
// a rotation and a multiplication, then its last units (fewer than four),
// then its length: every unit moves the upper bits the index sorts by, at a
// few instructions a step (the names share their prefix and differ anywhere
// after it). Built alike from a name whose length is known (name_hash) and
// while the length of the caller's text is found (scan_name).
constexpr std::uint64_t kNameHashSeed = 0x9E3779B97F4A7C15ULL;

std::uint64_t mix_name(std::uint64_t hash, std::uint64_t word) {
  constexpr std::uint64_t kMultiplier = 0x517CC1B727220A95ULL;
  return (((hash << 5) | (hash >> 59)) ^ word) * kMultiplier;
}

std::uint64_t word_at(const char16_t* units) {
  std::uint64_t word;
  std::memcpy(&word, units, sizeof word);
  return word;
}

// The hash after the full steps `hash`, given the `count` (< 4) units left.
std::uint64_t finish_name_hash(std::uint64_t hash, const char16_t* rest, std::size_t count,
                               std::size_t length) {
  if (count != 0) {
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < count; ++k) word |= std::uint64_t{rest[k]} << (16 * k);
    hash = mix_name(hash, word);
  }
  return mix_name(hash, length);
}

struct ScannedName {
  std::size_t length = 0;
  std::size_t hash = 0;
};

// The length of the caller's NUL-terminated `text` and its name hash, in
// one pass: four units a step, one bound check for the four, no unit read
// after the NUL. nullopt when the text is longer than any indexed name.
std::optional<ScannedName> scan_name(const WCHAR* text) {
  constexpr std::size_t kLongest = Snapshot::kLongestIndexedName;
  static_assert(kLongest % 4 == 0, "the steps end at the longest name");
  std::uint64_t hash = kNameHashSeed;
  for (std::size_t n = 0; n < kLongest; n += 4) {
    std::size_t rest;
    if (text[n] == 0) {
      rest = 0;
    } else if (text[n + 1] == 0) {
      rest = 1;
    } else if (text[n + 2] == 0) {
      rest = 2;
    } else if (text[n + 3] == 0) {
      rest = 3;
    } else {
      hash = mix_name(hash, word_at(text + n));
      continue;
    }
    return ScannedName{n + rest, finish_name_hash(hash, text + n, rest, n + rest)};
  }
  if (text[kLongest] != 0) return std::nullopt;
  return ScannedName{kLongest, finish_name_hash(hash, text + kLongest, 0, kLongest)};
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
  std::uint64_t hash = kNameHashSeed;
  std::size_t i = 0;
  for (; i + 4 <= name.size(); i += 4) hash = mix_name(hash, word_at(name.data() + i));
  return finish_name_hash(hash, name.data() + i, name.size() - i, name.size());
}

const Volume* Snapshot::find_by_name(const WCHAR* text) const {
  if (text == nullptr || indexed_volumes != volumes.size()) return nullptr;
  const std::optional<ScannedName> name = scan_name(text);
  if (!name) return nullptr;
  // The same hash is not the same name: the text itself is compared. Only
  // a name that find_by_id would answer with this very volume is taken.
  const auto found = name_index.find(name->hash, [&](std::size_t position) {
    const std::u16string& candidate = volumes[position].name;
    return candidate.size() == name->length &&
           std::memcmp(candidate.data(), text, name->length * sizeof(char16_t)) == 0 &&
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

ProbeResult facts_for_volume(ProbeResult probe, const MountReach& mounts, const Volume& v) {
  if (!probe.published || v.reach_may_block) return probe;
  const Walk walk = walk_to_mount_root(mounts, v.reach, v.reach_mount, false);
  return facts_for_mount(std::move(probe), walk.error == 0 ? walk.at.get() : -1, v.dev);
}

bool Snapshot::is_other_target(std::string_view path) const {
  for (const auto& t : other_targets)
    if (t == path) return true;
  return false;
}

}  // namespace k32l
