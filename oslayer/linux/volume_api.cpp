// The KERNEL32 volume calls, answered from the mount-table snapshot.
//
// Every entry point catches everything: failures become the Windows failure
// value plus a code for GetLastError, never an exception across the C ABI.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <mutex>
#include <new>
#include <system_error>

#include "bounded.h"
#include "k32l.h"
#include "raii.h"

using namespace k32l;

namespace {

DWORD error_from_errno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case ENOTCONN:
    case ESTALE:
    case ENODEV:
    case ENXIO:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ECONNREFUSED:
    case ENOMEDIUM:
      return ERROR_NOT_READY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_IO_DEVICE;
  }
}

DWORD error_from_bounded(BoundedStatus status) {
  return status == BoundedStatus::TimedOut ? ERROR_TIMEOUT : ERROR_NOT_ENOUGH_MEMORY;
}

// Runs an entry point's body, turning any exception into a Windows code.
template <class R, class F>
R guarded(R failure, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::system_error&) {  // no thread could be started
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    SetLastError(ERROR_IO_DEVICE);
  }
  return failure;
}

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// ---- argument resolution ----------------------------------------------------

struct TextArg {
  DWORD error = ERROR_SUCCESS;
  std::string utf8;
};

TextArg read_text(const WCHAR* text) {
  // ASCII text, as volume names are, is its own UTF-8: copied at once.
  if (text != nullptr) {
    std::size_t length = 0;
    while (length <= kMaxArgumentChars && text[length] != 0 && text[length] < 0x80) ++length;
    if (length <= kMaxArgumentChars && text[length] == 0) {
      return {ERROR_SUCCESS, std::string(text, text + length)};
    }
  }
  auto wide = read_argument(text);
  if (!wide) return {ERROR_INVALID_NAME, {}};
  auto utf8 = utf16_to_utf8(*wide);
  if (!utf8) return {ERROR_INVALID_NAME, {}};
  return {ERROR_SUCCESS, std::move(*utf8)};
}

std::optional<std::string> working_directory() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return std::nullopt;
  return normalise_root(buf);
}

struct RootLookup {
  const Volume* volume = nullptr;
  DWORD error = ERROR_SUCCESS;
};

bool has_dot_dot(std::string_view path) {
  for (std::size_t i = 0; i < path.size();) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(i, end - i) == "..") return true;
    i = end + 1;
  }
  return false;
}

// Where the kernel's walk of `path` ends ("..", symbolic links), on a worker
// behind the gate of the mount the text lies on: the walk may cross a mount
// that does not answer.
struct Resolved {
  int error = 0;
  std::string path;
};
Bounded<Resolved> resolve_path(const Snapshot& snap, const std::string& path) {
  return run_bounded<Resolved>(
      [path] {
        Resolved r;
        MallocString real(::realpath(path.c_str(), nullptr));
        if (real) {
          r.path = real.get();
        } else {
          r.error = errno;
        }
        return r;
      },
      gate_for(GateKind::Mount, snap.gate_key_for(path)));
}

// Finds the volume a root argument names: a volume name, or the path of one
// of its mount points (NULL: the volume holding the working directory). A
// path is taken first without the one trailing backslash the module appends,
// then as written (a backslash is an ordinary character in Linux names);
// "." and "//" collapse, and ".." is walked by the kernel. With check_path, a
// path that is no mount point is told apart as missing (ERROR_PATH_NOT_FOUND)
// or not a root (ERROR_DIR_NOT_ROOT).
RootLookup resolve_root(const Snapshot& snap, const WCHAR* root, bool check_path) {
  std::vector<std::string> spellings;
  if (root == nullptr) {
    auto cwd = working_directory();
    if (!cwd) return {nullptr, ERROR_PATH_NOT_FOUND};
    std::string best;
    for (const auto& [target, devno] : snap.all_targets) {
      (void)devno;
      if (path_is_under(*cwd, target) && target.size() >= best.size()) best = target;
    }
    spellings.push_back(best);
  } else {
    TextArg arg = read_text(root);
    if (arg.error) return {nullptr, arg.error};
    ParsedName parsed = parse_volume_name(arg.utf8, false);
    if (parsed.status == NameParse::Malformed) return {nullptr, ERROR_INVALID_NAME};
    if (parsed.status == NameParse::Ok) {
      const Volume* v = snap.find_by_id(parsed.id);
      return v ? RootLookup{v, ERROR_SUCCESS} : RootLookup{nullptr, ERROR_FILE_NOT_FOUND};
    }
    auto normal = normalise_root(arg.utf8);
    if (!normal) return {nullptr, ERROR_INVALID_NAME};
    spellings.push_back(std::move(*normal));
    if (arg.utf8.back() == '\\') {
      if (auto as_written = normalise_path(arg.utf8)) spellings.push_back(std::move(*as_written));
    }
  }
  for (const std::string& path : spellings) {
    if (const Volume* v = snap.find_by_target(path)) return {v, ERROR_SUCCESS};
    if (snap.is_other_target(path)) return {nullptr, ERROR_UNRECOGNIZED_VOLUME};
  }
  const std::string& path = spellings.front();
  if (has_dot_dot(path)) {
    auto walked = resolve_path(snap, path);
    if (walked.status != BoundedStatus::Ok) return {nullptr, error_from_bounded(walked.status)};
    if (walked.value->error) return {nullptr, error_from_errno(walked.value->error)};
    if (const Volume* v = snap.find_by_target(walked.value->path)) return {v, ERROR_SUCCESS};
    if (snap.is_other_target(walked.value->path)) return {nullptr, ERROR_UNRECOGNIZED_VOLUME};
    return {nullptr, ERROR_DIR_NOT_ROOT};
  }
  if (!check_path) return {nullptr, ERROR_DIR_NOT_ROOT};
  auto probe = run_bounded<int>(
      [path] {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? 0 : errno;
      },
      gate_for(GateKind::Mount, snap.gate_key_for(path)));
  if (probe.status != BoundedStatus::Ok) return {nullptr, error_from_bounded(probe.status)};
  if (*probe.value == 0) return {nullptr, ERROR_DIR_NOT_ROOT};
  return {nullptr, error_from_errno(*probe.value)};
}

