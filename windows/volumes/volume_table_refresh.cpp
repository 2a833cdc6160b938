// AllVolumeEntries and _PopulateVolumeTable: the rebuild of the volume
// table under the instance's lock, one VolumeEntry per usable volume.
//
// The rebuild never changes an installed dict: it builds new ones and then
// replaces the generation marker (_volume_ids) and the table
// (_volume_entries), so readers without the lock see a whole old or a whole
// new table. A caller passes the marker it saw; if another thread rebuilt in
// the meantime the marker differs and the call returns at once, so
// concurrent requests cause one rebuild.
#include <cstdint>
#include <exception>

#include "kernel32.h"
#include "pyutil/argument_parsing.h"
#include "pyutil/dicts.h"
#include "pyutil/exception_state.h"
#include "pyutil/method_definition.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"
#include "pyutil/traceback_entry.h"
#include "pyutil/utf16.h"
#include "volume_queries/critical_errors.h"
#include "volume_queries/volume_queries.h"
#include "volumes/module_state.h"
#include "volumes/volume_guid.h"
#include "volumes/volume_identity.h"
#include "volumes/volume_info_service.h"

namespace volumes {
namespace {

using pyutil::OwnedRef;
using pyutil::RequireNew;
using pyutil::RequireStatus;

// _PopulateVolumeTable, which catches exceptions inside its loop and around
// its `with` block (defined where the method begins).
extern const pyutil::TracebackEntry kPopulateTraceback;

// Runs `body` inside `with lock:`. A true result of __exit__ swallows the
// exception, and the block's result is then None.
template <typename Body>
OwnedRef WithLock(PyObject* lock, Body body) {
  // As the `with` statement finds them: __exit__ first.
  OwnedRef exit = pyutil::LookupSpecialMethod(lock, "__exit__");
  OwnedRef enter = pyutil::LookupSpecialMethod(lock, "__enter__");
  pyutil::Call(enter.get());
  OwnedRef result;
  try {
    result = body();
  } catch (...) {
    // Handled as Python would: a C++ exception becomes the error it stands
    // for, so that the lock is released on every way out.
    pyutil::SetErrorOfCurrentException();
    pyutil::CaughtException caught(kPopulateTraceback);
    bool suppress;
    {
      pyutil::HandledExceptionScope handling(caught);
      OwnedRef exit_result =
          pyutil::Call(exit.get(), caught.type(), caught.value(), caught.traceback());
      suppress = RequireStatus(PyObject_IsTrue(exit_result.get())) != 0;
    }
    if (suppress) return OwnedRef::Borrow(Py_None);
    caught.Restore();
    pyutil::ThrowPythonError();
  }
  pyutil::Call(exit.get(), Py_None, Py_None, Py_None);
  return result;
}

// Inside `except Exception:` around one per-volume step: logs the failure
// with its traceback and reports true, so the volume is skipped; any other
// exception is raised again.
template <typename Argument>
bool SkipVolumeOnException(const char* format, Argument argument) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  pyutil::CaughtException caught(kPopulateTraceback);
  pyutil::HandledExceptionScope handling(caught);
  Log(LogLevel::kException, format, argument);
  return true;
}

OwnedRef GetMonotonicTime() {
  const InternedNames& names = State().names;
  OwnedRef utils = Global(names.utils.get());
  OwnedRef clock = pyutil::GetAttr(utils.get(), names.GetMonotonicTime.get());
  return pyutil::Call(clock.get());
}

OwnedRef DeviceTypeFor(UINT win_drive_type) {
  const InternedNames& names = State().names;
  OwnedRef drive_type_map = Global(names.DRIVE_TYPE_MAP.get());
  // A dict's get cannot be replaced (neither the instance nor the type
  // takes attributes): for an exact dict it is looked up here directly.
  const bool plain_dict = PyDict_CheckExact(drive_type_map.get());
  OwnedRef get;
  if (!plain_dict) get = pyutil::GetAttr(drive_type_map.get(), names.get.get());
  OwnedRef code = RequireNew(PyLong_FromUnsignedLong(win_drive_type));
  OwnedRef volume_entry = Global(names.volume_entry.get());
  OwnedRef device_types = pyutil::GetAttr(volume_entry.get(), names.DeviceType.get());
  OwnedRef unknown = pyutil::GetAttr(device_types.get(), names.UNKNOWN.get());
  if (plain_dict) {
    return OwnedRef::Borrow(pyutil::DictGet(drive_type_map.get(), code.get(), unknown.get()));
  }
  return pyutil::Call(get.get(), code.get(), unknown.get());
}

// The table a refresh builds, and for each of its keys the volume GUID name
// and mount point of the entry stored there, to name a volume that a later
// one replaces.
struct NewTable {
  OwnedRef entries = RequireNew(PyDict_New());
  OwnedRef sources = RequireNew(PyDict_New());  // key -> (volume name, mount point)
};

// Stores `entry` under `key`. A later volume with the same ID replaces an
// earlier one (disks cloned or virtual disks copied share a serial number);
// the earlier one would leave the table without a trace, so the replacement
// is logged naming both volumes.
void StoreEntry(NewTable& table, PyObject* key, PyObject* entry, PyObject* volume_name,
                PyObject* mount_point) {
  if (PyObject_Hash(key) == -1) pyutil::ThrowPythonError();
  if (PyObject* earlier = PyDict_GetItem(table.sources.get(), key)) {
    OwnedRef replaced = OwnedRef::Borrow(earlier);  // the handler may change the dict
    Log(LogLevel::kWarning,
        "Volume %s at %r has the same volume ID %s as volume %s at %r, which it replaces.",
        volume_name, mount_point, key, PyTuple_GET_ITEM(replaced.get(), 0),
        PyTuple_GET_ITEM(replaced.get(), 1));
  }
  OwnedRef source = RequireNew(PyTuple_Pack(2, volume_name, mount_point));
  RequireStatus(PyDict_SetItem(table.sources.get(), key, source.get()));
  RequireStatus(PyDict_SetItem(table.entries.get(), key, entry));
}

// The mount points of a volume, with the UTF-16 text of its name made into
// `name_text` for the calls after the lookup; nothing when the lookup fails
// with an Exception, which is logged and skips the volume.
OwnedRef LookUpMountPoints(PyObject* volume_name, SystemText& name_text) {
  try {
    pyutil::CheckArgumentType(volume_name, pyutil::kAnyTextArgument, pyutil::NoneAllowed::kYes);
    return QueryVolumePathNames(volume_name, &name_text);
  } catch (...) {
    pyutil::SetErrorOfCurrentException();
    if (SkipVolumeOnException("Could not determine mount point for %s", volume_name)) {
      return OwnedRef();
    }
    pyutil::ThrowPythonError();
  }
}

// Sorts a list of several mount points shortest first (the sort is stable,
// so equal lengths keep the system's order) and logs them.
void SortShortestFirst(PyObject* volume_name, PyObject* mount_points) {
  const ModuleState& state = State();
  OwnedRef sort = pyutil::GetAttr(mount_points, state.names.sort.get());
  OwnedRef no_arguments = RequireNew(PyTuple_New(0));
  OwnedRef sort_options = RequireNew(PyDict_New());
  RequireStatus(PyDict_SetItem(sort_options.get(), state.names.key.get(), state.builtin_len.get()));
  RequireNew(PyObject_Call(sort.get(), no_arguments.get(), sort_options.get()));
  Log(LogLevel::kDebug, "Got multiple mounts for %s: %s", volume_name, mount_points);
}

// The mount point an entry names: the shortest one; nothing when the volume
// has none, which is logged and skips it.
OwnedRef ChooseMountPoint(PyObject* volume_name, PyObject* mount_points) {
  if (PyList_GET_SIZE(mount_points) == 0) {
    Log(LogLevel::kDebug, "Volume %s has no mount point. Skipping.", volume_name);
    return OwnedRef();
  }
  if (PyList_GET_SIZE(mount_points) > 1) {
    SortShortestFirst(volume_name, mount_points);
    // The logger was handed the list and may have emptied it: mount_points[0]
    // then raises, as it would in Python, instead of reading past the items.
    if (PyList_GET_SIZE(mount_points) == 0) {
      pyutil::RaiseFormatted(PyExc_IndexError, "list index out of range");
    }
  }
  return OwnedRef::Borrow(PyList_GET_ITEM(mount_points, 0));
}

// The volume information tuple of a volume, or nothing when the query fails
// with an Exception, which is logged and skips the volume.
OwnedRef LookUpInformation(PyObject* volume_name, const SystemText& name_text,
                           PyObject* mount_point) {
  try {
    pyutil::CheckArgumentType(volume_name, pyutil::kTextArgument, pyutil::NoneAllowed::kYes);
    // The query names the volume by its GUID name, not by the mount point.
    // An exact unicode name is the text the mount point lookup converted.
    return QueryVolumeInformationByPath(
        volume_name, PyUnicode_CheckExact(volume_name) ? &name_text : nullptr);
  } catch (...) {
    pyutil::SetErrorOfCurrentException();
    if (SkipVolumeOnException("Unable to fetch volume info for %r, skipping.", mount_point)) {
      return OwnedRef();
    }
    pyutil::ThrowPythonError();
  }
}

// What the drive queries tell of a volume.
struct DriveFacts {
  OwnedRef device_type;             // a VolumeEntry.DeviceType member
  std::uint64_t capacity_bytes = 0;  // 0 where the system did not say
};

// The drive type and capacity of the volume whose name `name_text` holds
// (exact unicode, which the information query took). A capacity the system
// cannot give is logged and left 0.
DriveFacts QueryDrive(const SystemText& name_text, PyObject* mount_point) {
  const pyutil::WideString& wide_name = name_text.units;
  DriveFacts facts;
  const UINT win_drive_type =
      WithoutCriticalErrorDialogs([&] { return GetDriveTypeW(wide_name.c_str()); });
  facts.device_type = DeviceTypeFor(win_drive_type);
  ULARGE_INTEGER total_bytes;
  total_bytes.QuadPart = 0;
  if (WithoutCriticalErrorDialogs([&] {
        return GetDiskFreeSpaceExW(wide_name.c_str(), nullptr, &total_bytes, nullptr);
      })) {
    facts.capacity_bytes = total_bytes.QuadPart;
  } else {
    Log(LogLevel::kDebug, "Could not determine volume capacity for %r", mount_point);
  }
  return facts;
}

// The VolumeEntry of a volume, from what the queries told of it.
// `information` is the query's tuple, which always has five items: label,
// serial, maximum component length, flags, file system name.
OwnedRef BuildEntry(PyObject* volume_name, PyObject* mount_point, PyObject* information,
                    const DriveFacts& drive) {
  const ModuleState& state = State();
  const InternedNames& names = state.names;
  PyObject* label = PyTuple_GET_ITEM(information, 0);
  PyObject* serial_number = PyTuple_GET_ITEM(information, 1);
  PyObject* filesystem = PyTuple_GET_ITEM(information, 4);
  OwnedRef volume_uuid = GuidOfVolumeName(volume_name);
  OwnedRef volume_entry = Global(names.volume_entry.get());
  OwnedRef entry_class = pyutil::GetAttr(volume_entry.get(), names.VolumeEntry.get());
  OwnedRef volume_id = CallVolumeIDFunction(serial_number);
  OwnedRef lower_filesystem = pyutil::CallMethod(filesystem, names.lower.get());
  OwnedRef size = RequireNew(PyLong_FromUnsignedLongLong(drive.capacity_bytes));
  // A new dict for each call: the class may keep it.
  OwnedRef fields = state.volume_entry_fields.Build(
      {volume_id.get(), mount_point, volume_name, serial_number, volume_uuid.get(), Py_None,
       drive.device_type.get(), label, lower_filesystem.get(), size.get()});
  OwnedRef no_arguments = RequireNew(PyTuple_New(0));
  return RequireNew(PyObject_Call(entry_class.get(), no_arguments.get(), fields.get()));
}

// Describes one volume and stores its entry in the new table, or logs why
// it is skipped.
void AddVolumeEntry(NewTable& table, PyObject* volume_name) {
  SystemText name_text;
  OwnedRef mount_points = LookUpMountPoints(volume_name, name_text);
  if (!mount_points) return;
  OwnedRef mount_point = ChooseMountPoint(volume_name, mount_points.get());
  if (!mount_point) return;
  OwnedRef information = LookUpInformation(volume_name, name_text, mount_point.get());
  if (!information) return;
  const DriveFacts drive = QueryDrive(name_text, mount_point.get());
  OwnedRef entry = BuildEntry(volume_name, mount_point.get(), information.get(), drive);
  // Keyed by what the entry says its volume is.
  OwnedRef key = pyutil::GetAttr(entry.get(), State().names.volume.get());
  StoreEntry(table, key.get(), entry.get(), volume_name, mount_point.get());
}

// Empties the FAT cache if the refresh fails after the new table was
// installed, so that no answer of the old table outlives it. The failure's
// Python error travels in the exception (PythonErrorSet), so the clear (and
// what the deallocation of its keys runs) sees none pending.
class ClearFatCacheOnFailure {
 public:
  ClearFatCacheOnFailure() noexcept : exceptions_(std::uncaught_exceptions()) {}
  ~ClearFatCacheOnFailure() {
    if (std::uncaught_exceptions() > exceptions_) PyDict_Clear(State().is_fat_cache.get());
  }
  ClearFatCacheOnFailure(const ClearFatCacheOnFailure&) = delete;
  ClearFatCacheOnFailure& operator=(const ClearFatCacheOnFailure&) = delete;

