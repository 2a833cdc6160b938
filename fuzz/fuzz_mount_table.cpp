// Fuzzes the Linux provider's reading of a mount table: arbitrary mountinfo
// text (escaped names, optional fields, broken lines) through libmount into
// entries, and which entries are visible volumes. The answers must be
// consistent with the text: a target shown once, hidden mounts left out,
// pseudo file systems never taken for volumes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "fs_classes.h"
#include "mount_table.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The fuzz input as a file libmount can open by name.
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size)
      : descriptor_(memfd_create("mountinfo", 0)) {
    Check(descriptor_ >= 0);
    std::size_t written = 0;
    while (written < size) {
      const ssize_t count = write(descriptor_, data + written, size - written);
      Check(count > 0);
      written += static_cast<std::size_t>(count);
    }
    path_ = "/proc/self/fd/" + std::to_string(descriptor_);
  }
  ~MemoryFile() { close(descriptor_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  int descriptor_;
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFile file(data, size);
  // A table libmount refuses is an error, with no entries.
  const auto read = k32l::read_mount_table(file.path());
  Check(read.ok() || read.value.empty());
  const std::vector<k32l::MountEntry>& entries = read.value;
  const k32l::EntryClasses classes = k32l::classify_entries(entries);

  std::set<std::string> visible_targets;
  std::size_t previous = 0;
  bool first = true;
  for (const auto* list : {&classes.data, &classes.other}) {
    previous = 0;
    first = true;
    for (std::size_t index : *list) {
      Check(index < entries.size());
      Check(first || index > previous);  // mount-table order
      previous = index;
      first = false;
      const k32l::MountEntry& entry = entries[index];
      Check(!entry.target.empty());
      Check(visible_targets.insert(entry.target).second);  // each target once
      // Visible means no later mount on the same target.
      for (std::size_t later = index + 1; later < entries.size(); ++later) {
        Check(entries[later].target != entry.target);
      }
      Check(k32l::is_pseudo_fs(entry.fstype) == (list == &classes.other));
    }
  }
  // Every target of the table is visible exactly once.
  std::set<std::string> all_targets;
  for (const auto& entry : entries) all_targets.insert(entry.target);
  Check(all_targets == visible_targets);
  return 0;
}
