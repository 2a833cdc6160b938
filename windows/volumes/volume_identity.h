// Volume IDs: "serial:%s" of a volume serial number, the number stat results
// carry as st_dev for files on that volume.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace volumes {

// The interned volume ID of a serial number.
pyutil::OwnedRef VolumeIDFromSerialNumber(PyObject* serial_number);

// Calls the module's _VolumeIDFromSerialNumber as it is bound now.
pyutil::OwnedRef CallVolumeIDFunction(PyObject* serial_number);

extern PyMethodDef kFindVolumeIDFunction;
extern PyMethodDef kVolumeIDFromSerialNumberFunction;

}  // namespace volumes