 private:
  int exceptions_;
};

OwnedRef RebuildTable(PyObject* self, PyObject* current_volume_ids) {
  const ModuleState& state = State();
  const InternedNames& names = state.names;
  OwnedRef volume_ids = pyutil::GetAttr(self, names._volume_ids.get());
  if (current_volume_ids != volume_ids.get()) {
    return pyutil::GetAttr(self, names._volume_ids.get());
  }
  Log(LogLevel::kInfo, "Refreshing volume information table.");
  OwnedRef start_time = GetMonotonicTime();
  OwnedRef new_volume_ids = RequireNew(PyDict_New());
  NewTable new_table;
  PyObject* new_volume_entries = new_table.entries.get();

  OwnedRef volume_names = UseModuleAttribute(
      names._ListVolumeNames.get(), state.list_volume_names_function.get(),
      [] { return ListVolumeNames(); }, [](PyObject* function) { return pyutil::Call(function); });
  if (PyList_CheckExact(volume_names.get()) || PyTuple_CheckExact(volume_names.get())) {
    // By index, reading the size anew each time: a list may change under us.
    for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(volume_names.get()); ++index) {
      OwnedRef volume_name =
          OwnedRef::Borrow(PySequence_Fast_GET_ITEM(volume_names.get(), index));
      AddVolumeEntry(new_table, volume_name.get());
    }
  } else {
    OwnedRef iterator = RequireNew(PyObject_GetIter(volume_names.get()));
    while (PyObject* item = PyIter_Next(iterator.get())) {
      OwnedRef volume_name = OwnedRef::Steal(item);
      AddVolumeEntry(new_table, volume_name.get());
    }
    if (PyErr_Occurred()) pyutil::ThrowPythonError();
  }

