#include "python/nalo_limiter/marshalling.hpp"

#include <algorithm>
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
// may take: a fraction of a second. Longer calls run through a stream, tile
// by tile, noticing Ctrl-C between tiles.
constexpr std::uint64_t kUninterruptedSteps = std::uint64_t{1} << 25;

// The two result arrays of a limit() or process() call.
struct CallResults {
    Ref audio;
    Ref frame_gains;
};

// The samples in planar order (one dimension, or frames last) and short
// enough for one core call.
bool takes_one_core_call(const NaloLimiter& limiter, const AudioLayout& layout) noexcept
{
    return !layout.frames_first && layout.frames + limiter.lookahead_samples <= kUninterruptedSteps;
}

// `audio` holding the input's samples in the input's shape: an input of the
// call's own is taken as it is (it is row-major); anything else is copied
// into a new array, with the interpreter lock held.
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
    } else if (layout.frames_first) {
        std::vector<float> tile;
        const std::size_t per_tile =
            std::min(layout.frames, std::max<std::size_t>(1, (std::size_t{1} << 16) / layout.channels));
        tile.resize(per_tile * layout.channels);
        for (std::size_t first = 0; first < layout.frames; first += per_tile) {
            const std::size_t count = std::min(per_tile, layout.frames - first);
            read_planar(from, first, count, tile.data());
            write_planar(tile.data(), count, to, first);
        }
    } else {
        read_planar(from, 0, layout.frames, float_data(out.audio.get()));
    }
    // A converted plain array can go now; anything else (the caller's
    // object, a subclass) is released only after the call.
    if (is_plain_array(input.array.get())) input.array.reset();
    return true;
}

// The core on the whole planar buffer in one call, lock released.
bool run_core_once(NaloLimiter& limiter, const AudioLayout& layout, CallResults& results,
                   std::optional<LimiterError>& failure)
{
    ReleasedLock released;  // re-acquired on every way out, a C++ exception included
    failure = process_planar_into(limiter, std::span<float>(float_data(results.audio.get()), layout.samples),
                                  layout.channels,
                                  std::span<float>(float_data(results.frame_gains.get()), layout.frames));
    return true;
}

// Limits the input into the result arrays; false with the exception set.
bool process_numpy(NaloLimiter& limiter, AudioInput input, std::int64_t axis, CallResults& results)
{
    AudioLayout layout;
    if (!audio_layout(input.array.get(), axis, layout)) return false;
    if (!fill_audio(layout, input, results)) return false;
    results.frame_gains.reset(new_gains_array(layout.frames));
    if (!results.frame_gains) return false;
    if (layout.samples == 0) return true;  // nothing to limit, however many channels

    std::optional<LimiterError> failure;
    const bool ok = takes_one_core_call(limiter, layout)
                        ? run_core_once(limiter, layout, results, failure)
                        : limit_tiled_in_place(limiter, audio_view(results.audio.get(), layout),
                                          float_data(results.frame_gains.get()), failure);
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
