// The GUID text of a volume GUID name, as VOLUME_NAME_GUID_MATCHER finds it.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace volumes {

// The pattern the module compiles as VOLUME_NAME_GUID_MATCHER:
// \\?\Volume{GUID}\ at the start of a name; group 1 is the GUID.
extern const char kVolumeNameGuidPattern[];

// The GUID between the braces of a volume name, as a native str, or None:
// group 1 of the match of VOLUME_NAME_GUID_MATCHER (looked up now),
// encoded as ASCII. Throws PythonErrorSet.
pyutil::OwnedRef GuidOfVolumeName(PyObject* volume_name);

}  // namespace volumes