  RequireStatus(PyObject_SetAttr(self, names._volume_ids.get(), new_volume_ids.get()));
  RequireStatus(PyObject_SetAttr(self, names._volume_entries.get(), new_volume_entries));
  {
    ClearFatCacheOnFailure keep_cache_consistent;
    Log(LogLevel::kInfo, "Got new volume entries: %r", new_volume_entries);
    OwnedRef end_time = GetMonotonicTime();
    OwnedRef elapsed = RequireNew(PyNumber_Subtract(end_time.get(), start_time.get()));
    Log(LogLevel::kInfo, "Volume information refresh complete in %gs.", elapsed.get());
  }
  PyDict_Clear(state.is_fat_cache.get());
  return new_volume_ids;
}

constexpr const char* kPopulateParameters[] = {"self", "current_volume_ids"};
constexpr pyutil::Signature kPopulateSignature = {"_PopulateVolumeTable", kPopulateParameters, 2,
                                                  2};

extern const pyutil::TracebackEntry kPopulateTraceback(
    "windows.volumes.VolumeInfo._PopulateVolumeTable", "windows/volumes/volume_table_refresh.cpp",
    __LINE__);
PyObject* PopulateVolumeTable(PyObject* /*function*/, const pyutil::CallArguments& call) {
  return pyutil::GuardEntry(kPopulateTraceback, [&call]() -> PyObject* {
    PyObject* values[2];
    const OwnedRef keywords = pyutil::ParseArguments(kPopulateSignature, call, values);
    PyObject* self = values[0];
    PyObject* current_volume_ids = values[1];
    OwnedRef lock = pyutil::GetAttr(self, State().names._lock.get());
    return WithLock(lock.get(), [self, current_volume_ids]() {
             return RebuildTable(self, current_volume_ids);
           })
        .release();
  });
}

