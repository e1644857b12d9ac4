// One limiting call on a NumPy array: layout checks, the samples into the
// core's planar form, the core with the interpreter lock released, core
// errors, and the result arrays.
#pragma once

#include <cstdint>

#include "lib.hpp"
#include "python/shared/common.hpp"

namespace nalo::python {

// The converted `audio` argument: the array from extract_audio and whether it
// is the call's own (then it may become the result in place).
struct AudioInput {
    Ref array;
    bool owned = false;
};

// The `audio` argument converted by extract_audio; false with the exception
// set (and its note) on failure.
bool convert_audio(PyObject* object, AudioInput& out);

// Limits `input` with `limiter`, which the caller holds exclusively, releases
// the input and builds the result tuple (audio, frame_gains): a new
// reference, or nullptr with the exception set.
PyObject* process_to_tuple(NaloLimiter& limiter, AudioInput input, std::int64_t axis);

}  // namespace nalo::python
