// windows.volumes: initialisation. Everything the module binds is created
// here, in order; the first step that fails stops the import and leaves what
// was already bound in the partly built module.
#include <Python.h>

#include <string>

#include "pyutil/module_init.h"

#include "pyutil/ascii_text.h"
#include "pyutil/calls.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "volume_queries/volume_queries.h"
#include "volumes/collaborator_import.h"
#include "volumes/fat_family.h"
#include "volumes/module_state.h"
#include "volumes/volume_guid.h"
#include "volumes/volume_identity.h"
#include "volumes/volume_info_service.h"
#include "windows/winwrap/raise_windows_error.h"

namespace volumes {
namespace {

using pyutil::InternedString;
using pyutil::OwnedRef;
using pyutil::RequireNew;
using pyutil::RequireStatus;

constexpr char kModuleDoc[] = "Volume information cache service.";
constexpr char kModuleName[] = "windows.volumes";

void InternNames(InternedNames& names) {
#define VOLUMES_INTERN(field) names.field = InternedString(#field);
  VOLUMES_INTERNED_NAMES(VOLUMES_INTERN)
#undef VOLUMES_INTERN
}

void Bind(PyObject* name, PyObject* value) {
  RequireStatus(PyDict_SetItem(State().globals, name, value));
}

// The name of the module that exports RaiseWindowsError, for messages. An
// object that is not a module (a replacement in sys.modules) goes by the name
// it was imported under.
const char* ExporterName(PyObject* winwrap, const char* imported_name) {
  if (PyModule_Check(winwrap)) {
    if (const char* name = PyModule_GetName(winwrap)) return name;
    PyErr_Clear();
  }
  return imported_name;
}

// What an export-table entry that is not the expected capsule is, for the
// wrong-signature message: a capsule's name, or a description when there is
// no name to show (the message must never be formatted from a null text).
std::string ExportedSignature(PyObject* entry) {
  if (!PyCapsule_CheckExact(entry)) {
    return std::string(Py_TYPE(entry)->tp_name) + " object, not a capsule";
  }
  const char* name = PyCapsule_GetName(entry);
  if (name == nullptr) {
    PyErr_Clear();
    return "a capsule without a name";
  }
  return name;
}

// RaiseWindowsError from windows.winwrap's table of exported C functions.
winwrap::RaiseWindowsErrorFunction ImportRaiseWindowsError() {
  constexpr char kWinwrapName[] = "windows.winwrap";
  OwnedRef module_name = RequireNew(pyutil::NewNativeString(kWinwrapName));
  OwnedRef winwrap = RequireNew(PyImport_Import(module_name.get()));
  OwnedRef exported = RequireNew(PyObject_GetAttrString(winwrap.get(), "__pyx_capi__"));
  // Borrowed from the table, which `exported` keeps alive.
  PyObject* capsule = PyDict_Check(exported.get())
                          ? PyDict_GetItemString(exported.get(), winwrap::kRaiseWindowsErrorName)
                          : nullptr;
  if (capsule == nullptr) {
    pyutil::RaiseFormatted(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                           ExporterName(winwrap.get(), kWinwrapName),
                           winwrap::kRaiseWindowsErrorName);
  }
  if (!PyCapsule_IsValid(capsule, winwrap::kRaiseWindowsErrorSignature)) {
    const std::string got = ExportedSignature(capsule);
    pyutil::RaiseFormatted(PyExc_TypeError,
                           "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                           ExporterName(winwrap.get(), kWinwrapName),
                           winwrap::kRaiseWindowsErrorName, winwrap::kRaiseWindowsErrorSignature,
                           got.c_str());
  }
  void* function = PyCapsule_GetPointer(capsule, winwrap::kRaiseWindowsErrorSignature);
  if (function == nullptr) pyutil::ThrowPythonError();
  return reinterpret_cast<winwrap::RaiseWindowsErrorFunction>(function);
}

OwnedRef BuildDriveTypeMap() {
  static const char* const kMembers[] = {"UNKNOWN",  "UNKNOWN", "REMOVABLE", "INTERNAL",
                                         "NETWORK", "REMOVABLE", "RAM"};
  const InternedNames& names = State().names;
  OwnedRef drive_type_map = RequireNew(PyDict_New());
  for (unsigned long code = 0; code < 7; ++code) {
    OwnedRef key = RequireNew(PyLong_FromUnsignedLong(code));
    OwnedRef volume_entry = Global(names.volume_entry.get());
    OwnedRef device_types = pyutil::GetAttr(volume_entry.get(), names.DeviceType.get());
    OwnedRef member = RequireNew(PyObject_GetAttrString(device_types.get(), kMembers[code]));
    RequireStatus(PyDict_SetItem(drive_type_map.get(), key.get(), member.get()));
  }
  return drive_type_map;
}

OwnedRef NewModuleFunction(PyMethodDef* definition) {
  return RequireNew(PyCFunction_NewEx(definition, nullptr, State().module_name.get()));
}

void InitialiseModule(PyObject* module) {
  ModuleState& state = State();
  state.module = OwnedRef::Borrow(module);
  state.globals = PyModule_GetDict(module);
  state.builtins_module = PyImport_AddModule(pyutil::kBuiltinsModuleName);
  if (state.globals == nullptr || state.builtins_module == nullptr) pyutil::ThrowPythonError();
  state.builtins = PyModule_GetDict(state.builtins_module);
  RequireStatus(PyDict_SetItemString(state.globals, "__builtins__", state.builtins_module));

  // Private state, None until set below.
  state.fat_filesystems = OwnedRef::Borrow(Py_None);
  state.is_fat_cache = OwnedRef::Borrow(Py_None);
  InternNames(state.names);
  state.volume_entry_fields = VolumeEntryFields(state.names);
  state.module_name = RequireNew(pyutil::NewNativeString(kModuleName));
  state.volume_id_format = RequireNew(pyutil::NewNativeString("serial:%s"));
  state.builtin_len = RequireNew(PyObject_GetAttrString(state.builtins_module, "len"));

  state.raise_windows_error = ImportRaiseWindowsError();

  const InternedNames& names = state.names;
  Bind(names.logging.get(), Import("logging", nullptr).get());
  Bind(names.re.get(), Import("re", nullptr).get());
  Bind(names.utils.get(), Import("common", "utils").get());
  Bind(names.volume_entry.get(), Import("common", "volume_entry").get());
  Bind(names.service.get(), Import("common.service", "service").get());
  Bind(names.platform_utils.get(), Import("platforms", "platform_utils").get());

  OwnedRef logging = Global(names.logging.get());
  OwnedRef get_logger = pyutil::GetAttr(logging.get(), names.getLogger.get());
  OwnedRef module_name = Global(names.__name__.get());
  Bind(names.LOGGER.get(), pyutil::Call(get_logger.get(), module_name.get()).get());

  Bind(names.DRIVE_TYPE_MAP.get(), BuildDriveTypeMap().get());

  OwnedRef re = Global(names.re.get());
  OwnedRef compile = pyutil::GetAttr(re.get(), names.compile.get());
  OwnedRef pattern = RequireNew(pyutil::NewNativeString(kVolumeNameGuidPattern));
  OwnedRef matcher = pyutil::CompileAsciiPattern(compile.get(), re.get(), pattern.get());
  Bind(names.VOLUME_NAME_GUID_MATCHER.get(), matcher.get());
  // The refresh matches names itself while the module attribute is still
  // this pattern, when the engine made it (not a stand-in for re.compile).
  if (pyutil::IsCompiledAsciiPattern(matcher.get(), kVolumeNameGuidPattern)) {
    state.guid_matcher = matcher;
  }

  OwnedRef fat_names = RequireNew(Py_BuildValue("(ss)", "fat32", "exfat"));
  state.fat_filesystems = RequireNew(PyFrozenSet_New(fat_names.get()));
  state.is_fat_cache = RequireNew(PyDict_New());

  state.list_volume_names_function = NewModuleFunction(&kListVolumeNamesFunction);
  Bind(names._ListVolumeNames.get(), state.list_volume_names_function.get());
  Bind(names.FindVolumeID.get(), NewModuleFunction(&kFindVolumeIDFunction).get());
  state.volume_id_function = NewModuleFunction(&kVolumeIDFromSerialNumberFunction);
  Bind(names._VolumeIDFromSerialNumber.get(), state.volume_id_function.get());
  OwnedRef is_fat = NewModuleFunction(&kIsFATFunction);
  RequireStatus(PyDict_SetItemString(state.globals, "IsFAT", is_fat.get()));

  OwnedRef volume_info = BuildVolumeInfoService();
  RequireStatus(PyDict_SetItemString(state.globals, "VolumeInfo", volume_info.get()));
}

}  // namespace

// Named as a compiled module names its init function in tracebacks.
const pyutil::TracebackEntry kInitTraceback("init windows.volumes", "windows/volumes/module.cpp",
                                            __LINE__);

namespace {

pyutil::ModuleDefinition module_definition =
    VOLUMES_MODULE_DEFINITION("volumes", kModuleDoc, kQueryFunctions);

// The module, initialised: a new reference, or nullptr with the error that
// stopped it set.
PyObject* CreateModule() {
  OwnedRef module = pyutil::CreateModule(module_definition);
  if (!module) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init windows.volumes");
    return nullptr;
  }
  return pyutil::GuardEntry(kInitTraceback, [&module]() -> PyObject* {
    InitialiseModule(module.get());
    return module.release();
  });
}

}  // namespace
}  // namespace volumes

VOLUMES_MODULE_ENTRY(volumes, volumes::CreateModule)
