// IsFAT: whether a volume is FAT32 or exFAT, cached per volume ID until the
// next table refresh.
#pragma once

#include <Python.h>

namespace volumes {

extern PyMethodDef kIsFATFunction;

}  // namespace volumes
