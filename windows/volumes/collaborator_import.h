// The module's imports of its collaborators at initialisation.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace volumes {

// `import name` or `from name import imported`, through the __import__ found
// in the built-in names now, with the interpreter's default resolution
// (2.7: relative, then absolute; 3: absolute). A collaborator that cannot be
// found fails with an ImportError that names it and says how to get it.
pyutil::OwnedRef Import(const char* name, const char* imported);

}  // namespace volumes
