// The scripted KERNEL32: answers from the model or from pushed answers.
#include "scripted_system.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

namespace scripted {
namespace {

struct Search {
  std::vector<Units> names;
  std::size_t position = 0;
};

struct State {
  std::mutex mutex;
  std::vector<Volume> volumes;
  std::optional<std::vector<Units>> enumeration;
  DWORD enumeration_end_error = ERROR_NO_MORE_FILES;
  std::map<std::int64_t, Units> handles;
  std::map<std::string, std::deque<Answer>> answers;
  std::map<std::int64_t, Search> searches;
  std::int64_t next_search_handle = 0x1000;
  std::vector<CallRecord> calls;
};

State& TheState() {
  static State* state = new State();  // lives until the process ends
  return *state;
}

Units ReadText(const WCHAR* text) {
  if (text == nullptr) return Units();
  Units units;
  for (const WCHAR* unit = text; *unit != 0; ++unit) units.push_back(*unit);
  return units;
}

std::optional<Answer> PopAnswer(State& state, const char* function) {
  auto found = state.answers.find(function);
  if (found == state.answers.end() || found->second.empty()) return std::nullopt;
  Answer answer = found->second.front();
  found->second.pop_front();
  if (answer.model) return std::nullopt;
  return answer;
}

// Writes units as they are, never past `capacity` units.
void WriteRaw(const Units& units, WCHAR* buffer, DWORD capacity) {
  if (buffer == nullptr) return;
  const std::size_t count = std::min<std::size_t>(units.size(), capacity);
  std::copy(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(count), buffer);
}

// Writes text and its NUL, as the system does; false when it does not fit.
bool WriteTerminated(const Units& text, WCHAR* buffer, DWORD capacity) {
  if (buffer == nullptr || text.size() + 1 > capacity) return false;
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return true;
}

const Volume* FindVolumeByRoot(const State& state, const Units& root) {
  for (const Volume& volume : state.volumes) {
    if (volume.name == root) return &volume;
    for (const Units& mount_point : volume.mount_points) {
      if (mount_point == root) return &volume;
    }
  }
  return nullptr;
}

const Volume* FindVolumeByName(const State& state, const Units& name) {
  for (const Volume& volume : state.volumes) {
    if (volume.name == name) return &volume;
  }
  return nullptr;
}

void Record(State& state, const char* function, std::vector<Argument> arguments) {
  state.calls.push_back(CallRecord{function, std::move(arguments)});
}

std::int64_t HandleValue(HANDLE handle) {
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(handle));
}

BOOL AnswerVolumeInformation(const Answer& answer, const Volume* volume, WCHAR* label,
                             DWORD label_size, LPDWORD serial, LPDWORD max_component,
                             LPDWORD flags, WCHAR* filesystem, DWORD filesystem_size) {
  if (answer.error) SetLastError(*answer.error);
  if (answer.text) WriteRaw(*answer.text, label, label_size);
  if (answer.filesystem) WriteRaw(*answer.filesystem, filesystem, filesystem_size);
  if (volume != nullptr) {
    if (!answer.text) WriteTerminated(volume->label, label, label_size);
    if (!answer.filesystem) WriteTerminated(volume->filesystem, filesystem, filesystem_size);
  }
  if (serial != nullptr) *serial = answer.serial.value_or(volume ? volume->serial : 0);
  if (max_component != nullptr) {
    *max_component = answer.max_component.value_or(volume ? volume->max_component : 0);
  }
  if (flags != nullptr) *flags = answer.flags.value_or(volume ? volume->flags : 0);
  return static_cast<BOOL>(answer.result.value_or(TRUE));
}

BOOL ModelVolumeInformation(const Volume* volume, DWORD missing_error, WCHAR* label,
                            DWORD label_size, LPDWORD serial, LPDWORD max_component,
                            LPDWORD flags, WCHAR* filesystem, DWORD filesystem_size) {
  if (volume == nullptr) {
    SetLastError(missing_error);
    return FALSE;
  }
  if (!WriteTerminated(volume->label, label, label_size) ||
      !WriteTerminated(volume->filesystem, filesystem, filesystem_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (serial != nullptr) *serial = volume->serial;
  if (max_component != nullptr) *max_component = volume->max_component;
  if (flags != nullptr) *flags = volume->flags;
  return TRUE;
}

}  // namespace

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.volumes.clear();
  state.enumeration.reset();
  state.enumeration_end_error = ERROR_NO_MORE_FILES;
  state.handles.clear();
  state.answers.clear();
  state.searches.clear();
  state.calls.clear();
}

void AddVolume(const Volume& volume) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.volumes.push_back(volume);
}

bool RemoveVolume(const Units& name) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = std::find_if(state.volumes.begin(), state.volumes.end(),
                            [&](const Volume& volume) { return volume.name == name; });
  if (found == state.volumes.end()) return false;
  state.volumes.erase(found);
  return true;
}

