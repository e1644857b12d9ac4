// A deliberately plain second implementation of the limiter, used as the
// yardstick for the optimised core: every result of nalo::process_planar must
// match it bit for bit.
//
// It shares nothing with the core but the error kind enum, the correctly
// rounded power of ten and the platform's fma. Configuration is derived from the raw settings again, the moving
// minimum is a std::deque, the smoothing stages are plain vectors with a
// running sum, levels and gains live in separate buffers, and every step is
// written out in the order the arithmetic must happen in. Speed is not a goal;
// being obviously right is.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "lib.hpp"
#include "lib/power_of_ten.hpp"

namespace reference {

inline constexpr double kEpsilon = 0x1p-52;
inline constexpr std::array<double, 3> kShares = {0.404078562416, 0.334851475794, 0.261069961789};

// Round half away from zero, then convert to u64 with saturation.
inline std::uint64_t count(double t_ms, std::uint32_t sample_rate)
{
    const double rate = static_cast<double>(sample_rate);
    const double product = t_ms * rate;
    const double x = product / 1000.0;
    const double rounded = std::trunc(x + std::copysign(0.49999999999999994, x));
    if (std::isnan(rounded) || rounded < 0.0 || (rounded == 0.0)) return 0;
    if (rounded > 18446744073709549568.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rounded);
}

inline std::array<std::uint64_t, 3> stage_lengths(std::uint64_t lookahead)
{
    const std::uint64_t units = lookahead - 1;
    const double n = static_cast<double>(units);
    std::array<std::uint64_t, 3> part{};
    std::array<double, 3> frac{};
    for (int k = 0; k < 3; ++k) {
        const double p = n * kShares[k];
        const double whole = std::floor(p);
        part[k] = static_cast<std::uint64_t>(whole);  // small look-aheads only
        frac[k] = p - whole;
    }
    while (part[0] + part[1] + part[2] < units) {
        int chosen = 0;
        if (frac[1] > frac[chosen]) chosen = 1;
        if (frac[2] > frac[chosen]) chosen = 2;
        part[chosen] += 1;
        frac[chosen] -= 1.0;
    }
    return {part[0] + 1, part[1] + 1, part[2] + 1};
}

struct Config {
    std::uint32_t sample_rate = 0;
    double threshold_dBFS = 0.0;
    double threshold = 1.0;
    std::uint64_t lookahead = 0;
    std::uint64_t window = 0;
    std::uint64_t hold = 0;
    double release_samples = 0.0;
    double coefficient = 1.0;
    std::array<std::uint64_t, 3> stages{};
};

// Valid settings only (the tests check validation against the core directly).
inline Config configure(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms, double hold_ms,
                        double release_ms)
{
    Config c;
    c.sample_rate = sample_rate;
    c.threshold_dBFS = threshold_dBFS;
    // The power of ten itself is checked against known values elsewhere.
    c.threshold = nalo::exp10_correctly_rounded(threshold_dBFS / 20.0);
    c.lookahead = count(attack_ms, sample_rate);
    const double attack_plus_hold = attack_ms + hold_ms;
    c.window = std::max(count(attack_plus_hold, sample_rate), c.lookahead);
    c.hold = c.window - c.lookahead;
    c.release_samples = (release_ms * static_cast<double>(sample_rate)) / 1000.0;
    c.coefficient = 1.0 / (c.release_samples + 1.0);
    c.stages = stage_lengths(c.lookahead);
    return c;
}

// What happened inside one run, so tests can prove a signal reached the
// corner it was built for.
struct Trace {
    std::size_t largest_queue = 0;        // queue size right after an append
    std::size_t negative_gains = 0;       // smoothed gains below zero before they are bounded at zero
    std::size_t guarded_frames = 0;       // frames the guard lowered
};

class SmoothingStage {
public:
    explicit SmoothingStage(std::uint64_t length)
        : ring_(length, 1.0), sum_(static_cast<double>(length)), reciprocal_(1.0 / static_cast<double>(length))
    {
    }

