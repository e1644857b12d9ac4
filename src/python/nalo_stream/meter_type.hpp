// nalo_stream._native.TruePeakMeter: the true peak of a signal that arrives
// in blocks (the file command's summary uses it).
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python::stream {

// Creates the heap type for `module`: a new reference, or nullptr with the
// exception set.
PyObject* create_meter_type(PyObject* module);

}  // namespace nalo::python::stream
