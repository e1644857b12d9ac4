// LimiterStream: a signal limited in pieces. Each push measures the block's
// frame levels, advances the stream's own envelope over the block's steps and
// applies the gains that became final, straight into the caller's buffers;
// only the frames not yet final are held back.
#include "lib.hpp"

#include "envelope/frame_passes.hpp"
#include "envelope/gain_engine.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace nalo {

namespace {

// Frames held back, planar in `lanes` lanes of equal capacity. It grows with
// the frames actually held (not with the look-ahead up front) and moves them
// to the front only when appending would run past the end. Room for as many
// frames again as are held keeps that copying at a constant amount per
// frame, whatever the block sizes.
class HeldFrames {
public:
    explicit HeldFrames(std::size_t lanes) : lanes_(lanes) {}

    std::size_t size() const noexcept { return size_; }
    std::size_t stride() const noexcept { return capacity_; }
    // The first held frame of lane 0; lane c starts stride() floats further.
    float* front() noexcept { return data_.get() + begin_; }

    // Room for `count` frames after the held ones. Throws std::bad_alloc,
    // leaving the frames as they were.
    void reserve_more(std::size_t count)
    {
        if (begin_ + size_ + count <= capacity_) return;
        const std::size_t wanted = 2 * size_ + count;
        if (wanted <= capacity_) {
            for (std::size_t c = 0; c < lanes_; ++c)
                std::memmove(data_.get() + c * capacity_, data_.get() + c * capacity_ + begin_, size_ * sizeof(float));
        } else {
            std::unique_ptr<float[]> grown(new float[lanes_ * wanted]);
            for (std::size_t c = 0; c < lanes_; ++c)
                if (size_ > 0) std::memcpy(grown.get() + c * wanted, data_.get() + c * capacity_ + begin_, size_ * sizeof(float));
            data_ = std::move(grown);
            capacity_ = wanted;
        }
        begin_ = 0;
    }

    // Frames first .. first + count - 1 of a planar block with channel
    // stride `block_stride` join the held ones (room reserved).
    void append(const float* block, std::size_t block_stride, std::size_t first, std::size_t count) noexcept
    {
        if (count == 0) return;
        for (std::size_t c = 0; c < lanes_; ++c)
            std::memcpy(data_.get() + c * capacity_ + begin_ + size_, block + c * block_stride + first,
                        count * sizeof(float));
        size_ += count;
    }

    // `count` frames written in place after the held ones join them.
    void commit(std::size_t count) noexcept { size_ += count; }

    void drop_front(std::size_t count) noexcept
    {
        begin_ += count;
        size_ -= count;
        if (size_ == 0) begin_ = 0;
    }

    void release() noexcept
    {
        data_.reset();
        capacity_ = begin_ = size_ = 0;
    }

private:
    std::size_t lanes_;
    std::unique_ptr<float[]> data_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;
    std::size_t size_ = 0;
};

std::uint64_t past_lookahead(std::uint64_t steps, std::uint64_t lookahead) noexcept
{
    return steps > lookahead ? steps - lookahead : 0;
}

}  // namespace

struct LimiterStream::State {
    State(const NaloLimiter& limiter, std::uint64_t channel_count)
        : envelope(limiter.envelope.fresh()),
          ceiling(static_cast<float>(limiter.threshold)),
          channels(channel_count),
          samples(static_cast<std::size_t>(channel_count))
    {
    }

    // Levels of the frames held back (the guard reads them) and of the block
    // being pushed: frame frames_out + j at levels.front()[j].
    FrameSpan frame_span(float* gains, std::uint64_t known) noexcept
    {
        return {levels.front(), gains, frames_out, known};
    }

    Envelope envelope;
    float ceiling;
    std::uint64_t channels;

    std::uint64_t frames_in = 0;
    std::uint64_t frames_out = 0;
    std::uint64_t end_steps = 0;  // end-of-signal steps run so far
    bool ending = false;
    bool finished = false;

    HeldFrames levels{1};
    HeldFrames samples;
};