constexpr const char* kAllEntriesParameters[] = {"self", "force_update"};
constexpr pyutil::Signature kAllEntriesSignature = {"AllVolumeEntries", kAllEntriesParameters, 2,
                                                    1};

const pyutil::TracebackEntry kAllVolumeEntriesTraceback(
    "windows.volumes.VolumeInfo.AllVolumeEntries", "windows/volumes/volume_table_refresh.cpp",
    __LINE__);
PyObject* AllVolumeEntries(PyObject* /*function*/, const pyutil::CallArguments& call) {
  return pyutil::GuardEntry(kAllVolumeEntriesTraceback, [&call]() -> PyObject* {
    PyObject* values[2];
    const OwnedRef keywords = pyutil::ParseArguments(kAllEntriesSignature, call, values);
    PyObject* self = values[0];
    PyObject* force_update = values[1] != nullptr ? values[1] : Py_False;
    const InternedNames& names = State().names;

    OwnedRef table = pyutil::GetAttr(self, names._volume_entries.get());
    // The truth of force_update is taken only when the table is loaded.
    const bool rebuild = !RequireStatus(PyObject_IsTrue(table.get())) ||
                         RequireStatus(PyObject_IsTrue(force_update));
    if (rebuild) {
      OwnedRef populate = pyutil::GetAttr(self, names._PopulateVolumeTable.get());
      OwnedRef volume_ids = pyutil::GetAttr(self, names._volume_ids.get());
      pyutil::Call(populate.get(), volume_ids.get());
      table = pyutil::GetAttr(self, names._volume_entries.get());
    }
    if (PyDict_CheckExact(table.get())) return PyDict_Copy(table.get());
    return pyutil::CallMethod(table.get(), names.copy.get()).release();
  });
}

}  // namespace

