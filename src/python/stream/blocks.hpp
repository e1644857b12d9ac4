// The arrays of a stream: the layout of a block, its planar copy and the
// results in the block's layout. The only translation unit of the stream
// extension that uses NumPy's C API.
#pragma once

#include <cstdint>

#include "../common.hpp"

namespace nalo::python::stream {

// Imports NumPy's C API table for this extension. 0, or -1 with the
// exception set.
int import_arrays();

// How a block holds its samples: 1-D mono, (channels, frames) with frame
// axis 1, or (frames, channels) with frame axis 0.
struct Layout {
    int ndim = 1;
    std::uint64_t frame_axis = 0;
    std::uint64_t channels = 1;

    bool frames_first() const noexcept { return ndim == 2 && frame_axis == 0; }
    bool operator==(const Layout&) const = default;
};

// The layout and frame count of `array` (a float32 array from
// extract_audio) for a requested `axis`, checked as NaloLimiter.process
// checks its audio, with the same messages. False with ValueError set.
bool block_layout(PyObject* array, std::int64_t axis, Layout& layout, std::uint64_t& frames);

// "(channels, frames)", "(frames, channels)" or "1-D": for messages.
const char* layout_name(const Layout& layout) noexcept;

// Copies the block's samples, whatever its strides, into `planar`
// (channels * frames floats, channel-major).
void copy_planar(PyObject* array, const Layout& layout, std::uint64_t frames, float* planar) noexcept;

// The results of one call: `audio` in the block's layout and `gains`, both
// new float32 arrays, and the planar buffer the core writes into (the data
// of `audio` itself, except for frames-first layouts).
class Results {
public:
    // False with MemoryError set.
    bool allocate(const Layout& layout, std::uint64_t frames);
    float* planar() const noexcept { return planar_; }
    float* gains() const noexcept;
    // Moves the planar samples into `audio` where the layouts differ and
    // returns the tuple (audio, gains), a new reference.
    PyObject* to_tuple();

private:
    Layout layout_;
    std::uint64_t frames_ = 0;
    Ref audio_;
    Ref gains_;
    Ref scratch_;
    float* planar_ = nullptr;
};

}  // namespace nalo::python::stream
