// The state windows.volumes creates at import and keeps for the life of the
// process: the module namespace, the collaborator function it calls to raise
// WindowsError, the private FAT cache, and the interned names it looks up.
// What the volume queries need of it is declared in windows/module_context.h.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "kernel32.h"
#include "pyutil/calls.h"
#include "pyutil/dicts.h"
#include "pyutil/owned_ref.h"
#include "pyutil/py_version.h"
#include "windows/module_context.h"
#include "windows/winwrap/raise_windows_error.h"

namespace volumes {

using pyutil::OwnedRef;

// The names the module looks up, each written once: X(name) for each. The
// field `name` of InternedNames holds the interned str of the same text.
#define VOLUMES_INTERNED_NAMES(X)                                                          \
  /* module globals */                                                                     \
  X(LOGGER) X(DRIVE_TYPE_MAP) X(VOLUME_NAME_GUID_MATCHER) X(utils) X(volume_entry)         \
  X(platform_utils) X(service) X(logging) X(re) X(_ListVolumeNames) X(FindVolumeID)        \
  X(_VolumeIDFromSerialNumber) X(WindowsError) X(__name__)                                 \
  /* attributes and methods */                                                             \
  X(debug) X(info) X(warning) X(error) X(exception) X(get) X(match) X(group) X(encode)     \
  X(lower) X(clear) X(copy) X(sort) X(key) X(st_dev) X(handle) X(volume) X(_volume_ids)    \
  X(_volume_entries) X(_lock) X(_PopulateVolumeTable) X(GetVolumeEntryForVolumeID)         \
  X(_FindVolumeIDForDeviceNumber) X(VolumeEntry) X(DeviceType) X(UNKNOWN)                  \
  X(GetMonotonicTime) X(Lock) X(Singleton) X(getLogger) X(compile)                         \
  /* VolumeEntry keywords */                                                               \
  X(mountpoint) X(device_file) X(device_number) X(uuid) X(model) X(device_type) X(label)   \
  X(filesystem) X(size)                                                                    \
  /* constant text */                                                                      \
  X(ascii)

// Interned names, made once so that every lookup is a pointer comparison.
struct InternedNames {
#define VOLUMES_NAME_FIELD(name) OwnedRef name;
  VOLUMES_INTERNED_NAMES(VOLUMES_NAME_FIELD)
#undef VOLUMES_NAME_FIELD
};

// The keywords of VolumeEntry(...) in a refresh, in the order they are passed.
inline constexpr std::size_t kVolumeEntryFieldCount = 10;
pyutil::KeywordDictShape<kVolumeEntryFieldCount> VolumeEntryFields(const InternedNames& names);

struct ModuleState {
  // The module itself. Its functions and the class reach the namespace
  // through `globals`, and a module that is freed empties its dict: holding
  // it here keeps both for the life of the process, even after a caller
  // removes windows.volumes from sys.modules.
  OwnedRef module;
  PyObject* globals = nullptr;          // the module's dict, kept by `module`
  PyObject* builtins_module = nullptr;  // __builtin__ (2.7), builtins (3)
  PyObject* builtins = nullptr;         // its dict
  winwrap::RaiseWindowsErrorFunction raise_windows_error = nullptr;
  OwnedRef fat_filesystems;  // FAT_FILESYSTEMS: frozenset of lower-case names
  OwnedRef is_fat_cache;     // IS_FAT_CACHE: volume ID -> bool
  OwnedRef module_name;      // "windows.volumes", the __module__ of what we create
  OwnedRef volume_id_format;             // "serial:%s"
  OwnedRef builtin_len;                  // the built-in len, the mount point sort key
  OwnedRef volume_id_function;           // our own _VolumeIDFromSerialNumber
  OwnedRef list_volume_names_function;   // our own _ListVolumeNames
  OwnedRef guid_matcher;  // our own VOLUME_NAME_GUID_MATCHER, if the engine compiled it
  std::vector<std::pair<const char*, OwnedRef>> log_formats;  // see LogFormat
  InternedNames names;
  pyutil::KeywordDictShape<kVolumeEntryFieldCount> volume_entry_fields;
};

// The one state of the module; created on first use, never destroyed.
ModuleState& State();

// A module-level name, looked up now: the namespace, then the built-in names.
OwnedRef Global(PyObject* name);

// Uses the module attribute `name` as the namespace holds it now. While it is
// still `own`, the object the module bound there at import, `own_path()`
// does directly what using that object would, with the same result;
// otherwise `rebound_path(current)` uses what it found. `own` is nullptr
// where no direct path applies. The name is looked up first, as Python looks
// up a called name before it evaluates the arguments.
template <typename OwnPath, typename ReboundPath>
OwnedRef UseModuleAttribute(PyObject* name, PyObject* own, OwnPath own_path,
                            ReboundPath rebound_path) {
  OwnedRef current = Global(name);
  if (current.get() == own) return own_path();
  return rebound_path(current.get());
}

}  // namespace volumes
