// The scripted provider of the operating-system layer, for tests.
//
// It answers the KERNEL32 volume calls from a model of volumes that a test
// sets up (names, mount points, label, serial, file system, drive type,
// capacity), and lets a test replace the next answer of any call with any
// result, error code, buffer content (with or without NULs) and return
// length. Every call is recorded with its arguments, so that a test can
// assert that a handle was closed exactly once or a call never made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kernel32.h"

namespace scripted {

using Units = std::u16string;  // UTF-16 code units, NULs included verbatim

struct Volume {
  Units name;                       // the volume GUID name
  std::vector<Units> mount_points;  // in the order the system reports them
  Units label;
  DWORD serial = 0;
  DWORD max_component = 255;
  DWORD flags = 0;
  Units filesystem;
  UINT drive_type = DRIVE_FIXED;
  std::optional<std::uint64_t> total_bytes;  // none: the capacity query fails
};

// A scripted answer for the next call of one function. Fields left empty
// take the model's behaviour; text fields are written into the caller's
// buffer as they are, cut at the buffer's size, with no NUL added.
struct Answer {
  std::optional<std::int64_t> result;  // the return value; for FindFirstVolumeW 0 = fail
  std::optional<DWORD> error;          // set as the thread's last error
  std::optional<Units> text;           // the name / label / multi-string buffer
  std::optional<Units> filesystem;     // the file system name buffer
  std::optional<DWORD> return_length;
  std::optional<DWORD> serial;
  std::optional<DWORD> max_component;
  std::optional<DWORD> flags;
  std::optional<std::uint64_t> total_bytes;
  bool model = false;  // answer from the model, as if nothing had been pushed
};

using Argument = std::variant<std::int64_t, Units>;

struct CallRecord {
  std::string function;
  std::vector<Argument> arguments;
};

void Reset();
void AddVolume(const Volume& volume);
bool RemoveVolume(const Units& name);
// The names the volume search yields, instead of the model's volume names,
// and the error code that ends it.
void SetEnumeration(std::optional<std::vector<Units>> names, DWORD end_error);
// Makes a handle value name a file on the volume called `volume_name`.
void BindHandle(std::int64_t handle, const Units& volume_name);
void PushAnswer(const std::string& function, const Answer& answer);
std::vector<CallRecord> Calls();
void ClearCalls();
std::vector<std::int64_t> OpenSearches();

}  // namespace scripted
