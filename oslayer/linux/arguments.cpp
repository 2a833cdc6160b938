// Caller arguments: their text, and the volume a root argument names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <iterator>
#include <utility>
#include <vector>

#include "answers.h"
#include "caller_view.h"
#include "mount_identity.h"
#include "raii.h"
#include "text.h"

namespace k32l {

namespace {

// What a root argument says: a volume by its name, or spellings of a path,
// the likeliest first.
struct RootArgument {
  const Volume* volume = nullptr;
  std::vector<std::string> spellings;
};

Outcome<RootArgument> read_path_root(const std::string& text) {
  RootArgument arg;
  auto normal = normalise_root(text);
  if (!normal) return failed<RootArgument>(ERROR_INVALID_NAME);
  arg.spellings.push_back(std::move(*normal));
  if (text.back() == '\\') {
    if (auto as_written = normalise_path(text)) arg.spellings.push_back(std::move(*as_written));
  }
  return {ERROR_SUCCESS, std::move(arg)};
}

// `root` is not NULL.
Outcome<RootArgument> read_root(const Snapshot& snap, const WCHAR* root) {
  RootArgument arg;
  auto named = read_path_or_volume(snap, root);
  if (!named.ok()) return failed<RootArgument>(named.error);
  if (!named.value.volume) return read_path_root(named.value.path);
  arg.volume = named.value.volume;
  return {ERROR_SUCCESS, std::move(arg)};
}

// The volume mounted at `path`, or the code for a mount point of no volume;
// nullopt when nothing is mounted there.
std::optional<Outcome<const Volume*>> mounted_at(const Snapshot& snap, const std::string& path) {
  if (const Volume* v = snap.find_by_target(path)) return Outcome<const Volume*>{ERROR_SUCCESS, v};
  if (snap.is_other_target(path)) return failed<const Volume*>(ERROR_UNRECOGNIZED_VOLUME);
  return std::nullopt;
}

// The same as walked_root, by the path the /proc link of the walk's
// descriptor gives: for kernels whose statx does not say where a descriptor
// is (before 5.8).
Outcome<const Volume*> root_by_link(const Snapshot& snap, const std::string& path) {
  auto walked = at_caller_path<std::string>(snap, path, [](int fd) {
    std::string real(PATH_MAX, '\0');
    const ssize_t n = ::readlink(descriptor_link_path(fd).c_str(), real.data(), real.size());
    if (n < 0) return failed<std::string>(error_from_errno(errno));
    real.resize(static_cast<std::size_t>(n));
    return Outcome<std::string>{ERROR_SUCCESS, std::move(real)};
  });
  if (!walked.ok()) return failed<const Volume*>(walked.error);
  if (auto found = mounted_at(snap, walked.value)) return *found;
  return failed<const Volume*>(ERROR_DIR_NOT_ROOT);
}

// Where the kernel's walk of `path` ("..", symbolic links) ends: the root of
// a mount of the table, as the walk's descriptor itself says (statx), so no
// /proc is needed (a jail without it). statx of where the walk ended asks
// nothing of that mount (no sync): only a rest left to walk, past a mount
// that may block, goes to a worker.
Outcome<const Volume*> walked_root(const Snapshot& snap, const std::string& path) {
  using Place = std::optional<DescriptorPlace>;
  const auto place_of = [kind = snap.mounts.id_kind()](int fd) {
    return Outcome<Place>{ERROR_SUCCESS, descriptor_place(fd, kind)};
  };
  const Walk walk = walk_without_blocking(snap.mounts, path);
  if (walk.error != 0) return failed<const Volume*>(error_from_errno(walk.error));
  auto walked = walk.rest.empty() ? place_of(walk.at.get())
                                  : at_caller_path<Place>(snap, path, place_of);
  if (!walked.ok()) return failed<const Volume*>(walked.error);
  if (!walked.value) return root_by_link(snap, path);
  const DescriptorPlace& place = *walked.value;
  // Not a mount's root, or a mount made since the table was read.
  if (!place.is_mount_root || !snap.mounts.devno_of_mount(place.mount_id))
    return failed<const Volume*>(ERROR_DIR_NOT_ROOT);
  if (const Volume* v = snap.find_by_mount(place.reusable_mount_id))
    return Outcome<const Volume*>{ERROR_SUCCESS, v};
  return failed<const Volume*>(ERROR_UNRECOGNIZED_VOLUME);  // a mount of no volume (/proc ...)
}

// The volume holding the working directory: the volume of the mount it is
// on, as statx of it says (by its text where the kernel does not say).
Outcome<const Volume*> working_directory_volume(const Snapshot& snap) {
  const UniqueFd here(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!here.valid()) return failed<const Volume*>(ERROR_PATH_NOT_FOUND);
  const auto place = descriptor_place(here.get(), snap.mounts.id_kind());
  if (!place) {
    auto cwd = working_directory();
    if (!cwd) return failed<const Volume*>(ERROR_PATH_NOT_FOUND);
    return walked_root(snap, snap.mounts.mount_point_of(*cwd));
  }
  if (const Volume* v = snap.find_by_mount(place->reusable_mount_id)) return {ERROR_SUCCESS, v};
  return failed<const Volume*>(snap.mounts.devno_of_mount(place->mount_id)
                                   ? ERROR_UNRECOGNIZED_VOLUME
                                   : ERROR_DIR_NOT_ROOT);
}

}  // namespace

Outcome<std::string> read_text(const WCHAR* text) {
  // ASCII text, as volume names are, is its own UTF-8: copied at once.
  if (text != nullptr) {
    std::size_t length = 0;
    while (length <= kMaxArgumentChars && text[length] != 0 && text[length] < 0x80) ++length;
    if (length <= kMaxArgumentChars && text[length] == 0) {
      return {ERROR_SUCCESS, std::string(text, text + length)};
    }
  }
  auto wide = read_argument(text);
  if (!wide) return failed<std::string>(ERROR_INVALID_NAME);
  auto utf8 = utf16_to_utf8(*wide);
  if (!utf8) return failed<std::string>(ERROR_INVALID_NAME);
  return {ERROR_SUCCESS, std::move(*utf8)};
}

std::optional<std::string> working_directory() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return std::nullopt;
  return normalise_root(buf);
}

