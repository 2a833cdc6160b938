// scripted_system: the Python face of the scripted provider, for tests.
//
//   reset()                          forget volumes, answers, handles and calls
//   add_volume(name, mount_points=(), label=u'', serial=0, max_component=255,
//              flags=0, filesystem=u'NTFS', drive_type=3, total_bytes=None)
//   remove_volume(name) -> bool
//   set_enumeration(names=None, end_error=18)
//   bind_handle(handle, volume_name)
//   push(function, result=None, error=None, text=None, filesystem=None,
//        return_length=None, serial=None, max_component=None, flags=None,
//        total_bytes=None, model=False)
//       the next call of `function` answers this. A unicode text is written
//       with its NUL; a list of integers is written as those UTF-16 units
//       exactly (so a test can leave the NUL out). model=True: that call
//       answers from the model, so a test can script a later call alone.
//   calls(units=False) -> [(function, argument, ...), ...]; clear_calls()
//       text arguments as unicode, or with units=True as tuples of the
//       UTF-16 units that reached the system
//   open_searches() -> [handle, ...]
//   set_last_error(code); get_last_error() -> code
//   limit_allocations(headroom)      (allocation_limit.h)
#include <Python.h>

#include <climits>

#include "pyutil/method_definition.h"
#include "pyutil/module_init.h"

#include "allocation_limit.h"
#include "kernel32.h"
#include "pyutil/owned_ref.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/utf16.h"
#include "scripted_system.h"

namespace {

using pyutil::OwnedRef;
using pyutil::RequireNew;
using pyutil::RequireStatus;
using scripted::Units;

Units ToUnits(PyObject* text) {
  if (PyUnicode_Check(text)) {
    pyutil::WideString wide = pyutil::UnicodeToWide(text);
    return Units(wide.begin(), wide.end());
  }
  pyutil::RaiseFormatted(PyExc_TypeError, "expected %s, got %.200s", pyutil::kTextTypeName,
                         Py_TYPE(text)->tp_name);
}

// unicode: the text and its NUL; a sequence of integers: those units only.
Units ToBufferUnits(PyObject* value) {
  if (PyUnicode_Check(value)) {
    Units units = ToUnits(value);
    units.push_back(0);
    return units;
  }
  OwnedRef sequence = RequireNew(PySequence_Fast(value, "text must be unicode or a list of units"));
  Units units;
  for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(sequence.get()); ++index) {
    const long unit = pyutil::IntegerAsLong(PySequence_Fast_GET_ITEM(sequence.get(), index));
    if (unit == -1 && PyErr_Occurred()) pyutil::ThrowPythonError();
    units.push_back(static_cast<char16_t>(unit));
  }
  return units;
}

template <typename T>
std::optional<T> OptionalNumber(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  const unsigned long long number = PyLong_Check(value)
                                        ? PyLong_AsUnsignedLongLongMask(value)
                                        : static_cast<unsigned long long>(pyutil::IntegerAsLong(value));
  if (PyErr_Occurred()) pyutil::ThrowPythonError();
  return static_cast<T>(number);
}

OwnedRef UnitsToPython(const Units& units) {
  return pyutil::WideToUnicode(reinterpret_cast<const WCHAR*>(units.data()), units.size());
}

PyObject* Reset(PyObject*, PyObject*) {
  scripted::Reset();
  Py_RETURN_NONE;
}