Result<LimiterStream> LimiterStream::create(const NaloLimiter& limiter, std::uint64_t channels)
{
    if (channels == 0) return LimiterError::zero_channels();
    try {
        return LimiterStream(std::make_unique<State>(limiter, channels));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
}

LimiterStream::LimiterStream(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
LimiterStream::LimiterStream(LimiterStream&&) noexcept = default;
LimiterStream& LimiterStream::operator=(LimiterStream&&) noexcept = default;
LimiterStream::~LimiterStream() = default;

std::uint64_t LimiterStream::channels() const noexcept { return state_->channels; }
std::uint64_t LimiterStream::latency() const noexcept { return state_->envelope.settings.lookahead; }
std::uint64_t LimiterStream::frames_in() const noexcept { return state_->frames_in; }
std::uint64_t LimiterStream::frames_out() const noexcept { return state_->frames_out; }
bool LimiterStream::finished() const noexcept { return state_->finished; }
std::uint64_t LimiterStream::frames_pending() const noexcept { return state_->frames_in - state_->frames_out; }

std::uint64_t LimiterStream::frames_ready_after(std::uint64_t frames) const noexcept
{
    const State& s = *state_;
    return past_lookahead(s.frames_in + frames, s.envelope.settings.lookahead) - s.frames_out;
}

std::uint64_t LimiterStream::end_steps_left() const noexcept
{
    const State& s = *state_;
    // A signal without frames has nothing to end: its steps would write no frame.
    return s.frames_in == 0 || s.finished ? 0 : s.envelope.settings.lookahead - s.end_steps;
}

std::uint64_t LimiterStream::frames_ready_after_end_steps(std::uint64_t max_steps) const noexcept
{
    const State& s = *state_;
    const std::uint64_t steps = s.frames_in + s.end_steps + std::min(max_steps, end_steps_left());
    return past_lookahead(steps, s.envelope.settings.lookahead) - s.frames_out;
}

std::optional<LimiterError> LimiterStream::push(std::span<const float> block, std::span<float> out,
                                                std::span<float> gains)
{
    if (state_->ending) return LimiterError::stream_finished();
    const std::size_t channels = static_cast<std::size_t>(state_->channels);
    if (block.size() % channels != 0) return LimiterError::indivisible_samples(block.size(), channels);
    const std::size_t m = block.size() / channels;
    const std::size_t n = static_cast<std::size_t>(frames_ready_after(m));
    if (out.size() != channels * n || gains.size() != n) return LimiterError::wrong_output_size();
    return push(block.data(), m, m, out.data(), n, gains.data());
}

std::optional<LimiterError> LimiterStream::push(const float* block, std::size_t block_stride, std::size_t m,
                                                float* out, std::size_t out_stride, float* gains)
{
    State& s = *state_;
    if (s.ending) return LimiterError::stream_finished();
    const std::size_t channels = static_cast<std::size_t>(s.channels);
    const std::size_t n = static_cast<std::size_t>(frames_ready_after(m));

    // Output frames come first from the held frames, then from the block;
    // the rest of the block is held back.
    const std::size_t held = s.samples.size();
    const std::size_t from_held = std::min(n, held);
    const std::size_t from_block = n - from_held;
    const std::size_t to_hold = m - from_block;
    try {
        s.levels.reserve_more(m);
        s.samples.reserve_more(to_hold);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }

    // Nothing the caller can observe changes before the levels are known to
    // be finite: the block's levels go after the held ones, uncommitted.
    float* block_levels = s.levels.front() + held;
    if (compute_peaks(block, channels, block_stride, m, block_levels) > kLargestFiniteBits)
        return LimiterError::non_finite_sample(first_non_finite(block, channels, block_stride, m));

    advance_envelope(s.envelope, s.frame_span(gains, s.frames_in + m), s.frames_in, s.frames_in + m);
    apply_gains(s.samples.front(), s.samples.stride(), out, out_stride, channels, from_held, gains, s.ceiling);
    apply_gains(block, block_stride, out + from_held, out_stride, channels, from_block, gains + from_held, s.ceiling);

    s.samples.drop_front(from_held);
    s.samples.append(block, block_stride, from_block, to_hold);
    s.levels.commit(m);
    s.levels.drop_front(n);
    s.frames_in += m;
    s.frames_out += n;
    return std::nullopt;
}

std::optional<LimiterError> LimiterStream::finish(std::span<float> out, std::span<float> gains,
                                                  std::uint64_t max_steps)
{
    if (state_->finished) return LimiterError::stream_finished();
    const std::size_t channels = static_cast<std::size_t>(state_->channels);
    const std::size_t n = static_cast<std::size_t>(frames_ready_after_end_steps(max_steps));
    if (out.size() != channels * n || gains.size() != n) return LimiterError::wrong_output_size();
    return finish(out.data(), n, gains.data(), max_steps);
}

std::optional<LimiterError> LimiterStream::finish(float* out, std::size_t out_stride, float* gains,
                                                  std::uint64_t max_steps)
{
    State& s = *state_;
    if (s.finished) return LimiterError::stream_finished();
    const std::size_t channels = static_cast<std::size_t>(s.channels);
    const std::uint64_t steps = std::min(max_steps, end_steps_left());
    const std::size_t n = static_cast<std::size_t>(frames_ready_after_end_steps(steps));

    // The look-ahead past the last frame sees silence.
    const std::uint64_t first = s.frames_in + s.end_steps;
    advance_envelope(s.envelope, s.frame_span(gains, s.frames_in), first, first + steps);
    apply_gains(s.samples.front(), s.samples.stride(), out, out_stride, channels, n, gains, s.ceiling);

    s.samples.drop_front(n);
    s.levels.drop_front(n);
    s.frames_out += n;
    s.end_steps += steps;
    s.ending = true;
    if (end_steps_left() == 0) {
        s.finished = true;
        s.samples.release();
        s.levels.release();
    }
    return std::nullopt;
}

}  // namespace nalo
