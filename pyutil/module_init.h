// The exported entry point of an extension module. The modules are built
// with hidden symbols; only their init function is visible to the
// interpreter.
#pragma once

#include <Python.h>

#ifdef _WIN32
#define VOLUMES_MODULE_INIT PyMODINIT_FUNC
#else
#define VOLUMES_MODULE_INIT extern "C" __attribute__((visibility("default"))) void
#endif
