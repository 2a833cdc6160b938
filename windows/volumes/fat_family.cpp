#include "volumes/fat_family.h"

#include "pyutil/method_definition.h"
#include "pyutil/argument_parsing.h"
#include "pyutil/exception_state.h"
#include "pyutil/integer_conversion.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "volume_queries/volume_queries.h"
#include "volumes/module_state.h"
#include "volumes/volume_identity.h"

namespace volumes {
namespace {

using pyutil::OwnedRef;

constexpr const char* kParameterNames[] = {"serial_number", "handle"};
constexpr pyutil::Signature kSignature = {"IsFAT", kParameterNames, 2, 2};

// The cached answer for a volume ID, or nullptr. Hashing first lets an
// unhashable ID raise as dict.get would.
PyObject* CachedAnswer(PyObject* cache, PyObject* volume_id) {
  if (PyObject_Hash(volume_id) == -1) pyutil::ThrowPythonError();
  return PyDict_GetItem(cache, volume_id);
}

// The file system name of the volume holding the file open as handle.handle.
OwnedRef QueryFileSystemName(PyObject* handle) {
  OwnedRef handle_value = pyutil::GetAttr(handle, State().names.handle.get());
  OwnedRef information = QueryVolumeInformationByHandle(pyutil::ToInt64(handle_value.get()));
  return OwnedRef::Borrow(PyTuple_GET_ITEM(information.get(), 4));
}

const pyutil::TracebackEntry kIsFATTraceback("windows.volumes.IsFAT",
                                              "windows/volumes/fat_family.cpp", __LINE__);
PyObject* IsFAT(PyObject* /*module*/, const pyutil::CallArguments& call) {
  return pyutil::GuardEntry(kIsFATTraceback, [&call]() -> PyObject* {
    PyObject* values[2];
    const OwnedRef keywords = pyutil::ParseArguments(kSignature, call, values);
    PyObject* serial_number = values[0];
    PyObject* handle = values[1];
    ModuleState& state = State();

    OwnedRef volume_id = CallVolumeIDFunction(serial_number);
    if (PyObject* cached = CachedAnswer(state.is_fat_cache.get(), volume_id.get())) {
      if (cached != Py_None) return OwnedRef::Borrow(cached).release();
    }

    OwnedRef filesystem;
    try {
      filesystem = QueryFileSystemName(handle);
    } catch (...) {
      pyutil::SetErrorOfCurrentException();
      pyutil::CaughtException caught(kIsFATTraceback);
      OwnedRef windows_error = Global(state.names.WindowsError.get());
      if (!caught.Matches(windows_error.get())) {
        caught.Restore();
        pyutil::ThrowPythonError();
      }
      pyutil::HandledExceptionScope handling(caught);
      Log(LogLevel::kException, "WindowsError");
      Py_RETURN_FALSE;
    }

    OwnedRef lower_name = pyutil::CallMethod(filesystem.get(), state.names.lower.get());
    const int is_member =
        pyutil::RequireStatus(PySequence_Contains(state.fat_filesystems.get(), lower_name.get()));
    OwnedRef is_fat = OwnedRef::Borrow(is_member ? Py_True : Py_False);
    pyutil::RequireStatus(PyDict_SetItem(state.is_fat_cache.get(), volume_id.get(), is_fat.get()));
    return is_fat.release();
  });
}

}  // namespace

PyMethodDef kIsFATFunction = {
    "IsFAT", pyutil::ParsedCallFunction<IsFAT>(),
    pyutil::kParsedCallFlags,
    PYUTIL_SIGNED_DOC("IsFAT", "(serial_number, handle)",
    "Returns True if the filesystem is of the FAT family.\n"
    "\n"
    "  Note that once the result has been checked, it will be cached until the next\n"
    "  time VolumeInfo refreshes its cache.\n"
    "\n"
    "  Args:\n"
    "    serial_number: The serial number of the filesystem.\n"
    "    handle: PyHANDLE to a file on the file system.\n"
    "\n"
    "  Returns:\n"
    "    True if this is a FAT filesystem, False otherwise or if no device entry\n"
    "    could be found for this stat result.\n"
    "  ")};

}  // namespace volumes
