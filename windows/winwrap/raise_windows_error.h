// The native function windows.winwrap exports to raise WindowsError, and the
// call form its importers use.
//
// It is published in the module's __pyx_capi__ dict as a capsule whose name
// is the exact signature text below; the capsule's pointer is the function.
// It never returns normally: it returns NULL with a WindowsError set.
#pragma once

#include <Python.h>

namespace winwrap {

// The optional-argument record: how many optional arguments are supplied
// (1 when an error code is passed), then the Windows error code.
struct RaiseWindowsErrorOptions {
  int supplied_count;
  int error_code;
};

using RaiseWindowsErrorFunction = PyObject* (*)(int skip_dispatch,
                                                RaiseWindowsErrorOptions* options);

inline constexpr char kRaiseWindowsErrorName[] = "RaiseWindowsError";
inline constexpr char kRaiseWindowsErrorSignature[] =
    "PyObject *(int __pyx_skip_dispatch, struct "
    "__pyx_opt_args_7windows_7winwrap_RaiseWindowsError *__pyx_optional_args)";

}  // namespace winwrap
