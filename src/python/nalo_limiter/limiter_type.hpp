// The Python class NaloLimiter, the binding type PyNaloLimiter.
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python {

// Creates the heap type "nalo_limiter.NaloLimiter" for `module`. Returns a new
// reference, or nullptr with the exception set.
PyObject* create_limiter_type(PyObject* module);

// Registers with copyreg how instances of `type` pickle and copy: as the
// class called with the constructor's arguments.
int register_pickling(PyObject* type);

}  // namespace nalo::python
