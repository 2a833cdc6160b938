// The one error channel of the provider: every bounded helper and every stage
// that can fail returns an Outcome. error == ERROR_SUCCESS means value is set;
// any other code is the Windows code the failing call reports.
#pragma once

#include <utility>

#include "kernel32.h"

namespace k32l {

template <class T>
struct Outcome {
  DWORD error = ERROR_SUCCESS;
  T value{};

  bool ok() const { return error == ERROR_SUCCESS; }
};

// A failed Outcome carrying `error`.
template <class T>
Outcome<T> failed(DWORD error) {
  return Outcome<T>{error, T{}};
}

// The outcome of a bounded call whose own result is an Outcome: the first
// failure, else the inner value.
template <class T>
Outcome<T> flatten(Outcome<Outcome<T>> outer) {
  if (!outer.ok()) return failed<T>(outer.error);
  return std::move(outer.value);
}

}  // namespace k32l
