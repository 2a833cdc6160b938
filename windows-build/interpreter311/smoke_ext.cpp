// A C++ extension built as the project's own are built against the Windows
// CPython 3.11 (-static, the UCRT specs, the _setjmp shim), so that the
// smoke check proves the flags: a std::string and a std::vector cross the
// module, and an exception is thrown and caught inside it, which needs the
// unwinder and libstdc++ linked in.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

PyObject *joined(PyObject *, PyObject *args) {
  const char *text = nullptr;
  if (!PyArg_ParseTuple(args, "s", &text)) {
    return nullptr;
  }
  std::vector<std::string> parts{text, "+", text};
  std::string result;
  for (const auto &part : parts) {
    result += part;
  }
  try {
    throw std::runtime_error(result);
  } catch (const std::runtime_error &caught) {
    return PyUnicode_FromString(caught.what());
  }
}

PyMethodDef methods[] = {
    {"joined", joined, METH_VARARGS, "joined(s) -> s + '+' + s, through a C++ exception"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "smoke_ext", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_smoke_ext() { return PyModule_Create(&module); }
