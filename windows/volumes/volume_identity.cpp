#include "volumes/volume_identity.h"

#include "pyutil/python_error.h"
#include "volumes/module_state.h"

namespace volumes {

using pyutil::OwnedRef;

OwnedRef VolumeIDFromSerialNumber(PyObject* serial_number) {
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
