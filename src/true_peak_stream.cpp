#include "true_peak_stream.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "overshoot_correction.hpp"
#include "true_peak.hpp"

namespace nalo {
namespace {

std::size_t first_non_finite(std::span<const float> samples) noexcept
{
    for (std::size_t i = 0; i < samples.size(); ++i)
        if ((std::bit_cast<std::uint32_t>(samples[i]) & 0x7FFFFFFFu) > 0x7F7FFFFFu) return i;
    return samples.size();
}

// Per-frame levels from the samples and their interpolated neighbourhood:
// the level of frame k is the largest magnitude, over all channels, of its
// samples and of the intervals k - 1 .. k and k .. k + 1. It is known once
// frame k + 6 has arrived.
class TruePeakLevels {
public:
    TruePeakLevels(std::uint64_t channels, unsigned oversampling)
        : oversampling_(oversampling), history_(channels * kTruePeakHistory, 0.0f)
    {
    }

    // Appends the levels that `frames` more frames make known to `levels`;
    // `real` is the number of real frames (trailing silence is measured but
    // gets no level).
    void add(const float* const* channels, std::size_t frames, std::uint64_t real, std::vector<float>& levels)
    {
        constexpr std::size_t kChunk = 1024;
        float window[kTruePeakHistory + kChunk];
        float samples[kChunk], intervals[kChunk];
        const std::size_t count = history_.size() / kTruePeakHistory;
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(kChunk, frames - done);
            std::fill(samples, samples + n, 0.0f);
            std::fill(intervals, intervals + n, 0.0f);
            for (std::size_t c = 0; c < count; ++c) {
                float* history = history_.data() + c * kTruePeakHistory;
                std::memcpy(window, history, sizeof(float) * kTruePeakHistory);
                std::memcpy(window + kTruePeakHistory, channels[c] + done, sizeof(float) * n);
                interval_peaks(window, n, oversampling_, intervals);
                // Window slot t + 5 holds the frame whose level ends at interval t.
                for (std::size_t t = 0; t < n; ++t) samples[t] = std::max(samples[t], std::fabs(window[t + 5]));
                std::memcpy(history, window + n, sizeof(float) * kTruePeakHistory);
            }
            for (std::size_t t = 0; t < n; ++t) {
                const std::int64_t frame = next_ - static_cast<std::int64_t>(kTruePeakLatency);
                const float level = std::max({samples[t], previous_, intervals[t]});
                previous_ = intervals[t];
                ++next_;
                if (frame >= 0 && static_cast<std::uint64_t>(frame) < real)
                    levels.push_back(std::min(level, FLT_MAX));  // an interpolation can overflow
            }
            done += n;
        }
    }

private:
    unsigned oversampling_;
    std::vector<float> history_;  // kTruePeakHistory frames per channel, oldest first
    float previous_ = 0.0f;       // the latest interval's peak
    std::int64_t next_ = 0;       // frames (and trailing silence) seen
};

}  // namespace

struct TruePeakStream::State {
    State(LimiterStream envelope, std::uint64_t channels, unsigned oversampling, float ceiling)
        : envelope(std::move(envelope)),
          channels(channels),
          ceiling(ceiling),
          levels(channels, oversampling),
          waiting(channels),
          first(channels, oversampling, ceiling),
          second(channels, oversampling, ceiling),
          between(channels),
          done(channels)
    {
    }

    LimiterStream envelope;  // mono, fed the levels
    std::uint64_t channels;
    float ceiling;
    TruePeakLevels levels;
    FrameQueue waiting;  // frames whose gains the envelope has not given yet
    OvershootCorrector first, second;
    FrameQueue between, done;
    std::uint64_t frames_in = 0, frames_out = 0;
    bool finished = false;
    std::vector<float> level_scratch, gain_scratch, out_scratch;

    std::uint64_t latency() const noexcept
    {
        return kTruePeakLatency + envelope.latency() + 2 * OvershootCorrector::kLatency;
    }

    std::vector<const float*> planar(const float* block, std::size_t frames) const
    {
        std::vector<const float*> p(channels);
        for (std::size_t c = 0; c < channels; ++c) p[c] = block + c * frames;
        return p;
    }

    // Feeds levels to the envelope (finishing it at the end) and sends the
    // frames it gives gains for through both correctors.
    void run_envelope(bool end)
    {
        const std::size_t n = level_scratch.size();
        std::size_t ready = envelope.frames_ready_after(n);
        gain_scratch.resize(ready);
        out_scratch.resize(ready);
        envelope.push(level_scratch, out_scratch, gain_scratch);
        forward(ready);
        if (end) {
            ready = envelope.frames_pending();
            gain_scratch.resize(ready);
            out_scratch.resize(ready);
            envelope.finish(out_scratch, gain_scratch);
            forward(ready);
            first.finish(between);
            pass_between();
            second.finish(done);
        }
    }

