// The audio of a loudness measurement, read where it lies: float32 and
// float64 arrays of any layout go to the meter without a copy.
#pragma once

#include <cstddef>

#include "loudness.hpp"
#include "python/shared/common.hpp"
#include "python/shared/planar_copy.hpp"

namespace nalo::python::stream {

// The array to measure for an `audio` argument, as a new reference: a native
// float64 numpy.ndarray itself (format Float64), else what extract_audio()
// gives (Float32). nullptr with the exception set on failure.
PyObject* extract_loudness_audio(PyObject* object, SampleFormat& format);

// Frames [first, first + count) of an array's view, as the meter reads them.
SampleBlock loudness_block(const AudioView& view, SampleFormat format, std::size_t first, std::size_t count) noexcept;

}  // namespace nalo::python::stream
