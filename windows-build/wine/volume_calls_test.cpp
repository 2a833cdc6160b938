// Runs under Wine (or Windows): checks that the built modules load on a
// Windows loader, and that the KERNEL32 volume calls answer in the way
// windows/volume_queries and the table refresh rely on, using the module's
// own Python-free pieces (the critical-error guard, the error texts).
//
// Usage: volume_calls_test.exe MODULE_DIRECTORY
// where MODULE_DIRECTORY holds volumes.pyd and winwrap.pyd; the
// interpreter's DLL they import (VOLUMES_PYTHON_DLL: a stand-in python27.dll,
// or python311.dll) sits beside this program. Prints one line per test and
// "N passed, N failed" last; exits 1 if any test failed.
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "kernel32.h"
#include "volume_queries/critical_errors.h"
#include "windows/winwrap/error_messages.h"

namespace {

using volumes::QuietCriticalErrors;
using volumes::WithoutCriticalErrorDialogs;

constexpr DWORD kQuietBits = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
constexpr DWORD kNameLength = MAX_PATH + 1;  // the module's name buffers

std::string module_directory;
int failures_in_test = 0;

void Expect(bool condition, const char* text, int line) {
  if (condition) return;
  ++failures_in_test;
  std::printf("    line %d: expected %s (last error %lu)\n", line, text,
              static_cast<unsigned long>(GetLastError()));
}
#define EXPECT(condition) Expect((condition), #condition, __LINE__)

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- loader: the .pyd files as a Windows loader sees them -----------------

void ExpectModuleLoads(const char* file_name, const char* entry_point) {
  const std::string path = module_directory + "\\" + file_name;
  HMODULE module = LoadLibraryA(path.c_str());
  EXPECT(module != nullptr);
  if (module == nullptr) return;
  EXPECT(GetProcAddress(module, entry_point) != nullptr);
  // Its interpreter imports resolved against the DLL beside us.
  EXPECT(GetModuleHandleW(VOLUMES_PYTHON_DLL) != nullptr);
  EXPECT(FreeLibrary(module) != FALSE);
}

void TestVolumesModuleLoads() {
  ExpectModuleLoads("volumes.pyd", VOLUMES_MODULE_INIT_PREFIX "volumes");
}
void TestWinwrapModuleLoads() {
  ExpectModuleLoads("winwrap.pyd", VOLUMES_MODULE_INIT_PREFIX "winwrap");
}

// ---- critical-error mode around the volume calls ---------------------------

void TestGuardQuietsAndRestores() {
  SetThreadErrorMode(0, nullptr);
  {
    QuietCriticalErrors quiet;
    EXPECT(GetThreadErrorMode() == kQuietBits);
  }
  EXPECT(GetThreadErrorMode() == 0);
}

void TestGuardKeepsModeBitsAlreadySet() {
  SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, nullptr);
  {
    QuietCriticalErrors quiet;
    EXPECT(GetThreadErrorMode() == (SEM_NOGPFAULTERRORBOX | kQuietBits));
  }
  EXPECT(GetThreadErrorMode() == SEM_NOGPFAULTERRORBOX);
  SetThreadErrorMode(0, nullptr);
}

void TestGuardKeepsLastErrorOfTheCall() {
  {
    QuietCriticalErrors quiet;
    SetLastError(ERROR_NOT_READY);
  }
  EXPECT(GetLastError() == ERROR_NOT_READY);
  const BOOL result = WithoutCriticalErrorDialogs([] {
    SetLastError(ERROR_UNRECOGNIZED_VOLUME);
    return FALSE;
  });
  EXPECT(result == FALSE);
  EXPECT(GetLastError() == ERROR_UNRECOGNIZED_VOLUME);
}

void TestNestedGuardsRestoreInOrder() {
  SetThreadErrorMode(0, nullptr);
  {
    QuietCriticalErrors outer;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS, nullptr);
    {
      QuietCriticalErrors inner;
      EXPECT(GetThreadErrorMode() == kQuietBits);
    }
    EXPECT(GetThreadErrorMode() == SEM_FAILCRITICALERRORS);
  }
  EXPECT(GetThreadErrorMode() == 0);
}

void TestCallRunsQuietAndReturnsItsResult() {
  SetThreadErrorMode(0, nullptr);
  DWORD mode_during_call = 0;
  const UINT answer = WithoutCriticalErrorDialogs([&mode_during_call] {
    mode_during_call = GetThreadErrorMode();
    return UINT{42};
  });
  EXPECT(answer == 42);
  EXPECT(mode_during_call == kQuietBits);
  EXPECT(GetThreadErrorMode() == 0);
}

// ---- error texts of windows.winwrap -----------------------------------------

