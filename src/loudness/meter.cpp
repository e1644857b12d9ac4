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

struct LoudnessMeter::State {
    std::uint32_t sample_rate;
    std::uint64_t channels;
    std::vector<double> weights;
    KWeighting filter;
    std::vector<ChannelPair> pairs;  // the channels of non-zero weight, two by two
    std::uint64_t quarter = 0;        // index of the current quarter in the current signal
    std::uint64_t quarter_frames = 0;  // its length
    std::uint64_t quarter_filled = 0;  // its frames seen so far
    RecentQuarters recent;
    WindowHistogram momentary, short_term;
    double momentary_max = 0.0, short_term_max = 0.0;  // mean squares

    State(std::uint32_t rate, std::span<const double> channel_weights)
        : sample_rate(rate), channels(channel_weights.size()),
          weights(channel_weights.begin(), channel_weights.end()), filter(k_weighting(rate))
    {
        std::vector<std::size_t> active;
        for (std::size_t c = 0; c < weights.size(); ++c)
            if (weights[c] > 0.0) active.push_back(c);
        for (std::size_t i = 0; i < active.size(); i += 2) {
            ChannelPair pair;
            pair.channels[0] = active[i];
            pair.channels[1] = i + 1 < active.size() ? active[i + 1] : active[i];
            pairs.push_back(pair);
        }
        start_signal();
    }

    std::uint64_t quarter_start(std::uint64_t q) const noexcept { return q * sample_rate / 10; }

    void start_signal() noexcept
    {
        for (ChannelPair& pair : pairs) pair = ChannelPair{{pair.channels[0], pair.channels[1]}};
        recent = RecentQuarters{};
        quarter = 0;
        quarter_filled = 0;
        quarter_frames = quarter_start(1);
        complete_empty_quarters();
    }

    // Quarters of no frame (sample rates below 10 Hz) complete as soon as
    // they begin, so the state between calls never depends on the cuts.
    void complete_empty_quarters() noexcept
    {
        while (quarter_filled == quarter_frames) complete_quarter();
    }

    void complete_quarter() noexcept
    {
        double sum = 0.0;
        // Channels in ascending order: pairs hold them so, lane 0 first.
        for (const ChannelPair& pair : pairs) {
            sum += weights[pair.channels[0]] * pair.squares[0];
            if (pair.channels[1] != pair.channels[0]) sum += weights[pair.channels[1]] * pair.squares[1];
        }
        for (ChannelPair& pair : pairs) pair.squares = loudness::Pair{};
        recent.add(sum, quarter_filled);
        add_window(kMomentaryQuarters, momentary, momentary_max);
        add_window(kShortTermQuarters, short_term, short_term_max);
        ++quarter;
        quarter_filled = 0;
        quarter_frames = quarter_start(quarter + 1) - quarter_start(quarter);
    }

    void add_window(std::size_t quarters, WindowHistogram& histogram, double& largest) noexcept
    {
        const double mean = recent.window_mean(quarters);
        if (mean < 0.0) return;
        histogram.add(mean);
        largest = std::max(largest, mean);
    }

    void push_frames(const float* planar, std::size_t frames) noexcept
    {
        for (std::size_t done = 0; done < frames;) {
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(frames - done, quarter_frames - quarter_filled));
            for (ChannelPair& pair : pairs)
                loudness::add_squares(filter, pair, planar + pair.channels[0] * frames + done,
                                      planar + pair.channels[1] * frames + done, count);
            done += count;
            quarter_filled += count;
            if (quarter_filled == quarter_frames) {
                complete_quarter();
                complete_empty_quarters();
            }
        }
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
    if (const std::size_t bad = first_non_finite_sample(block); bad != block.size())
        return LimiterError::non_finite_sample(bad);
    state_->push_frames(block.data(), block.size() / channels);
    return std::nullopt;
}

void LoudnessMeter::start_signal() noexcept { state_->start_signal(); }

void LoudnessMeter::merge(const LoudnessMeter& other)
{
    state_->momentary.merge(other.state_->momentary);
    state_->short_term.merge(other.state_->short_term);
    state_->momentary_max = std::max(state_->momentary_max, other.state_->momentary_max);
    state_->short_term_max = std::max(state_->short_term_max, other.state_->short_term_max);
}

// ---------------------------------------------------------------- results

double LoudnessMeter::integrated() const noexcept { return state_->momentary.gated_loudness(kIntegratedGate_LU); }

double LoudnessMeter::loudness_range() const noexcept
{
    return state_->short_term.percentile_spread(kRangeGate_LU, kRangeLow, kRangeHigh);
}

double LoudnessMeter::momentary_max() const noexcept { return loudness::loudness_of(state_->momentary_max); }
double LoudnessMeter::short_term_max() const noexcept { return loudness::loudness_of(state_->short_term_max); }
std::uint64_t LoudnessMeter::channels() const noexcept { return state_->channels; }
std::uint32_t LoudnessMeter::sample_rate() const noexcept { return state_->sample_rate; }

}  // namespace nalo
