// windows.winwrap: raises WindowsError for a failed Windows call.
//
// Other native modules reach RaiseWindowsError through the capsule in
// __pyx_capi__. On Windows the exception is the interpreter's WindowsError;
// elsewhere the interpreter has none, so this module provides one (an
// OSError subclass with `winerror`) and makes it a built-in name, so that
// `except WindowsError` works throughout the application.
#include <Python.h>

#include "pyutil/method_definition.h"
#include "pyutil/module_init.h"

#include "kernel32.h"
#include "pyutil/binding_function.h"
#include "pyutil/calls.h"
#include "pyutil/integer_conversion.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "windows/winwrap/error_messages.h"
#include "windows/winwrap/raise_windows_error.h"

namespace winwrap {
namespace {

using pyutil::OwnedRef;
using pyutil::RequireNew;
using pyutil::RequireStatus;

PyObject* windows_error_class = nullptr;  // owned for the life of the process

constexpr char kSourceFile[] = "windows/winwrap/winwrap_module.cpp";

// The WindowsError for `code` (an int) with the system's `message`. CPython
// 3 on Windows makes its own as OSError(0, message, None, code), from
// which OSError takes the errno, and the subclass, that the code maps to;
// 2.7's WindowsError, and the class of this module's own elsewhere, are
// made from (code, message).
OwnedRef NewWindowsError(PyObject* code, PyObject* message) {
#ifdef _WIN32
  if (pyutil::kPython3) {
    OwnedRef no_errno = RequireNew(pyutil::NewInteger(0));
    return pyutil::Call(windows_error_class, no_errno.get(), message, Py_None, code);
  }
#endif
  return pyutil::Call(windows_error_class, code, message);
}

// The WindowsError it raises shows where it was made, as one raised by a
// compiled function would.
const pyutil::TracebackEntry kRaiseTraceback("windows.winwrap.RaiseWindowsError", kSourceFile,
                                             __LINE__);
PyObject* RaiseWindowsError(int /*skip_dispatch*/, RaiseWindowsErrorOptions* options) {
  const DWORD error_code = (options != nullptr && options->supplied_count >= 1)
                               ? static_cast<DWORD>(options->error_code)
                               : GetLastError();
  return pyutil::GuardEntry(kRaiseTraceback, [&]() -> PyObject* {
    OwnedRef code_number = pyutil::IntegerFromUnsigned(error_code);  // an int where it fits
    OwnedRef message =
        RequireNew(pyutil::NewNativeString(WindowsErrorMessage(error_code).c_str()));
    OwnedRef error = NewWindowsError(code_number.get(), message.get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
  });
}

#ifndef _WIN32

// Python 3: gives the error the errno CPython on Windows derives from its
// Windows code. Its args stay as given, (winerror, strerror[, filename]),
// so that a copy or an unpickled error is made from the code again; 2.7
// keeps the code as errno.
void DeriveErrno(PyObject* self, PyObject* winerror) {
  if (!pyutil::kPython3 || !pyutil::IsInteger(winerror)) return;
  const unsigned long code = PyLong_AsUnsignedLongMask(winerror);
  if (code == static_cast<unsigned long>(-1) && PyErr_Occurred()) pyutil::ThrowPythonError();
  OwnedRef errno_value =
      RequireNew(pyutil::NewInteger(ErrnoOfWindowsError(static_cast<DWORD>(code))));
  RequireStatus(PyObject_SetAttrString(self, "errno", errno_value.get()));
}

// WindowsError(winerror, strerror[, filename]): an OSError that keeps the
// Windows code as `winerror`; its errno is that code in 2.7 and the errno
// CPython on Windows derives from it in 3.
const pyutil::TracebackEntry kInitTraceback(VOLUMES_BUILTIN_EXCEPTIONS "WindowsError.__init__",
                                            kSourceFile, __LINE__);
PyObject* WindowsErrorInit(PyObject* /*function*/, PyObject* args, PyObject* kwargs) {
  return pyutil::GuardEntry(kInitTraceback, [&]() -> PyObject* {
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
      pyutil::RaiseFormatted(PyExc_TypeError, "WindowsError does not take keyword arguments");
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 1) {
      pyutil::RaiseFormatted(PyExc_TypeError,
                             "unbound method __init__() must be called with an instance");
    }
    PyObject* self = PyTuple_GET_ITEM(args, 0);
    OwnedRef init = pyutil::GetAttr(PyExc_OSError, pyutil::InternedString("__init__").get());
    OwnedRef result = RequireNew(PyObject_Call(init.get(), args, nullptr));
    PyObject* winerror = count >= 3 ? PyTuple_GET_ITEM(args, 1) : Py_None;
    DeriveErrno(self, winerror);
    RequireStatus(PyObject_SetAttrString(self, "winerror", winerror));
    Py_RETURN_NONE;
  });
}

// "[Error 5] Access is denied", as the interpreter on Windows prints it
// ("[WinError 5] Access is denied" in 3).
const pyutil::TracebackEntry kStrTraceback(VOLUMES_BUILTIN_EXCEPTIONS "WindowsError.__str__",
                                           kSourceFile, __LINE__);
PyObject* WindowsErrorStr(PyObject* /*function*/, PyObject* args, PyObject* kwargs) {
  return pyutil::GuardEntry(kStrTraceback, [&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 1 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
      pyutil::RaiseFormatted(PyExc_TypeError, "__str__() takes exactly one argument");
    }
    PyObject* self = PyTuple_GET_ITEM(args, 0);
    OwnedRef winerror = RequireNew(PyObject_GetAttrString(self, "winerror"));
    OwnedRef strerror = RequireNew(PyObject_GetAttrString(self, "strerror"));
    OwnedRef filename = RequireNew(PyObject_GetAttrString(self, "filename"));
    if (winerror.get() == Py_None || strerror.get() == Py_None) {
      OwnedRef base_str = pyutil::GetAttr(PyExc_OSError, pyutil::InternedString("__str__").get());
      return pyutil::Call(base_str.get(), self).release();
    }
    const char* format_text = pyutil::kPython3
        ? (filename.get() == Py_None ? "[WinError %s] %s" : "[WinError %s] %s: %r")
        : (filename.get() == Py_None ? "[Error %s] %s" : "[Error %s] %s: %r");
    OwnedRef format = RequireNew(pyutil::NewNativeString(format_text));
    OwnedRef values = filename.get() == Py_None
                          ? RequireNew(PyTuple_Pack(2, winerror.get(), strerror.get()))
                          : RequireNew(PyTuple_Pack(3, winerror.get(), strerror.get(),
                                                    filename.get()));
    return RequireNew(pyutil::FormatNativeString(format.get(), values.get())).release();
  });
}

PyMethodDef kWindowsErrorInit = {"__init__", pyutil::KeywordsFunction(WindowsErrorInit),
                                 METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kWindowsErrorStr = {"__str__", pyutil::KeywordsFunction(WindowsErrorStr),
                                METH_VARARGS | METH_KEYWORDS, nullptr};

// The class already installed as a built-in, or a new one installed now.
OwnedRef ProvideWindowsError() {
  PyObject* builtins = PyImport_AddModule(pyutil::kBuiltinsModuleName);  // borrowed
  if (builtins == nullptr) pyutil::ThrowPythonError();
  PyObject* existing = PyDict_GetItemString(PyModule_GetDict(builtins), "WindowsError");
  if (existing != nullptr) return OwnedRef::Borrow(existing);

  OwnedRef module_name =
      RequireNew(pyutil::NewNativeString(pyutil::kBuiltinExceptionsModuleName));
  OwnedRef namespace_dict = RequireNew(PyDict_New());
  OwnedRef doc = RequireNew(pyutil::NewNativeString("MS-Windows OS system call failed."));
  RequireStatus(PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()));
  RequireStatus(PyDict_SetItemString(namespace_dict.get(), "winerror", Py_None));
  OwnedRef init = pyutil::NewBindingFunction(&kWindowsErrorInit, module_name.get(), nullptr);
  RequireStatus(PyDict_SetItemString(namespace_dict.get(), "__init__", init.get()));
  OwnedRef str = pyutil::NewBindingFunction(&kWindowsErrorStr, module_name.get(), nullptr);
  RequireStatus(PyDict_SetItemString(namespace_dict.get(), "__str__", str.get()));
  OwnedRef error_class = RequireNew(PyErr_NewException(
      const_cast<char*>(VOLUMES_BUILTIN_EXCEPTIONS "WindowsError"), PyExc_OSError,
      namespace_dict.get()));
  RequireStatus(PyObject_SetAttrString(builtins, "WindowsError", error_class.get()));
  // Also where its qualified name says it is (2.7's exceptions module; in 3
  // the same module as the built-in names), so that pickle finds the class
  // and a WindowsError can be copied or passed to another process.
  OwnedRef exceptions = RequireNew(PyImport_ImportModule(pyutil::kBuiltinExceptionsModuleName));
  RequireStatus(PyObject_SetAttrString(exceptions.get(), "WindowsError", error_class.get()));
  return error_class;
}

#else

OwnedRef ProvideWindowsError() { return OwnedRef::Borrow(PyExc_WindowsError); }

#endif

pyutil::ModuleDefinition module_definition = VOLUMES_MODULE_DEFINITION(
    "winwrap", "Raises WindowsError for failed Windows calls.", nullptr);

// The module, a new reference.
OwnedRef InitialiseWinwrap() {
  OwnedRef owned_module = pyutil::CreateModule(module_definition);
  if (!owned_module) pyutil::ThrowPythonError();
  PyObject* module = owned_module.get();
  OwnedRef error_class = ProvideWindowsError();
  OwnedRef capi = RequireNew(PyDict_New());
  OwnedRef capsule = RequireNew(PyCapsule_New(reinterpret_cast<void*>(&RaiseWindowsError),
                                              kRaiseWindowsErrorSignature, nullptr));
  RequireStatus(PyDict_SetItemString(capi.get(), kRaiseWindowsErrorName, capsule.get()));
  RequireStatus(PyObject_SetAttrString(module, "__pyx_capi__", capi.get()));
  RequireStatus(PyObject_SetAttrString(module, "WindowsError", error_class.get()));
  // Kept for RaiseWindowsError for the life of the process.
  Py_XDECREF(windows_error_class);
  windows_error_class = error_class.release();
  return owned_module;
}

PyObject* CreateModule() {
  return pyutil::GuardEntry([]() -> PyObject* { return InitialiseWinwrap().release(); });
}

}  // namespace
}  // namespace winwrap

VOLUMES_MODULE_ENTRY(winwrap, winwrap::CreateModule)
