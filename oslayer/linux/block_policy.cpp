// What may block, decided from the mount a call reaches: its type, whether
// it is an automount trigger, and for a stacked file system the mounts its
// layers lie on.
#include "block_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>

#include "fs_classes.h"
#include "identity.h"
#include "mount_identity.h"
#include "text.h"

namespace k32l {

namespace {

// The pieces of `text` between separators `sep`, empty ones included.
std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(sep, start);
    pieces.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

// How an overlay's option names its layers: "lowerdir" a list separated by
// ':' ("::" before data-only layers), the others one directory each.
enum class LayerOption { None, List, One };
LayerOption layer_option(std::string_view key) {
  if (key == "lowerdir") return LayerOption::List;
  if (key == "lowerdir+" || key == "datadir+" || key == "upperdir" || key == "workdir")
    return LayerOption::One;
  return LayerOption::None;
}

// A layer as the options name it: nullopt where that does not say where it
// lies. A relative layer was resolved from the mounter's directory, and a
// backslash is an escape of the mounter's own (of a ':', say), which cannot
// be told from a character of the name.
std::optional<std::string> placed_layer(std::string layer) {
  if (layer.front() != '/' || layer.find('\\') != std::string::npos) return std::nullopt;
  return layer;
}

}  // namespace

bool may_block(std::string_view fstype) {
  // A stacked file system is judged by its layers (MountReach).
  return !is_local_fs(fstype) && !options_name_layers(fstype);
}

std::optional<std::vector<std::string>> stacked_layers(std::string_view fstype,
                                                       std::string_view options) {
  if (fstype == "aufs" || fstype == "unionfs") return std::nullopt;  // layers not read
  if (!options_name_layers(fstype)) return std::vector<std::string>{};
  // The kernel escapes ',', ':' and blanks in a layer's name ("\054"): the
  // options are split on the separators as written, and each layer
  // unescaped after.
  std::vector<std::string> layers;
  for (std::string_view option : split(options, ',')) {
    const std::size_t eq = option.find('=');
    const LayerOption kind =
        eq == std::string_view::npos ? LayerOption::None : layer_option(option.substr(0, eq));
    if (kind == LayerOption::None) continue;
    const std::string_view value = option.substr(eq + 1);
    const auto named = kind == LayerOption::List ? split(value, ':')
                                                 : std::vector<std::string_view>{value};
    for (std::string_view written : named) {
      if (written.empty()) continue;
      auto layer = placed_layer(unescape_octal(written));
      if (!layer) return std::nullopt;
      layers.push_back(std::move(*layer));
    }
  }
  if (layers.empty()) return std::nullopt;  // an overlay has a lower layer at least
  return layers;
}

GateKey mount_gate(std::uint64_t table_devno) { return {GateKind::Mount, table_devno}; }

GateKey device_gate(std::uint64_t rdev) { return {GateKind::Device, rdev}; }

MountReach::MountReach(const std::vector<MountEntry>& entries,
                       const std::vector<std::size_t>& visible, Layers layers)
    : id_kind_(compared_by(entries)), layers_(layers) {
  visible_.reserve(visible.size());
  for (std::size_t i : visible) visible_.push_back({entries[i].target, key_of(entries[i])});
  mounts_.reserve(entries.size());
  for (const MountEntry& e : entries)
    if (key_of(e) != 0)
      mounts_.emplace(key_of(e), Mount{e.devno, false, is_remote_fs(e.fstype), is_stacked(e)});
  // The mounts by ID, for the layers of stacked ones (only where there are any).
  for (const auto& [key, mount] : mounts_) {
    if (!mount.stacked) continue;
    entries_.reserve(entries.size());
    for (const MountEntry& e : entries)
      if (key_of(e) != 0) entries_.emplace(key_of(e), &e);
    break;
  }
  std::vector<std::uint64_t> deciding;
  for (const MountEntry& e : entries) {
    if (key_of(e) == 0) continue;
    deciding.clear();
    mounts_[key_of(e)].may_block = decide(e, deciding);
  }
  entries_.clear();
  if (layers_ == Layers::Checked) place_layers(entries);
  for (const Visible& v : visible_)
    if (mount_may_block(v.mount_id)) blocking_.push_back(v.target);
}

// Whether `e` is stacked on layers its options name (an overlay).
bool MountReach::is_stacked(const MountEntry& e) {
  const auto layers = stacked_layers(e.fstype, e.options);
  return layers && !layers->empty();
}

std::uint64_t MountReach::key_of(const MountEntry& e) const {
  return id_kind_ == MountIdKind::Unique ? e.unique_id : e.id;
}

// Whether calls on mount `e` may block. `deciding`: the stacked mounts whose
// layers are being looked at, outermost first; a layer on one of them is not
// in this table's view (it was named in the mounter's), so it may block.
bool MountReach::decide(const MountEntry& e, std::vector<std::uint64_t>& deciding) const {
  if (may_block(e.fstype)) return true;  // automount triggers (autofs) too
  const auto layers = stacked_layers(e.fstype, e.options);
  if (!layers) return true;
  if (std::find(deciding.begin(), deciding.end(), key_of(e)) != deciding.end()) return true;
  deciding.push_back(key_of(e));
  for (const std::string& layer : *layers) {
    // Every visible mount on the layer's way, its holder among them.
    for (const Visible& on_way : visible_) {
      if (!path_is_under(layer, on_way.target)) continue;
      const auto found = entries_.find(on_way.mount_id);
      if (found == entries_.end() || decide(*found->second, deciding)) return true;
    }
    if (!holder_of(layer)) return true;
  }
  deciding.pop_back();
  return false;
}

// The stacked mounts the text of their options says do not block, judged
// again by where their layers lead in the caller's view: each is walked
// there (links followed, nothing asked of a mount that may block, nor of a
// stacked one, whose own layers are not placed yet) and must end on a
// directory of a mount that does not block.
void MountReach::place_layers(const std::vector<MountEntry>& entries) {
  std::vector<std::uint64_t> unplaced;
  placing_layers_ = true;
  for (const MountEntry& e : entries) {
    const auto found = mounts_.find(key_of(e));
    if (found == mounts_.end() || found->second.may_block || !found->second.stacked) continue;
    const auto layers = stacked_layers(e.fstype, e.options);
    for (const std::string& layer : *layers) {
      if (!leads_to_local_directory(layer)) {
        unplaced.push_back(found->first);
        break;
      }
    }
  }
  placing_layers_ = false;
  for (std::uint64_t key : unplaced) mounts_[key].may_block = true;
}

bool MountReach::leads_to_local_directory(const std::string& path) const {
  const Walk walk = walk_without_blocking(*this, path);
  struct stat st {};
  return walk.error == 0 && walk.rest.empty() && !mount_may_block(walk.mount_id) &&
         ::fstatat(walk.at.get(), "", &st, AT_EMPTY_PATH) == 0 && S_ISDIR(st.st_mode);
}

bool MountReach::call_may_block(Via via, std::string_view path, std::string_view fstype) const {
  // A descriptor's file system is not looked up by type: it may block.
  if (via == Via::Descriptor) return true;
  // No type: the call only walks the path.
  return (!fstype.empty() && may_block(fstype)) || path_may_block(path);
}

bool MountReach::mount_may_block(std::uint64_t mount_id) const {
  const auto found = mounts_.find(mount_id);
  return found == mounts_.end() || found->second.may_block ||
         (placing_layers_ && found->second.stacked);
}

bool MountReach::parent_step_may_block(std::uint64_t mount_id) const {
  // ".." is taken from the directory cache; only a network file system
  // revalidates where it lands with its server.
  const auto found = mounts_.find(mount_id);
  return found == mounts_.end() || found->second.remote;
}

bool MountReach::path_may_block(std::string_view absolute_path) const {
  for (const std::string& target : blocking_) {
    if (path_is_under(absolute_path, target)) return true;
  }
  return false;
}

GateKey MountReach::gate_of_mount(std::uint64_t mount_id) const {
  return mount_gate(devno_of_mount(mount_id).value_or(0));
}

GateKey MountReach::gate_of_mount(std::uint64_t mount_id, int fd) const {
  if (const auto devno = devno_of_mount(mount_id)) return mount_gate(*devno);
  return mount_gate(descriptor_device(fd).value_or(0));
}

const MountReach::Visible* MountReach::holder_of(std::string_view path) const {
  const Visible* best = nullptr;
  for (const Visible& mount : visible_) {
    if (path_is_under(path, mount.target) && (!best || mount.target.size() >= best->target.size()))
      best = &mount;
  }
  return best;
}

std::string MountReach::mount_point_of(std::string_view path) const {
  const Visible* holder = holder_of(path);
  return holder ? holder->target : std::string();
}

std::optional<std::uint64_t> MountReach::devno_of_mount(std::uint64_t mount_id) const {
  const auto found = mounts_.find(mount_id);
  if (found == mounts_.end()) return std::nullopt;
  return found->second.devno;
}

namespace {

// As the kernel's own walk allows.
constexpr int kMaxLinks = 40;

// The steps of `path`, "" and "." left out, before those already in `steps`.
void prepend_steps(std::string_view path, std::deque<std::string>& steps) {
  const auto pieces = split(path, '/');
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it)
    if (!it->empty() && *it != ".") steps.emplace_front(*it);
}

std::string joined(const std::deque<std::string>& steps) {
  std::string rest;
  for (const std::string& step : steps) rest += (rest.empty() ? "" : "/") + step;
  return rest;
}

// Starts (or restarts, after a link to an absolute path) the walk at the
// caller's root directory or working directory.
bool start_at(Walk& w, bool at_root, MountIdKind kind) {
  w.at.reset(::open(at_root ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!w.at.valid()) {
    w.error = errno;
    return false;
  }
  w.mount_id = descriptor_mount(w.at.get(), kind).value_or(0);
  return true;
}

// The text of `fd` when it is a symbolic link; nullopt when it is not.
// `fd` lies on a mount that does not block.
std::optional<std::string> link_text(int fd, int& error) {
  struct stat st {};
  if (::fstatat(fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
    return std::nullopt;
  std::string text(PATH_MAX, '\0');
  const ssize_t n = ::readlinkat(fd, "", text.data(), text.size());
  if (n <= 0) {
    error = n < 0 ? errno : ENOENT;
    return std::string();
  }
  text.resize(static_cast<std::size_t>(n));
  return text;
}

}  // namespace

Walk walk_without_blocking(const MountReach& mounts, std::string_view path, Links links) {
  Walk w;
  std::deque<std::string> steps;
  prepend_steps(path, steps);
  if (!start_at(w, !path.empty() && path.front() == '/', mounts.id_kind())) return w;
  for (int followed = 0; !steps.empty();) {
    const bool up = steps.front() == "..";
    if (up ? mounts.parent_step_may_block(w.mount_id) : mounts.mount_may_block(w.mount_id)) {
      w.rest = joined(steps);
      return w;
    }
    UniqueFd next(::openat(w.at.get(), steps.front().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      w.error = errno;
      return w;
    }
    steps.pop_front();
    const std::uint64_t next_mount = descriptor_mount(next.get(), mounts.id_kind()).value_or(0);
    // A step that stays on this mount (it does not block) may be a link,
    // read here; a step onto another mount lands on its root, no link.
    if (!up && next_mount == w.mount_id) {
      if (auto text = link_text(next.get(), w.error)) {
        if (w.error == 0 && links == Links::Refuse) w.error = ELOOP;
        if (w.error != 0) return w;
        if (++followed > kMaxLinks) {
          w.error = ELOOP;
          return w;
        }
        prepend_steps(*text, steps);
        if (text->front() == '/' && !start_at(w, true, mounts.id_kind())) return w;
        continue;
      }
    }
    w.at = std::move(next);
    w.mount_id = next_mount;
  }
  return w;
}

namespace {

// Whether descriptor `fd` is the root of mount `mount_id` (of `kind`). A
// kernel that does not say (before 5.8) is taken at the text's word.
bool is_root_of(int fd, std::uint64_t mount_id, MountIdKind kind) {
  return is_root_of_mount(fd, mount_id, kind).value_or(true);
}

// The kernel's openat2 and its RESOLVE_NO_SYMLINKS (Linux 5.6).
struct OpenHow {
  std::uint64_t flags, mode, resolve;
};
constexpr std::uint64_t kResolveNoSymlinks = 0x04, kResolveCached = 0x20;

UniqueFd open_without_links(int dir, const char* path, std::uint64_t resolve) {
  OpenHow how{O_PATH | O_NOFOLLOW | O_CLOEXEC, 0, kResolveNoSymlinks | resolve};
  return UniqueFd(static_cast<int>(::syscall(SYS_openat2, dir, path, &how, sizeof how)));
}

// Whether a walk of a mount point's text failed because the text leads
// nowhere now (a step gone, no directory, a link where the kernel writes
// none), rather than for want of resources or permission.
bool text_led_nowhere(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

}  // namespace

Walk walk_to_mount_root(const MountReach& mounts, const std::string& target,
                        std::uint64_t mount_id, bool may_block_on_way) {
  Walk w;
  // The kernel's walk from its lookup cache alone asks no file system, so
  // it cannot block (RESOLVE_CACHED, Linux 5.12): one call where every
  // step is cached; a step that is not is walked step by step instead.
  w.at = open_without_links(AT_FDCWD, target.c_str(), kResolveCached);
  if (w.at.valid() || text_led_nowhere(errno)) {
    w.error = w.at.valid() && is_root_of(w.at.get(), mount_id, mounts.id_kind()) ? 0 : ESTALE;
    if (w.error == 0) w.mount_id = mount_id;
    if (w.error != 0) w.at.reset();
    return w;
  }
  w = walk_without_blocking(mounts, target, Links::Refuse);
  const bool stale = w.error == 0 && (w.rest.empty()
                                          ? !is_root_of(w.at.get(), mount_id, mounts.id_kind())
                                          : !may_block_on_way);
  if (stale || text_led_nowhere(w.error)) w.error = ESTALE;
  if (w.error != 0) w.at.reset();
  return w;
}

UniqueFd finish_mount_root_walk(Walk& walk, std::uint64_t mount_id, MountIdKind kind,
                                int& error) {
  UniqueFd end;
  if (walk.rest.empty()) {
    end = std::move(walk.at);
  } else {
    end = open_without_links(walk.at.get(), walk.rest.c_str(), 0);
  }
  error = end.valid() ? 0 : (text_led_nowhere(errno) ? ESTALE : errno);
  if (end.valid() && !is_root_of(end.get(), mount_id, kind)) {
    error = ESTALE;
    end.reset();
  }
  return end;
}

}  // namespace k32l
