// The loudness meter: quarters of 100 ms, the sliding windows made of them,
// and what the windows add up to.
#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <new>
#include <stdexcept>

#include "loudness.hpp"
#include "loudness/channel_filter.hpp"
#include "loudness/window_histogram.hpp"
#include "true_peak.hpp"

namespace nalo {

using loudness::ChannelPair;
using loudness::WindowHistogram;

namespace {

constexpr std::size_t kMomentaryQuarters = 4;   // 400 ms
constexpr std::size_t kShortTermQuarters = 30;  // 3 s
constexpr double kIntegratedGate_LU = 10.0;
constexpr double kRangeGate_LU = 20.0;
constexpr double kRangeLow = 0.10, kRangeHigh = 0.95;

// The last complete quarters of the current signal: their weighted sums of
// squares and their frame counts, newest at (completed - 1) % size.
struct RecentQuarters {
    std::array<double, kShortTermQuarters> squares{};
    std::array<std::uint64_t, kShortTermQuarters> frames{};
    std::uint64_t completed = 0;

    void add(double sum, std::uint64_t count) noexcept
    {
        squares[completed % kShortTermQuarters] = sum;
        frames[completed % kShortTermQuarters] = count;
        ++completed;
    }

    // Mean square of the window of the last `quarters` quarters, summed
    // oldest first; -1 while the window is incomplete or holds no frame.
    double window_mean(std::size_t quarters) const noexcept
    {
        if (completed < quarters) return -1.0;
        double sum = 0.0;
        std::uint64_t count = 0;
        for (std::uint64_t q = completed - quarters; q < completed; ++q) {
            sum += squares[q % kShortTermQuarters];
            count += frames[q % kShortTermQuarters];
        }
        return count == 0 ? -1.0 : sum / static_cast<double>(count);
    }
};

}  // namespace

// Where the current signal stands: everything a block changes but the
// histograms.
struct SignalProgress {
    std::vector<ChannelPair> pairs;    // the channels of non-zero weight, two by two
    std::uint64_t quarter = 0;         // index of the current quarter in the current signal
    std::uint64_t quarter_frames = 0;  // its length
    std::uint64_t quarter_filled = 0;  // its frames seen so far
    RecentQuarters recent;
    double momentary_max = 0.0, short_term_max = 0.0;  // mean squares
};

// The mean squares of the windows that end with one quarter; -1 for none.
struct QuarterWindows {
    double momentary, short_term;
};

struct LoudnessMeter::State {
    std::uint32_t sample_rate;
    std::uint64_t channels;
    std::vector<double> weights;
    std::vector<std::size_t> unweighted;  // channels of zero weight: only checked
    KWeighting filter;
    SignalProgress progress;
    WindowHistogram momentary, short_term;
    // A block is measured in place and refused as soon as a NaN or infinity
    // shows in its sums: until it has passed whole, its windows wait here
    // and `saved` holds the progress to return to.
    std::vector<QuarterWindows> pending;
    SignalProgress saved;

    State(std::uint32_t rate, std::span<const double> channel_weights)
        : sample_rate(rate), channels(channel_weights.size()),
          weights(channel_weights.begin(), channel_weights.end()), filter(k_weighting(rate))
    {
        std::vector<std::size_t> active;
        for (std::size_t c = 0; c < weights.size(); ++c) (weights[c] > 0.0 ? active : unweighted).push_back(c);
        for (std::size_t i = 0; i < active.size(); i += 2) {
            ChannelPair pair;
            pair.channels[0] = active[i];
            pair.channels[1] = i + 1 < active.size() ? active[i + 1] : active[i];
            progress.pairs.push_back(pair);
        }
        pending.reserve(kKeptPending);
        saved = progress;
        start_signal();
    }

    // Room for pending windows kept between blocks: more than start_signal()
    // completes; a block of more quarters allocates for its own.
    static constexpr std::size_t kKeptPending = 64;

    std::uint64_t quarter_start(std::uint64_t q) const noexcept { return q * sample_rate / 10; }

    void start_signal() noexcept
    {
        for (ChannelPair& pair : progress.pairs) pair = ChannelPair{{pair.channels[0], pair.channels[1]}};
        progress.recent = RecentQuarters{};
        progress.quarter = 0;
        progress.quarter_filled = 0;
        progress.quarter_frames = quarter_start(1);
        complete_empty_quarters();
        commit_windows();
    }

