#include "volumes/volume_info_service.h"

#include "pyutil/argument_parsing.h"
#include "pyutil/binding_function.h"
#include "pyutil/dicts.h"
#include "pyutil/method_definition.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "volumes/module_state.h"
#include "volumes/volume_identity.h"

namespace volumes {
namespace {

using pyutil::OwnedRef;
using pyutil::RequireNew;
using pyutil::RequireStatus;

constexpr char kSourceFile[] = "windows/volumes/volume_info_service.cpp";

const pyutil::TracebackEntry kInitTraceback("windows.volumes.VolumeInfo.__init__", kSourceFile,
                                            __LINE__);
PyObject* Init(PyObject* /*function*/, PyObject* self) {
  return pyutil::GuardEntry(kInitTraceback, [self]() -> PyObject* {
    const InternedNames& names = State().names;
    OwnedRef volume_ids = RequireNew(PyDict_New());
    RequireStatus(PyObject_SetAttr(self, names._volume_ids.get(), volume_ids.get()));
    OwnedRef volume_entries = RequireNew(PyDict_New());
    RequireStatus(PyObject_SetAttr(self, names._volume_entries.get(), volume_entries.get()));
    OwnedRef platform_utils = Global(names.platform_utils.get());
    OwnedRef lock_class = pyutil::GetAttr(platform_utils.get(), names.Lock.get());
    OwnedRef lock = pyutil::Call(lock_class.get());
    RequireStatus(PyObject_SetAttr(self, names._lock.get(), lock.get()));
    Py_RETURN_NONE;
  });
}

constexpr const char* kFindVolumeIDParameters[] = {"self", "stat_result"};
constexpr pyutil::Signature kFindVolumeIDSignature = {"FindVolumeID", kFindVolumeIDParameters,
                                                      2, 2};

const pyutil::TracebackEntry kFindVolumeIDTraceback("windows.volumes.VolumeInfo.FindVolumeID",
                                                    kSourceFile, __LINE__);
PyObject* FindVolumeID(PyObject* /*function*/, const pyutil::CallArguments& call) {
  return pyutil::GuardEntry(kFindVolumeIDTraceback, [&call]() -> PyObject* {
    PyObject* values[2];
    const OwnedRef keywords = pyutil::ParseArguments(kFindVolumeIDSignature, call, values);
    OwnedRef function = Global(State().names.FindVolumeID.get());
    return pyutil::Call(function.get(), values[1]).release();
  });
}

// dict.get for a table: the exact dict of built-in keys is read directly,
// anything else through its own `get`.
OwnedRef TableGet(PyObject* table, PyObject* key) {
  if (PyDict_CheckExact(table) &&
      (pyutil::IsNativeStringExact(key) || pyutil::IsIntegerExact(key) ||
       PyUnicode_CheckExact(key))) {
    return OwnedRef::Borrow(pyutil::DictGet(table, key));
  }
  return pyutil::CallMethod(table, State().names.get.get(), key);
}

constexpr const char* kGetEntryForVolumeIDParameters[] = {"self", "volume_id"};
constexpr pyutil::Signature kGetEntryForVolumeIDSignature = {
    "GetVolumeEntryForVolumeID", kGetEntryForVolumeIDParameters, 2, 2};

const pyutil::TracebackEntry kGetEntryForVolumeIDTraceback(
    "windows.volumes.VolumeInfo.GetVolumeEntryForVolumeID", kSourceFile, __LINE__);
PyObject* GetVolumeEntryForVolumeID(PyObject* /*function*/, const pyutil::CallArguments& call) {
  return pyutil::GuardEntry(kGetEntryForVolumeIDTraceback, [&call]() -> PyObject* {
    PyObject* values[2];
    const OwnedRef keywords =
        pyutil::ParseArguments(kGetEntryForVolumeIDSignature, call, values);
    OwnedRef table = pyutil::GetAttr(values[0], State().names._volume_entries.get());
    return TableGet(table.get(), values[1]).release();
  });
}

constexpr const char* kGetEntryForDeviceNumberParameters[] = {"self", "st_dev"};
constexpr pyutil::Signature kGetEntryForDeviceNumberSignature = {
    "GetVolumeEntryForDeviceNumber", kGetEntryForDeviceNumberParameters, 2, 2};

// The volume ID of a device number: the instance's own mapping where it has
// one, otherwise the module's _VolumeIDFromSerialNumber, the rule every
// table entry is keyed by.
OwnedRef VolumeIDForDeviceNumber(PyObject* self, PyObject* st_dev) {
  const InternedNames& names = State().names;
  PyObject* mapping = PyObject_GetAttr(self, names._FindVolumeIDForDeviceNumber.get());
  if (mapping != nullptr) {
    OwnedRef owned_mapping = OwnedRef::Steal(mapping);
    return pyutil::Call(owned_mapping.get(), st_dev);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) pyutil::ThrowPythonError();
  PyErr_Clear();
  return CallVolumeIDFunction(st_dev);
}

const pyutil::TracebackEntry kGetEntryForDeviceNumberTraceback(
    "windows.volumes.VolumeInfo.GetVolumeEntryForDeviceNumber", kSourceFile, __LINE__);
PyObject* GetVolumeEntryForDeviceNumber(PyObject* /*function*/, const pyutil::CallArguments& call) {
  return pyutil::GuardEntry(kGetEntryForDeviceNumberTraceback,
                            [&call]() -> PyObject* {
    PyObject* values[2];
    const OwnedRef keywords =
        pyutil::ParseArguments(kGetEntryForDeviceNumberSignature, call, values);
    OwnedRef volume_id = VolumeIDForDeviceNumber(values[0], values[1]);
    return pyutil::CallMethod(values[0], State().names.GetVolumeEntryForVolumeID.get(),
                              volume_id.get())
        .release();
  });
}

PyMethodDef kInitMethod = {"__init__", Init, METH_O, PYUTIL_SIGNATURE_ONLY("__init__", "($self, /)")};
PyMethodDef kFindVolumeIDMethod = {
    "FindVolumeID", pyutil::ParsedCallFunction<FindVolumeID>(), pyutil::kParsedCallFlags,
    PYUTIL_SIGNED_DOC("FindVolumeID", "($self, stat_result)",
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "    Args:\n"
    "      stat_result: Raw stat result of the file.\n"
    "\n"
    "    Returns:\n"
    "      Object to be used as volume ID. Generally string-typed.\n"
    "    ")};
PyMethodDef kGetVolumeEntryForVolumeIDMethod = {
    "GetVolumeEntryForVolumeID", pyutil::ParsedCallFunction<GetVolumeEntryForVolumeID>(),
    pyutil::kParsedCallFlags,
    PYUTIL_SIGNATURE_ONLY("GetVolumeEntryForVolumeID", "($self, volume_id)")};
PyMethodDef kGetVolumeEntryForDeviceNumberMethod = {
    "GetVolumeEntryForDeviceNumber", pyutil::ParsedCallFunction<GetVolumeEntryForDeviceNumber>(),
    pyutil::kParsedCallFlags, PYUTIL_SIGNATURE_ONLY("GetVolumeEntryForDeviceNumber", "($self, st_dev)")};

constexpr char kClassDoc[] =
    "Volume information cache service.\n"
    "\n"
    "  On Windows this currently does nothing but return the volume\n"
    "  serial number obtained with the stat, but will eventually handle\n"
    "  track other volume information to be used in volume mount/dismount\n"
    "  change handling.\n"
    "  ";

void AddMethod(PyObject* class_namespace, PyMethodDef* definition, PyObject* defaults) {
  OwnedRef method = pyutil::NewBindingFunction(definition, State().module_name.get(), defaults);
  RequireStatus(PyDict_SetItemString(class_namespace, definition->ml_name, method.get()));
}

}  // namespace

OwnedRef BuildVolumeInfoService() {
  const ModuleState& state = State();
  // The metaclass of the one base, object.
  OwnedRef bases = RequireNew(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)));

  OwnedRef class_namespace = RequireNew(PyDict_New());
  RequireStatus(PyDict_SetItemString(class_namespace.get(), "__module__", state.module_name.get()));
  OwnedRef qualified_name = RequireNew(pyutil::NewNativeString("VolumeInfo"));
  RequireStatus(PyDict_SetItemString(class_namespace.get(), "__qualname__", qualified_name.get()));
  OwnedRef doc = RequireNew(pyutil::NewNativeString(kClassDoc));
  RequireStatus(PyDict_SetItemString(class_namespace.get(), "__doc__", doc.get()));
  AddMethod(class_namespace.get(), &kInitMethod, nullptr);
  AddMethod(class_namespace.get(), &kFindVolumeIDMethod, nullptr);
  OwnedRef defaults = RequireNew(PyTuple_Pack(1, Py_False));
  AddMethod(class_namespace.get(), &kAllVolumeEntriesMethod, defaults.get());
  AddMethod(class_namespace.get(), &kGetVolumeEntryForVolumeIDMethod, nullptr);
  AddMethod(class_namespace.get(), &kGetVolumeEntryForDeviceNumberMethod, nullptr);
  AddMethod(class_namespace.get(), &kPopulateVolumeTableMethod, nullptr);

  OwnedRef service = Global(state.names.service.get());
  OwnedRef singleton = pyutil::GetAttr(service.get(), state.names.Singleton.get());

  // In 2.7 a __metaclass__ in the namespace would take precedence, as in a
  // class statement; ours defines none (Python 3 does not look there).
  PyObject* declared_metaclass = pyutil::kPython3 ? nullptr
      : PyDict_GetItemString(class_namespace.get(), "__metaclass__");
  if (declared_metaclass != nullptr) metaclass = declared_metaclass;
  OwnedRef class_name = RequireNew(pyutil::NewNativeString("VolumeInfo"));
  OwnedRef volume_info_class =
      pyutil::Call(metaclass, class_name.get(), bases.get(), class_namespace.get());
  return pyutil::Call(singleton.get(), volume_info_class.get());
}

}  // namespace volumes
