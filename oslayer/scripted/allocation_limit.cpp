// Wraps each allocator domain of the interpreter with one that refuses
// requests at or above a limit and hands every other call to the allocator
// it replaced. Reserving the address space (what a 32-bit process can do)
// costs Wine one byte per page for a 64-bit one: gigabytes and a minute.
#include "allocation_limit.h"

#include <atomic>
#include <cstddef>

namespace scripted {

#if PY_VERSION_HEX >= 0x03040000

namespace {

// A request of this many bytes or more fails; read by allocations made
// without the GIL (the raw domain), hence atomic.
std::atomic<std::size_t> limit{0};

// The allocator each domain had before, indexed by PyMemAllocatorDomain.
PyMemAllocatorEx previous[3];
bool installed = false;

bool Refused(std::size_t size) {
  const std::size_t bound = limit.load(std::memory_order_relaxed);
  return bound != 0 && size >= bound;
}

PyMemAllocatorEx& Previous(void* context) { return *static_cast<PyMemAllocatorEx*>(context); }

void* Malloc(void* context, std::size_t size) {
  if (Refused(size)) return nullptr;
  return Previous(context).malloc(Previous(context).ctx, size);
}

void* Calloc(void* context, std::size_t count, std::size_t size) {
  // The product is what the allocator would hand out; one that overflows is
  // beyond any limit.
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) return nullptr;
  if (Refused(count * size)) return nullptr;
  return Previous(context).calloc(Previous(context).ctx, count, size);
}

void* Realloc(void* context, void* block, std::size_t size) {
  if (Refused(size)) return nullptr;
  return Previous(context).realloc(Previous(context).ctx, block, size);
}

void Free(void* context, void* block) { Previous(context).free(Previous(context).ctx, block); }

void Install() {
  const PyMemAllocatorDomain domains[] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
  for (PyMemAllocatorDomain domain : domains) {
    PyMemAllocatorEx& saved = previous[domain];
    PyMem_GetAllocator(domain, &saved);
    PyMemAllocatorEx wrapper = {&saved, Malloc, Calloc, Realloc, Free};
    PyMem_SetAllocator(domain, &wrapper);
  }
  installed = true;
}

}  // namespace

PyObject* LimitAllocations(PyObject*, PyObject* headroom) {
  const std::size_t bytes = PyLong_AsSize_t(headroom);
  if (bytes == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  if (bytes == 0) {
    PyErr_SetString(PyExc_ValueError, "headroom must be at least 1 byte");
    return nullptr;
  }
  // Called with the GIL held, so no other thread installs at the same time.
  if (!installed) Install();
  limit.store(bytes, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

#else

PyObject* LimitAllocations(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError,
                  "limit_allocations needs PyMem_SetAllocator (Python 3.4 and later)");
  return nullptr;
}

#endif

}  // namespace scripted