Outcome<PathOrVolume> read_path_or_volume(const Snapshot& snap, const WCHAR* text) {
  if (const Volume* named = snap.find_by_name(text)) return {ERROR_SUCCESS, PathOrVolume{named, {}}};
  auto utf8 = read_text(text);
  if (!utf8.ok()) return failed<PathOrVolume>(utf8.error);
  ParsedName parsed = parse_volume_name(utf8.value, false);
  if (parsed.status == NameParse::Malformed) return failed<PathOrVolume>(ERROR_INVALID_NAME);
  PathOrVolume arg;
  if (parsed.status == NameParse::NotAVolumeName) {
    arg.path = std::move(utf8.value);
    return {ERROR_SUCCESS, std::move(arg)};
  }
  arg.volume = snap.find_by_id(parsed.id);
  if (!arg.volume) return failed<PathOrVolume>(ERROR_FILE_NOT_FOUND);
  return {ERROR_SUCCESS, std::move(arg)};
}

namespace {

constexpr char16_t kVolumePrefix[] = u"\\\\?\\Volume{";

// Whether `text` begins with units I... of kVolumePrefix: each compared with
// its constant in turn, and none read after the first that differs (a
// shorter text ends at a NUL, which differs).
template <std::size_t... I>
bool has_volume_prefix(const WCHAR* text, std::index_sequence<I...>) {
  return ((text[I] == kVolumePrefix[I]) && ...);
}

}  // namespace

bool names_volume(const WCHAR* text) {
  return text != nullptr &&
         has_volume_prefix(text, std::make_index_sequence<std::size(kVolumePrefix) - 1>());
}

Outcome<std::shared_ptr<const Snapshot>> snapshot_for(const WCHAR* argument) {
  return names_volume(argument) ? volume_name_snapshot() : current_snapshot();
}

Outcome<const Volume*> resolve_root(const Snapshot& snap, const WCHAR* root) {
  if (root == nullptr) return working_directory_volume(snap);
  // A name given back as the search gave it out: what read_root finds first.
  if (const Volume* named = snap.find_by_name(root)) return {ERROR_SUCCESS, named};
  auto arg = read_root(snap, root);
  if (!arg.ok()) return failed<const Volume*>(arg.error);
  if (arg.value.volume) return {ERROR_SUCCESS, arg.value.volume};
  // A path is matched by the mount its walk reaches, never by the table's
  // text: a directory renamed above a mount point changes its text with no
  // change signal. The first spelling's failure is the call's.
  Outcome<const Volume*> first = failed<const Volume*>(ERROR_DIR_NOT_ROOT);
  for (std::size_t n = 0; n < arg.value.spellings.size(); ++n) {
    auto found = walked_root(snap, arg.value.spellings[n]);
    if (found.ok() || found.error == ERROR_UNRECOGNIZED_VOLUME) return found;
    if (n == 0) first = found;
  }
  return first;
}

}  // namespace k32l
