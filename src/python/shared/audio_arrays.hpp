// The `audio` argument as a float32 NumPy array, and the layout of a call:
// dimensions, frame axis, channels and frames, checked in a fixed order with
// fixed messages. Shared by every extension module of the package.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python/shared/common.hpp"

namespace nalo::python {

// The input array for an `audio` argument, as a new reference: the object
// itself when it is a native float32 numpy.ndarray; else, for anything but a
// NumPy array or a str that is a sequence, its items read one by one as
// floats; else NumPy's own forced conversion to float32. On failure the
// exception carries the note "while processing 'audio'" and nullptr is
// returned.
PyObject* extract_audio(PyObject* object);

// The same; `owned` tells whether the array is the call's own: a plain,
// C-contiguous numpy.ndarray made by the conversion and referenced by nobody
// else, which the caller may turn into its result in place.
PyObject* extract_audio(PyObject* object, bool& owned);

// The frame axis (0 .. ndim - 1) for a requested `axis`, or ValueError
// "axis={axis} is invalid for a {ndim}D array" (returns false).
bool normalize_axis(std::int64_t axis, std::uint64_t ndim, std::uint64_t& frame_axis);

// The layout of one array: one dimension (mono), or two with the frames last
// (channels, frames) or first (frames, channels).
struct AudioLayout {
    int ndim = 1;               // 1 or 2
    bool frames_first = false;  // two dimensions, frame axis 0
    std::size_t channels = 1;
    std::size_t frames = 0;
    std::size_t samples = 0;  // channels * frames; its byte count fits a Py_ssize_t
};

// Checks a float32 array (from extract_audio) for `axis`, in this order:
// ValueError "audio must be a 1D or 2D array, got {ndim} dimensions", the
// error of normalize_axis, ValueError "the channel dimension must not be
// empty", MemoryError "audio is too large to process". Returns false with
// the exception set.
bool audio_layout(PyObject* array, std::int64_t axis, AudioLayout& out);

// The row-major flat index, in an array of `layout`, of the sample at
// channel-major (planar) index `planar_index`.
std::uint64_t flat_index(const AudioLayout& layout, std::uint64_t planar_index) noexcept;

// A new, writeable, C-contiguous float32 numpy.ndarray (never a subclass) in
// the shape of `layout` with `frames` frames. Sets MemoryError on failure.
PyObject* new_audio_array(const AudioLayout& layout, std::size_t frames);

// A new one-dimensional float32 numpy.ndarray of `length` items.
PyObject* new_gains_array(std::size_t length);

// Whether `object` is a numpy.ndarray itself, not a subclass.
bool is_plain_array(PyObject* object) noexcept;

// The float32 data of an array from extract_audio or the two functions above.
float* float_data(PyObject* array) noexcept;

}  // namespace nalo::python
