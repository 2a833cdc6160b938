// VolumeInfo: the process-wide cache of volume information, a class whose
// methods bind like Python functions, passed through service.Singleton.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace volumes {

// Builds the class VolumeInfo and returns what service.Singleton makes of it.
pyutil::OwnedRef BuildVolumeInfoService();

// The table refresh and its public trigger (volume_table_refresh.cpp).
extern PyMethodDef kAllVolumeEntriesMethod;
extern PyMethodDef kPopulateVolumeTableMethod;

}  // namespace volumes
