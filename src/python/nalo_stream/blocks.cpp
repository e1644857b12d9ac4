#include "python/nalo_stream/blocks.hpp"

#include "python/shared/planar_copy.hpp"

namespace nalo::python::stream {

bool same_layout(const AudioLayout& a, const AudioLayout& b) noexcept
{
    return a.ndim == b.ndim && a.frames_first == b.frames_first && a.channels == b.channels;
}

const char* layout_name(const AudioLayout& layout) noexcept
{
    if (layout.ndim == 1) return "1-D";
    return layout.frames_first ? "(frames, channels)" : "(channels, frames)";
}

bool BlockResults::allocate(const AudioLayout& layout, std::size_t frames)
{
    layout_ = layout;
    layout_.frames = frames;
    layout_.samples = layout.channels * frames;
    audio_.reset(new_audio_array(layout_, frames));
    if (!audio_) return false;
    gains_.reset(new_gains_array(frames));
    if (!gains_) return false;
    if (layout_.frames_first) {
        scratch_.resize(layout_.samples);  // std::bad_alloc becomes MemoryError
        planar_ = scratch_.data();
    } else {
        planar_ = float_data(audio_.get());
    }
    view_ = audio_view(audio_.get(), layout_);
    placed_ = false;
    return true;
}

void BlockResults::move_into_place() noexcept
{
    if (layout_.frames_first && !placed_) write_planar(planar_, layout_.frames, view_, 0);
    placed_ = true;
}

PyObject* BlockResults::to_tuple()
{
    move_into_place();
    return PyTuple_Pack(2, audio_.get(), gains_.get());
}

}  // namespace nalo::python::stream
