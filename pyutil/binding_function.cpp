#include "pyutil/binding_function.h"

#include <structmember.h>

#include <cstring>

#include "pyutil/py_version.h"
#include "pyutil/python_error.h"

namespace pyutil {
namespace {

struct BindingFunction {
  PyObject_HEAD
  PyMethodDef* definition;
  PyObject* name;
  PyObject* doc;
  PyObject* module;
  PyObject* defaults;
#if PY_MAJOR_VERSION >= 3
  vectorcallfunc vectorcall;  // Python 3 calls through it without a tuple
  PyObject* text_signature;   // what inspect.signature reads, or nullptr
#endif
};

void Deallocate(PyObject* self) {
  auto* function = reinterpret_cast<BindingFunction*>(self);
  Py_XDECREF(function->name);
  Py_XDECREF(function->doc);
  Py_XDECREF(function->module);
  Py_XDECREF(function->defaults);
#if PY_MAJOR_VERSION >= 3
  Py_XDECREF(function->text_signature);
#endif
  PyObject_Del(self);
}

template <typename Function>
Function As(PyMethodDef* definition) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(definition->ml_meth));
}

// Calls a function that takes no keywords with the positional arguments
// arguments[0 .. count), as PyCFunction_Call does, with the same messages.
// `tuple` holds them when the caller has made one.
PyObject* CallPositional(PyObject* self, PyMethodDef* definition, PyObject* const* arguments,
                         Py_ssize_t count, PyObject* tuple) {
  if (definition->ml_flags & METH_O) {
    if (count == 1) return definition->ml_meth(self, arguments[0]);
    // %ld, not %zd: on a mingw target the format check is Microsoft's,
    // which rejects %zd; long is as wide as Py_ssize_t on LP64 Linux and
    // on 32-bit Windows.
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%ld given)",
                 definition->ml_name, static_cast<long>(count));
    return nullptr;
  }
  if (definition->ml_flags & METH_NOARGS) {
    if (count == 0) return definition->ml_meth(self, nullptr);
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%ld given)",
                 definition->ml_name, static_cast<long>(count));
    return nullptr;
  }
  if (tuple != nullptr) return definition->ml_meth(self, tuple);
  OwnedRef owned_tuple = OwnedRef::Steal(PyTuple_New(count));
  if (!owned_tuple) return nullptr;
  for (Py_ssize_t index = 0; index < count; ++index) {
    Py_INCREF(arguments[index]);
    PyTuple_SET_ITEM(owned_tuple.get(), index, arguments[index]);
  }
  return definition->ml_meth(self, owned_tuple.get());
}

PyObject* NoKeywordsError(PyMethodDef* definition) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", definition->ml_name);
  return nullptr;
}

#if PY_MAJOR_VERSION >= 3

// The tuple-and-dict form of a vector call, for the functions that take it.
PyObject* CallWithTupleAndDict(PyObject* self, PyMethodDef* definition,
                               PyObject* const* arguments, Py_ssize_t count,
                               PyObject* keyword_names) {
  OwnedRef tuple = OwnedRef::Steal(PyTuple_New(count));
  if (!tuple) return nullptr;
  for (Py_ssize_t index = 0; index < count; ++index) {
    Py_INCREF(arguments[index]);
    PyTuple_SET_ITEM(tuple.get(), index, arguments[index]);
  }
  OwnedRef keywords;
  const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
  if (keyword_count > 0) {
    keywords = OwnedRef::Steal(PyDict_New());
    if (!keywords) return nullptr;
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
      if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(keyword_names, index),
                         arguments[count + index]) < 0) {
        return nullptr;
      }
    }
  }
  return As<PyCFunctionWithKeywords>(definition)(self, tuple.get(), keywords.get());
}

// Dispatch of a vector call (Python 3: bound methods pass the instance as
// the first argument without a tuple) by the function's flags.
PyObject* Vectorcall(PyObject* self, PyObject* const* arguments, size_t count_and_flags,
                     PyObject* keyword_names) {
  PyMethodDef* definition = reinterpret_cast<BindingFunction*>(self)->definition;
  const Py_ssize_t count = PyVectorcall_NARGS(count_and_flags);
  if (definition->ml_flags & METH_FASTCALL) {
    return As<_PyCFunctionFastWithKeywords>(definition)(self, arguments, count, keyword_names);
  }
  if (definition->ml_flags & METH_KEYWORDS) {
    return CallWithTupleAndDict(self, definition, arguments, count, keyword_names);
  }
  if (keyword_names != nullptr && PyTuple_GET_SIZE(keyword_names) > 0) {
    return NoKeywordsError(definition);
  }
  return CallPositional(self, definition, arguments, count, nullptr);
}

#else

// Dispatch as PyCFunction_Call does, with the same messages.
PyObject* Call(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyMethodDef* definition = reinterpret_cast<BindingFunction*>(self)->definition;
  if (definition->ml_flags & METH_KEYWORDS) {
    return As<PyCFunctionWithKeywords>(definition)(self, args, kwargs);
  }
  if (kwargs != nullptr && PyDict_Size(kwargs) != 0) return NoKeywordsError(definition);
  return CallPositional(self, definition, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                        args);
}

#endif

// What the function gives for `instance.name` (a bound method) and for
// `Class.name`: 2.7's unbound method, 3's function itself. A new reference,
// or nullptr with an error set. Pinned by
// VolumeInfoClassTest.testMethodsBindLikePythonFunctions
// (tests/python/test_module_surface.py).
PyObject* BindFunction(PyObject* function, PyObject* instance, PyObject* owner) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(owner);
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(function);
    return function;
  }
  return PyMethod_New(function, instance);
