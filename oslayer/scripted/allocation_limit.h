// limit_allocations(headroom): from then on, the interpreter's allocators
// (PyMem_RawMalloc, PyMem_Malloc, PyObject_Malloc and their calloc and
// realloc) refuse every single request of `headroom` bytes or more, so that
// a test reaches the out-of-memory paths of code that allocates through
// them. For a child interpreter that exits when its test is done: the limit
// stays for the life of the process. Needs PyMem_SetAllocator (Python 3.4
// and later); under Python 2 it raises NotImplementedError.
#ifndef VOLUMES_OSLAYER_SCRIPTED_ALLOCATION_LIMIT_H_
#define VOLUMES_OSLAYER_SCRIPTED_ALLOCATION_LIMIT_H_

#include <Python.h>

namespace scripted {

PyObject* LimitAllocations(PyObject* module, PyObject* headroom);

}  // namespace scripted

#endif  // VOLUMES_OSLAYER_SCRIPTED_ALLOCATION_LIMIT_H_
