// _GetVolumePathNamesForVolumeName: the mount points of one volume, read
// from a multi-string into a buffer that grows to what the system asks for.
#include <cstdint>

#include "kernel32.h"
#include "pyutil/argument_parsing.h"
#include "pyutil/method_definition.h"
#include "pyutil/integer_conversion.h"
#include "pyutil/interpreter_memory.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "volume_queries/critical_errors.h"
#include "volume_queries/multi_string.h"
#include "volume_queries/system_text.h"
#include "volume_queries/volume_queries.h"
#include "windows/module_context.h"

namespace volumes {
namespace {

using pyutil::OwnedRef;
using pyutil::RequireNew;

// Enough for one drive root ("C:\", its NUL and the list's NUL) in one call.
constexpr DWORD kInitialBufferLength = 5;

std::uint64_t ByteCount(DWORD characters) { return std::uint64_t{characters} * sizeof(WCHAR); }

[[noreturn]] void RaiseAllocationFailure(std::uint64_t byte_count) {
  OwnedRef format = RequireNew(pyutil::NewNativeString("Could not allocate %s bytes."));
  OwnedRef count = pyutil::IntegerFromUnsigned(byte_count);
  OwnedRef message = RequireNew(pyutil::FormatNativeString(format.get(), count.get()));
  PyErr_SetObject(PyExc_MemoryError, message.get());
  pyutil::ThrowPythonError();
}

void AllocateOrRaise(pyutil::InterpreterBuffer<WCHAR>& buffer, DWORD characters) {
  if (!buffer.Allocate(ByteCount(characters))) RaiseAllocationFailure(ByteCount(characters));
}

// The mount points of the multi-string: its non-empty pieces, in order.
OwnedRef SplitMultiString(const WCHAR* text, DWORD length) {
  OwnedRef mount_points = RequireNew(PyList_New(0));
  ForEachMultiStringPiece(text, length, [&](TextPiece piece) {
    OwnedRef mount_point = pyutil::WideToUnicode(text + piece.offset, piece.length);
    pyutil::RequireStatus(PyList_Append(mount_points.get(), mount_point.get()));
  });
  return mount_points;
}

// Logs that the answer could not be had into the buffer, then raises
// WindowsError for `error_code`.
[[noreturn]] void RaiseLookupFailure(DWORD buffer_length, DWORD error_code) {
  OwnedRef size = pyutil::IntegerFromUnsigned(ByteCount(buffer_length));
  Log(LogLevel::kError, "Could not write path names into %s-byte buffer.", size.get());
  RaiseWindowsError(error_code);
}

const pyutil::TracebackEntry kTraceback("windows.volumes._GetVolumePathNamesForVolumeName",
                                        "windows/volume_queries/mount_points.cpp", __LINE__);
OwnedRef LookUpVolumePathNames(PyObject* guid_path, SystemText* keep) {
  OwnedRef volume_name = RequireNew(pyutil::TextOf(guid_path));
  SystemText own_text;
  SystemText& text = keep != nullptr ? *keep : own_text;
  text = TextForSystem(volume_name.get());
  const pyutil::WideString& wide_name = CheckedArgument(text, "guid_path");

  DWORD buffer_length = kInitialBufferLength;
  DWORD return_length = 0;
  pyutil::InterpreterBuffer<WCHAR> buffer;
  AllocateOrRaise(buffer, buffer_length);
  for (;;) {
    const BOOL succeeded = WithoutCriticalErrorDialogs([&] {
      return GetVolumePathNamesForVolumeNameW(wide_name.c_str(), buffer.get(), buffer_length,
                                              &return_length);
    });
    if (succeeded) break;
    // A failure is reported whatever the return length: an unknown or
    // unreadable volume must not pass for one without mount points. The
    // code is passed on as it was read, since the log handlers may change
    // the thread's last error before WindowsError is raised.
    const DWORD error_code = GetLastError();
    if (error_code != ERROR_MORE_DATA) RaiseLookupFailure(buffer_length, error_code);
    // Asking for no more room than the buffer had would repeat forever.
    if (return_length <= buffer_length) RaiseLookupFailure(buffer_length, ERROR_INVALID_DATA);
    OwnedRef old_size = pyutil::IntegerFromUnsigned(ByteCount(buffer_length));
    OwnedRef new_size = pyutil::IntegerFromUnsigned(ByteCount(return_length));
    Log(LogLevel::kDebug, "%s isn't big enough, allocating %s bytes.", old_size.get(),
        new_size.get());
    buffer.Release();
    buffer_length = return_length;
    AllocateOrRaise(buffer, buffer_length);
  }
  // A success that claims more text than the buffer holds is an inconsistent
  // answer: report it rather than read past the buffer.
  if (return_length > buffer_length) RaiseLookupFailure(buffer_length, ERROR_INVALID_DATA);
  // A return length of 0 or 1 holds no path: the buffer is not read.
  OwnedRef mount_points = return_length <= 1 ? RequireNew(PyList_New(0))
                                             : SplitMultiString(buffer.get(), return_length);
  buffer.Release();
  return mount_points;
}

}  // namespace

OwnedRef QueryVolumePathNames(PyObject* guid_path, SystemText* keep) {
  return pyutil::WithTracebackEntry(kTraceback, [guid_path, keep] {
    return LookUpVolumePathNames(guid_path, keep);
  });
}

PyObject* GetVolumePathNamesFunction(PyObject* /*module*/, PyObject* guid_path) {
  return pyutil::GuardEntry(kTraceback, [guid_path]() -> PyObject* {
    pyutil::CheckArgumentType(guid_path, pyutil::kAnyTextArgument, pyutil::NoneAllowed::kYes,
                              "guid_path");
    return QueryVolumePathNames(guid_path).release();
  });
}

extern const char kGetVolumePathNamesDoc[] = PYUTIL_SIGNED_DOC(
    "_GetVolumePathNamesForVolumeName", "($module, guid_path, /)",
    "Retrieves volume paths as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    guid_path: The GUID path of the volume, of the form:\n"
    "        \"\\\\?\\Volume{ABCDEF-01234...}\\\".\n"
    "\n"
    "  Returns:\n"
    "    List of unicode mount points (drive letters or otherwise) assigned to this\n"
    "    volume. Note that some volumes may have no paths assigned. This may even\n"
    "    happen when the volume actually does have accessible mounts, due to an\n"
    "    apparent bug in the disk management subsystem.\n"
    "\n"
    "  Raises:\n"
    "    WindowsError: If a Windows API returns an error code.\n"
    "  ");

}  // namespace volumes