PyObject* AddVolume(PyObject*, PyObject* args, PyObject* kwargs) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    static const char* keywords[] = {"name", "mount_points", "label", "serial",
                                     "max_component", "flags", "filesystem", "drive_type",
                                     "total_bytes", nullptr};
    PyObject *name, *mount_points = nullptr, *label = nullptr, *serial = nullptr,
                    *max_component = nullptr, *flags = nullptr, *filesystem = nullptr,
                    *drive_type = nullptr, *total_bytes = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOO", const_cast<char**>(keywords),
                                     &name, &mount_points, &label, &serial, &max_component,
                                     &flags, &filesystem, &drive_type, &total_bytes)) {
      return nullptr;
    }
    scripted::Volume volume;
    volume.name = ToUnits(name);
    if (mount_points != nullptr) {
      OwnedRef sequence = RequireNew(PySequence_Fast(mount_points, "mount_points: a sequence"));
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        volume.mount_points.push_back(ToUnits(PySequence_Fast_GET_ITEM(sequence.get(), i)));
      }
    }
    if (label != nullptr) volume.label = ToUnits(label);
    volume.serial = OptionalNumber<DWORD>(serial).value_or(0);
    volume.max_component = OptionalNumber<DWORD>(max_component).value_or(255);
    volume.flags = OptionalNumber<DWORD>(flags).value_or(0);
    volume.filesystem = filesystem != nullptr ? ToUnits(filesystem) : Units(u"NTFS");
    volume.drive_type = OptionalNumber<UINT>(drive_type).value_or(DRIVE_FIXED);
    volume.total_bytes = OptionalNumber<std::uint64_t>(total_bytes);
    scripted::AddVolume(volume);
    Py_RETURN_NONE;
  });
}

PyObject* RemoveVolume(PyObject*, PyObject* name) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    return PyBool_FromLong(scripted::RemoveVolume(ToUnits(name)));
  });
}

PyObject* SetEnumeration(PyObject*, PyObject* args, PyObject* kwargs) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    static const char* keywords[] = {"names", "end_error", nullptr};
    PyObject* names = Py_None;
    unsigned int end_error = ERROR_NO_MORE_FILES;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OI", const_cast<char**>(keywords), &names,
                                     &end_error)) {
      return nullptr;
    }
    std::optional<std::vector<Units>> list;
    if (names != Py_None) {
      OwnedRef sequence = RequireNew(PySequence_Fast(names, "names: a sequence"));
      list.emplace();
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        list->push_back(ToUnits(PySequence_Fast_GET_ITEM(sequence.get(), i)));
      }
    }
    scripted::SetEnumeration(std::move(list), end_error);
    Py_RETURN_NONE;
  });
}

PyObject* BindHandle(PyObject*, PyObject* args) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    long long handle;
    PyObject* name;
    if (!PyArg_ParseTuple(args, "LO", &handle, &name)) return nullptr;
    scripted::BindHandle(handle, ToUnits(name));
    Py_RETURN_NONE;
  });
}

PyObject* Push(PyObject*, PyObject* args, PyObject* kwargs) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    static const char* keywords[] = {"function", "result", "error", "text", "filesystem",
                                     "return_length", "serial", "max_component", "flags",
                                     "total_bytes", "model", nullptr};
    const char* function;
    PyObject *result = nullptr, *error = nullptr, *text = nullptr, *filesystem = nullptr,
             *return_length = nullptr, *serial = nullptr, *max_component = nullptr,
             *flags = nullptr, *total_bytes = nullptr, *model = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|OOOOOOOOOO", const_cast<char**>(keywords),
                                     &function, &result, &error, &text, &filesystem,
                                     &return_length, &serial, &max_component, &flags,
                                     &total_bytes, &model)) {
      return nullptr;
    }
    scripted::Answer answer;
    if (result != nullptr && result != Py_None) {
      const long long value = PyLong_AsLongLong(result);
      if (value == -1 && PyErr_Occurred()) return nullptr;
      answer.result = value;
    }
    answer.error = OptionalNumber<DWORD>(error);
    if (text != nullptr && text != Py_None) answer.text = ToBufferUnits(text);
    if (filesystem != nullptr && filesystem != Py_None) answer.filesystem = ToBufferUnits(filesystem);
    answer.return_length = OptionalNumber<DWORD>(return_length);
    answer.serial = OptionalNumber<DWORD>(serial);
    answer.max_component = OptionalNumber<DWORD>(max_component);
    answer.flags = OptionalNumber<DWORD>(flags);
    answer.total_bytes = OptionalNumber<std::uint64_t>(total_bytes);
    answer.model = model != nullptr && RequireStatus(PyObject_IsTrue(model)) != 0;
    scripted::PushAnswer(function, answer);
    Py_RETURN_NONE;
  });
}

