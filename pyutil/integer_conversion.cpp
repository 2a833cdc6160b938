#include "pyutil/integer_conversion.h"

#include <climits>

#include "pyutil/python_error.h"

namespace pyutil {
namespace {

std::int64_t FromIntOrLong(PyObject* number) {
  if (PyInt_Check(number)) return PyInt_AS_LONG(number);
  const PY_LONG_LONG value = PyLong_AsLongLong(number);
  if (value == -1 && PyErr_Occurred()) ThrowPythonError();
  return value;
}

}  // namespace

std::int64_t ToInt64(PyObject* object) {
  if (PyInt_Check(object) || PyLong_Check(object)) return FromIntOrLong(object);
  PyNumberMethods* number_methods = Py_TYPE(object)->tp_as_number;
  const char* method_name = nullptr;
  OwnedRef converted;
  if (number_methods != nullptr && number_methods->nb_int != nullptr) {
    method_name = "int";
    converted = OwnedRef::Steal(number_methods->nb_int(object));
  } else if (number_methods != nullptr && number_methods->nb_long != nullptr) {
    method_name = "long";
    converted = OwnedRef::Steal(number_methods->nb_long(object));
  }
  if (!converted) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    ThrowPythonError();
  }
  if (!PyInt_Check(converted.get()) && !PyLong_Check(converted.get())) {
    RaiseFormatted(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", method_name,
                   method_name, Py_TYPE(converted.get())->tp_name);
  }
  return FromIntOrLong(converted.get());
}

OwnedRef IntegerFromUnsigned(std::uint64_t value) {
  if (value <= static_cast<std::uint64_t>(LONG_MAX)) {
    return RequireNew(PyInt_FromLong(static_cast<long>(value)));
  }
  return RequireNew(PyLong_FromUnsignedLongLong(value));
}

}  // namespace pyutil
