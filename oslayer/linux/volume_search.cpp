// FindFirstVolumeW, FindNextVolumeW, FindVolumeClose: a search walks one
// snapshot.
#include <map>
#include <memory>
#include <mutex>

#include "answers.h"
#include "process_state.h"
#include "text.h"

using namespace k32l;

namespace {

struct VolumeSearch {
  std::shared_ptr<const Snapshot> snapshot;  // the search walks one snapshot
  std::size_t next = 0;
};

class SearchRegistry {
 public:
  HANDLE open(std::unique_ptr<VolumeSearch> search) {
    HANDLE h = search.get();
    std::lock_guard<std::mutex> lock(search_lock());
    searches_.emplace(h, std::move(search));
    return h;
  }
  // Runs fn(search) under the lock; false when the handle is not open.
  template <class F>
  bool with(HANDLE h, F&& fn) {
    std::lock_guard<std::mutex> lock(search_lock());
    auto it = searches_.find(h);
    if (it == searches_.end()) return false;
    fn(*it->second);
    return true;
  }
  bool close(HANDLE h) {
    std::unique_ptr<VolumeSearch> doomed;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(search_lock());
    auto it = searches_.find(h);
    if (it == searches_.end()) return false;
    doomed = std::move(it->second);
    searches_.erase(it);
    return true;
  }

 private:
  // Guarded by search_lock(), which a fork leaves usable in the child.
  std::map<HANDLE, std::unique_ptr<VolumeSearch>> searches_;
};

SearchRegistry& searches() {
  static SearchRegistry registry;
  return registry;
}

// The next volume name of search `s` into the caller's buffer.
DWORD next_volume(VolumeSearch& s, LPWSTR buffer, DWORD capacity) {
  const auto& volumes = s.snapshot->volumes;
  if (s.next >= volumes.size()) return ERROR_NO_MORE_FILES;
  if (buffer == nullptr && capacity != 0) return ERROR_INVALID_PARAMETER;
  // Too small: the caller may retry with more room.
  if (!copy_terminated(volumes[s.next].name, buffer, capacity)) return ERROR_FILENAME_EXCED_RANGE;
  ++s.next;
  return ERROR_SUCCESS;
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
    auto read = search_snapshot();
    if (!read.ok()) {
      SetLastError(read.error);
      return INVALID_HANDLE_VALUE;
    }
    search->snapshot = std::move(read.value);
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
      error = next_volume(s, lpszVolumeName, cchBufferLength);
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

}  // extern "C"
