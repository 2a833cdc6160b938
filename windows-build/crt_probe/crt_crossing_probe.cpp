// Not part of any module: what the C runtime boundary check of
// windows-build/check.sh must refuse, compiled only to show that it does.
// Each call hands an object of one C runtime to the other.
#include <Python.h>

#include <cstdio>

extern "C" PyObject* CrtCrossingProbe(PyObject* file, PyObject* name) {
  std::FILE* stream = PyFile_AsFile(file);        // the interpreter's FILE*
  const int descriptor = PyObject_AsFileDescriptor(file);  // its descriptor
  char* copy = static_cast<char*>(PyMem_MALLOC(16));       // our malloc
  PyMem_FREE(copy);
  if (stream == nullptr || descriptor < 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
  return nullptr;
}
