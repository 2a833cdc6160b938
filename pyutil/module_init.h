// The exported entry point of an extension module. The modules are built
// with hidden symbols; only their init function is visible to the
// interpreter: `init<name>` returning nothing in 2.7, `PyInit_<name>`
// returning the module in 3.
#pragma once

#include <Python.h>

#ifdef _WIN32
#define VOLUMES_MODULE_INIT PyMODINIT_FUNC
#elif PY_MAJOR_VERSION >= 3
#define VOLUMES_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define VOLUMES_MODULE_INIT extern "C" __attribute__((visibility("default"))) void
#endif

// Defines the entry point of module `name` over `create`, a function that
// builds the module and returns a new reference to it, or nullptr with an
// error set. In 2.7 the interpreter finds the module in sys.modules, where
// its creation put it, so the reference is dropped (once: Py_XDECREF
// evaluates its argument more than once).
#if PY_MAJOR_VERSION >= 3
#define VOLUMES_MODULE_ENTRY(name, create) \
  VOLUMES_MODULE_INIT PyInit_##name(void) { return create(); }
#else
#define VOLUMES_MODULE_ENTRY(name, create) \
  VOLUMES_MODULE_INIT init##name(void) {       \
    PyObject* module = create();                 \
    Py_XDECREF(module);                          \
  }
#endif
