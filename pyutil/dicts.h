// Dicts made and read as the interpreter would, on the table's hot paths.
// - DictGet, the table look-ups of the service (volume_info_service.cpp)
//   and the drive-type map of the refresh (volume_table_refresh.cpp):
//   dict.get without a method call, raising what a key's comparison raises
//   where 2.7's PyDict_GetItem would report a miss. Pinned by
//   VolumeInfoServiceTest.testAKeyComparisonThatRaisesIsNotAMiss
//   (tests/python/test_volume_info_service.py).
// - KeywordDictShape, the keyword dict of each volume entry the refresh
//   makes (module_state.h keeps one, volume_table_refresh.cpp fills it):
//   made at its final size, which in 2.7 is only done where it leaves the
//   keys in the order of the interpreter's own keyword dict for the call
//   (KeywordDictPresize reads the table size of a dict it grows). Pinned by
//   TableRefreshTest.testVolumeEntryGetsTheKeywordDictTheInterpreterWouldMake
//   (tests/python/test_table_refresh.py, under several hash seeds).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "pyutil/owned_ref.h"
#include "pyutil/python_error.h"

namespace pyutil {

// dict.get(key, fallback) of an exact dict, as a borrowed reference
// (`fallback`, None unless given, when the key is absent), raising what the
// keys' comparisons raise as dict.get does. 2.7's PyDict_GetItem swallows
// such an error and reports a miss, so there a miss is checked again with
// PyDict_Contains, which reports it. Throws PythonErrorSet.
inline PyObject* DictGet(PyObject* dict, PyObject* key, PyObject* fallback = Py_None) {
#if PY_MAJOR_VERSION >= 3
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) ThrowPythonError();
#else
  PyObject* value = PyDict_GetItem(dict, key);
  if (value == nullptr && PyDict_Contains(dict, key) < 0) ThrowPythonError();
#endif
  return value != nullptr ? value : fallback;
}

// The size to make a dict for keyword arguments `names` (stored in this
// order) at once: their count in Python 3, whose dicts keep the order of
// insertion whatever their size. 2.7 orders a dict's keys by its table, so
// there a dict made at once must end with the very table the interpreter's
// own keyword dict for the call grows into: the table size that one ends
// with, where a dict of that size filled in order puts every name in the
// same slot (as the names' hashes fall, the same for the whole process:
// both dicts are built once to see), else 0: grown as the interpreter grows
// it. Throws PythonErrorSet.
Py_ssize_t KeywordDictPresize(const OwnedRef* names, std::size_t count);

// Dicts of the same N keyword names, stored in the same order, for one call
// site that passes them each time: each made at its final size where that
// leaves it as the interpreter would make it (KeywordDictPresize).
template <std::size_t N>
class KeywordDictShape {
 public:
  KeywordDictShape() = default;
  // Throws PythonErrorSet.
  explicit KeywordDictShape(std::array<OwnedRef, N> names)
      : names_(std::move(names)), presize_(KeywordDictPresize(names_.data(), N)) {}

  // A new dict holding values[i] under the i-th name, stored in order.
  // Throws PythonErrorSet.
  OwnedRef Build(const std::array<PyObject*, N>& values) const {
    OwnedRef dict = RequireNew(presize_ != 0 ? _PyDict_NewPresized(presize_) : PyDict_New());
    for (std::size_t index = 0; index < N; ++index) {
      RequireStatus(PyDict_SetItem(dict.get(), names_[index].get(), values[index]));
    }
    return dict;
  }

 private:
  std::array<OwnedRef, N> names_;
  Py_ssize_t presize_ = 0;
};

}  // namespace pyutil