// ---- volume information -------------------------------------------------------

struct VolumeReading {
  int error = 0;
  struct statvfs stats {};
  ProbeResult probe;
};

struct Statvfs {
  int error = 0;
  struct statvfs stats {};
};

// A fresh probe of the volume's device for the label and type, on a worker
// admitted by the device's gate: a device whose reads stall (its backing
// store stopped answering) costs one bounded wait, then fails at once until
// it answers again.
DWORD probe_volume(const Volume& v, BoundedClock::time_point deadline, VolumeReading& into) {
  if (v.device.empty()) return ERROR_SUCCESS;
  if (!may_read_device(v.device)) {
    into.probe = published_device_facts(v.device, v.rdev);
    return ERROR_SUCCESS;
  }
  auto probed = run_bounded_until<ProbeResult>(
      [device = v.device, rdev = v.rdev] { return probe_device(device, rdev); },
                                               gate_for(GateKind::Device, v.rdev), deadline);
  if (probed.status != BoundedStatus::Ok) return error_from_bounded(probed.status);
  into.probe = std::move(*probed.value);
  return ERROR_SUCCESS;
}

// statvfs of a mount of the volume (on a bounded worker when it may block),
// then the probe, both within one bound.
Bounded<VolumeReading> read_volume(const Snapshot& snap, const Volume& v, DWORD& error) {
  const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
  auto got = run_bounded_if<Statvfs>(
      snap.path_may_block(v.reach),
      [target = v.reach] {
        Statvfs r;
        if (::statvfs(target.c_str(), &r.stats) != 0) r.error = errno;
        return r;
      },
      [&v] { return gate_for(GateKind::Mount, v.table_devno); }, deadline);
  Bounded<VolumeReading> reading{got.status, std::nullopt};
  if (got.status != BoundedStatus::Ok) return reading;
  reading.value.emplace();
  reading.value->error = got.value->error;
  reading.value->stats = got.value->stats;
  if (reading.value->error == 0) error = probe_volume(v, deadline, *reading.value);
  return reading;
}

