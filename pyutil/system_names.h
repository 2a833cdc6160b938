// Names the system gave, as the module hands them on and compares them.
// - SystemNativeString, the file system name of GetVolumeInformation
//   (volume_information.cpp): 2.7 gives the text encoded, Python 3 the
//   text those bytes decode to, with a short cut for ASCII. Pinned by
//   VolumeInformationByPathTest.testItemTypes (ASCII), ...NonAsciiFileSystemName
//   and ...testFileSystemNameWithALoneSurrogateIsReturnedNotRaised
//   (tests/python/test_volume_information.py).
// - TextEquals, the volume search's check for a repeated name
//   (volume_enumeration.cpp): in 2.7 a comparison of the stored units,
//   without the generic comparison's coercions. Pinned by
//   VolumeEnumerationTest.testRepeatedNameStopsTheSearchWithOneErrorRecord
//   and testOnlyTheNeighbourIsComparedSoEarlierNamesMayRecur (names of one
//   length that differ in case; tests/python/test_volume_enumeration.py).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "pyutil/owned_ref.h"
#include "pyutil/python_error.h"

namespace pyutil {

// The native str of a name that the system hands over in its code page
// `codec` ("mbcs" on Windows; Linux processes speak UTF-8): in 2.7 the text
// encoded with it; in 3 the text those bytes decode to, with the file
// system encoding and surrogateescape off Windows (so bytes that are not
// UTF-8 survive as escapes) and with `codec` on Windows. Throws
// PythonErrorSet.
OwnedRef SystemNativeString(PyObject* text, const char* codec);

// a == b, for two names the system gave (exact unicode objects) compared
// as 2.7 compares them, unit by unit, without its generic comparison; any
// other objects through the generic one. Throws PythonErrorSet.
inline bool TextEquals(PyObject* a, PyObject* b) {
#if PY_MAJOR_VERSION < 3
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    const Py_ssize_t length = PyUnicode_GET_SIZE(a);
    return length == PyUnicode_GET_SIZE(b) &&
           std::memcmp(PyUnicode_AS_UNICODE(a), PyUnicode_AS_UNICODE(b),
                       static_cast<std::size_t>(length) * sizeof(Py_UNICODE)) == 0;
  }
#endif
  return RequireStatus(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

}  // namespace pyutil
