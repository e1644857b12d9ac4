// The Python class NaloLimiter, the binding type PyNaloLimiter.
#pragma once

#include "common.hpp"

namespace nalo::python {

// Creates the heap type "nalo_limiter.NaloLimiter" for `module`. Returns a new
// reference, or nullptr with the exception set.
PyObject* create_limiter_type(PyObject* module);

}  // namespace nalo::python
