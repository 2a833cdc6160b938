#include "windows/winwrap/error_messages.h"

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

}  // namespace winwrap