// An int where the value fits one (so 32-bit interpreters too give back
// 64-bit handle values whole), otherwise a long.
OwnedRef NumberToPython(std::int64_t number) {
  if (number >= LONG_MIN && number <= LONG_MAX) {
    return RequireNew(pyutil::NewInteger(static_cast<long>(number)));
  }
  return RequireNew(PyLong_FromLongLong(static_cast<PY_LONG_LONG>(number)));
}

OwnedRef UnitsToTuple(const Units& units) {
  OwnedRef tuple = RequireNew(PyTuple_New(static_cast<Py_ssize_t>(units.size())));
  for (std::size_t i = 0; i < units.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                     RequireNew(pyutil::NewInteger(static_cast<long>(units[i]))).release());
  }
  return tuple;
}

PyObject* Calls(PyObject*, PyObject* args, PyObject* kwargs) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    static const char* keywords[] = {"units", nullptr};
    PyObject* as_units = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(keywords),
                                     &as_units)) {
      return nullptr;
    }
    const int units = PyObject_IsTrue(as_units);
    if (units < 0) pyutil::ThrowPythonError();
    const std::vector<scripted::CallRecord> calls = scripted::Calls();
    OwnedRef list = RequireNew(PyList_New(0));
    for (const scripted::CallRecord& call : calls) {
      OwnedRef record = RequireNew(PyTuple_New(static_cast<Py_ssize_t>(call.arguments.size() + 1)));
      PyTuple_SET_ITEM(record.get(), 0,
                       RequireNew(pyutil::NewNativeString(call.function.c_str())).release());
      for (std::size_t i = 0; i < call.arguments.size(); ++i) {
        OwnedRef item;
        if (const auto* number = std::get_if<std::int64_t>(&call.arguments[i])) {
          item = NumberToPython(*number);
        } else if (units) {
          item = UnitsToTuple(std::get<Units>(call.arguments[i]));
        } else {
          item = UnitsToPython(std::get<Units>(call.arguments[i]));
        }
        PyTuple_SET_ITEM(record.get(), static_cast<Py_ssize_t>(i + 1), item.release());
      }
      RequireStatus(PyList_Append(list.get(), record.get()));
    }
    return list.release();
  });
}

PyObject* ClearCalls(PyObject*, PyObject*) {
  scripted::ClearCalls();
  Py_RETURN_NONE;
}

PyObject* OpenSearches(PyObject*, PyObject*) {
  return pyutil::GuardEntry([&]() -> PyObject* {
    OwnedRef list = RequireNew(PyList_New(0));
    for (std::int64_t handle : scripted::OpenSearches()) {
      OwnedRef item = NumberToPython(handle);
      RequireStatus(PyList_Append(list.get(), item.get()));
    }
    return list.release();
  });
}

PyObject* SetLastErrorCode(PyObject*, PyObject* code) {
  const unsigned long value = pyutil::IntegerAsUnsignedLongMask(code);
  if (PyErr_Occurred()) return nullptr;
  SetLastError(static_cast<DWORD>(value));
  Py_RETURN_NONE;
}

PyObject* GetLastErrorCode(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLong(GetLastError());
}

PyMethodDef kMethods[] = {
    {"reset", Reset, METH_NOARGS, nullptr},
    {"add_volume", pyutil::KeywordsFunction(AddVolume), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"remove_volume", RemoveVolume, METH_O, nullptr},
    {"set_enumeration", pyutil::KeywordsFunction(SetEnumeration), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_handle", BindHandle, METH_VARARGS, nullptr},
    {"push", pyutil::KeywordsFunction(Push), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"calls", pyutil::KeywordsFunction(Calls), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"clear_calls", ClearCalls, METH_NOARGS, nullptr},
    {"open_searches", OpenSearches, METH_NOARGS, nullptr},
    {"set_last_error", SetLastErrorCode, METH_O, nullptr},
    {"get_last_error", GetLastErrorCode, METH_NOARGS, nullptr},
    {"limit_allocations", scripted::LimitAllocations, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

pyutil::ModuleDefinition module_definition = VOLUMES_MODULE_DEFINITION(
    "scripted_system", "Drives the scripted volume system of the tests.", kMethods);

PyObject* CreateModule() { return pyutil::CreateModule(module_definition).release(); }

}  // namespace

VOLUMES_MODULE_ENTRY(scripted_system, CreateModule)
