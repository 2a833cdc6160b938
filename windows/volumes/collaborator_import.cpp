// windows.volumes: the imports of its collaborators.
//
// The collaborators (common, platforms) are the application's own modules,
// not the module's: a wheel of the module does not ship them. When one is
// missing, the interpreter's own message ("No module named common") does not
// tell the user that it is the application's or how to get the reference
// ones, so that case gets a message of its own; every other failure of a
// collaborator's import reaches the importer unchanged.
#include "volumes/collaborator_import.h"

#include <cstring>
#include <string>

#include "pyutil/calls.h"
#include "pyutil/import_error.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "volumes/module_state.h"

namespace volumes {
namespace {

using pyutil::InternedString;
using pyutil::OwnedRef;
using pyutil::RequireNew;
using pyutil::RequireStatus;

// Whether `missing` (the module an ImportError says it could not find)
// names `needed` or one of the packages on its way: "common" or
// "common.service" for "common.service", and, as 2.7 words it, "service".
bool NamesModuleOnTheWay(const std::string& missing, const std::string& needed) {
  if (missing.empty()) return false;
  for (std::size_t end = needed.find('.'); ; end = needed.find('.', end + 1)) {
    const std::string prefix = needed.substr(0, end);
    if (missing == prefix) return true;
    const std::size_t start = prefix.rfind('.');
    if (start != std::string::npos && missing == prefix.substr(start + 1)) return true;
    if (end == std::string::npos) return false;
  }
}

// The module an ImportError says it could not find: its `name` (3), or the
// end of "No module named X" (2.7); empty when it says neither.
std::string MissingModuleOf(PyObject* error) {
  OwnedRef name = OwnedRef::Steal(PyObject_GetAttrString(error, "name"));
  if (!name) PyErr_Clear();
  if (name && pyutil::IsNativeString(name.get())) {
    const char* text = pyutil::NativeStringText(name.get());
    if (text != nullptr) return text;
    PyErr_Clear();
  }
  OwnedRef message = OwnedRef::Steal(PyObject_Str(error));
  const char* text = message ? pyutil::NativeStringText(message.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return std::string();
  }
  constexpr char kPrefix[] = "No module named ";
  if (std::strncmp(text, kPrefix, sizeof kPrefix - 1) != 0) return std::string();
  std::string missing = text + sizeof kPrefix - 1;
  if (missing.size() >= 2 && missing.front() == '\'' && missing.back() == '\'') {
    missing = missing.substr(1, missing.size() - 2);
  }
  return missing;
}

// With an ImportError pending for the import of `needed` that says `needed`
// (or a package on its way) cannot be found: replaces it with one of the
// same class that says what is missing and how to get it, caused by the
// original. Any other pending error stays as it is.
void ExplainMissingCollaborator(const std::string& needed) {
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return;
  pyutil::ErrorParts error = pyutil::ErrorParts::FetchPending();
  error.Normalize();
  PyObject* value = error.value();
  const std::string missing = value != nullptr ? MissingModuleOf(value) : std::string();
  if (!NamesModuleOnTheWay(missing, needed)) {
    error.RestorePending();
    return;
  }
  OwnedRef message = OwnedRef::Steal(PyObject_Str(value));
  const char* original = message ? pyutil::NativeStringText(message.get()) : nullptr;
  if (original == nullptr) {
    PyErr_Clear();
    original = "not found";
  }
  PyErr_Format(error.type(),
               "windows.volumes needs the module %.200s (%.200s), one of the application's own; "
               "put the application's modules on sys.path, or install the reference ones: "
               "pip install 'windows-volumes[standalone]'",
               needed.c_str(), original);
  pyutil::SetPendingErrorCause(value, missing.c_str());
}

}  // namespace

OwnedRef Import(const char* name, const char* imported) {
  const ModuleState& state = State();
  OwnedRef import_function = RequireNew(PyObject_GetAttrString(state.builtins_module, "__import__"));
  OwnedRef module_name = RequireNew(pyutil::NewNativeString(name));
  OwnedRef locals = RequireNew(PyDict_New());
  OwnedRef from_list = RequireNew(PyList_New(0));
  OwnedRef imported_name;
  if (imported != nullptr) {
    imported_name = InternedString(imported);
    RequireStatus(PyList_Append(from_list.get(), imported_name.get()));
  }
  OwnedRef level = RequireNew(pyutil::NewInteger(pyutil::kDefaultImportLevel));
  OwnedRef module;
  try {
    module = pyutil::Call(import_function.get(), module_name.get(), state.globals, locals.get(),
                          from_list.get(), level.get());
  } catch (pyutil::PythonErrorSet& error) {
    error.Restore();
    ExplainMissingCollaborator(imported ? std::string(name) + "." + imported : std::string(name));
    pyutil::ThrowPythonError();
  }
  if (imported == nullptr) return module;
  PyObject* value = PyObject_GetAttr(module.get(), imported_name.get());
  if (value == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      pyutil::RaiseFormatted(PyExc_ImportError, "cannot import name %.230s", imported);
    }
    pyutil::ThrowPythonError();
  }
  return OwnedRef::Steal(value);
}

}  // namespace volumes
