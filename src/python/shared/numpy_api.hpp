// The one way the binding code includes NumPy's C API.
//
// NumPy publishes its API as a table of function pointers that every
// extension module imports once, in its own initialisation. All translation
// units of one module share the table through one hidden symbol; the helpers
// library defines it, so each module that links the library (and so gets its
// own copy of it) must call import_numpy() before any other NumPy call.
#pragma once

#include "python/shared/common.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL nalo_binding_ARRAY_API
#ifndef NALO_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace nalo::python {

// Imports NumPy's C API table. Returns 0, or -1 with the import's exception
// set (the original cause, not NumPy's generic ImportError).
int import_numpy();

}  // namespace nalo::python
