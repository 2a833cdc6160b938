// Wrappers of the Windows volume calls.
//
// Each operation has the module function (which checks or converts its one
// argument) and an internal entry that takes the argument in its final form;
// the table refresh and IsFAT call the internal entries directly, so
// rebinding the module attributes does not change them. Internal entries
// return a new reference or throw pyutil::PythonErrorSet.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyutil/owned_ref.h"
#include "volume_queries/system_text.h"

namespace volumes {

// The volume GUID names the system's volume search yields, in its order.
pyutil::OwnedRef ListVolumeNames();

// The volume information tuple (label, serial, maximum component length,
// flags, file system name) of the volume at a root path: `path` is a unicode
// object or None. `converted`, when given, is TextForSystem(path), which
// the caller made for calls of its own.
pyutil::OwnedRef QueryVolumeInformationByPath(PyObject* path,
                                              const SystemText* converted = nullptr);

// The same, for the volume holding the file open as `handle`.
pyutil::OwnedRef QueryVolumeInformationByHandle(std::int64_t handle);

// The mount points of a volume: `guid_path` is a str, a unicode or None.
// When `keep` is given, the text the system is asked about (that of
// unicode(guid_path)) is made there, for the caller's later calls about the
// same name.
pyutil::OwnedRef QueryVolumePathNames(PyObject* guid_path, SystemText* keep = nullptr);

// The module functions over the entries above, with their docstrings.
PyObject* GetVolumeInformationByHandleFunction(PyObject* module, PyObject* handle);
PyObject* GetVolumeInformationFunction(PyObject* module, PyObject* path);
PyObject* GetVolumePathNamesFunction(PyObject* module, PyObject* guid_path);
extern const char kGetVolumeInformationByHandleDoc[];
extern const char kGetVolumeInformationDoc[];
extern const char kGetVolumePathNamesDoc[];

// GetVolumeInformationByHandle, GetVolumeInformation and
// _GetVolumePathNamesForVolumeName, registered when the module is created.
extern PyMethodDef kQueryFunctions[];

// _ListVolumeNames, created after the module.
extern PyMethodDef kListVolumeNamesFunction;

}  // namespace volumes
