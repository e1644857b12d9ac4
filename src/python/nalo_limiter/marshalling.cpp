#include "python/nalo_limiter/marshalling.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "python/shared/audio_arrays.hpp"
#include "python/shared/errors.hpp"
#include "python/shared/gil.hpp"
#include "python/shared/planar_copy.hpp"
#include "python/nalo_limiter/tiled_in_place.hpp"

namespace nalo::python {

namespace {

// Envelope steps (frames plus look-ahead) that one uninterrupted core call
// may take: a fraction of a second. Longer calls run in pieces, noticing
// Ctrl-C between them.
constexpr std::uint64_t kUninterruptedSteps = std::uint64_t{1} << 25;

// The two result arrays of a limit() or process() call.
struct CallResults {
    Ref audio;
    Ref frame_gains;
};

// Envelope steps between two looks for Ctrl-C in a long call.
constexpr std::uint64_t kStepsBetweenChecks = std::uint64_t{1} << 20;

// `audio` holding the input's samples in the input's shape, for the core to
// limit in place: an input of the call's own is taken as it is (it is
// row-major); a planar input in a layout the core cannot read is copied into
// a new array, with the interpreter lock held.
bool fill_audio(const AudioLayout& layout, AudioInput& input, CallResults& out)
{
    if (input.owned) {
        out.audio = std::move(input.array);
        return true;
    }
    out.audio.reset(new_audio_array(layout, layout.frames));
    if (!out.audio) return false;
    const AudioView from = audio_view(input.array.get(), layout);
    const AudioView to = audio_view(out.audio.get(), layout);
    if (from.frame_stride == to.frame_stride && from.channel_stride == to.channel_stride) {
        // Row-major like the result: one block copy.
        if (layout.samples > 0) std::memcpy(to.data, from.data, layout.samples * sizeof(float));
    } else {
        read_planar(from, 0, layout.frames, float_data(out.audio.get()));
    }
    // A converted plain array can go now; anything else (the caller's
    // object, a subclass) is released only after the call.
    if (is_plain_array(input.array.get())) input.array.reset();
    return true;
}

// The channel stride, in floats, of a view whose samples the core can read
// as they are: consecutive frames, channels at a non-negative whole number
// of floats apart (any stride serves a single channel or frame).
std::optional<std::size_t> planar_stride(const AudioView& view) noexcept
{
    if (reinterpret_cast<std::uintptr_t>(view.data) % alignof(float) != 0) return std::nullopt;
    if (view.frames > 1 && view.frame_stride != static_cast<std::ptrdiff_t>(sizeof(float))) return std::nullopt;
    if (view.channels == 1) return view.frames;
    if (view.channel_stride < 0 || view.channel_stride % static_cast<std::ptrdiff_t>(sizeof(float)) != 0)
        return std::nullopt;
    return static_cast<std::size_t>(view.channel_stride) / sizeof(float);
}

// The core's buffers for limiting the planar input `from` into the
// (row-major, planar) result arrays.
PlanarBuffers planar_buffers(const AudioView& from, std::size_t from_stride, const AudioView& to,
                             CallResults& results)
{
    return PlanarBuffers{reinterpret_cast<const float*>(from.data), from_stride, reinterpret_cast<float*>(to.data),
                         to.frames, to.channels, to.frames, float_data(results.frame_gains.get())};
}

// The core tile by tile from the input into the result, lock released; a
// call longer than a fraction of a second notices Ctrl-C between pieces.
// False with the exception set (KeyboardInterrupt).
bool run_core_tiled(NaloLimiter& limiter, const PlanarBuffers& buffers, std::optional<LimiterError>& failure)
{
    Result<TiledLimit> made = TiledLimit::start(limiter, buffers);
    if (!made) {
        failure = made.error();
        return true;
    }
    TiledLimit& call = made.value();
    if (buffers.frames + limiter.lookahead_samples <= kUninterruptedSteps) {
        ReleasedLock released;  // re-acquired on every way out, a C++ exception included
        failure = call.advance();
        return true;
    }
    InterruptibleSection section;
    while (!call.done()) {
        failure = call.advance(kStepsBetweenChecks);
        if (failure) return true;
        if (!section.keep_going()) return false;
    }
    return true;
}

// Limits the input into the result arrays; false with the exception set.
// The core reads the caller's samples where they lie (planar input tile by
// tile, frames-first input through a stream) or, when the call owns them,
// limits them in place; planar input in an odd layout is first copied into
// the result.
bool process_numpy(NaloLimiter& limiter, AudioInput input, std::int64_t axis, CallResults& results)
{
    AudioLayout layout;
    if (!audio_layout(input.array.get(), axis, layout)) return false;
    const AudioView from = audio_view(input.array.get(), layout);
    const std::optional<std::size_t> from_stride = layout.frames_first ? std::nullopt : planar_stride(from);
    const bool read_in_place = !input.owned && (layout.frames_first || from_stride);
    if (read_in_place) {
        results.audio.reset(new_audio_array(layout, layout.frames));
        if (!results.audio) return false;
    } else if (!fill_audio(layout, input, results)) {
        return false;
    }
    results.frame_gains.reset(new_gains_array(layout.frames));
    if (!results.frame_gains) return false;
    if (layout.samples == 0) return true;  // nothing to limit, however many channels

    std::optional<LimiterError> failure;
    const AudioView to = audio_view(results.audio.get(), layout);
    float* gains = float_data(results.frame_gains.get());
    const bool ok = layout.frames_first
                        ? limit_tiled(limiter, read_in_place ? from : to, to, gains, failure)
                        : run_core_tiled(limiter,
                                         read_in_place ? planar_buffers(from, *from_stride, to, results)
                                                       : planar_buffers(to, layout.frames, to, results),
                                         failure);
    if (!ok) return false;
    if (failure) {
        raise_core_error(*failure, layout);
        return false;
    }
    return true;
}

}  // namespace

bool convert_audio(PyObject* object, AudioInput& out)
{
    out.array.reset(extract_audio(object, out.owned));
    return static_cast<bool>(out.array);
}

PyObject* process_to_tuple(NaloLimiter& limiter, AudioInput input, std::int64_t axis)
{
    CallResults results;
    if (!process_numpy(limiter, std::move(input), axis, results)) return nullptr;
    return PyTuple_Pack(2, results.audio.get(), results.frame_gains.get());
}

}  // namespace nalo::python
