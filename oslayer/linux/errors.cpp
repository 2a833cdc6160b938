#include "errors.h"

#include <cerrno>

namespace k32l {

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
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
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

bool for_want_of_resources(int err) { return err == EMFILE || err == ENFILE || err == ENOMEM; }

}  // namespace k32l