    // Quarters of no frame (sample rates below 10 Hz) complete as soon as
    // they begin, so the state between calls never depends on the cuts.
    void complete_empty_quarters() noexcept
    {
        while (progress.quarter_filled == progress.quarter_frames) complete_quarter();
    }

    void complete_quarter() noexcept
    {
        SignalProgress& p = progress;
        double sum = 0.0;
        // Channels in ascending order: pairs hold them so, lane 0 first.
        for (const ChannelPair& pair : p.pairs) {
            sum += weights[pair.channels[0]] * pair.squares[0];
            if (pair.channels[1] != pair.channels[0]) sum += weights[pair.channels[1]] * pair.squares[1];
        }
        for (ChannelPair& pair : p.pairs) pair.squares = loudness::Pair{};
        p.recent.add(sum, p.quarter_filled);
        const QuarterWindows windows{p.recent.window_mean(kMomentaryQuarters),
                                     p.recent.window_mean(kShortTermQuarters)};
        p.momentary_max = std::max(p.momentary_max, windows.momentary);
        p.short_term_max = std::max(p.short_term_max, windows.short_term);
        pending.push_back(windows);  // room reserved by reserve_windows()
        ++p.quarter;
        p.quarter_filled = 0;
        p.quarter_frames = quarter_start(p.quarter + 1) - quarter_start(p.quarter);
    }

    // Room in `pending` for every quarter that `frames` more frames can
    // complete; false when memory runs out.
    bool reserve_windows(std::size_t frames) noexcept
    {
        // Any 10 consecutive quarters hold sample_rate frames.
        std::uint64_t quarters = 0;
        if (__builtin_add_overflow(progress.quarter_filled, frames, &quarters) ||
            __builtin_mul_overflow(quarters / sample_rate + 1, 10, &quarters) ||
            __builtin_add_overflow(quarters, 20, &quarters))
            return false;
        try {
            pending.reserve(static_cast<std::size_t>(quarters));
        } catch (const std::bad_alloc&) {
            return false;
        } catch (const std::length_error&) {
            return false;
        }
        return true;
    }

    void commit_windows() noexcept
    {
        for (const QuarterWindows& w : pending) {
            if (w.momentary >= 0.0) momentary.add(w.momentary);
            if (w.short_term >= 0.0) short_term.add(w.short_term);
        }
        pending.clear();
        if (pending.capacity() <= kKeptPending) return;
        std::vector<QuarterWindows> small;
        try {
            small.reserve(kKeptPending);
        } catch (const std::bad_alloc&) {
            return;  // the larger room stays
        }
        pending.swap(small);
    }

    // Filters frames [first, first + count) of every weighted channel and
    // checks the others; false if a NaN or infinity showed.
    bool measure(const SampleBlock& block, std::size_t first, std::size_t count) noexcept
    {
        const char* data =
            static_cast<const char*>(block.data) + static_cast<std::ptrdiff_t>(first) * block.frame_stride;
        const auto channel = [&](std::size_t c) {
            return data + static_cast<std::ptrdiff_t>(c) * block.channel_stride;
        };
        bool finite = true;
        for (ChannelPair& pair : progress.pairs) {
            const loudness::LaneSamples samples{
                {channel(pair.channels[0]), channel(pair.channels[1])}, block.frame_stride, block.format};
            loudness::add_squares(filter, pair, samples, count);
            finite &= std::isfinite(pair.squares[0]) && std::isfinite(pair.squares[1]);
        }
        for (const std::size_t c : unweighted)
            finite &= loudness::first_non_finite(channel(c), block.frame_stride, block.format, count) == count;
        return finite;
    }

    // False, with `progress` as it was, if a NaN or infinity showed.
    bool push_frames(const SampleBlock& block) noexcept
    {
        SignalProgress& p = progress;
        for (std::size_t done = 0; done < block.frames;) {
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(block.frames - done, p.quarter_frames - p.quarter_filled));
            if (!measure(block, done, count)) return false;
            done += count;
            p.quarter_filled += count;
            if (p.quarter_filled == p.quarter_frames) {
                complete_quarter();
                complete_empty_quarters();
            }
        }
        return true;
    }

