#include "volumes/module_state.h"

namespace volumes {

ModuleState& State() {
  // Never destroyed: the references it holds must not be released after the
  // interpreter has finalised.
  static ModuleState* state = new ModuleState();
  return *state;
}

OwnedRef Global(PyObject* name) {
  const ModuleState& state = State();
  return pyutil::LookupGlobal(state.globals, state.builtins, name);
}

OwnedRef Logger() { return Global(State().names.LOGGER.get()); }

PyObject* LogMethodName(LogLevel level) {
  const InternedNames& names = State().names;
  switch (level) {
    case LogLevel::kDebug:
      return names.debug.get();
    case LogLevel::kInfo:
      return names.info.get();
    case LogLevel::kWarning:
      return names.warning.get();
    case LogLevel::kError:
      return names.error.get();
    case LogLevel::kException:
      break;
  }
  return names.exception.get();
}

PyObject* LogFormat(const char* format) {
  // A few call sites in all: a short list, searched by address.
  std::vector<std::pair<const char*, OwnedRef>>& formats = State().log_formats;
  for (const auto& [literal, text] : formats) {
    if (literal == format) return text.get();
  }
  OwnedRef text = pyutil::RequireNew(pyutil::NewNativeString(format));
  formats.emplace_back(format, text);
  return text.get();
}

namespace {

[[noreturn]] void CallRaiseWindowsError(winwrap::RaiseWindowsErrorOptions* options) {
  PyObject* result = State().raise_windows_error(0, options);
  if (result != nullptr) {
    // The collaborator must never return normally; report the broken contract.
    Py_DECREF(result);
    PyErr_SetString(PyExc_SystemError, "RaiseWindowsError returned without raising");
  }
  pyutil::ThrowPythonError();
}

}  // namespace

void RaiseWindowsError() { CallRaiseWindowsError(nullptr); }

void RaiseWindowsError(DWORD error_code) {
  winwrap::RaiseWindowsErrorOptions options{1, static_cast<int>(error_code)};
  CallRaiseWindowsError(&options);
}

}  // namespace volumes
