#include "true_peak/stream.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>
#include <vector>

#include "envelope/gain_engine.hpp"
#include "true_peak/overshoot_correction.hpp"
#include "true_peak.hpp"
#include "true_peak/detection.hpp"

namespace nalo {

namespace {

// The largest float at or below the threshold: the envelope limits only
// levels above the threshold.
float level_never_limiting(double threshold)
{
    const auto level = static_cast<float>(threshold);
    return static_cast<double>(level) <= threshold ? level : std::nextafter(level, 0.0f);
}

// Frames held back by a stream whose envelope looks `lookahead` frames
// ahead: the detection's window, the look-ahead, then both correction passes.
std::uint64_t latency_after(std::uint64_t lookahead) noexcept
{
    return kDetectionLatency + lookahead + 2 * OvershootCorrection::kLatency;
}

}  // namespace

// The pipeline, frame by frame: the input's sample peaks and interpolated
// values (true_peak/detection.hpp, known 16 frames later), the level of each
// frame from them, the limiter's envelope over those levels
// (lookahead_samples later), then the
// two correction passes (OvershootCorrection::kLatency later each). All of it
// works on one store of the frames in flight.
struct TruePeakStream::State {
    State(const NaloLimiter& limiter, std::uint64_t channels)
        : envelope(limiter.envelope.fresh()),
          channels(channels),
          grid(detection_grid(limiter.sample_rate)),
          ceiling(static_cast<float>(limiter.threshold)),
          quiet(level_never_limiting(limiter.threshold)),
          frames(channels),
          correction(channels, grid, ceiling)
    {
    }

    // The limiter's envelope, run by its own engine over the levels.
    Envelope envelope;
    std::int64_t steps = 0;

    std::uint64_t channels;
    DetectionGrid grid;
    float ceiling;
    float quiet;  // the largest level the envelope leaves alone
    TruePeakFrames frames;
    OvershootCorrection correction;
    std::int64_t frames_in = 0, frames_out = 0;
    std::int64_t next_interval = -static_cast<std::int64_t>(kDetectionLatency);  // first not measured
    std::int64_t next_level = 0, gained = 0;
    bool finished = false;

    std::uint64_t latency() const noexcept { return latency_after(envelope.settings.lookahead); }

    // Sample peaks of the frames from `first` to the newest.
    void measure_peaks(std::int64_t first)
    {
        const std::size_t from = frames.slot(first), to = frames.slot(frames.end());
        float* peaks = frames.peaks.data();
        for (std::size_t c = 0; c < channels; ++c) {
            const float* x = frames.samples[c].data();
            for (std::size_t s = from; s < to; ++s) peaks[s] = std::max(peaks[s], std::fabs(x[s]));
        }
    }

    // The input's interpolated values up to the interval after frame `last`.
    void measure_intervals(std::int64_t last)
    {
        if (last < next_interval) return;
        const auto count = static_cast<std::size_t>(last - next_interval + 1);
        const std::size_t window = frames.slot(next_interval - kDetectionBefore);
        for (std::size_t c = 0; c < channels; ++c)
            detection_peaks(frames.samples[c].data() + window, count, grid, quiet,
                           frames.intervals.data() + frames.slot(next_interval));
        next_interval = last + 1;
    }

    // Levels of the real frames whose following interval is known, into
    // `envelope`, where the engine turns them into gains; an interpolation
    // can overflow, the envelope needs finite levels.
    void collect_levels()
    {
        const std::int64_t last = std::min(next_interval - 1, frames_in - 1);
        const auto n = static_cast<std::size_t>(std::max<std::int64_t>(last - next_level + 1, 0));
        const std::size_t first = frames.slot(next_level);
        float* levels = frames.envelope.data() + first;
        const float* peaks = frames.peaks.data() + first;
        const float* after = frames.intervals.data() + first;
        const float* before = after - 1;
        for (std::size_t i = 0; i < n; ++i) {
            const float level = std::max(peaks[i], std::max(before[i], after[i]));
            levels[i] = std::min(level, FLT_MAX);
        }
        next_level += static_cast<std::int64_t>(n);
    }

    // Envelope steps up to `end_step` (past the last level the engine sees
    // silence); then the gains of the frames now known enter the first pass.
    void run_envelope(std::int64_t end_step)
    {
        if (end_step <= steps) return;
        float* from = frames.envelope.data() + frames.slot(gained);
        const FrameSpan span{from, from, static_cast<std::uint64_t>(gained), static_cast<std::uint64_t>(next_level)};
        advance_envelope(envelope, span, static_cast<std::uint64_t>(steps), static_cast<std::uint64_t>(end_step));
        steps = end_step;
        const auto lookahead = static_cast<std::int64_t>(envelope.settings.lookahead);
        const std::int64_t done = std::max<std::int64_t>(steps - lookahead, 0);
        const std::size_t first = frames.slot(gained);
        const auto n = static_cast<std::size_t>(done - gained);
        const float* gains = frames.envelope.data() + first;
        float* first_gain = frames.first_gain.data() + first;
        const float* factor = frames.first_factor.data() + first;
        for (std::size_t i = 0; i < n; ++i) first_gain[i] = gains[i] * factor[i];
        gained = done;
    }