    // The planar index of the first NaN or infinity of a refused block.
    std::uint64_t first_non_finite(const SampleBlock& block) const noexcept
    {
        const char* data = static_cast<const char*>(block.data);
        for (std::size_t c = 0; c < channels; ++c) {
            const std::size_t f = loudness::first_non_finite(
                data + static_cast<std::ptrdiff_t>(c) * block.channel_stride, block.frame_stride, block.format,
                block.frames);
            if (f < block.frames) return c * block.frames + f;
        }
        return 0;  // only if the block changed while it was read
    }
};

// ---------------------------------------------------------------- creation

LoudnessMeter::LoudnessMeter(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
LoudnessMeter::LoudnessMeter(LoudnessMeter&&) noexcept = default;
LoudnessMeter& LoudnessMeter::operator=(LoudnessMeter&&) noexcept = default;
LoudnessMeter::~LoudnessMeter() = default;

Result<LoudnessMeter> LoudnessMeter::create(std::uint32_t sample_rate, std::span<const double> weights)
{
    if (sample_rate == 0) return LimiterError::zero_sample_rate();
    if (weights.empty()) return LimiterError::zero_channels();
    for (std::size_t c = 0; c < weights.size(); ++c)
        if (!(weights[c] >= 0.0 && weights[c] <= DBL_MAX)) return LimiterError::invalid_weight(c, weights[c]);
    try {
        return LoudnessMeter(std::make_unique<State>(sample_rate, weights));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    } catch (const std::length_error&) {
        return LimiterError::allocation_failed();
    }
}

Result<LoudnessMeter> LoudnessMeter::create(std::uint32_t sample_rate, std::uint64_t channels)
{
    if (sample_rate == 0) return LimiterError::zero_sample_rate();
    if (channels == 0) return LimiterError::zero_channels();
    try {
        return create(sample_rate, default_loudness_weights(channels));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    } catch (const std::length_error&) {
        return LimiterError::allocation_failed();
    }
}

// ---------------------------------------------------------------- measuring

std::optional<LimiterError> LoudnessMeter::push(std::span<const float> block)
{
    const std::uint64_t channels = state_->channels;
    if (block.size() % channels != 0) return LimiterError::indivisible_samples(block.size(), channels);
    const std::size_t frames = block.size() / channels;
    return push(SampleBlock{block.data(), SampleFormat::Float32, frames, sizeof(float),
                            static_cast<std::ptrdiff_t>(frames * sizeof(float))});
}

std::optional<LimiterError> LoudnessMeter::push(const SampleBlock& block)
{
    State& state = *state_;
    if (block.frames == 0) return std::nullopt;
    if (!state.reserve_windows(block.frames)) return LimiterError::allocation_failed();
    state.saved = state.progress;  // the vectors have equal sizes: no allocation
    if (!state.push_frames(block)) {
        state.progress = state.saved;
        state.pending.clear();
        return LimiterError::non_finite_sample(state.first_non_finite(block));
    }
    state.commit_windows();
    return std::nullopt;
}

void LoudnessMeter::start_signal() noexcept { state_->start_signal(); }

void LoudnessMeter::merge(const LoudnessMeter& other)
{
    state_->momentary.merge(other.state_->momentary);
    state_->short_term.merge(other.state_->short_term);
    SignalProgress& mine = state_->progress;
    const SignalProgress& theirs = other.state_->progress;
    mine.momentary_max = std::max(mine.momentary_max, theirs.momentary_max);
    mine.short_term_max = std::max(mine.short_term_max, theirs.short_term_max);
}

// ---------------------------------------------------------------- results

double LoudnessMeter::integrated() const noexcept { return state_->momentary.gated_loudness(kIntegratedGate_LU); }

double LoudnessMeter::loudness_range() const noexcept
{
    return state_->short_term.percentile_spread(kRangeGate_LU, kRangeLow, kRangeHigh);
}

double LoudnessMeter::momentary_max() const noexcept { return loudness::loudness_of(state_->progress.momentary_max); }
double LoudnessMeter::short_term_max() const noexcept { return loudness::loudness_of(state_->progress.short_term_max); }
std::uint64_t LoudnessMeter::channels() const noexcept { return state_->channels; }
std::uint32_t LoudnessMeter::sample_rate() const noexcept { return state_->sample_rate; }

}  // namespace nalo