void TestKnownCodeHasSystemTextTrimmed() {
  char* raw = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPSTR>(&raw), 0, nullptr);
  EXPECT(length > 0 && raw != nullptr);
  if (raw == nullptr) return;
  const std::string system_text(raw, length);
  LocalFree(raw);
  const std::string text = winwrap::WindowsErrorMessage(ERROR_ACCESS_DENIED);
  EXPECT(!text.empty());
  EXPECT(system_text.compare(0, text.size(), text) == 0);
  EXPECT(system_text.find_first_not_of(". \r\n", text.size()) == std::string::npos);
  EXPECT(text.back() != '.' && text.back() != '\n' && text.back() != '\r');
}

void TestUnknownCodeHasFallbackText() {
  const DWORD unknown = 0x2FFFFFF0u;
  EXPECT(winwrap::WindowsErrorMessage(unknown) == "Windows Error 0x2FFFFFF0");
}

// ---- the volume search (FindFirstVolumeW / FindNextVolumeW) ----------------

bool LooksLikeVolumeGuidName(const std::wstring& name) {
  // \\?\Volume{GUID}\ : what the module's VOLUME_NAME_GUID_MATCHER takes.
  const std::wstring prefix = L"\\\\?\\Volume{";
  if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < prefix.size() + 3) return false;
  const std::size_t close = name.find(L'}', prefix.size());
  if (close == std::wstring::npos || close == prefix.size()) return false;
  for (std::size_t index = prefix.size(); index < close; ++index) {
    const wchar_t unit = name[index];
    if (!(std::iswalnum(unit) || unit == L'-' || unit == L'_')) return false;
  }
  return name.substr(close) == L"}\\";
}

std::vector<std::wstring> AllVolumeNames() {
  std::vector<std::wstring> names;
  WCHAR buffer[kNameLength];
  HANDLE search = FindFirstVolumeW(buffer, kNameLength);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.emplace_back(buffer, wcsnlen(buffer, kNameLength));
  } while (FindNextVolumeW(search, buffer, kNameLength));
  FindVolumeClose(search);
  return names;
}

void TestSearchYieldsGuidNamesThenNoMoreFiles() {
  WCHAR buffer[kNameLength];
  HANDLE search = FindFirstVolumeW(buffer, kNameLength);
  EXPECT(search != INVALID_HANDLE_VALUE);
  if (search == INVALID_HANDLE_VALUE) return;
  std::set<std::wstring> seen;
  for (;;) {
    // Terminated within the buffer, as TextFromFixedBuffer requires.
    EXPECT(wcsnlen(buffer, kNameLength) < kNameLength);
    const std::wstring name(buffer, wcsnlen(buffer, kNameLength));
    EXPECT(LooksLikeVolumeGuidName(name));
    EXPECT(seen.insert(name).second);  // the search advances
    if (!FindNextVolumeW(search, buffer, kNameLength)) break;
  }
  EXPECT(GetLastError() == ERROR_NO_MORE_FILES);
  EXPECT(FindVolumeClose(search) != FALSE);
}

// The GUID name of the volume mounted at C:\ (the system volume).
std::wstring SystemVolumeName() {
  WCHAR buffer[kNameLength] = {0};
  if (!GetVolumeNameForVolumeMountPointW(L"C:\\", buffer, kNameLength)) return std::wstring();
  return std::wstring(buffer, wcsnlen(buffer, kNameLength));
}

void TestSystemVolumeIsAmongTheSearchResults() {
  const std::wstring system_volume = SystemVolumeName();
  EXPECT(!system_volume.empty());
  const std::vector<std::wstring> names = AllVolumeNames();
  bool found = false;
  for (const std::wstring& name : names) found = found || name == system_volume;
  EXPECT(found);
}

// ---- mount points (GetVolumePathNamesForVolumeNameW) -----------------------

void TestShortBufferAsksForMoreThanItHad() {
  const std::wstring volume = SystemVolumeName();
  WCHAR one_unit[1];
  DWORD needed = 0;
  const BOOL succeeded = WithoutCriticalErrorDialogs([&] {
    return GetVolumePathNamesForVolumeNameW(volume.c_str(), one_unit, 1, &needed);
  });
  EXPECT(succeeded == FALSE);
  EXPECT(GetLastError() == ERROR_MORE_DATA);
  // The module grows its buffer only when asked for more than it had.
  EXPECT(needed > 1);

  std::vector<WCHAR> buffer(needed);
  DWORD written = 0;
  EXPECT(GetVolumePathNamesForVolumeNameW(volume.c_str(), buffer.data(), needed, &written));
  EXPECT(written <= needed);
  EXPECT(written >= 2 && buffer[written - 1] == 0 && buffer[written - 2] == 0);
}

