// _ListVolumeNames: the volume search (FindFirstVolumeW / FindNextVolumeW).
#include "kernel32.h"
#include "pyutil/method_definition.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/system_names.h"
#include "pyutil/traceback_entry.h"
#include "volume_queries/system_text.h"
#include "volume_queries/volume_queries.h"
#include "windows/module_context.h"

namespace volumes {
namespace {

using pyutil::OwnedRef;

constexpr DWORD kNameBufferLength = MAX_PATH + 1;

// Owns a volume search handle and closes it exactly once. A failure that
// unwinds past it carries its Python error in the exception, so none is
// pending while FindVolumeClose runs.
class VolumeSearch {
 public:
  explicit VolumeSearch(HANDLE handle) noexcept : handle_(handle) {}
  ~VolumeSearch() { FindVolumeClose(handle_); }
  VolumeSearch(const VolumeSearch&) = delete;
  VolumeSearch& operator=(const VolumeSearch&) = delete;

  HANDLE get() const noexcept { return handle_; }

 private:
  HANDLE handle_;
};

const pyutil::TracebackEntry kTraceback("windows.volumes._ListVolumeNames",
                                        "windows/volume_queries/volume_enumeration.cpp", __LINE__);
OwnedRef SearchVolumeNames() {
  WCHAR name_buffer[kNameBufferLength];
  HANDLE handle = FindFirstVolumeW(name_buffer, kNameBufferLength);
  if (handle == INVALID_HANDLE_VALUE) RaiseWindowsError();
  VolumeSearch search(handle);

  OwnedRef current_name = TextFromFixedBuffer(name_buffer, kNameBufferLength);
  OwnedRef volume_names = pyutil::RequireNew(PyList_New(0));
  pyutil::RequireStatus(PyList_Append(volume_names.get(), current_name.get()));
  for (;;) {
    if (!FindNextVolumeW(search.get(), name_buffer, kNameBufferLength)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_FILES) return volume_names;
      RaiseWindowsError(error);
    }
    current_name = TextFromFixedBuffer(name_buffer, kNameBufferLength);
    // A search that yields the same name again has stopped advancing.
    PyObject* last_name = PyList_GET_ITEM(volume_names.get(), PyList_GET_SIZE(volume_names.get()) - 1);
    if (pyutil::TextEquals(current_name.get(), last_name)) {
      Log(LogLevel::kError, "FindNextVolume improperly returned same value %s",
          current_name.get());
      return volume_names;
    }
    pyutil::RequireStatus(PyList_Append(volume_names.get(), current_name.get()));
  }
}

PyObject* ListVolumeNamesFunction(PyObject* /*module*/, PyObject* /*unused*/) {
  return pyutil::GuardEntry(kTraceback, []() { return ListVolumeNames().release(); });
}

}  // namespace

OwnedRef ListVolumeNames() { return pyutil::WithTracebackEntry(kTraceback, SearchVolumeNames); }

PyMethodDef kListVolumeNamesFunction = {
    "_ListVolumeNames", ListVolumeNamesFunction, METH_NOARGS,
    PYUTIL_SIGNED_DOC("_ListVolumeNames", "()",
    "Returns a list of UNC volume names.\n"
    "\n"
    "  Returns:\n"
    "    List of UNC GUID volume names as reported by the system. Not all such\n"
    "    names will actually correspond to mounted volumes, because Windows.\n"
    "\n"
    "  Raises:\n"
    "    WindowsError: If calls to the Windows API fail.\n"
    "  ")};

}  // namespace volumes