    double push(double x)
    {
        const double difference = x - ring_[position_];
        sum_ = sum_ + difference;
        ring_[position_] = x;
        position_ = (position_ + 1) % ring_.size();
        return sum_ * reciprocal_;
    }

private:
    std::vector<double> ring_;
    std::size_t position_ = 0;
    double sum_;
    double reciprocal_;
};

// Gains for the given per-frame levels. `bound_negative` bounds negative smoothed gains
// at +0.0, as the core does; without it the raw procedure runs.
inline std::vector<float> gains(const Config& config, const std::vector<float>& levels, Trace* trace = nullptr,
                                bool bound_negative = true)
{
    const std::size_t frames = levels.size();
    std::vector<float> out(frames, std::numeric_limits<float>::quiet_NaN());
    if (frames == 0) return out;

    const double T = config.threshold;
    const double c = config.coefficient;
    const std::uint64_t La = config.lookahead;

    std::deque<std::pair<std::uint64_t, double>> queue;
    std::uint64_t next_index = 0;
    double release_gain = 1.0;
    SmoothingStage stage1(config.stages[0]), stage2(config.stages[1]), stage3(config.stages[2]);
    Trace local;

    for (std::uint64_t i = 0; i < frames + La; ++i) {
        const double p = i < frames ? static_cast<double>(levels[i]) : 0.0;
        double target = 1.0;
        if (p > T) target = T / (p + kEpsilon);

        while (!queue.empty() && queue.back().second >= target) queue.pop_back();
        queue.emplace_back(next_index, target);
        next_index += 1;
        local.largest_queue = std::max(local.largest_queue, queue.size());
        const std::uint64_t oldest = config.window > next_index ? 0 : next_index - config.window;
        while (queue.front().first < oldest) queue.pop_front();
        const double w = queue.front().second;

        const double r = std::fma(w - release_gain, c, release_gain);
        double next = r;
        if (w < r) next = w;
        if (std::isnan(next)) next = w;
        release_gain = next;

        const double a1 = stage1.push(release_gain);
        const double a2 = stage2.push(a1);
        const double a3 = stage3.push(a2);
        double g = 1.0;
        if (a3 < 1.0) g = a3;
        if (g < 0.0) {
            local.negative_gains += 1;
            if (bound_negative) g = 0.0;
        }

        if (i >= La) {
            const std::uint64_t k = i - La;
            const double q = static_cast<double>(levels[k]);
            if (g * q > T) {
                g = T / (q + kEpsilon);
                local.guarded_frames += 1;
            }
            out[k] = static_cast<float>(g);
        }
    }
    if (trace) *trace = local;
    return out;
}

struct Outcome {
    std::optional<nalo::LimiterErrorKind> error;
    std::uint64_t error_count = 0;     // index, or number of samples
    std::uint64_t error_channels = 0;
    std::vector<float> samples;        // the output (the input, unchanged, on failure)
    std::vector<float> gains;
};

inline std::uint32_t bits_of(float x)
{
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline float float_of(std::uint32_t b)
{
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

inline Outcome process(const Config& config, std::vector<float> samples, std::uint64_t channels,
                       Trace* trace = nullptr, bool bound_negative = true)
{
    Outcome o;
    const std::uint64_t n = samples.size();
    if (channels == 0) {
        o.error = nalo::LimiterErrorKind::ZeroChannels;
    } else if (n % channels != 0) {
        o.error = nalo::LimiterErrorKind::IndivisibleSamples;
        o.error_count = n;
        o.error_channels = channels;
    } else {
        for (std::uint64_t i = 0; i < n; ++i) {
            if ((bits_of(samples[i]) & 0x7FFFFFFFu) > 0x7F7FFFFFu) {
                o.error = nalo::LimiterErrorKind::NonFiniteSample;
                o.error_count = i;
                break;
            }
        }
    }
    if (o.error) {
        o.samples = std::move(samples);
        return o;
    }

    const std::uint64_t frames = n / channels;
    std::vector<float> levels(frames, 0.0f);
    for (std::uint64_t ch = 0; ch < channels; ++ch) {
        for (std::uint64_t f = 0; f < frames; ++f) {
            const float magnitude = float_of(bits_of(samples[ch * frames + f]) & 0x7FFFFFFFu);
            if (magnitude > levels[f]) levels[f] = magnitude;
        }
    }

    o.gains = gains(config, levels, trace, bound_negative);

    const float ceiling = static_cast<float>(config.threshold);
    const float floor = float_of(bits_of(ceiling) ^ 0x80000000u);
    for (std::uint64_t ch = 0; ch < channels; ++ch) {
        for (std::uint64_t f = 0; f < frames; ++f) {
            float y = samples[ch * frames + f] * o.gains[f];
            if (y < floor) y = floor;
            if (y > ceiling) y = ceiling;
            samples[ch * frames + f] = y;
        }
    }
    o.samples = std::move(samples);
    return o;
}

}  // namespace reference
