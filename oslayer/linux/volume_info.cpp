// GetVolumeInformationW[ByHandle], GetVolumePathNamesForVolumeNameW,
// GetDriveTypeW and GetDiskFreeSpaceExW, answered from the snapshot of the
// caller's view.
#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "answers.h"
#include "bounded.h"
#include "device_probe.h"
#include "identity.h"
#include "mount_identity.h"
#include "proc_paths.h"
#include "raii.h"
#include "text.h"

using namespace k32l;

namespace {

using Stats = struct statvfs;

// A volume's mount point that, walked, no longer leads to its mount (a
// directory above it renamed, which the kernel does not signal): the call
// is answered again from the table read anew. Never reaches a caller
// (bit 29: a code of the application's own).
constexpr DWORD kMountPointMoved = 0x20000001;

Outcome<Stats> statvfs_of(int fd) {
  Outcome<Stats> got;
  if (::fstatvfs(fd, &got.value) != 0) return failed<Stats>(error_from_errno(errno));
  return got;
}

DWORD walk_error(int error) {
  return error == ESTALE ? kMountPointMoved : error_from_errno(error);
}

// `ask(snapshot)` of the snapshot a call with `argument` is answered from,
// asked once more of the table read anew where a mount point it walked no
// longer leads to its mount; ERROR_PATH_NOT_FOUND where that one's does not
// either.
template <class R, class F>
Outcome<R> on_table_proven(const WCHAR* argument, F ask) {
  for (int tries = 0;; ++tries) {
    const auto read = snapshot_for(argument);
    if (!read.ok()) return failed<R>(read.error);
    Outcome<R> got = ask(read.value);
    if (got.error != kMountPointMoved) return got;
    if (tries > 0) return failed<R>(ERROR_PATH_NOT_FOUND);
    forget_moved_mount_points();
  }
}

// statvfs of a file system, run as the blocking policy says, behind the
// gate of the key `key_of()` returns.
template <class F, class K>
Outcome<Stats> bounded_statvfs(bool may_block, F fn, K key_of,
                               BoundedClock::time_point deadline) {
  return flatten(
      run_bounded_if<Outcome<Stats>>(may_block, std::move(fn), std::move(key_of), deadline));
}

struct VolumeReading {
  Stats stats{};
  ProbeResult probe;
};

// A fresh probe of the volume's device for the label and type, on a worker
// admitted by the device's gate: a device whose reads stall (its backing
// store stopped answering) costs one bounded wait, then fails at once until
// it answers again.
Outcome<ProbeResult> probe_volume(const Snapshot& snap, const Volume& v,
                                  BoundedClock::time_point deadline) {
  if (v.device.empty()) return {};
  auto probed = may_read_device(v.device)
                    ? run_bounded_until<ProbeResult>(
                          [device = v.device, rdev = v.rdev] { return probe_device(device, rdev); },
                          gate_for(device_gate(v.rdev)), deadline)
                    : Outcome<ProbeResult>{ERROR_SUCCESS, published_device_facts(v.device, v.rdev)};
  // A device that could not be read for want of resources says nothing:
  // that is this call's failure, not a volume without a label.
  if (probed.ok() && probed.value.error != 0)
    return failed<ProbeResult>(error_from_errno(probed.value.error));
  // What was published about the device is checked against the mounted
  // file system.
  if (probed.ok()) probed.value = facts_for_volume(std::move(probed.value), snap.mounts, v);
  return probed;
}

// The statvfs `got` of a volume, then the probe of its device, both within
// one bound (`deadline`).
Outcome<VolumeReading> with_probe(const Snapshot& snap, const Volume& v, const Outcome<Stats>& got,
                                  BoundedClock::time_point deadline) {
  if (!got.ok()) return failed<VolumeReading>(got.error);
  auto probed = probe_volume(snap, v, deadline);
  if (!probed.ok()) return failed<VolumeReading>(probed.error);
  return {ERROR_SUCCESS, VolumeReading{got.value, std::move(probed.value)}};
}

// statvfs of the volume at the root its mount point's walk leads to: on
// this thread when the blocking policy says calls there cannot block,
// otherwise on a bounded worker behind the gate of its mount, which
// finishes the walk.
Outcome<Stats> volume_statvfs(const Snapshot& snap, const Volume& v,
                              BoundedClock::time_point deadline) {
  Walk walk = walk_to_mount_root(snap.mounts, v.reach, v.reach_mount, v.reach_may_block);
  if (walk.error != 0) return failed<Stats>(walk_error(walk.error));
  if (!v.reach_may_block) return statvfs_of(walk.at.get());
  auto rest = std::make_shared<Walk>(std::move(walk));
  return bounded_statvfs(
      true,
      [rest, mount = v.reach_mount, kind = snap.mounts.id_kind()] {
        int error = 0;
        const UniqueFd root = finish_mount_root_walk(*rest, mount, kind, error);
        return root.valid() ? statvfs_of(root.get()) : failed<Stats>(walk_error(error));
      },
      [&v] { return mount_gate(v.table_devno); }, deadline);
}

// What GetVolumeInformation reads of the volume's file system: the longest
// name it takes and whether it is read-only now. Where the table holds the
// length (fixed while a file system that cannot block is mounted), the flag
// alone is read anew, by the mount's unique ID (statmount: no path walked,
// so no text to prove, and no file system asked); otherwise statvfs at the
// root its mount point's walk leads to.
Outcome<Stats> volume_flags(const Snapshot& snap, const Volume& v,
                            BoundedClock::time_point deadline) {
  if (v.name_max != 0 && !v.reach_may_block && snap.mounts.id_kind() == MountIdKind::Unique) {
    if (const auto read_only = mount_is_read_only(v.reach_mount)) {
      Outcome<Stats> got;
      got.value.f_namemax = v.name_max;
      got.value.f_flag = *read_only ? ST_RDONLY : 0;
      return got;
    }
  }
  return volume_statvfs(snap, v, deadline);
}

// The volume's flags and longest name, then the probe.
Outcome<VolumeReading> read_volume(const Snapshot& snap, const Volume& v) {
  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  return with_probe(snap, v, volume_flags(snap, v, deadline), deadline);
}

// The same for the volume of an open descriptor, whose mount has the
// mount-table number `devno`.
Outcome<VolumeReading> read_descriptor_volume(const Snapshot& snap, int fd, const Volume& v,
                                              std::uint64_t devno) {
  // The worker shares the caller's descriptor table and is handed the
  // caller's own number, not a duplicate: closing a duplicate of a FUSE
  // file asks its server (a flush), so one closed here after a stalled gate
  // refused the worker would wait out the stall on the calling thread. A
  // worker starts at once when admitted; one so late that the caller had
  // given up and reused the number would report to no one.
  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  auto got = bounded_statvfs(
      snap.mounts.call_may_block(Via::Descriptor), [fd] { return statvfs_of(fd); },
      [devno] { return mount_gate(devno); }, deadline);
  return with_probe(snap, v, got, deadline);
}

using SnapshotPtr = std::shared_ptr<const Snapshot>;

// A volume of a snapshot, which the answer holds while it reads the volume.
struct OnVolume {
  SnapshotPtr snapshot;
  const Volume* volume = nullptr;
  VolumeReading reading;
};

// The volume `name` (a volume GUID name given back) names in `snap`.
Outcome<const Volume*> named_volume(const Snapshot& snap, LPCWSTR name) {
  if (const Volume* v = snap.find_by_name(name)) return {ERROR_SUCCESS, v};
  auto text = read_text(name);
  if (!text.ok()) return failed<const Volume*>(text.error);
  ParsedName parsed = parse_volume_name(text.value, true);
  if (parsed.status != NameParse::Ok) return failed<const Volume*>(ERROR_INVALID_NAME);
  if (const Volume* v = snap.find_by_id(parsed.id)) return {ERROR_SUCCESS, v};
  return failed<const Volume*>(ERROR_FILE_NOT_FOUND);
}

// Whether every mount point `v` lists is still its mount's: the table's
// rename watch, where it covers them all and is quiet; else the kernel's
// text of each mount read again where mounts are known by unique IDs
// (statmount, no file system asked); else each walked to that mount's root,
// asking no mount that may block, and one whose walk cannot tell (it lies
// past a mount that may block, or the caller may not search a directory on
// its way) proven by the table's text read again. A table of another view
// than the caller's (whose text reads otherwise from the caller's) is taken
// as its search proved it.
bool mount_points_hold(const Snapshot& snap, const Volume& v) {
  if (mount_points_watched(snap, v)) return true;
  if (snap.mounts.id_kind() == MountIdKind::Unique) {
    for (std::size_t n = 0; n < v.targets.size(); ++n)
      if (current_mount_point(v.target_mounts[n]) != v.targets[n]) return !in_view_of_held_table();
    return true;
  }
  if (v.targets.empty() || !in_view_of_held_table()) return true;
  bool text_holds = false;
  for (std::size_t n = 0; n < v.targets.size(); ++n) {
    const Walk walk = walk_to_mount_root(snap.mounts, v.targets[n], v.target_mounts[n], true);
    if (walk.error == ESTALE) return false;
    if ((walk.error != 0 || !walk.rest.empty()) && !text_holds) {
      text_holds = snap.mount_point_text && snap.mount_point_text->still_holds(mount_table_path());
      if (!text_holds) return false;
    }
  }
  return true;
}

// The caller's buffers of GetVolumeInformation[ByHandle].
struct InfoBuffers {
  LPWSTR label;
  DWORD label_size;
  LPDWORD serial, max_component, flags;
  LPWSTR fs_name;
  DWORD fs_size;
};

BOOL report_volume(const Volume& v, const VolumeReading& r, const InfoBuffers& out) {
  const std::u16string label = utf8_to_utf16_lossy(r.probe.label);
  const std::string fs_name = windows_fs_name(v.fstype, r.probe.type, r.probe.version);
  const std::u16string fs_wide = utf8_to_utf16_lossy(fs_name);
  if (out.label && out.label_size < label.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (out.fs_name && out.fs_size < fs_wide.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (out.label) copy_terminated(label, out.label, out.label_size);
  if (out.fs_name) copy_terminated(fs_wide, out.fs_name, out.fs_size);
  if (out.serial) *out.serial = serial_from_device(v.dev);
  if (out.max_component) *out.max_component = static_cast<DWORD>(r.stats.f_namemax);
  if (out.flags) *out.flags = fs_flags(fs_name, (r.stats.f_flag & ST_RDONLY) != 0);
  return TRUE;
}

// What GetDiskFreeSpaceEx asks statvfs about: a volume by its name, or the
// place a caller's path leads to.
struct SpaceTarget {
  const Volume* volume = nullptr;
  std::string path;
};

Outcome<SpaceTarget> space_target(const Snapshot& snap, LPCWSTR directory) {
  if (directory == nullptr) return {ERROR_SUCCESS, SpaceTarget{nullptr, "."}};
  auto named = read_path_or_volume(snap, directory);
  if (!named.ok()) return failed<SpaceTarget>(named.error);
  if (named.value.volume) return {ERROR_SUCCESS, SpaceTarget{named.value.volume, {}}};
  std::string path = std::move(named.value.path);
  if (!path.empty() && path.back() == '\\') path.pop_back();
  if (path.empty()) return failed<SpaceTarget>(ERROR_INVALID_NAME);
  return {ERROR_SUCCESS, SpaceTarget{nullptr, std::move(path)}};
}

// statvfs of a volume at its mount point (a path from the mount table), or
// of the place a caller's path leads to.
Outcome<Stats> space_of(const Snapshot& snap, const SpaceTarget& t) {
  if (!t.volume) return at_caller_path<Stats>(snap, t.path, statvfs_of);
  return volume_statvfs(snap, *t.volume, BoundedClock::now() + kBlockingCallTimeout);
}

}  // namespace

extern "C" {

BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWCH lpszVolumePathNames,
                                             DWORD cchBufferLength,
                                             PDWORD lpcchReturnLength) {
  return guarded(FALSE, [&]() -> BOOL {
    // Text that does not begin as a volume name fails before any table is read.
    if (!names_volume(lpszVolumeName)) return fail(ERROR_INVALID_NAME);
    // Whether the caller's buffer holds the list: only then is its text
    // given, so only then is it proven.
    const auto fits = [&](const std::u16string& multi) {
      return lpszVolumePathNames != nullptr && cchBufferLength >= multi.size();
    };
    const auto listed = on_table_proven<OnVolume>(lpszVolumeName, [&](const SnapshotPtr& snap) {
      auto v = named_volume(*snap, lpszVolumeName);
      if (!v.ok()) return failed<OnVolume>(v.error);
      // A list the caller's buffer cannot hold is only sized, not proven:
      // its length tells the caller how much room to ask with next, and the
      // call that gives the text proves it (one renamed since then is sized
      // anew there).
      if (fits(v.value->path_names) && !mount_points_hold(*snap, *v.value))
        return failed<OnVolume>(kMountPointMoved);
      return Outcome<OnVolume>{ERROR_SUCCESS, OnVolume{snap, v.value, {}}};
    });
    if (!listed.ok()) return fail(listed.error);
    // A mount point whose bytes are not UTF-8 has no UTF-16 spelling and is
    // left out rather than reported mangled (when the snapshot is built).
    const std::u16string& multi = listed.value.volume->path_names;
    const auto needed = static_cast<DWORD>(multi.size());
    if (!fits(multi)) {
      if (lpcchReturnLength) *lpcchReturnLength = needed;
      return fail(ERROR_MORE_DATA);
    }
    multi.copy(lpszVolumePathNames, multi.size());
    if (lpcchReturnLength) *lpcchReturnLength = needed;
    return TRUE;
  });
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
  return guarded(FALSE, [&]() -> BOOL {
    const auto read = on_table_proven<OnVolume>(lpRootPathName, [&](const SnapshotPtr& snap) {
      auto found = resolve_root(*snap, lpRootPathName);
      if (!found.ok()) return failed<OnVolume>(found.error);
      auto reading = read_volume(*snap, *found.value);
      if (!reading.ok()) return failed<OnVolume>(reading.error);
      return Outcome<OnVolume>{ERROR_SUCCESS, OnVolume{snap, found.value, reading.value}};
    });
    if (!read.ok()) return fail(read.error);
    return report_volume(*read.value.volume, read.value.reading,
                         {lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
                          lpMaximumComponentLength, lpFileSystemFlags, lpFileSystemNameBuffer,
                          nFileSystemNameSize});
  });
}

BOOL WINAPI GetVolumeInformationByHandleW(HANDLE hFile, LPWSTR lpVolumeNameBuffer,
                                          DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                          LPDWORD lpMaximumComponentLength,
                                          LPDWORD lpFileSystemFlags,
                                          LPWSTR lpFileSystemNameBuffer,
                                          DWORD nFileSystemNameSize) {
  return guarded(FALSE, [&]() -> BOOL {
    const auto raw = reinterpret_cast<std::intptr_t>(hFile);
    if (raw < 0 || raw > INT_MAX) return fail(ERROR_INVALID_HANDLE);
    const int fd = static_cast<int>(raw);
    // The mount the file is on, from /proc: it names the volume and the gate
    // of the calls below without touching the file's own file system.
    const auto mount = mount_of_descriptor(fd);
    if (!mount.ok()) return fail(mount.error);
    const auto read = current_snapshot();
    if (!read.ok()) return fail(read.error);
    const auto& snap = read.value;
    const auto on = snap->volume_of_descriptor(fd, mount.value);
    if (!on.volume) return fail(ERROR_UNRECOGNIZED_VOLUME);
    auto reading = read_descriptor_volume(*snap, fd, *on.volume, on.devno);
    if (!reading.ok()) return fail(reading.error);
    return report_volume(*on.volume, reading.value,
                         {lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
                          lpMaximumComponentLength, lpFileSystemFlags, lpFileSystemNameBuffer,
                          nFileSystemNameSize});
  });
}

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  return guarded<UINT>(DRIVE_UNKNOWN, [&]() -> UINT {
    const auto read = snapshot_for(lpRootPathName);
    if (!read.ok()) return DRIVE_UNKNOWN;
    const auto& snap = read.value;
    auto found = resolve_root(*snap, lpRootPathName);
    if (found.ok()) return found.value->drive_type;
    return found.error == ERROR_NOT_ENOUGH_MEMORY ? DRIVE_UNKNOWN : DRIVE_NO_ROOT_DIR;
  });
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  return guarded(FALSE, [&]() -> BOOL {
    const auto got = on_table_proven<Stats>(lpDirectoryName, [&](const SnapshotPtr& snap) {
      auto target = space_target(*snap, lpDirectoryName);
      if (!target.ok()) return failed<Stats>(target.error);
      return space_of(*snap, target.value);
    });
    if (!got.ok()) return fail(got.error);
    const Stats& s = got.value;
    const std::uint64_t unit = s.f_frsize ? s.f_frsize : s.f_bsize;
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = s.f_bavail * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = s.f_blocks * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = s.f_bfree * unit;
    return TRUE;
  });
}

}  // extern "C"