#else
  if (instance == Py_None) instance = nullptr;
  return PyMethod_New(function, instance, owner);
#endif
}

// Binding as a Python function binds: to an instance; on the class, 2.7's
// unbound method or 3's plain function.
PyObject* DescriptorGet(PyObject* self, PyObject* instance, PyObject* owner) {
  return BindFunction(self, instance, owner);
}

PyObject* Repr(PyObject* self) {
  auto* function = reinterpret_cast<BindingFunction*>(self);
  const char* name = NativeStringText(function->name);
  if (name == nullptr) return nullptr;
  return NewNativeStringFromFormat("<function %s at %p>", name, static_cast<void*>(self));
}

PyMemberDef kMembers[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(BindingFunction, name), READONLY, nullptr},
#if PY_MAJOR_VERSION < 3
    {const_cast<char*>("func_name"), T_OBJECT, offsetof(BindingFunction, name), READONLY, nullptr},
#else
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(BindingFunction, name), READONLY,
     nullptr},
#endif
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(BindingFunction, doc), READONLY, nullptr},
#if PY_MAJOR_VERSION < 3
    {const_cast<char*>("func_doc"), T_OBJECT, offsetof(BindingFunction, doc), READONLY, nullptr},
#endif
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(BindingFunction, module), READONLY, nullptr},
    {const_cast<char*>("__defaults__"), T_OBJECT, offsetof(BindingFunction, defaults), READONLY,
     nullptr},
#if PY_MAJOR_VERSION >= 3
    {const_cast<char*>("__text_signature__"), T_OBJECT, offsetof(BindingFunction, text_signature),
     READONLY, nullptr},
#endif
#if PY_MAJOR_VERSION < 3
    {const_cast<char*>("func_defaults"), T_OBJECT, offsetof(BindingFunction, defaults), READONLY,
     nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

// A static type object's own reference, which is never released: its head
// starts at zero, and a count that falls to zero would free it. No test
// sees this one: once the type is ready, its MRO and the descriptors of its
// dict hold references as well.
void SetStaticTypeReference(PyTypeObject* type) {
  reinterpret_cast<PyObject*>(type)->ob_refcnt = 1;
}

PyTypeObject* BindingFunctionType() {
  static PyTypeObject type = [] {
    PyTypeObject t{};
    SetStaticTypeReference(&t);
    t.tp_name = "windows.function";
    t.tp_basicsize = sizeof(BindingFunction);
    t.tp_dealloc = Deallocate;
    t.tp_repr = Repr;
#if PY_MAJOR_VERSION >= 3
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(BindingFunction, vectorcall);
    // Binding and then calling equals calling with the instance first, so
    // `instance.Method(x)` may skip the bound method object.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
    t.tp_call = Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
#endif
    t.tp_doc = "A native function that binds to instances like a Python function.";
    t.tp_members = kMembers;
    t.tp_descr_get = DescriptorGet;
    return t;
  }();
  // Readied by the first call that succeeds: a failure (memory running out)
  // is the error of that call alone, and the next call tries again.
  if ((type.tp_flags & Py_TPFLAGS_READY) == 0 && PyType_Ready(&type) != 0) return nullptr;
  return &type;
}

// A docstring and the signature in front of it ("name(signature)\n--\n\n",
// as the built-ins carry it under Python 3: PYUTIL_SIGNED_DOC): the
// signature for __text_signature__, the rest for __doc__ (None when empty).
struct DocParts {
  OwnedRef doc;
  OwnedRef text_signature;
};

DocParts SplitDoc(const char* name, const char* doc) {
  DocParts parts;
  if (doc == nullptr) {
    parts.doc = OwnedRef::Borrow(Py_None);
    return parts;
  }
#if PY_MAJOR_VERSION >= 3
  constexpr char kEnd[] = ")\n--\n\n";
  const std::size_t name_length = std::strlen(name);
  const char* end = std::strstr(doc, kEnd);
  if (std::strncmp(doc, name, name_length) == 0 && doc[name_length] == '(' && end != nullptr) {
    const char* signature = doc + name_length;
    parts.text_signature = RequireNew(NewNativeStringAndSize(signature, end + 1 - signature));
    doc = end + sizeof kEnd - 1;
    if (*doc == '\0') {
      parts.doc = OwnedRef::Borrow(Py_None);
      return parts;
    }
  }
#else
  static_cast<void>(name);
#endif
  parts.doc = RequireNew(NewNativeString(doc));
  return parts;
}

}  // namespace

OwnedRef NewBindingFunction(PyMethodDef* definition, PyObject* module_name,
                            PyObject* defaults) {
  PyTypeObject* type = BindingFunctionType();
  if (type == nullptr) ThrowPythonError();
  OwnedRef name = RequireNew(NewNativeString(definition->ml_name));
  DocParts doc = SplitDoc(definition->ml_name, definition->ml_doc);
  auto* function = PyObject_New(BindingFunction, type);
  if (function == nullptr) ThrowPythonError();
  function->definition = definition;
  function->name = name.release();
  function->doc = doc.doc.release();
  Py_INCREF(module_name);
  function->module = module_name;
  Py_XINCREF(defaults);
  function->defaults = defaults;
#if PY_MAJOR_VERSION >= 3
  function->vectorcall = Vectorcall;
  function->text_signature = doc.text_signature.release();
#endif
  return OwnedRef::Steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace pyutil
