#include "pyutil/unicode_units.h"

#include "pyutil/python_error.h"

namespace pyutil {

UnicodeUnits::UnicodeUnits(PyObject* unicode) {
#if PY_MAJOR_VERSION >= 3
  if (PyUnicode_READY(unicode) < 0) ThrowPythonError();
  length_ = PyUnicode_GET_LENGTH(unicode);
  kind_ = PyUnicode_KIND(unicode);
  data_ = PyUnicode_DATA(unicode);
#else
  length_ = PyUnicode_GET_SIZE(unicode);
  units_ = PyUnicode_AS_UNICODE(unicode);
#endif
}

OwnedRef NewUnicodeFromUnits(const UnicodeUnit* units, Py_ssize_t length) {
#if PY_MAJOR_VERSION >= 3
  return RequireNew(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, units, length));
#else
  return RequireNew(PyUnicode_FromUnicode(units, length));
#endif
}

}  // namespace pyutil
