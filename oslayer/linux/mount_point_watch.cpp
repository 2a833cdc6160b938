#include "mount_point_watch.h"

#include <sys/vfs.h>

#include <map>
#include <set>
#include <string>

#include "block_policy.h"
#include "fs_classes.h"

namespace k32l {

namespace {

using Directories = std::map<std::string, std::set<std::string>>;

// Each directory above `target` (an absolute path as the kernel writes it:
// no "//", no trailing "/"), with the name of the entry below it that leads
// to `target`. False where the text is not such a path.
bool add_directories_above(const std::string& target, Directories& dirs) {
  if (target.empty() || target.front() != '/') return false;
  if (target.size() == 1) return true;  // the root: nothing above it
  for (std::size_t at = 0; at < target.size();) {
    const std::size_t next = target.find('/', at + 1);
    const std::size_t end = next == std::string::npos ? target.size() : next;
    if (end == at + 1) return false;  // an empty step
    dirs[at == 0 ? "/" : target.substr(0, at)].insert(target.substr(at + 1, end - at - 1));
    at = end;
  }
  return true;
}

std::string parent_of(const std::string& dir) {
  const std::size_t slash = dir.rfind('/');
  return slash == 0 ? "/" : dir.substr(0, slash);
}

// Whether `dir`, reached by its walk, is a directory whose entries' renames
// the kernel reports, and is now watched for those of `names`.
bool watch_directory(ChangeMonitor& changes, const MountReach& mounts, const std::string& dir,
                     const std::set<std::string>& names) {
  const Walk walk = walk_without_blocking(mounts, dir, Links::Refuse);
  if (walk.error != 0 || !walk.rest.empty() || mounts.mount_may_block(walk.mount_id))
    return false;
  struct statfs fs {};
  if (::fstatfs(walk.at.get(), &fs) != 0 || !kernel_reports_renames(fs.f_type)) return false;
  return changes.watch_renames_in(walk.at.get(), {names.begin(), names.end()});
}

}  // namespace

std::vector<bool> watch_mount_points(ChangeMonitor& changes, const Snapshot& snap) {
  std::vector<bool> watched(snap.volumes.size(), false);
  if (!changes.start_renames()) return watched;
  Directories dirs;
  std::vector<bool> placed(snap.volumes.size(), true);
  for (std::size_t v = 0; v < snap.volumes.size(); ++v)
    for (const std::string& target : snap.volumes[v].targets)
      if (!add_directories_above(target, dirs)) placed[v] = false;
  // In order, a directory comes after the ones above it (a prefix sorts
  // first), so a rename above one is reported from the moment it is
  // reached.
  std::set<std::string> covered;
  for (const auto& [dir, names] : dirs) {
    if (dir != "/" && covered.count(parent_of(dir)) == 0) continue;
    if (watch_directory(changes, snap.mounts, dir, names)) covered.insert(dir);
  }
  changes.finish_renames();
  for (std::size_t v = 0; v < snap.volumes.size(); ++v) {
    bool all = placed[v];
    for (const std::string& target : snap.volumes[v].targets)
      if (target != "/" && covered.count(parent_of(target)) == 0) all = false;
    watched[v] = all;
  }
  return watched;
}

}  // namespace k32l