void SetEnumeration(std::optional<std::vector<Units>> names, DWORD end_error) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enumeration = std::move(names);
  state.enumeration_end_error = end_error;
}

void BindHandle(std::int64_t handle, const Units& volume_name) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.handles[handle] = volume_name;
}

void PushAnswer(const std::string& function, const Answer& answer) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.answers[function].push_back(answer);
}

std::vector<CallRecord> Calls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls;
}

void ClearCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.calls.clear();
}

std::vector<std::int64_t> OpenSearches() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<std::int64_t> open;
  for (const auto& search : state.searches) open.push_back(search.first);
  return open;
}

}  // namespace scripted

using scripted::Answer;
using scripted::Search;
using scripted::State;
using scripted::TheState;
using scripted::Units;

extern "C" HANDLE WINAPI FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  scripted::Record(state, "FindFirstVolumeW", {std::int64_t{cchBufferLength}});
  Search search;
  search.names = state.enumeration ? *state.enumeration : std::vector<Units>();
  if (!state.enumeration) {
    for (const auto& volume : state.volumes) search.names.push_back(volume.name);
  }
  if (auto answer = scripted::PopAnswer(state, "FindFirstVolumeW")) {
    if (answer->error) SetLastError(*answer->error);
    if (answer->result && *answer->result == 0) return INVALID_HANDLE_VALUE;
    if (answer->text) {
      scripted::WriteRaw(*answer->text, lpszVolumeName, cchBufferLength);
    } else {
      // Never leave the caller's buffer unwritten on success: the model's
      // first name, or the empty name.
      scripted::WriteTerminated(search.names.empty() ? Units() : search.names[0],
                                lpszVolumeName, cchBufferLength);
    }
    search.position = 1;
  } else {
    if (search.names.empty()) {
      SetLastError(ERROR_NO_MORE_FILES);
      return INVALID_HANDLE_VALUE;
    }
    if (!scripted::WriteTerminated(search.names[0], lpszVolumeName, cchBufferLength)) {
      SetLastError(206);  // ERROR_FILENAME_EXCED_RANGE
      return INVALID_HANDLE_VALUE;
    }
    search.position = 1;
  }
  const std::int64_t handle = state.next_search_handle;
  state.next_search_handle += 4;
  state.searches[handle] = std::move(search);
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
}

extern "C" BOOL WINAPI FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName,
                                       DWORD cchBufferLength) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const std::int64_t handle = scripted::HandleValue(hFindVolume);
  scripted::Record(state, "FindNextVolumeW", {handle, std::int64_t{cchBufferLength}});
  auto search = state.searches.find(handle);
  if (search == state.searches.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto answer = scripted::PopAnswer(state, "FindNextVolumeW")) {
    if (answer->error) SetLastError(*answer->error);
    if (answer->text) scripted::WriteRaw(*answer->text, lpszVolumeName, cchBufferLength);
    return static_cast<BOOL>(answer->result.value_or(TRUE));
  }
  Search& current = search->second;
  if (current.position >= current.names.size()) {
    SetLastError(state.enumeration_end_error);
    return FALSE;
  }
  if (!scripted::WriteTerminated(current.names[current.position], lpszVolumeName,
                                 cchBufferLength)) {
    SetLastError(206);  // ERROR_FILENAME_EXCED_RANGE
    return FALSE;
  }
  ++current.position;
  return TRUE;
}

extern "C" BOOL WINAPI FindVolumeClose(HANDLE hFindVolume) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const std::int64_t handle = scripted::HandleValue(hFindVolume);
  scripted::Record(state, "FindVolumeClose", {handle});
  if (state.searches.erase(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

namespace scripted {
namespace {

// Answers one volume information call: a pushed answer, else the model's
// volume (or `missing_error` when there is none).
BOOL AnswerVolumeInformationCall(State& state, const char* function, const Volume* volume,
                                 DWORD missing_error, LPWSTR label, DWORD label_size,
                                 LPDWORD serial, LPDWORD max_component, LPDWORD flags,
                                 LPWSTR filesystem, DWORD filesystem_size) {
  if (auto answer = PopAnswer(state, function)) {
    return AnswerVolumeInformation(*answer, volume, label, label_size, serial, max_component,
                                   flags, filesystem, filesystem_size);
  }
  return ModelVolumeInformation(volume, missing_error, label, label_size, serial, max_component,
                                flags, filesystem, filesystem_size);
}

}  // namespace
}  // namespace scripted

extern "C" BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                             DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                             LPDWORD lpMaximumComponentLength,
                                             LPDWORD lpFileSystemFlags,
                                             LPWSTR lpFileSystemNameBuffer,
                                             DWORD nFileSystemNameSize) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const Units root = scripted::ReadText(lpRootPathName);
  scripted::Record(state, "GetVolumeInformationW",
                   {root, std::int64_t{nVolumeNameSize}, std::int64_t{nFileSystemNameSize}});
  return scripted::AnswerVolumeInformationCall(
      state, "GetVolumeInformationW", scripted::FindVolumeByRoot(state, root),
      ERROR_PATH_NOT_FOUND, lpVolumeNameBuffer, nVolumeNameSize, lpVolumeSerialNumber,
      lpMaximumComponentLength, lpFileSystemFlags, lpFileSystemNameBuffer, nFileSystemNameSize);
}

