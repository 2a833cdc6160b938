#include "windows/winwrap/error_messages.h"

#include <cerrno>
#include <cstdio>

namespace winwrap {
namespace {

// Drops trailing white space and periods, as the interpreter does.
std::string TrimMessage(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string UnknownErrorMessage(DWORD error_code) {
  char text[32];
  std::snprintf(text, sizeof text, "Windows Error 0x%X", static_cast<unsigned>(error_code));
  return text;
}

}  // namespace

#ifdef _WIN32

std::string WindowsErrorMessage(DWORD error_code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return UnknownErrorMessage(error_code);
  std::string text(buffer, length);
  LocalFree(buffer);
  return TrimMessage(text);
}

#else

// The system's texts for the codes the volume calls report.
std::string WindowsErrorMessage(DWORD error_code) {
  struct KnownError {
    DWORD code;
    const char* text;
  };
  static const KnownError kKnownErrors[] = {
      {ERROR_SUCCESS, "The operation completed successfully."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
      {ERROR_INVALID_DATA, "The data is invalid."},
      {ERROR_NO_MORE_FILES, "There are no more files."},
      {ERROR_NOT_READY, "The device is not ready."},
      {ERROR_BAD_NETPATH, "The network path was not found."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {144, "The directory is not a subdirectory of the root directory."},
      {206, "The filename or extension is too long."},
      {ERROR_MORE_DATA, "More data is available."},
      {ERROR_UNRECOGNIZED_VOLUME, "The volume does not contain a recognized file system."},
      {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
      {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
  };
  for (const KnownError& known : kKnownErrors) {
    if (known.code == error_code) return TrimMessage(known.text);
  }
  return UnknownErrorMessage(error_code);
}

#endif

int ErrnoOfWindowsError(DWORD error_code) {
  // A FACILITY_WIN32 HRESULT carries the code in its low 16 bits.
  if ((error_code & 0xFFFF0000u) == 0x80070000u) error_code &= 0xFFFFu;
  // Winsock's codes are errno values of their own.
  if (error_code >= 10000 && error_code < 12000) return static_cast<int>(error_code);
  switch (error_code) {
    case 2: case 3: case 15: case 18: case 53: case 67: case 161: case 206:
      return ENOENT;
    case 10:
      return E2BIG;
    case 11: case 188: case 189: case 190: case 191: case 192: case 193: case 194: case 195:
    case 196: case 197: case 198: case 199: case 200: case 201: case 202:
      return ENOEXEC;
    case 6: case 114: case 130:
      return EBADF;
    case 128: case 129:
      return ECHILD;
    case 89: case 164: case 215:
      return EAGAIN;
    case 7: case 8: case 9: case 1816:
      return ENOMEM;
    case 5: case 16: case 19: case 20: case 21: case 22: case 23: case 24: case 25: case 26:
    case 27: case 28: case 29: case 30: case 31: case 32: case 33: case 34: case 35: case 36:
    case 65: case 82: case 83: case 108: case 132: case 158: case 167:
      return EACCES;
    case 80: case 183:
      return EEXIST;
    case 17:
      return EXDEV;
    case 267:
      return ENOTDIR;
    case 4:
      return EMFILE;
    case 112:
      return ENOSPC;
    case 109: case 232:
      return EPIPE;
    case 145:
      return ENOTEMPTY;
    case 1113:
      return EILSEQ;
    default:
      return EINVAL;
  }
}

}  // namespace winwrap