BOOL report_volume(const Volume& v, const VolumeReading& r, LPWSTR label_buf, DWORD label_size,
                   LPDWORD serial, LPDWORD max_component, LPDWORD flags, LPWSTR fs_buf,
                   DWORD fs_size) {
  const std::u16string label = utf8_to_utf16_lossy(r.probe.label);
  const std::string fs_name = windows_fs_name(v.fstype, r.probe.type, r.probe.version);
  const std::u16string fs_wide = utf8_to_utf16_lossy(fs_name);
  if (label_buf && label_size < label.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (fs_buf && fs_size < fs_wide.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
  if (label_buf) copy_terminated(label, label_buf, label_size);
  if (fs_buf) copy_terminated(fs_wide, fs_buf, fs_size);
  if (serial) *serial = serial_from_device(v.dev);
  if (max_component) *max_component = static_cast<DWORD>(r.stats.f_namemax);
  if (flags) *flags = fs_flags(fs_name, (r.stats.f_flag & ST_RDONLY) != 0);
  return TRUE;
}

// ---- search handles -----------------------------------------------------------

struct VolumeSearch {
  std::shared_ptr<const Snapshot> snapshot;  // the search walks one snapshot
  std::size_t next = 0;
};

class SearchRegistry {
 public:
  HANDLE open(std::unique_ptr<VolumeSearch> search) {
    HANDLE h = search.get();
    std::lock_guard<std::mutex> lock(mutex_);
    searches_.emplace(h, std::move(search));
    return h;
  }
  // Runs fn(search) under the lock; false when the handle is not open.
  template <class F>
  bool with(HANDLE h, F&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = searches_.find(h);
    if (it == searches_.end()) return false;
    fn(*it->second);
    return true;
  }
  bool close(HANDLE h) {
    std::unique_ptr<VolumeSearch> doomed;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = searches_.find(h);
    if (it == searches_.end()) return false;
    doomed = std::move(it->second);
    searches_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<HANDLE, std::unique_ptr<VolumeSearch>> searches_;
};

SearchRegistry& searches() {
  static SearchRegistry registry;
  return registry;
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
  return guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    if (lpszVolumeName == nullptr && cchBufferLength != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_unique<VolumeSearch>();
    // A search starts a refresh. A table read again checked its mounts and
    // devices just now; a table kept from before is checked here.
    const auto reads = mount_table_reads();
    search->snapshot = current_snapshot();
    if (mount_table_reads() == reads) check_volumes_answer(*search->snapshot);
    if (search->snapshot->volumes.empty()) {
      SetLastError(ERROR_NO_MORE_FILES);
      return INVALID_HANDLE_VALUE;
    }
    if (!copy_terminated(search->snapshot->volumes.front().name, lpszVolumeName,
                         cchBufferLength)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    search->next = 1;
    return searches().open(std::move(search));
  });
}

BOOL WINAPI FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
  return guarded(FALSE, [&]() -> BOOL {
    DWORD error = ERROR_SUCCESS;
    const bool open = searches().with(hFindVolume, [&](VolumeSearch& s) {
      const auto& volumes = s.snapshot->volumes;
      if (s.next >= volumes.size()) {
        error = ERROR_NO_MORE_FILES;
      } else if (lpszVolumeName == nullptr && cchBufferLength != 0) {
        error = ERROR_INVALID_PARAMETER;
      } else if (!copy_terminated(volumes[s.next].name, lpszVolumeName, cchBufferLength)) {
        error = ERROR_FILENAME_EXCED_RANGE;  // the caller may retry with more room
      } else {
        ++s.next;
      }
    });
    if (!open) return fail(ERROR_INVALID_HANDLE);
    if (error != ERROR_SUCCESS) return fail(error);
    return TRUE;
  });
}

BOOL WINAPI FindVolumeClose(HANDLE hFindVolume) {
  return guarded(FALSE, [&]() -> BOOL {
    if (!searches().close(hFindVolume)) return fail(ERROR_INVALID_HANDLE);
    return TRUE;
  });
}

BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWCH lpszVolumePathNames,
                                             DWORD cchBufferLength,
                                             PDWORD lpcchReturnLength) {
  return guarded(FALSE, [&]() -> BOOL {
    TextArg arg = read_text(lpszVolumeName);
    if (arg.error) return fail(arg.error);
    ParsedName parsed = parse_volume_name(arg.utf8, true);
    if (parsed.status != NameParse::Ok) return fail(ERROR_INVALID_NAME);
    auto snap = current_snapshot();
    const Volume* v = snap->find_by_id(parsed.id);
    if (!v) return fail(ERROR_FILE_NOT_FOUND);
    // A mount point whose bytes are not UTF-8 has no UTF-16 spelling and is
    // left out rather than reported mangled (when the snapshot is built).
    const std::u16string& multi = v->path_names;
    const auto needed = static_cast<DWORD>(multi.size());
    if (lpszVolumePathNames == nullptr || cchBufferLength < needed) {
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
    auto snap = current_snapshot();
    RootLookup found = resolve_root(*snap, lpRootPathName, true);
    if (!found.volume) return fail(found.error);
    DWORD probe_error = ERROR_SUCCESS;
    auto reading = read_volume(*snap, *found.volume, probe_error);
    if (reading.status != BoundedStatus::Ok) return fail(error_from_bounded(reading.status));
    if (reading.value->error) return fail(error_from_errno(reading.value->error));
    if (probe_error) return fail(probe_error);
    return report_volume(*found.volume, *reading.value, lpVolumeNameBuffer, nVolumeNameSize,
                         lpVolumeSerialNumber, lpMaximumComponentLength, lpFileSystemFlags,
                         lpFileSystemNameBuffer, nFileSystemNameSize);
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
    // The mount the file is on, from /proc: it names the volume and the gate
    // of the calls below without touching the file's own file system.
    const auto mount_id = descriptor_mount_id(static_cast<int>(raw));
    if (!mount_id) {
      if (::fcntl(static_cast<int>(raw), F_GETFD) < 0) return fail(ERROR_INVALID_HANDLE);
      return fail(ERROR_UNRECOGNIZED_VOLUME);
    }
    auto snap = current_snapshot();
    const Volume* v = snap->find_by_mount(*mount_id);
    const auto devno = snap->devno_by_mount.find(*mount_id);
    if (!v || devno == snap->devno_by_mount.end()) return fail(ERROR_UNRECOGNIZED_VOLUME);
    // The worker gets its own descriptor: the caller may close theirs once
    // this call has given up on a stuck file system.
    UniqueFd own(::fcntl(static_cast<int>(raw), F_DUPFD_CLOEXEC, 0));
    if (!own.valid()) return fail(errno == EBADF ? ERROR_INVALID_HANDLE : error_from_errno(errno));
    auto fd = std::make_shared<UniqueFd>(std::move(own));
    const auto deadline = BoundedClock::now() + kBlockingCallTimeout;
    auto got = run_bounded_until<Statvfs>(
        [fd] {
          Statvfs r;
          if (::fstatvfs(fd->get(), &r.stats) != 0) r.error = errno;
          return r;
        },
        gate_for(GateKind::Mount, devno->second), deadline);
    if (got.status != BoundedStatus::Ok) return fail(error_from_bounded(got.status));
    if (got.value->error) return fail(error_from_errno(got.value->error));
    Bounded<VolumeReading> reading{BoundedStatus::Ok, VolumeReading{}};
    reading.value->stats = got.value->stats;
    if (DWORD error = probe_volume(*v, deadline, *reading.value)) return fail(error);
    return report_volume(*v, *reading.value, lpVolumeNameBuffer, nVolumeNameSize,
                         lpVolumeSerialNumber, lpMaximumComponentLength, lpFileSystemFlags,
                         lpFileSystemNameBuffer, nFileSystemNameSize);
  });
}

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  return guarded<UINT>(DRIVE_UNKNOWN, [&]() -> UINT {
    auto snap = current_snapshot();
    RootLookup found = resolve_root(*snap, lpRootPathName, false);
    if (found.volume) return found.volume->drive_type;
    return found.error == ERROR_NOT_ENOUGH_MEMORY ? DRIVE_UNKNOWN : DRIVE_NO_ROOT_DIR;
  });
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  return guarded(FALSE, [&]() -> BOOL {
    auto snap = current_snapshot();
    std::string path;      // what statvfs is given
    std::string absolute;  // the same place as an absolute path, for the gate
    // A mount point from the mount table is a resolved path; a caller's path
    // may pass symbolic links into a mount that blocks, whatever its text.
    bool names_mount_point = false;
    if (lpDirectoryName == nullptr) {
      path = ".";
      absolute = working_directory().value_or("/");
    } else {
      TextArg arg = read_text(lpDirectoryName);
      if (arg.error) return fail(arg.error);
      ParsedName parsed = parse_volume_name(arg.utf8, false);
      if (parsed.status == NameParse::Malformed) return fail(ERROR_INVALID_NAME);
      if (parsed.status == NameParse::Ok) {
        const Volume* v = snap->find_by_id(parsed.id);
        if (!v) return fail(ERROR_FILE_NOT_FOUND);
        path = v->reach;
        absolute = v->reach;  // a mount point: absolute and normalised
        names_mount_point = true;
      } else {
        path = arg.utf8;
        if (!path.empty() && path.back() == '\\') path.pop_back();
        if (path.empty()) return fail(ERROR_INVALID_NAME);
        auto normal = normalise_root(
            path.front() == '/' ? path : working_directory().value_or("/") + "/" + path);
        absolute = normal.value_or("/");
      }
    }
    struct Space {
      int error = 0;
      struct statvfs stats {};
    };
    auto got = run_bounded_if<Space>(
        !names_mount_point || snap->path_may_block(absolute),
        [path] {
          Space s;
          if (::statvfs(path.c_str(), &s.stats) != 0) s.error = errno;
          return s;
        },
        [&] { return gate_for(GateKind::Mount, snap->gate_key_for(absolute)); },
        BoundedClock::now() + kBlockingCallTimeout);
    if (got.status != BoundedStatus::Ok) return fail(error_from_bounded(got.status));
    if (got.value->error) return fail(error_from_errno(got.value->error));
    const struct statvfs& s = got.value->stats;
    const std::uint64_t unit = s.f_frsize ? s.f_frsize : s.f_bsize;
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = s.f_bavail * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = s.f_blocks * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = s.f_bfree * unit;
    return TRUE;
  });
}

}  // extern "C"
