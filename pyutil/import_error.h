// The ImportError that the module raises when one of its collaborators
// cannot be found (collaborator_import.cpp) made to say what caused it, as
// `raise ... from` and ImportError.name do in Python 3; 2.7 has neither.
// Pinned by ImportTest.testMissingCollaboratorIsCausedByTheFailedImport
// (tests/python/test_module_surface.py).
#pragma once

#include <Python.h>

namespace pyutil {

// The pending ImportError made to say `cause` caused it and `name` is the
// module it could not import (`raise ... from cause` and ImportError.name
// in 3); nothing in 2.7, whose exceptions have neither.
void SetPendingErrorCause(PyObject* cause, const char* name) noexcept;

}  // namespace pyutil