void TestDriveRootFitsTheInitialBuffer() {
  // The module starts with 5 units: "C:\", its NUL and the list's NUL.
  const std::wstring volume = SystemVolumeName();
  WCHAR buffer[5];
  DWORD written = 0;
  EXPECT(GetVolumePathNamesForVolumeNameW(volume.c_str(), buffer, 5, &written));
  EXPECT(written == 5);
  EXPECT(std::wstring(buffer) == L"C:\\");
}

void TestUnknownVolumeHasNoPathOrFails() {
  WCHAR buffer[16];
  DWORD written = 0;
  const BOOL succeeded = WithoutCriticalErrorDialogs([&] {
    return GetVolumePathNamesForVolumeNameW(
        L"\\\\?\\Volume{00000000-0000-0000-0000-00000000ffff}\\", buffer, 16, &written);
  });
  // Either answer is one the module handles: no path (an empty list) or a
  // failure other than "more data" (a WindowsError for that volume).
  EXPECT(written <= 1 || (!succeeded && GetLastError() != ERROR_MORE_DATA));
}

// ---- volume information by name and by handle ------------------------------

struct Information {
  BOOL succeeded = FALSE;
  DWORD serial = 0;
  std::wstring filesystem;
};

Information InformationByPath(const std::wstring& root) {
  Information information;
  WCHAR label[kNameLength];
  WCHAR filesystem[kNameLength];
  DWORD max_component = 0;
  DWORD flags = 0;
  information.succeeded = WithoutCriticalErrorDialogs([&] {
    return GetVolumeInformationW(root.c_str(), label, kNameLength, &information.serial,
                                 &max_component, &flags, filesystem, kNameLength);
  });
  if (information.succeeded) {
    EXPECT(wcsnlen(label, kNameLength) < kNameLength);
    EXPECT(wcsnlen(filesystem, kNameLength) < kNameLength);
    information.filesystem.assign(filesystem, wcsnlen(filesystem, kNameLength));
  }
  return information;
}

Information InformationByHandle(HANDLE file) {
  Information information;
  WCHAR label[kNameLength];
  WCHAR filesystem[kNameLength];
  DWORD max_component = 0;
  DWORD flags = 0;
  information.succeeded = WithoutCriticalErrorDialogs([&] {
    return GetVolumeInformationByHandleW(file, label, kNameLength, &information.serial,
                                         &max_component, &flags, filesystem, kNameLength);
  });
  if (information.succeeded) {
    information.filesystem.assign(filesystem, wcsnlen(filesystem, kNameLength));
  }
  return information;
}

void TestGuidNameAnswersAsItsMountPoint() {
  // The refresh names each volume by its GUID name, not by its mount point.
  const Information by_guid = InformationByPath(SystemVolumeName());
  const Information by_root = InformationByPath(L"C:\\");
  EXPECT(by_guid.succeeded && by_root.succeeded);
  EXPECT(by_guid.serial == by_root.serial);
  EXPECT(!by_guid.filesystem.empty() && by_guid.filesystem == by_root.filesystem);
}

void TestHandleThroughPythonIntegerAnswersAsItsVolume() {
  WCHAR directory[MAX_PATH + 1];
  WCHAR file_name[MAX_PATH + 1];
  EXPECT(GetTempPathW(MAX_PATH + 1, directory) > 0);
  EXPECT(GetTempFileNameW(directory, L"vol", 0, file_name) != 0);
  HANDLE file = CreateFileW(file_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  EXPECT(file != INVALID_HANDLE_VALUE);
  if (file == INVALID_HANDLE_VALUE) return;
  // The handle travels as a Python integer and back, as in
  // QueryVolumeInformationByHandle.
  const std::int64_t as_python_integer = reinterpret_cast<std::intptr_t>(file);
  HANDLE again = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(as_python_integer));
  EXPECT(again == file);

  const Information by_handle = InformationByHandle(again);
  EXPECT(by_handle.succeeded);

  WCHAR root[MAX_PATH + 1];
  EXPECT(GetVolumePathNameW(file_name, root, MAX_PATH + 1));
  const Information by_root = InformationByPath(root);
  EXPECT(by_root.succeeded && by_handle.serial == by_root.serial);
  EXPECT(CloseHandle(file));
}