pyutil::KeywordDictShape<kVolumeEntryFieldCount> VolumeEntryFields(const InternedNames& names) {
  // The order in which AddVolumeEntry passes their values.
  return pyutil::KeywordDictShape<kVolumeEntryFieldCount>(
      {names.volume, names.mountpoint, names.device_file, names.device_number, names.uuid,
       names.model, names.device_type, names.label, names.filesystem, names.size});
}

PyMethodDef kAllVolumeEntriesMethod = {
    "AllVolumeEntries", pyutil::ParsedCallFunction<AllVolumeEntries>(), pyutil::kParsedCallFlags,
    PYUTIL_SIGNED_DOC("AllVolumeEntries", "($self, force_update=False)",
    "Returns the volume entry dictionary.\n"
    "\n"
    "    Args:\n"
    "      force_update: If True, repopulate the volume entry table first.\n"
    "          Otherwise, uses cached values if available.\n"
    "\n"
    "    Returns:\n"
    "      Dictionary mapping volume IDs to volume_entry.VolumeEntry values.\n"
    "    ")};

PyMethodDef kPopulateVolumeTableMethod = {"_PopulateVolumeTable",
                                          pyutil::ParsedCallFunction<PopulateVolumeTable>(),
                                          pyutil::kParsedCallFlags,
                                          PYUTIL_SIGNATURE_ONLY("_PopulateVolumeTable",
                                                                "($self, current_volume_ids)")};

}  // namespace volumes
