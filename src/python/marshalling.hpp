// Array marshalling: the conversion of the `audio` argument,
// the frame axis, the planar copy, the core call with the interpreter lock
// released, and the result arrays. This is the only translation unit that
// uses NumPy's C API; the rest of the module sees arrays as plain PyObject*.
#pragma once

#include <cstdint>

#include "../lib.hpp"
#include "common.hpp"

namespace nalo::python {

// Imports NumPy's C API table. Returns 0, or -1 with the import's exception set.
int import_numpy();

// The input array for an `audio` argument, as a new reference: the object
// itself when it is a native float32 numpy.ndarray; else, for anything but a
// NumPy array or a str that is a sequence, its items read one by one as
// floats; else NumPy's own forced conversion to float32. On failure the
// exception carries the note "while processing 'audio'" and nullptr is
// returned.
PyObject* extract_audio(PyObject* object);

// The frame axis (0 .. ndim - 1) for a requested `axis`, or ValueError
// "axis={axis} is invalid for a {ndim}D array" (returns false).
bool normalize_axis(std::int64_t axis, std::uint64_t ndim, std::uint64_t& frame_axis);

// Sets the Python exception for a core error: MemoryError (with the core's
// message) for AllocationFailed, ValueError with the kind's message otherwise.
void value_error(const LimiterError& error);

struct Processed {
    Ref audio;        // float32, the input's shape, row-major
    Ref frame_gains;  // float32, one-dimensional, one gain per frame
};

// Limits `array` (from extract_audio) with `limiter`, which the caller holds
// exclusively. Returns false with the exception set on failure.
bool process_numpy(NaloLimiter& limiter, PyObject* array, std::int64_t axis, Processed& out);

// process_numpy, then the input array is released and the result tuple
// (audio, frame_gains) is built: a new reference, or nullptr on failure.
PyObject* process_to_tuple(NaloLimiter& limiter, Ref input, std::int64_t axis);

}  // namespace nalo::python