void TestClosedHandleFailsWithInvalidHandle() {
  HANDLE file = CreateFileW(L"C:\\", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT(file != INVALID_HANDLE_VALUE);
  if (file == INVALID_HANDLE_VALUE) return;
  EXPECT(CloseHandle(file));
  EXPECT(InformationByHandle(file).succeeded == FALSE);
  EXPECT(GetLastError() == ERROR_INVALID_HANDLE);
}

void TestUnknownVolumeFailsWithItsOwnError() {
  const Information missing =
      InformationByPath(L"\\\\?\\Volume{00000000-0000-0000-0000-00000000ffff}\\");
  EXPECT(missing.succeeded == FALSE);
  EXPECT(GetLastError() != ERROR_SUCCESS);
}

// ---- drive type and capacity, asked by GUID name as the refresh does -------

void TestCapacityByGuidNameMatchesMountPoint() {
  ULARGE_INTEGER by_guid;
  ULARGE_INTEGER by_root;
  by_guid.QuadPart = by_root.QuadPart = 0;
  const std::wstring volume = SystemVolumeName();
  EXPECT(WithoutCriticalErrorDialogs(
      [&] { return GetDiskFreeSpaceExW(volume.c_str(), nullptr, &by_guid, nullptr); }));
  EXPECT(GetDiskFreeSpaceExW(L"C:\\", nullptr, &by_root, nullptr));
  EXPECT(by_guid.QuadPart > 0 && by_guid.QuadPart == by_root.QuadPart);
}

void TestDriveTypeByGuidName() {
  const std::wstring volume = SystemVolumeName();
  const UINT by_guid = WithoutCriticalErrorDialogs([&] { return GetDriveTypeW(volume.c_str()); });
  const UINT by_root = GetDriveTypeW(L"C:\\");
  EXPECT(by_root == DRIVE_FIXED);
  if (RunningUnderWine() && by_guid == DRIVE_UNKNOWN) {
    // Wine does not resolve GUID names here; Windows answers as for C:\.
    std::printf("    note: Wine answers DRIVE_UNKNOWN for a GUID name\n");
    return;
  }
  EXPECT(by_guid == by_root);
}

struct Test {
  const char* group;
  const char* name;
  void (*body)();
};

const Test kTests[] = {
    {"loader", "volumes.pyd loads and exports " VOLUMES_MODULE_INIT_PREFIX "volumes",
     TestVolumesModuleLoads},
    {"loader", "winwrap.pyd loads and exports " VOLUMES_MODULE_INIT_PREFIX "winwrap",
     TestWinwrapModuleLoads},
    {"error mode", "the guard quiets critical errors and restores", TestGuardQuietsAndRestores},
    {"error mode", "the guard keeps mode bits already set", TestGuardKeepsModeBitsAlreadySet},
    {"error mode", "the call's last error survives the restore", TestGuardKeepsLastErrorOfTheCall},
    {"error mode", "nested guards restore in order", TestNestedGuardsRestoreInOrder},
    {"error mode", "a wrapped call runs quiet and returns its result",
     TestCallRunsQuietAndReturnsItsResult},
    {"error text", "a known code has the system's text, trimmed",
     TestKnownCodeHasSystemTextTrimmed},
    {"error text", "an unknown code has the fallback text", TestUnknownCodeHasFallbackText},
    {"volume search", "GUID names, each once, then ERROR_NO_MORE_FILES",
     TestSearchYieldsGuidNamesThenNoMoreFiles},
    {"volume search", "the system volume is found", TestSystemVolumeIsAmongTheSearchResults},
    {"mount points", "a short buffer asks for more than it had",
     TestShortBufferAsksForMoreThanItHad},
    {"mount points", "a drive root fits the initial 5 units", TestDriveRootFitsTheInitialBuffer},
    {"mount points", "an unknown volume has no path or fails", TestUnknownVolumeHasNoPathOrFails},
    {"information", "a GUID name answers as its mount point", TestGuidNameAnswersAsItsMountPoint},
    {"information", "a handle through a Python integer answers as its volume",
     TestHandleThroughPythonIntegerAnswersAsItsVolume},
    {"information", "a closed handle fails with ERROR_INVALID_HANDLE",
     TestClosedHandleFailsWithInvalidHandle},
    {"information", "an unknown volume fails with an error code",
     TestUnknownVolumeFailsWithItsOwnError},
    {"refresh calls", "capacity by GUID name matches the mount point",
     TestCapacityByGuidNameMatchesMountPoint},
    {"refresh calls", "drive type by GUID name", TestDriveTypeByGuidName},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MODULE_DIRECTORY\n", argv[0]);
    return 2;
  }
  module_directory = argv[1];
  std::printf("volume_calls_test on %s\n", RunningUnderWine() ? "Wine" : "Windows");
  int passed = 0;
  int failed = 0;
  for (const Test& test : kTests) {
    failures_in_test = 0;
    test.body();
    std::printf("%s: %s ... %s\n", test.group, test.name, failures_in_test ? "FAILED" : "ok");
    if (failures_in_test) {
      ++failed;
    } else {
      ++passed;
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
