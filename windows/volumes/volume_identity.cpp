#include "volumes/volume_identity.h"

#include <cstddef>
#include <cstring>

#include "pyutil/python_error.h"
#include "volumes/module_state.h"

namespace volumes {

using pyutil::OwnedRef;

namespace {

// "serial:" and the decimal text of an exact int, or of an exact long that
// fits in a long long: what "serial:%s" % n gives for them (str() of an
// exact int or long is its decimal text, and neither type can be changed),
// without the format parse and the intermediate str(n). nullptr for any
// other object, which takes the general path.
PyObject* FormatExactIntegerVolumeID(PyObject* serial_number) {
  long long value;
  if (PyInt_CheckExact(serial_number)) {
    value = PyInt_AS_LONG(serial_number);
  } else if (PyLong_CheckExact(serial_number)) {
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(serial_number, &overflow);
    if (overflow != 0) return nullptr;
    if (value == -1 && PyErr_Occurred()) pyutil::ThrowPythonError();
  } else {
    return nullptr;
  }
  static constexpr char kPrefix[] = "serial:";
  constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
  char text[kPrefixLength + 21];  // prefix, sign, up to 19 digits, spare
  char* const end = text + sizeof text;
  char* digits = end;
  // Digits of the magnitude, as unsigned so that the most negative value works.
  const unsigned long long bits = static_cast<unsigned long long>(value);
  unsigned long long magnitude = value < 0 ? 0ULL - bits : bits;
  do {
    *--digits = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--digits = '-';
  char* start = digits - kPrefixLength;
  std::memcpy(start, kPrefix, kPrefixLength);
  return pyutil::RequireNew(PyString_FromStringAndSize(start, end - start)).release();
}

}  // namespace

OwnedRef VolumeIDFromSerialNumber(PyObject* serial_number) {
  if (PyObject* text = FormatExactIntegerVolumeID(serial_number)) {
    PyString_InternInPlace(&text);
    return OwnedRef::Steal(text);
  }
  // The serial is the right operand as it stands, so a tuple supplies the
  // formatting arguments itself.
  OwnedRef volume_id =
      pyutil::RequireNew(PyString_Format(State().volume_id_format.get(), serial_number));
  if (!PyString_CheckExact(volume_id.get())) {
    pyutil::RaiseFormatted(PyExc_TypeError, "Expected %.16s, got %.200s", "str",
                           Py_TYPE(volume_id.get())->tp_name);
  }
  PyObject* text = volume_id.release();
  PyString_InternInPlace(&text);
  return OwnedRef::Steal(text);
}

OwnedRef CallVolumeIDFunction(PyObject* serial_number) {
  const ModuleState& state = State();
  OwnedRef function = Global(state.names._VolumeIDFromSerialNumber.get());
  // Our own function is called directly; a rebound one through the interpreter.
  if (function.get() == state.volume_id_function.get()) {
    return VolumeIDFromSerialNumber(serial_number);
  }
  return pyutil::Call(function.get(), serial_number);
}

namespace {

PyObject* VolumeIDFromSerialNumberFunction(PyObject* /*module*/, PyObject* serial_number) {
  return pyutil::GuardEntry(
      [serial_number]() { return VolumeIDFromSerialNumber(serial_number).release(); });
}

PyObject* FindVolumeIDFunction(PyObject* /*module*/, PyObject* stat_result) {
  return pyutil::GuardEntry([stat_result]() -> PyObject* {
    const ModuleState& state = State();
    OwnedRef function = Global(state.names._VolumeIDFromSerialNumber.get());
    OwnedRef device = pyutil::GetAttr(stat_result, state.names.st_dev.get());
    if (function.get() == state.volume_id_function.get()) {
      return VolumeIDFromSerialNumber(device.get()).release();
    }
    return pyutil::Call(function.get(), device.get()).release();
  });
}

}  // namespace

PyMethodDef kFindVolumeIDFunction = {
    "FindVolumeID", FindVolumeIDFunction, METH_O,
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "  Args:\n"
    "    stat_result: Raw stat result of the file.\n"
    "\n"
    "  Returns:\n"
    "    Object to be used as volume ID. Generally string-typed.\n"
    "  "};

PyMethodDef kVolumeIDFromSerialNumberFunction = {
    "_VolumeIDFromSerialNumber", VolumeIDFromSerialNumberFunction, METH_O, nullptr};

}  // namespace volumes
