#include "pyutil/exception_state.h"

namespace pyutil {

CaughtException::CaughtException(const TracebackEntry& catching_function) noexcept {
  catching_function.AddToPendingException();
  PyErr_Fetch(&type_, &value_, &traceback_);
  PyErr_NormalizeException(&type_, &value_, &traceback_);
  AttachTraceback(value_, traceback_);
  if (value_ == nullptr) {
    Py_INCREF(Py_None);
    value_ = Py_None;
  }
}

CaughtException::~CaughtException() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void CaughtException::Restore() noexcept {
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
}

HandledExceptionScope::HandledExceptionScope(const CaughtException& exception) noexcept
    : saved_(HandledException::Take()) {
  HandledException::Set(exception.type(), exception.value(), exception.traceback());
}

HandledExceptionScope::~HandledExceptionScope() { saved_.Restore(); }

}  // namespace pyutil
