#include "volume_queries/system_text.h"

#include <utility>

#include "pyutil/python_error.h"
#include "windows/module_context.h"

namespace volumes {

SystemText TextForSystem(PyObject* unicode) {
  SystemText text;
  text.units = pyutil::UnicodeToWide(unicode, &text.has_nul);
  return text;
}

pyutil::WideString ArgumentToWide(PyObject* unicode, const char* argument_name) {
  SystemText text = TextForSystem(unicode);
  CheckedArgument(text, argument_name);
  return std::move(text.units);
}

const pyutil::WideString& CheckedArgument(const SystemText& text, const char* argument_name) {
  if (text.has_nul) {
    pyutil::RaiseFormatted(PyExc_TypeError, "%.200s must not contain NUL characters",
                           argument_name);
  }
  return text.units;
}

pyutil::OwnedRef TextFromFixedBuffer(const WCHAR* buffer, std::size_t capacity) {
  const std::size_t length = pyutil::BoundedLength(buffer, capacity);
  if (length == capacity) RaiseWindowsError(ERROR_INVALID_DATA);
  return pyutil::WideToUnicode(buffer, length);
}

}  // namespace volumes
