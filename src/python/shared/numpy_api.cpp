// Defines the module's copy of NumPy's API table.
#define NALO_NUMPY_API_DEFINITION
#include "python/shared/numpy_api.hpp"

namespace nalo::python {

int import_numpy()
{
    // _import_array keeps the original cause of a failed import (the
    // import_array macros would print it and replace it).
    return _import_array() < 0 ? -1 : 0;
}

}  // namespace nalo::python
