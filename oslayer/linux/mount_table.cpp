// The mount table read with libmount, and which of its entries count.
#include "mount_table.h"

#include <new>
#include <unordered_set>
#include <string_view>

#include "errors.h"
#include "fs_classes.h"
#include "raii.h"

namespace k32l {

namespace {

std::string nonnull(const char* s) { return s ? std::string(s) : std::string(); }

MountEntry entry_of(libmnt_fs* fs) {
  MountEntry e;
  e.target = nonnull(mnt_fs_get_target(fs));
  e.source = nonnull(mnt_fs_get_source(fs));
  e.fstype = nonnull(mnt_fs_get_fstype(fs));
  e.root = nonnull(mnt_fs_get_root(fs));
  e.devno = mnt_fs_get_devno(fs);
  e.id = static_cast<std::uint64_t>(mnt_fs_get_id(fs));
  e.options = nonnull(mnt_fs_get_fs_options(fs));
  return e;
}

}  // namespace

Outcome<std::vector<MountEntry>> read_mount_table(const char* path) {
  Outcome<std::vector<MountEntry>> read;
  MntTable table(mnt_new_table());
  if (!table) throw std::bad_alloc();
  // libmount gives -errno where the file could not be opened or read (out
  // of descriptors, say), another negative number for a malformed line.
  if (const int rc = mnt_table_parse_file(table.get(), path); rc != 0) {
    return failed<std::vector<MountEntry>>(rc < 0 ? error_from_errno(-rc) : ERROR_IO_DEVICE);
  }
  MntIter iter(mnt_new_iter(MNT_ITER_FORWARD));
  if (!iter) throw std::bad_alloc();
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    MountEntry e = entry_of(fs);
    if (!e.target.empty()) read.value.push_back(std::move(e));
  }
  return read;
}

EntryClasses classify_entries(const std::vector<MountEntry>& entries) {
  EntryClasses classes;
  // A later mount on the same target hides the earlier ones there.
  std::vector<bool> visible(entries.size(), false);
  std::unordered_set<std::string_view> seen;
  seen.reserve(entries.size());
  for (std::size_t i = entries.size(); i-- > 0;)
    visible[i] = seen.insert(entries[i].target).second;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!visible[i]) continue;
    (is_pseudo_fs(entries[i].fstype) ? classes.other : classes.data).push_back(i);
  }
  return classes;
}

}  // namespace k32l
