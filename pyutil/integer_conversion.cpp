#include "pyutil/integer_conversion.h"

#include <climits>

#include "pyutil/py_version.h"
#include "pyutil/python_error.h"

namespace pyutil {
namespace {

std::int64_t FromIntOrLong(PyObject* number) {
  if (const std::optional<long> value = ShortIntValue(number)) return *value;
  const PY_LONG_LONG value = PyLong_AsLongLong(number);
  if (value == -1 && PyErr_Occurred()) ThrowPythonError();
  return value;
}

}  // namespace

std::int64_t ToInt64(PyObject* object) {
  if (IsInteger(object)) return FromIntOrLong(object);
  PyNumberMethods* number_methods = Py_TYPE(object)->tp_as_number;
  const char* method_name = nullptr;
  OwnedRef converted;
  if (number_methods != nullptr && number_methods->nb_int != nullptr) {
    method_name = "int";
    converted = OwnedRef::Steal(number_methods->nb_int(object));
  } else if (number_methods != nullptr && SecondIntegerSlot(number_methods).function != nullptr) {
    const IntegerSlot slot = SecondIntegerSlot(number_methods);
    method_name = slot.name;
    converted = OwnedRef::Steal(slot.function(object));
  }
  if (!converted) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    ThrowPythonError();
  }
  if (!IsInteger(converted.get())) {
    // Python 3 names the result it wants "int" whichever method made it.
    RaiseFormatted(PyExc_TypeError, "__%.5s__ returned non-%.4s (type %.200s)", method_name,
                   kPython3 ? "int" : method_name, Py_TYPE(converted.get())->tp_name);
  }
  return FromIntOrLong(converted.get());
}

OwnedRef IntegerFromUnsigned(std::uint64_t value) {
  if (value <= static_cast<std::uint64_t>(LONG_MAX)) {
    return RequireNew(NewInteger(static_cast<long>(value)));
  }
  return RequireNew(PyLong_FromUnsignedLongLong(value));
}

}  // namespace pyutil
