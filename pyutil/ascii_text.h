// The volume GUID pattern and its matches as the module gives them: the
// pattern compiled as 2.7 compiles a byte-string pattern (\w means ASCII),
// and its group as the native str. Used by the module's set-up (module.cpp)
// and the GUID of a volume name (volume_guid.cpp). Each imitates 2.7 where
// Python 3 differs by default, or takes a short cut past the engine, and is
// pinned by a test of what the module gives:
// - CompileAsciiPattern: ConstantsTest.testVolumeNameGuidMatcher
//   (tests/python/test_module_surface.py, the flags and a non-ASCII \w).
// - IsCompiledAsciiPattern, which lets the refresh match the pattern itself:
//   ImportTest.testGuidMatcherFromAStandInCompileIsAskedByTheRefresh (a
//   pattern of other flags must be asked).
// - NativeStringFromAsciiText and NativeStringFromAsciiSlice, both ways to
//   the GUID: TableRefreshTest.testGuidIsWhatTheMatcherFindsWhetherOwnOrReplaced
//   (tests/python/test_table_refresh.py: the same text, of type str, from
//   the module's own pattern and from a matcher that only passes it on).
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace pyutil {

// A native str holding the same ASCII text as `text` (a unicode object of
// ASCII characters, such as a match of an ASCII-only pattern): in 2.7 what
// text.encode('ascii') gives (`encode` and `ascii` are those names), in 3
// the object itself. Throws PythonErrorSet.
OwnedRef NativeStringFromAsciiText(PyObject* text, PyObject* encode, PyObject* ascii);

// The native str that NativeStringFromAsciiText gives for text[start:end]
// of a unicode object whose characters there are ASCII, without the slice
// and the codec call of 2.7. Throws PythonErrorSet.
OwnedRef NativeStringFromAsciiSlice(PyObject* text, Py_ssize_t start, Py_ssize_t end);

// re.compile(pattern) of a pattern whose \w and \d mean ASCII characters
// only, as a 2.7 byte-string pattern without flags means them: Python 3
// passes re.ASCII. Throws PythonErrorSet.
OwnedRef CompileAsciiPattern(PyObject* compile, PyObject* re_module, PyObject* pattern);

// Whether `object` is what the interpreter's own re gives for
// CompileAsciiPattern of `pattern`: a compiled pattern of the C type that
// nobody can subclass or change, with that text and the flags of a pattern
// compiled so. Its matches are then the engine's, whatever `re` was when it
// was compiled. Throws PythonErrorSet.
bool IsCompiledAsciiPattern(PyObject* object, const char* pattern);

}  // namespace pyutil
