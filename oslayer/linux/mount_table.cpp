// The mount table read with libmount, and which of its entries count.
#include "mount_table.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <new>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

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
  return e;
}

}  // namespace

// The bytes of the file at `path`, read once (libmount parses them, and the
// options of layered mounts are taken from them too, so both come from one
// table).
Outcome<std::string> read_mount_table_text(const char* path) {
  Outcome<std::string> read;
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failed<std::string>(error_from_errno(errno));
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed<std::string>(error_from_errno(errno));
    if (n == 0) return read;
    read.value.append(chunk, static_cast<std::size_t>(n));
  }
}

namespace {

// The file system's own options of each line of mountinfo text `text`
// whose mount ID is a key of `wanted`, as the kernel wrote them: libmount
// unescapes them, and a layer's name holding a ',' (written "\054") would
// then read as two. The field is the third after the " - " separator (type
// and source come first; every field escapes its blanks).
void raw_fs_options(std::string_view text,
                    std::unordered_map<std::uint64_t, std::string*>& wanted) {
  for (std::size_t start = 0; start < text.size() && !wanted.empty();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    std::uint64_t id = 0;
    const auto [after_id, ec] = std::from_chars(line.data(), line.data() + line.size(), id);
    const auto found = ec == std::errc() ? wanted.find(id) : wanted.end();
    if (found == wanted.end()) continue;
    std::size_t at = line.find(" - ");
    for (int field = 0; field < 2 && at != std::string_view::npos; ++field)
      at = line.find(' ', at + (field == 0 ? 3 : 1));
    if (at == std::string_view::npos) continue;
    const std::string_view options = line.substr(at + 1);
    found->second->assign(options.substr(0, options.find(' ')));
    wanted.erase(found);
  }
}

}  // namespace

Outcome<std::vector<MountEntry>> read_mount_table(const char* path) {
  Outcome<std::vector<MountEntry>> read;
  auto text = read_mount_table_text(path);
  if (!text.ok()) return failed<std::vector<MountEntry>>(text.error);
  if (text.value.empty()) return read;
  MntTable table(mnt_new_table());
  if (!table) throw std::bad_alloc();
  const CFile stream(::fmemopen(text.value.data(), text.value.size(), "r"));
  if (!stream) return failed<std::vector<MountEntry>>(error_from_errno(errno));
  // libmount gives -errno where the text could not be read, another
  // negative number for a malformed line.
  if (const int rc = mnt_table_parse_stream(table.get(), stream.get(), path); rc != 0) {
    return failed<std::vector<MountEntry>>(rc < 0 ? error_from_errno(-rc) : ERROR_IO_DEVICE);
  }
  MntIter iter(mnt_new_iter(MNT_ITER_FORWARD));
  if (!iter) throw std::bad_alloc();
  libmnt_fs* fs = nullptr;
  while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
    MountEntry e = entry_of(fs);
    if (!e.target.empty()) read.value.push_back(std::move(e));
  }
  // Only the mounts whose options name their layers have them read.
  std::unordered_map<std::uint64_t, std::string*> layered;
  for (MountEntry& e : read.value)
    if (options_name_layers(e.fstype)) layered.emplace(e.id, &e.options);
  raw_fs_options(text.value, layered);
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
