// Whole-signal processing tile by tile, from an input buffer into an output
// buffer: peaks, envelope steps and application interleaved so that every
// tile's samples are read from memory once and used again from the cache.
#include "lib.hpp"

#include "envelope/frame_passes.hpp"
#include "envelope/gain_engine.hpp"

#include <algorithm>

namespace nalo {

namespace {

// Samples (all channels) per tile: input, output and gains of a tile and of
// the look-ahead behind it stay well inside the per-core cache.
constexpr std::size_t kTileSamples = std::size_t{1} << 15;

// Tiles start on envelope block boundaries, so the steps run in the same
// blocks as in one run over the whole signal.
std::size_t tile_frames(std::size_t channels) noexcept
{
    const std::size_t blocks = kTileSamples / channels / kEnvelopeBlock;
    return std::max<std::size_t>(1, blocks) * kEnvelopeBlock;
}

}  // namespace

TiledLimit::TiledLimit(NaloLimiter& limiter, const PlanarBuffers& buffers, std::size_t tile_frames) noexcept
    : limiter_(&limiter),
      buffers_(buffers),
      tile_frames_(tile_frames),
      total_steps_(buffers.frames == 0 ? 0 : buffers.frames + limiter.lookahead_samples)
{
}

Result<TiledLimit> TiledLimit::start(NaloLimiter& limiter, const PlanarBuffers& buffers)
{
    if (buffers.channels == 0) return LimiterError::zero_channels();
    limiter.reset_envelope();
    return TiledLimit(limiter, buffers, tile_frames(buffers.channels));
}

// The peaks of the next tile of input frames become the levels of their
// steps; a NaN or infinity shows in the largest magnitude.
std::optional<LimiterError> TiledLimit::peak_next_tile() noexcept
{
    const PlanarBuffers& b = buffers_;
    const std::size_t count = std::min(tile_frames_, b.frames - peaked_);
    if (compute_peaks(b.in + peaked_, b.channels, b.in_stride, count, b.gains + peaked_) > kLargestFiniteBits) {
        limiter_->reset_envelope();
        return LimiterError::non_finite_sample(first_non_finite(b.in, b.channels, b.in_stride, b.frames));
    }
    peaked_ += count;
    return std::nullopt;
}

// Steps up to end_step, then the output of every frame whose gain they made
// final (step i writes the gain of frame i - lookahead).
void TiledLimit::step_and_apply(std::uint64_t end_step) noexcept
{
    const PlanarBuffers& b = buffers_;
    const FrameSpan frames{b.gains, b.gains, 0, b.frames};
    advance_envelope(limiter_->envelope, frames, stepped_, end_step);
    stepped_ = end_step;
    const std::uint64_t lookahead = limiter_->lookahead_samples;
    const std::size_t final_frames =
        end_step <= lookahead ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(b.frames, end_step - lookahead));
    if (final_frames <= applied_) return;
    apply_gains(b.in + applied_, b.in_stride, b.out + applied_, b.out_stride, b.channels, final_frames - applied_,
                b.gains + applied_, static_cast<float>(limiter_->threshold));
    applied_ = final_frames;
}

std::optional<LimiterError> TiledLimit::advance(std::uint64_t max_steps) noexcept
{
    for (std::uint64_t taken = 0; !done() && taken < max_steps;) {
        // Steps need the levels of their own frames: past the signal's end
        // they see silence and run in tile-sized pieces from a tile boundary.
        if (stepped_ == peaked_ && peaked_ < buffers_.frames) {
            if (auto error = peak_next_tile()) return error;
        }
        const std::uint64_t reachable = peaked_ < buffers_.frames ? peaked_ : total_steps_;
        const std::uint64_t end_step = std::min<std::uint64_t>(reachable, stepped_ + tile_frames_);
        taken += end_step - stepped_;
        step_and_apply(end_step);
    }
    return std::nullopt;
}

std::optional<LimiterError> process_planar_tiled(NaloLimiter& limiter, const PlanarBuffers& buffers)
{
    Result<TiledLimit> made = TiledLimit::start(limiter, buffers);
    if (!made) return made.error();
    return made.value().advance();
}

}  // namespace nalo