    void forward(std::size_t frames)
    {
        std::vector<const float*> p(channels);
        for (std::size_t c = 0; c < channels; ++c) p[c] = waiting.channel(c);
        first.push(p.data(), gain_scratch.data(), frames, between);
        waiting.drop_front(frames);
        pass_between();
    }

    void pass_between()
    {
        std::vector<const float*> p(channels);
        for (std::size_t c = 0; c < channels; ++c) p[c] = between.channel(c);
        const std::size_t n = between.size();
        second.push(p.data(), between.gain(), n, done);
        between.drop_front(n);
    }

    // Writes the finished frames as limited samples and gains.
    void hand_out(std::span<float> out, std::span<float> gains)
    {
        const std::size_t n = gains.size();
        for (std::size_t c = 0; c < channels; ++c) {
            const float* x = done.channel(c);
            float* y = out.data() + c * n;
            for (std::size_t f = 0; f < n; ++f) {
                const float v = x[f] * done.gain()[f];
                const float low = v < -ceiling ? -ceiling : v;
                y[f] = low > ceiling ? ceiling : low;
            }
        }
        std::copy(done.gain(), done.gain() + n, gains.begin());
        done.drop_front(n);
        frames_out += n;
    }
};

TruePeakStream::TruePeakStream(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
TruePeakStream::TruePeakStream(TruePeakStream&&) noexcept = default;
TruePeakStream& TruePeakStream::operator=(TruePeakStream&&) noexcept = default;
TruePeakStream::~TruePeakStream() = default;

Result<TruePeakStream> TruePeakStream::create(const NaloLimiter& limiter, std::uint64_t channels)
{
    if (channels == 0) return LimiterError::zero_channels();
    auto envelope = LimiterStream::create(limiter, 1);
    if (!envelope) return envelope.error();
    try {
        return TruePeakStream(std::make_unique<State>(std::move(envelope).value(), channels,
                                                      true_peak_oversampling(limiter.sample_rate),
                                                      static_cast<float>(limiter.threshold)));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    } catch (const std::length_error&) {
        return LimiterError::allocation_failed();
    }
}

std::uint64_t TruePeakStream::channels() const noexcept { return state_->channels; }
std::uint64_t TruePeakStream::latency() const noexcept { return state_->latency(); }
std::uint64_t TruePeakStream::frames_in() const noexcept { return state_->frames_in; }
std::uint64_t TruePeakStream::frames_out() const noexcept { return state_->frames_out; }
bool TruePeakStream::finished() const noexcept { return state_->finished; }

std::uint64_t TruePeakStream::frames_ready_after(std::uint64_t frames) const noexcept
{
    const std::uint64_t total = state_->frames_in + frames, lag = latency();
    return total > lag ? total - lag - state_->frames_out : 0;
}

std::uint64_t TruePeakStream::frames_pending() const noexcept { return state_->frames_in - state_->frames_out; }

std::optional<LimiterError> TruePeakStream::push(std::span<const float> block, std::span<float> out,
                                                 std::span<float> gains)
{
    State& s = *state_;
    if (s.finished) return LimiterError::stream_finished();
    if (block.size() % s.channels != 0) return LimiterError::indivisible_samples(block.size(), s.channels);
    if (const std::size_t bad = first_non_finite(block); bad != block.size())
        return LimiterError::non_finite_sample(bad);
    const std::size_t frames = block.size() / s.channels;
    const std::uint64_t ready = frames_ready_after(frames);
    if (gains.size() != ready || out.size() != ready * s.channels) return LimiterError::allocation_failed();
    try {
        const auto p = s.planar(block.data(), frames);
        s.waiting.append(p.data(), std::vector<float>(frames, 0.0f).data(), frames);
        s.frames_in += frames;
        s.level_scratch.clear();
        s.levels.add(p.data(), frames, s.frames_in, s.level_scratch);
        s.run_envelope(false);
        s.hand_out(out, gains);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    return std::nullopt;
}

std::optional<LimiterError> TruePeakStream::finish(std::span<float> out, std::span<float> gains)
{
    State& s = *state_;
    if (s.finished) return LimiterError::stream_finished();
    const std::uint64_t pending = frames_pending();
    if (gains.size() != pending || out.size() != pending * s.channels) return LimiterError::allocation_failed();
    try {
        static constexpr float kSilence[kTruePeakLatency] = {};
        const std::vector<const float*> silence(s.channels, kSilence);
        s.level_scratch.clear();
        s.levels.add(silence.data(), kTruePeakLatency, s.frames_in, s.level_scratch);
        s.run_envelope(true);
        s.finished = true;
        s.hand_out(out, gains);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    return std::nullopt;
}

}  // namespace nalo
