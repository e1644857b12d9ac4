#include "python/nalo_limiter/tiled_in_place.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "python/shared/gil.hpp"

namespace nalo::python {

namespace {

// Samples of one tile (per buffer): small enough for the cache, large enough
// that a push's fixed costs do not show.
constexpr std::size_t kTileSamples = std::size_t{1} << 17;

// End-of-signal steps per piece of the end (each frees at most one frame):
// an absurd look-ahead ends in many short pieces, with a chance to notice
// Ctrl-C between them.
constexpr std::uint64_t kEndSteps = std::uint64_t{1} << 20;

std::size_t tile_frames(std::size_t channels) noexcept { return std::max<std::size_t>(1, kTileSamples / channels); }

// Planar index of the first NaN or infinite sample in channel-major order
// among frames first .. frames - 1 of every channel.
std::optional<std::uint64_t> first_non_finite_from(const AudioView& view, std::size_t first)
{
    std::vector<float> run(std::min<std::size_t>(view.frames - first, kTileSamples));
    AudioView channel = view;
    channel.channels = 1;
    for (std::size_t c = 0; c < view.channels; ++c) {
        channel.data = view.data + static_cast<std::ptrdiff_t>(c) * view.channel_stride;
        for (std::size_t f = first; f < view.frames; f += run.size()) {
            const std::size_t count = std::min(run.size(), view.frames - f);
            read_planar(channel, f, count, run.data());
            if (const std::size_t k = nalo::first_non_finite({run.data(), count}); k < count)
                return c * view.frames + f + k;
        }
    }
    return std::nullopt;
}

// The tiles of one call and where the output has got to.
struct Tiles {
    const AudioView& view;  // where the output goes
    float* gains;
    std::vector<float> in;
    std::vector<float> out;
    std::size_t written = 0;  // frames of output written back so far

    // Writes `n` frames of output (in `out`) back over frames already read.
    void write_back(std::size_t n) noexcept
    {
        write_planar(out.data(), n, view, written);
        written += n;
    }
    std::span<float> out_span(std::size_t n) noexcept { return {out.data(), view.channels * n}; }
    std::span<float> gain_span(std::size_t n) noexcept { return {gains + written, n}; }
};

}  // namespace

bool limit_tiled(const NaloLimiter& limiter, const AudioView& source, const AudioView& view, float* gains,
                 std::optional<LimiterError>& failure)
{
    Result<LimiterStream> made = LimiterStream::create(limiter, view.channels);
    if (!made) {
        failure = made.error();
        return true;
    }
    LimiterStream stream = std::move(made).value();
    const std::size_t per_tile = std::min(view.frames, tile_frames(view.channels));
    Tiles tiles{view, gains, std::vector<float>(view.channels * per_tile),
                std::vector<float>(view.channels * per_tile)};

    std::size_t bad_tile = view.frames;  // first frame of the tile that held a non-finite sample
    {
        InterruptibleSection section;
        for (std::size_t first = 0; first < view.frames; first += per_tile) {
            const std::size_t m = std::min(per_tile, view.frames - first);
            read_planar(source, first, m, tiles.in.data());
            const std::size_t n = stream.frames_ready_after(m);
            failure = stream.push({tiles.in.data(), view.channels * m}, tiles.out_span(n), tiles.gain_span(n));
            if (failure) {
                if (failure->kind == LimiterErrorKind::NonFiniteSample) bad_tile = first;
                break;
            }
            tiles.write_back(n);
            if (!section.keep_going()) return false;
        }
        while (!failure && !stream.finished()) {
            const std::size_t n = stream.frames_ready_after_end_steps(kEndSteps);
            if (view.channels * n > tiles.out.size()) tiles.out.resize(view.channels * n);
            failure = stream.finish(tiles.out_span(n), tiles.gain_span(n), kEndSteps);
            if (failure) break;
            tiles.write_back(n);
            if (!section.keep_going()) return false;
        }
    }
    // The tiles before the failing one were finite, and nothing from it on
    // has been overwritten (when the source is the output itself): the first
    // non-finite sample is found there.
    if (bad_tile < view.frames) {
        if (auto index = first_non_finite_from(source, bad_tile)) failure->count = *index;
    }
    return true;
}

}  // namespace nalo::python
