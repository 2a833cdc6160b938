// The state windows.volumes creates at import and keeps for the life of the
// process: the module namespace, the collaborator function it calls to raise
// WindowsError, the private FAT cache, and the interned names it looks up.
#pragma once

#include <Python.h>

#include "kernel32.h"
#include "pyutil/calls.h"
#include "pyutil/owned_ref.h"
#include "windows/winwrap/raise_windows_error.h"

namespace volumes {

using pyutil::OwnedRef;

// Interned names, made once so that every lookup is a pointer comparison.
struct InternedNames {
  // module globals
  OwnedRef LOGGER, DRIVE_TYPE_MAP, VOLUME_NAME_GUID_MATCHER, utils, volume_entry,
      platform_utils, service, logging, re, _ListVolumeNames, FindVolumeID,
      _VolumeIDFromSerialNumber, WindowsError, __name__;
  // attributes and methods
  OwnedRef debug, info, warning, error, exception, get, match, group, encode, lower, clear, copy,
      sort, key, st_dev, handle, volume, _volume_ids, _volume_entries, _lock, _PopulateVolumeTable,
      GetVolumeEntryForVolumeID, _FindVolumeIDForDeviceNumber, VolumeEntry, DeviceType,
      UNKNOWN, GetMonotonicTime, Lock, Singleton, getLogger, compile;
  // VolumeEntry keywords
  OwnedRef mountpoint, device_file, device_number, uuid, model, device_type, label, filesystem,
      size;
  // constant text
  OwnedRef ascii;
};

struct ModuleState {
  // The module itself. Its functions and the class reach the namespace
  // through `globals`, and a module that is freed empties its dict: holding
  // it here keeps both for the life of the process, even after a caller
  // removes windows.volumes from sys.modules.
  OwnedRef module;
  PyObject* globals = nullptr;          // the module's dict, kept by `module`
  PyObject* builtins_module = nullptr;  // __builtin__
  PyObject* builtins = nullptr;         // __builtin__'s dict
  winwrap::RaiseWindowsErrorFunction raise_windows_error = nullptr;
  OwnedRef fat_filesystems;  // FAT_FILESYSTEMS: frozenset of lower-case names
  OwnedRef is_fat_cache;     // IS_FAT_CACHE: volume ID -> bool
  OwnedRef module_name;      // "windows.volumes", the __module__ of what we create
  OwnedRef volume_id_format;             // "serial:%s"
  OwnedRef builtin_len;                  // the built-in len, the mount point sort key
  OwnedRef volume_id_function;           // our own _VolumeIDFromSerialNumber
  InternedNames names;
};

// The one state of the module; created on first use, never destroyed.
ModuleState& State();

// A module-level name, looked up now: the namespace, then __builtin__.
OwnedRef Global(PyObject* name);

// Calls LOGGER.<level>(format, arguments...): the logger does the formatting.
template <typename... Arguments>
void Log(PyObject* level, const char* format, Arguments... arguments) {
  OwnedRef logger = Global(State().names.LOGGER.get());
  OwnedRef method = pyutil::GetAttr(logger.get(), level);
  OwnedRef format_text = pyutil::RequireNew(PyString_FromString(format));
  pyutil::Call(method.get(), format_text.get(), arguments...);
}

// Raises WindowsError through windows.winwrap, which reads the code of the
// failed call from the thread's last error: only right after the call.
[[noreturn]] void RaiseWindowsError();
// Raises WindowsError for this code: for a code read earlier, which code run
// since (a log handler) cannot change.
[[noreturn]] void RaiseWindowsError(DWORD error_code);

}  // namespace volumes
