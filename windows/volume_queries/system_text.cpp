#include "volume_queries/system_text.h"

#include "pyutil/python_error.h"
#include "volumes/module_state.h"

namespace volumes {

pyutil::WideString ArgumentToWide(PyObject* unicode, const char* argument_name) {
  if (pyutil::ContainsNul(unicode)) {
    pyutil::RaiseFormatted(PyExc_TypeError, "%.200s must not contain NUL characters",
                           argument_name);
  }
  return pyutil::UnicodeToWide(unicode);
}

pyutil::OwnedRef TextFromFixedBuffer(const WCHAR* buffer, std::size_t capacity) {
  const std::size_t length = pyutil::BoundedLength(buffer, capacity);
  if (length == capacity) RaiseWindowsError(ERROR_INVALID_DATA);
  return pyutil::WideToUnicode(buffer, length);
}

}  // namespace volumes