extern "C" BOOL WINAPI GetVolumeInformationByHandleW(
    HANDLE hFile, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
    LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
    LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const std::int64_t handle = scripted::HandleValue(hFile);
  scripted::Record(state, "GetVolumeInformationByHandleW",
                   {handle, std::int64_t{nVolumeNameSize}, std::int64_t{nFileSystemNameSize}});
  const scripted::Volume* volume = nullptr;
  auto bound = state.handles.find(handle);
  if (bound != state.handles.end()) volume = scripted::FindVolumeByName(state, bound->second);
  return scripted::AnswerVolumeInformationCall(
      state, "GetVolumeInformationByHandleW", volume, ERROR_INVALID_HANDLE, lpVolumeNameBuffer,
      nVolumeNameSize, lpVolumeSerialNumber, lpMaximumComponentLength, lpFileSystemFlags,
      lpFileSystemNameBuffer, nFileSystemNameSize);
}

extern "C" BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName,
                                                        LPWCH lpszVolumePathNames,
                                                        DWORD cchBufferLength,
                                                        PDWORD lpcchReturnLength) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const Units name = scripted::ReadText(lpszVolumeName);
  scripted::Record(state, "GetVolumePathNamesForVolumeNameW",
                   {name, std::int64_t{cchBufferLength}});
  if (auto answer = scripted::PopAnswer(state, "GetVolumePathNamesForVolumeNameW")) {
    if (answer->error) SetLastError(*answer->error);
    if (answer->text) scripted::WriteRaw(*answer->text, lpszVolumePathNames, cchBufferLength);
    if (answer->return_length && lpcchReturnLength != nullptr) {
      *lpcchReturnLength = *answer->return_length;
    }
    return static_cast<BOOL>(answer->result.value_or(TRUE));
  }
  const scripted::Volume* volume = scripted::FindVolumeByName(state, name);
  if (volume == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  Units multi_string;
  for (const Units& mount_point : volume->mount_points) {
    multi_string += mount_point;
    multi_string.push_back(0);
  }
  multi_string.push_back(0);
  const DWORD needed = static_cast<DWORD>(multi_string.size());
  if (lpcchReturnLength != nullptr) *lpcchReturnLength = needed;
  if (lpszVolumePathNames == nullptr || cchBufferLength < needed) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  scripted::WriteRaw(multi_string, lpszVolumePathNames, cchBufferLength);
  return TRUE;
}

extern "C" UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const Units root = scripted::ReadText(lpRootPathName);
  scripted::Record(state, "GetDriveTypeW", {root});
  if (auto answer = scripted::PopAnswer(state, "GetDriveTypeW")) {
    return static_cast<UINT>(answer->result.value_or(DRIVE_UNKNOWN));
  }
  const scripted::Volume* volume = scripted::FindVolumeByRoot(state, root);
  return volume != nullptr ? volume->drive_type : DRIVE_NO_ROOT_DIR;
}

extern "C" BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                           PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const Units directory = scripted::ReadText(lpDirectoryName);
  scripted::Record(state, "GetDiskFreeSpaceExW",
                   {directory, std::int64_t{lpFreeBytesAvailableToCaller != nullptr},
                    std::int64_t{lpTotalNumberOfBytes != nullptr},
                    std::int64_t{lpTotalNumberOfFreeBytes != nullptr}});
  std::optional<std::uint64_t> total;
  BOOL result = TRUE;
  if (auto answer = scripted::PopAnswer(state, "GetDiskFreeSpaceExW")) {
    if (answer->error) SetLastError(*answer->error);
    total = answer->total_bytes;
    result = static_cast<BOOL>(answer->result.value_or(TRUE));
  } else {
    const scripted::Volume* volume = scripted::FindVolumeByRoot(state, directory);
    if (volume == nullptr || !volume->total_bytes) {
      SetLastError(volume == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_NOT_READY);
      return FALSE;
    }
    total = volume->total_bytes;
  }
  if (total) {
    if (lpTotalNumberOfBytes != nullptr) lpTotalNumberOfBytes->QuadPart = *total;
    if (lpFreeBytesAvailableToCaller != nullptr) lpFreeBytesAvailableToCaller->QuadPart = *total / 2;
    if (lpTotalNumberOfFreeBytes != nullptr) lpTotalNumberOfFreeBytes->QuadPart = *total / 2;
  }
  return result;
}
