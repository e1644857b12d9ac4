// The arrays of a stream call: the results in the block's layout, filled
// from the planar buffers the core writes.
#pragma once

#include <cstddef>
#include <vector>

#include "python/shared/audio_arrays.hpp"
#include "python/shared/common.hpp"
#include "python/shared/planar_copy.hpp"

namespace nalo::python::stream {

// Whether two blocks hold their samples alike: dimensions, frame axis and
// channel count (not the frame count).
bool same_layout(const AudioLayout& a, const AudioLayout& b) noexcept;

// "(channels, frames)", "(frames, channels)" or "1-D", for messages.
const char* layout_name(const AudioLayout& layout) noexcept;

// The results of one call, `frames` frames in the layout of the blocks: new
// float32 arrays, and the planar buffer the core writes the samples into
// (the data of `audio` itself unless the frames come first).
class BlockResults {
public:
    // `scratch` holds the planar samples of frames-first layouts; a buffer
    // kept from call to call saves fresh pages every time.
    explicit BlockResults(std::vector<float>& scratch) noexcept : scratch_(scratch) {}
    // False with MemoryError set.
    bool allocate(const AudioLayout& layout, std::size_t frames);
    float* planar() noexcept { return planar_; }
    float* gains() const noexcept { return float_data(gains_.get()); }
    std::size_t samples() const noexcept { return layout_.samples; }
    std::size_t frames() const noexcept { return layout_.frames; }
    // Moves the planar samples into the audio array where the layouts
    // differ; touches no Python object (the lock may be released).
    void move_into_place() noexcept;
    // The tuple (audio, gains), a new reference; the samples are moved into
    // place first if they have not been.
    PyObject* to_tuple();

private:
    AudioLayout layout_;
    Ref audio_;
    Ref gains_;
    std::vector<float>& scratch_;
    float* planar_ = nullptr;
    AudioView view_{};
    bool placed_ = false;
};

}  // namespace nalo::python::stream
