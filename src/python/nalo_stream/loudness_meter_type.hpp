// nalo_stream._native.LoudnessMeter: integrated loudness, loudness range and
// the largest momentary and short-term loudness of a signal that arrives in
// blocks; meters of several signals merge into their joint measurement.
#pragma once

#include "python/shared/common.hpp"

namespace nalo::python::stream {

// Creates the heap type for `module`: a new reference, or nullptr with the
// exception set.
PyObject* create_loudness_meter_type(PyObject* module);

}  // namespace nalo::python::stream
