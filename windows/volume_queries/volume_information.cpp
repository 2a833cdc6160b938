// GetVolumeInformation and GetVolumeInformationByHandle: the volume
// information tuple of a volume named by root path or by open handle.
#include <cstdint>

#include "kernel32.h"
#include "pyutil/argument_parsing.h"
#include "pyutil/integer_conversion.h"
#include "pyutil/method_definition.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/system_names.h"
#include "pyutil/traceback_entry.h"
#include "volume_queries/critical_errors.h"
#include "volume_queries/system_text.h"
#include "volume_queries/volume_queries.h"
#include "windows/module_context.h"

namespace volumes {
namespace {

using pyutil::OwnedRef;
using pyutil::RequireNew;

#ifdef _WIN32
constexpr char kFileSystemNameCodec[] = "mbcs";
#else
// Linux has no "mbcs" codec (the ANSI code page); the code page of a Linux
// process is UTF-8, which encodes every name.
constexpr char kFileSystemNameCodec[] = "utf-8";
#endif

constexpr DWORD kTextBufferLength = MAX_PATH + 1;

// What one GetVolumeInformation call writes.
struct VolumeInformationBuffers {
  WCHAR label[kTextBufferLength];
  WCHAR filesystem[kTextBufferLength];
  DWORD serial_number = 0;
  DWORD max_component_length = 0;
  DWORD flags = 0;
};

OwnedRef BuildVolumeInformationTuple(const VolumeInformationBuffers& buffers) {
  OwnedRef label = TextFromFixedBuffer(buffers.label, kTextBufferLength);
  OwnedRef serial_number = RequireNew(PyLong_FromUnsignedLong(buffers.serial_number));
  OwnedRef max_component_length =
      RequireNew(PyLong_FromUnsignedLong(buffers.max_component_length));
  OwnedRef flags = RequireNew(PyLong_FromUnsignedLong(buffers.flags));
  OwnedRef filesystem_text = TextFromFixedBuffer(buffers.filesystem, kTextBufferLength);
  OwnedRef filesystem = pyutil::SystemNativeString(filesystem_text.get(), kFileSystemNameCodec);
  return RequireNew(PyTuple_Pack(5, label.get(), serial_number.get(), max_component_length.get(),
                                 flags.get(), filesystem.get()));
}

const pyutil::TracebackEntry kByPathTraceback(
    "windows.volumes.GetVolumeInformation", "windows/volume_queries/volume_information.cpp",
    __LINE__);
OwnedRef ReadVolumeInformationByPath(PyObject* path, const SystemText* converted) {
  pyutil::CheckArgumentType(path, pyutil::kTextArgument, pyutil::NoneAllowed::kNo);
  // The text the caller converted already, or converted here.
  pyutil::WideString own_text;
  if (converted == nullptr) own_text = ArgumentToWide(path, "path");
  const pyutil::WideString& text =
      converted != nullptr ? CheckedArgument(*converted, "path") : own_text;
  // The system wants a root with its trailing backslash: a copy with it
  // only where the text lacks it.
  const WCHAR* root = text.c_str();
  pyutil::WideString with_backslash;
  if (text.empty() || text.back() != WCHAR('\\')) {
    with_backslash.reserve(text.size() + 1);
    with_backslash.append(text).push_back(WCHAR('\\'));
    root = with_backslash.c_str();
  }
  VolumeInformationBuffers buffers;
  if (!WithoutCriticalErrorDialogs([&] {
        return GetVolumeInformationW(root, buffers.label, kTextBufferLength,
                                     &buffers.serial_number, &buffers.max_component_length,
                                     &buffers.flags, buffers.filesystem, kTextBufferLength);
      })) {
    RaiseWindowsError();
  }
  return BuildVolumeInformationTuple(buffers);
}

const pyutil::TracebackEntry kByHandleTraceback(
    "windows.volumes.GetVolumeInformationByHandle",
    "windows/volume_queries/volume_information.cpp", __LINE__);
OwnedRef ReadVolumeInformationByHandle(std::int64_t handle) {
  // The handle has the pointer width of the process: a 32-bit process keeps
  // the low 32 bits of the value.
  HANDLE file = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
  VolumeInformationBuffers buffers;
  if (!WithoutCriticalErrorDialogs([&] {
        return GetVolumeInformationByHandleW(file, buffers.label, kTextBufferLength,
                                             &buffers.serial_number,
                                             &buffers.max_component_length, &buffers.flags,
                                             buffers.filesystem, kTextBufferLength);
      })) {
    RaiseWindowsError();
  }
  return BuildVolumeInformationTuple(buffers);
}

}  // namespace

PyObject* GetVolumeInformationFunction(PyObject* /*module*/, PyObject* path) {
  return pyutil::GuardEntry(kByPathTraceback, [path]() -> PyObject* {
    pyutil::CheckArgumentType(path, pyutil::kTextArgument, pyutil::NoneAllowed::kYes, "path");
    return QueryVolumeInformationByPath(path).release();
  });
}

PyObject* GetVolumeInformationByHandleFunction(PyObject* /*module*/, PyObject* handle) {
  return pyutil::GuardEntry(kByHandleTraceback, [handle]() -> PyObject* {
    return QueryVolumeInformationByHandle(pyutil::ToInt64(handle)).release();
  });
}

OwnedRef QueryVolumeInformationByPath(PyObject* path, const SystemText* converted) {
  return pyutil::WithTracebackEntry(
      kByPathTraceback, [path, converted] { return ReadVolumeInformationByPath(path, converted); });
}

OwnedRef QueryVolumeInformationByHandle(std::int64_t handle) {
  return pyutil::WithTracebackEntry(kByHandleTraceback,
                                    [handle] { return ReadVolumeInformationByHandle(handle); });
}

// The two docstrings differ in their Args line alone.
#define VOLUME_INFORMATION_DOC(args_line)                                            \
  "Retrieves volume information as per the win32 call of the same name.\n"          \
  "\n"                                                                               \
  "  Args:\n"                                                                        \
  args_line                                                                          \
  "\n"                                                                               \
  "  Returns:\n"                                                                     \
  "    Tuple containing five values. Not coincidentally, this is the same form\n"    \
  "    as win32file.GetVolumeInformation, except that the volume label is unicode\n" \
  "    and the serial number doesn't need manipulation to match the stat result.\n"  \
  "\n"                                                                               \
  "    volume_label: Unicode volume label.\n"                                        \
  "    serial_number: Integer, matches stat_result.st_dev for this volume.\n"        \
  "    component_length: Integer, maximum path component length on this volume.\n"   \
  "    flags: Integer. See Microsoft's documentation for flag details.\n"            \
  "    filesystem: String, filesystem name.\n"                                       \
  "\n"                                                                               \
  "  Raises:\n"                                                                      \
  "    TypeError: If input path is not unicode.\n"                                   \
  "    WindowsError: For any error involving the Windows API call.\n"                \
  "  "

extern const char kGetVolumeInformationDoc[] = PYUTIL_SIGNED_DOC(
    "GetVolumeInformation", "($module, path, /)",
    VOLUME_INFORMATION_DOC(
        "    path: Unicode path to the volume mountpoint. Must end in a trailing slash.\n"));

extern const char kGetVolumeInformationByHandleDoc[] = PYUTIL_SIGNED_DOC(
    "GetVolumeInformationByHandle", "($module, handle, /)",
    VOLUME_INFORMATION_DOC(
        "    handle: File handle to a file on the volume you wish to look up.\n"));

#undef VOLUME_INFORMATION_DOC

}  // namespace volumes