    void correct(std::int64_t last)
    {
        // An interval's window reaches kDetectionLatency frames past it.
        constexpr auto kAfter = static_cast<std::int64_t>(kDetectionLatency) + 1;
        correction.first_pass(frames, std::min(last, gained - kAfter));
        correction.second_pass(frames, std::min(last, correction.first_final() - kAfter));
    }

    // The output of every frame the second pass has finished.
    void hand_out(std::span<float> out, std::span<float> gains_out)
    {
        const std::size_t n = gains_out.size(), first = frames.slot(frames_out);
        for (std::size_t f = 0; f < n; ++f) gains_out[f] = OvershootCorrection::final_gain(frames, first + f);
        for (std::size_t c = 0; c < channels; ++c) {
            const float* x = frames.samples[c].data() + first;
            float* y = out.data() + c * n;
            for (std::size_t f = 0; f < n; ++f) {
                const float v = x[f] * gains_out[f];
                const float low = v < -ceiling ? -ceiling : v;
                y[f] = low > ceiling ? ceiling : low;
            }
        }
        frames_out += static_cast<std::int64_t>(n);
        frames.forget_before(frames_out);
    }
};

TruePeakStream::TruePeakStream(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
TruePeakStream::TruePeakStream(TruePeakStream&&) noexcept = default;
TruePeakStream& TruePeakStream::operator=(TruePeakStream&&) noexcept = default;
TruePeakStream::~TruePeakStream() = default;

Result<TruePeakStream> TruePeakStream::create(const NaloLimiter& limiter, std::uint64_t channels)
{
    if (channels == 0) return LimiterError::zero_channels();
    try {
        return TruePeakStream(std::make_unique<State>(limiter, channels));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    } catch (const std::length_error&) {
        return LimiterError::allocation_failed();
    }
}

std::uint64_t TruePeakStream::latency_of(const NaloLimiter& limiter) noexcept
{
    return latency_after(limiter.lookahead_samples);
}

std::uint64_t TruePeakStream::channels() const noexcept { return state_->channels; }
std::uint64_t TruePeakStream::latency() const noexcept { return state_->latency(); }
std::uint64_t TruePeakStream::frames_in() const noexcept { return static_cast<std::uint64_t>(state_->frames_in); }
std::uint64_t TruePeakStream::frames_out() const noexcept { return static_cast<std::uint64_t>(state_->frames_out); }
bool TruePeakStream::finished() const noexcept { return state_->finished; }

std::uint64_t TruePeakStream::frames_ready_after(std::uint64_t frames) const noexcept
{
    const std::uint64_t total = frames_in() + frames, lag = latency();
    return total > lag ? total - lag - frames_out() : 0;
}

std::uint64_t TruePeakStream::frames_pending() const noexcept { return frames_in() - frames_out(); }

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
    if (gains.size() != ready || out.size() != ready * s.channels) return LimiterError::wrong_output_size();
    std::vector<const float*> planar;
    try {
        // Every allocation happens here, before anything changes.
        planar.resize(s.channels);
        s.frames.reserve_more(frames);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    {
        for (std::size_t c = 0; c < s.channels; ++c) planar[c] = block.data() + c * frames;
        const std::int64_t first = s.frames.end();
        s.frames.append(planar.data(), frames);
        s.frames_in += static_cast<std::int64_t>(frames);
        s.measure_peaks(first);
        s.measure_intervals(s.frames_in - 1 - static_cast<std::int64_t>(kDetectionLatency));
        s.collect_levels();
        s.run_envelope(s.next_level);
        s.correct(INT64_MAX);
        s.hand_out(out, gains);
    }
    return std::nullopt;
}

std::optional<LimiterError> TruePeakStream::finish(std::span<float> out, std::span<float> gains)
{
    State& s = *state_;
    if (s.finished) return LimiterError::stream_finished();
    const std::uint64_t pending = frames_pending();
    if (gains.size() != pending || out.size() != pending * s.channels) return LimiterError::wrong_output_size();
    try {
        s.frames.reserve_more(kDetectionHistory);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    {
        // The silence after the end: measured, never handed out.
        s.frames.append(nullptr, kDetectionHistory);
        const std::int64_t last = s.frames_in - 1 + static_cast<std::int64_t>(kDetectionLatency) - 1;
        s.measure_intervals(last);
        s.collect_levels();
        if (s.frames_in > 0) s.run_envelope(s.frames_in + static_cast<std::int64_t>(s.envelope.settings.lookahead));
        s.correction.first_pass(s.frames, last);
        s.correction.second_pass(s.frames, last);
        s.finished = true;
        s.hand_out(out, gains);
    }
    return std::nullopt;
}

}  // namespace nalo
