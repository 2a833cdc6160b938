// Owning references to Python objects.
//
// Rules of use:
//  - OwnedRef owns exactly one reference (or none). Copy = Py_INCREF,
//    move = transfer, destruction = Py_XDECREF.
//  - OwnedRef::Steal(p) takes over a new reference (the result of a C API call
//    documented as "Return value: New reference").
//  - OwnedRef::Borrow(p) adds a reference of its own to a borrowed pointer.
//  - release() hands the reference to the interpreter (an entry point's
//    result) and leaves the OwnedRef empty.
//  - A raw PyObject* parameter or local is always borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace pyutil {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  static OwnedRef Steal(PyObject* object) noexcept { return OwnedRef(object); }
  static OwnedRef Borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(const OwnedRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  OwnedRef(OwnedRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  OwnedRef& operator=(OwnedRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives the reference away; the caller now owns it.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

  // Drops the reference. The pointer is cleared first, so that code run by
  // the object's deallocation never sees a dangling value here.
  void reset() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    Py_XDECREF(object);
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace pyutil
