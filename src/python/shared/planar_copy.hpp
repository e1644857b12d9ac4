// Copies between float32 arrays of any strides and planar (channel-major)
// buffers, frame range by frame range. The functions touch no Python object,
// so they may run without the interpreter lock on memory the call owns.
#pragma once

#include <cstddef>

#include "python/shared/audio_arrays.hpp"

namespace nalo::python {

// Where the samples of one array are: the sample of channel c at frame f is
// the float at data + f * frame_stride + c * channel_stride (bytes; any
// stride, negative, zero or unaligned).
struct AudioView {
    char* data = nullptr;
    std::ptrdiff_t frame_stride = 0;
    std::ptrdiff_t channel_stride = 0;
    std::size_t channels = 1;
    std::size_t frames = 0;
};

// The view of a float32 array of `layout` (interpreter lock held).
AudioView audio_view(PyObject* array, const AudioLayout& layout) noexcept;

// The samples in planar order where the array already holds them so (one
// channel, or each channel's frames contiguous and the channels back to back,
// aligned), to be read without a copy; else nullptr.
const float* planar_in_place(const AudioView& view) noexcept;

// planar[c * count + k] = sample (c, first + k), for every channel and
// k < count.
void read_planar(const AudioView& view, std::size_t first, std::size_t count, float* planar) noexcept;

// Sample (c, first + k) = planar[c * count + k], for every channel and
// k < count.
void write_planar(const float* planar, std::size_t count, const AudioView& view, std::size_t first) noexcept;

}  // namespace nalo::python
