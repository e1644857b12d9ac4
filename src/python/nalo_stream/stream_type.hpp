// The Python class nalo_stream.LimiterStream: one signal limited block by
// block, with the results of a whole-signal call.
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python::stream {

// Creates the heap type "nalo_stream._native.LimiterStream" for `module`.
// A new reference, or nullptr with the exception set.
PyObject* create_stream_type(PyObject* module);

}  // namespace nalo::python::stream
