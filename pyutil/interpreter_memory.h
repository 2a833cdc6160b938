// A block from the interpreter's allocator (PyMem_Malloc), released exactly
// once with PyMem_Free by its owner.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace pyutil {

template <typename T>
class InterpreterBuffer {
 public:
  InterpreterBuffer() noexcept = default;
  ~InterpreterBuffer() { Release(); }
  InterpreterBuffer(const InterpreterBuffer&) = delete;
  InterpreterBuffer& operator=(const InterpreterBuffer&) = delete;

  // Releases the block held, then asks for `byte_count` bytes. Returns false,
  // holding nothing, when the allocator gives nothing or the size cannot be
  // represented.
  bool Allocate(std::uint64_t byte_count) noexcept {
    Release();
    if (byte_count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return false;
    data_ = static_cast<T*>(PyMem_Malloc(static_cast<std::size_t>(byte_count)));
    return data_ != nullptr;
  }

  void Release() noexcept {
    T* data = data_;
    data_ = nullptr;
    if (data != nullptr) PyMem_Free(data);
  }

  T* get() const noexcept { return data_; }

 private:
  T* data_ = nullptr;
};

}  // namespace pyutil
