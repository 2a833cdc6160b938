#include "volumes/volume_identity.h"

#include <cstddef>
#include <cstring>
#include <optional>

#include "pyutil/argument_parsing.h"
#include "pyutil/method_definition.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "volumes/module_state.h"

namespace volumes {

using pyutil::OwnedRef;

namespace {

// The value of an exact int (or 2.7 long) that fits in a long long: the
// serial numbers whose ID is "serial:" and their decimal text (str() of an
// exact integer is that text, and the type cannot be changed). Nothing for
// any other object, which takes the general path.
std::optional<long long> ExactIntegerValue(PyObject* serial_number) {
  if (pyutil::IsShortIntExact(serial_number)) return pyutil::ShortIntValue(serial_number);
  if (!PyLong_CheckExact(serial_number)) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(serial_number, &overflow);
  if (overflow != 0) return std::nullopt;
  if (value == -1 && PyErr_Occurred()) pyutil::ThrowPythonError();
  return value;
}

// "serial:" and the decimal text of `value`, without the format parse and
// the intermediate str(n) of "serial:%s" % n. A new reference.
OwnedRef FormatIntegerVolumeID(long long value) {
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
  return pyutil::RequireNew(pyutil::NewNativeStringAndSize(start, end - start));
}

// The IDs of the integer serial numbers asked for lately, by value. Callers
// ask about one file after another, mostly on the same few volumes, and a
// table refresh asks about every volume in turn: there are slots for the
// volumes of a large system. An ID found here is the very object formatting
// and interning would give (the reference kept here keeps it interned), so
// only the work is saved; the interpreter lock is held throughout, so
// threads cannot interleave here.
class RecentVolumeIDs {
 public:
  PyObject* Find(long long serial) const noexcept {  // borrowed, or nullptr
    const Slot& slot = slots_[SlotOf(serial)];
    return slot.id && slot.serial == serial ? slot.id.get() : nullptr;
  }
  void Remember(long long serial, const OwnedRef& id) noexcept {
    Slot& slot = slots_[SlotOf(serial)];
    slot.serial = serial;
    slot.id = id;
  }

 private:
  static constexpr std::size_t kSlots = 1024;
  struct Slot {
    long long serial = 0;
    OwnedRef id;
  };
  // Windows serials are random 32-bit numbers; Linux device numbers keep
  // the low byte of the minor number at bit 0 and the rest from bit 20, so
  // the bits above are folded down first: consecutive minors (tmpfs and
  // other anonymous devices) then take consecutive slots.
  static std::size_t SlotOf(long long serial) noexcept {
    const auto bits = static_cast<unsigned long long>(serial);
    return static_cast<std::size_t>((bits ^ (bits >> 12) ^ (bits >> 32)) % kSlots);
  }
  Slot slots_[kSlots];
};

RecentVolumeIDs& Recent() {
  // Never destroyed: its references must not be released after the
  // interpreter has finalised.
  static RecentVolumeIDs* recent = new RecentVolumeIDs();
  return *recent;
}

const pyutil::TracebackEntry kVolumeIDFromSerialNumberTraceback(
    "windows.volumes._VolumeIDFromSerialNumber", "windows/volumes/volume_identity.cpp",
    __LINE__);
OwnedRef FormatVolumeID(PyObject* serial_number) {
  if (const std::optional<long long> value = ExactIntegerValue(serial_number)) {
    RecentVolumeIDs& recent = Recent();
    if (PyObject* known = recent.Find(*value)) return OwnedRef::Borrow(known);
    PyObject* text = FormatIntegerVolumeID(*value).release();
    pyutil::InternNativeStringInPlace(&text);
    OwnedRef volume_id = OwnedRef::Steal(text);
    recent.Remember(*value, volume_id);
    return volume_id;
  }
  // The serial is the right operand as it stands, so a tuple supplies the
  // formatting arguments itself.
  OwnedRef volume_id =
      pyutil::RequireNew(pyutil::FormatNativeString(State().volume_id_format.get(), serial_number));
  pyutil::CheckArgumentType(volume_id.get(), pyutil::kNativeStringArgument,
                            pyutil::NoneAllowed::kNo);
  PyObject* text = volume_id.release();
  pyutil::InternNativeStringInPlace(&text);
  return OwnedRef::Steal(text);
}

}  // namespace

OwnedRef VolumeIDFromSerialNumber(PyObject* serial_number) {
  return pyutil::WithTracebackEntry(kVolumeIDFromSerialNumberTraceback,
                                    [serial_number] { return FormatVolumeID(serial_number); });
}

namespace {

// Calls the module's _VolumeIDFromSerialNumber as it is bound now with the
// serial number `serial_number()` gives, read after the function: our own
// function directly, a rebound one through the interpreter.
template <typename SerialNumber>
OwnedRef CallVolumeIDFunctionWith(SerialNumber serial_number) {
  const ModuleState& state = State();
  return UseModuleAttribute(
      state.names._VolumeIDFromSerialNumber.get(), state.volume_id_function.get(),
      [&serial_number] { return VolumeIDFromSerialNumber(serial_number().get()); },
      [&serial_number](PyObject* function) {
        return pyutil::Call(function, serial_number().get());
      });
}

}  // namespace

OwnedRef CallVolumeIDFunction(PyObject* serial_number) {
  return CallVolumeIDFunctionWith([serial_number] { return OwnedRef::Borrow(serial_number); });
}

namespace {

PyObject* VolumeIDFromSerialNumberFunction(PyObject* /*module*/, PyObject* serial_number) {
  return pyutil::GuardEntry(kVolumeIDFromSerialNumberTraceback, [serial_number]() {
    return VolumeIDFromSerialNumber(serial_number).release();
  });
}

const pyutil::TracebackEntry kFindVolumeIDTraceback(
    "windows.volumes.FindVolumeID", "windows/volumes/volume_identity.cpp", __LINE__);
PyObject* FindVolumeIDFunction(PyObject* /*module*/, PyObject* stat_result) {
  return pyutil::GuardEntry(kFindVolumeIDTraceback, [stat_result]() -> PyObject* {
    return CallVolumeIDFunctionWith([stat_result] {
             return pyutil::GetAttr(stat_result, State().names.st_dev.get());
           })
        .release();
  });
}

}  // namespace

PyMethodDef kFindVolumeIDFunction = {
    "FindVolumeID", FindVolumeIDFunction, METH_O,
    PYUTIL_SIGNED_DOC("FindVolumeID", "(stat_result, /)",
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "  Args:\n"
    "    stat_result: Raw stat result of the file.\n"
    "\n"
    "  Returns:\n"
    "    Object to be used as volume ID. Generally string-typed.\n"
    "  ")};

PyMethodDef kVolumeIDFromSerialNumberFunction = {
    "_VolumeIDFromSerialNumber", VolumeIDFromSerialNumberFunction, METH_O,
    PYUTIL_SIGNATURE_ONLY("_VolumeIDFromSerialNumber", "(serial_number, /)")};

}  // namespace volumes
