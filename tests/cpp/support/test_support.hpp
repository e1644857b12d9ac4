// Helpers shared by the core tests: limiter construction, bit-exact float
// comparison and deterministic test signals.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "envelope/cursors.hpp"
#include "lib.hpp"

namespace nalo_test {

inline nalo::NaloLimiter make_limiter(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms,
                                      double hold_ms, double release_ms)
{
    auto made = nalo::NaloLimiter::create(sample_rate, threshold_dBFS, attack_ms, hold_ms, release_ms);
    if (!made) {
        ADD_FAILURE() << "construction failed: " << nalo::error_message(made.error());
        std::abort();
    }
    return std::move(made).value();
}

inline std::uint32_t bits(float x)
{
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline std::uint64_t bits(double x)
{
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Index of the first element whose bit pattern differs, or -1 when the two
// buffers are identical (sizes included).
inline long first_difference(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size()) return static_cast<long>(std::min(a.size(), b.size()));
    if (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0) return -1;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (bits(a[i]) != bits(b[i])) return static_cast<long>(i);
    return -1;
}

// Deterministic randomness that does not depend on the standard library's
// distribution algorithms.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    // Uniform in [0, 1).
    double unit() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
    // Uniform in [lo, hi).
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    // Uniform integer in [0, n).
    std::uint64_t below(std::uint64_t n) { return engine_() % n; }
    bool coin() { return (engine_() >> 63) != 0; }
    float sign() { return coin() ? -1.0f : 1.0f; }

private:
    std::mt19937_64 engine_;
};

// Kinds of signal the bit-exactness tests feed through both implementations.
enum class Signal {
    Loud,        // noise peaking well above the ceiling
    Quiet,       // noise at most half the ceiling
    Silence,     // zeros of both signs
    Bursts,      // loud tones and noise bursts separated by silence
    Decay,       // a long exponential decay from far above the ceiling
    Impulses,    // sparse impulses with magnitudes up to the largest float
    Huge,        // music-like levels interleaved with levels near 1e30 and 3e38
    Mixed,       // every magnitude from subnormal to the largest float
    Sparse,      // long silent or quiet stretches, now and then a loud burst
};

inline const char* signal_name(Signal s)
{
    switch (s) {
    case Signal::Loud: return "loud";
    case Signal::Quiet: return "quiet";
    case Signal::Silence: return "silence";
    case Signal::Bursts: return "bursts";
    case Signal::Decay: return "decay";
    case Signal::Impulses: return "impulses";
    case Signal::Huge: return "huge";
    case Signal::Mixed: return "mixed";
    case Signal::Sparse: return "sparse";
    }
    return "?";
}

// `count` samples of the given kind; `ceiling` is the linear threshold the
// signal is shaped around, `decay_span` the number of samples over which a
// Decay signal falls to the ceiling.
inline std::vector<float> make_signal(Signal kind, std::size_t count, double ceiling, std::uint64_t seed,
                                      std::size_t decay_span = 1000)
{
    Random rng(seed);
    std::vector<float> x(count, 0.0f);
    const double top = ceiling > 0.0 ? ceiling : 1e-6;
    switch (kind) {
    case Signal::Loud:
        for (auto& s : x) s = static_cast<float>(rng.uniform(-4.0, 4.0) * (1.0 + top));
        break;
    case Signal::Quiet:
        for (auto& s : x) s = static_cast<float>(rng.uniform(-0.5, 0.5) * ceiling);
        break;
    case Signal::Silence:
        for (auto& s : x) s = rng.coin() ? -0.0f : 0.0f;
        break;
    case Signal::Bursts: {
        std::size_t i = 0;
        while (i < count) {
            const std::size_t gap = rng.below(400);
            for (std::size_t k = 0; k < gap && i < count; ++k, ++i) x[i] = 0.0f;
            const std::size_t len = 1 + rng.below(600);
            const double amplitude = top * rng.uniform(0.2, 20.0);
            const double freq = rng.uniform(0.001, 0.2);
            const bool noisy = rng.coin();
            for (std::size_t k = 0; k < len && i < count; ++k, ++i) {
                const double v = noisy ? rng.uniform(-1.0, 1.0) : std::sin(6.283185307179586 * freq * k);
                x[i] = static_cast<float>(amplitude * v);
            }
        }
        break;
    }
    case Signal::Decay: {
        // Starts at 1000x the ceiling and reaches it after decay_span samples,
        // so the targets rise strictly for that long.
        const double rate = std::log(1000.0) / static_cast<double>(decay_span);
        for (std::size_t i = 0; i < count; ++i)
            x[i] = static_cast<float>(top * 1000.0 * std::exp(-rate * static_cast<double>(i))) *
                   (i % 2 ? -1.0f : 1.0f);
        break;
    }
    case Signal::Impulses:
        if (count == 0) break;
        for (auto& s : x) s = static_cast<float>(rng.uniform(-0.1, 0.1) * top);
        for (std::size_t k = 0; k < 1 + count / 200; ++k) {
            const std::size_t at = rng.below(count);
            const double magnitude = std::pow(10.0, rng.uniform(-3.0, 38.5));
            x[at] = rng.sign() * (magnitude >= 3.4028234663852886e38 ? 3.4028234663852886e38f
                                                                       : static_cast<float>(magnitude));
        }
        x[rng.below(count)] = rng.sign() * 3.4028234663852886e38f;
        break;
    case Signal::Huge: {
        std::size_t i = 0;
        while (i < count) {
            const std::size_t len = 1 + rng.below(300);
            const double base = rng.uniform(0.05, 3.0);
            for (std::size_t k = 0; k < len && i < count; ++k, ++i)
                x[i] = static_cast<float>(base * rng.uniform(-1.0, 1.0));
            const std::size_t burst = 1 + rng.below(100);
            const float loud = rng.coin() ? 1e30f : 3e38f;
            for (std::size_t k = 0; k < burst && i < count; ++k, ++i)
                x[i] = rng.sign() * loud * static_cast<float>(rng.uniform(0.5, 1.0));
        }
        break;
    }
    case Signal::Sparse: {
        std::size_t i = 0;
        while (i < count) {
            const std::size_t gap = rng.below(6000);
            const double floor = rng.coin() ? 0.0 : 0.5 * top;
            for (std::size_t k = 0; k < gap && i < count; ++k, ++i)
                x[i] = static_cast<float>(floor * rng.uniform(-1.0, 1.0));
            const std::size_t len = 1 + rng.below(rng.coin() ? 3 : 2000);
            const double amplitude = top * rng.uniform(1.0, 10.0);
            for (std::size_t k = 0; k < len && i < count; ++k, ++i)
                x[i] = static_cast<float>(amplitude * rng.uniform(-1.0, 1.0));
        }
        break;
    }
    case Signal::Mixed:
        for (auto& s : x) {
            const double exponent = rng.uniform(-45.0, 38.5);
            const double magnitude = std::pow(10.0, exponent);
            s = rng.sign() * (magnitude >= 3.4028234663852886e38 ? 3.4028234663852886e38f
                                                                  : static_cast<float>(magnitude));
        }
        break;
    }
    return x;
}

}  // namespace nalo_test

// The tests' one way into the window structures: single pushes through the
// cursors the engine uses, and the state the engine keeps in them.
namespace nalo_test {
struct Windows {
    using Access = nalo::EnvelopeEngineAccess;

    static double push(nalo::MovingMinimum& minimum, double value)
    {
        nalo::MinimumCursor c = Access::cursor(minimum);
        c.prepare(1);
        c.current[c.position] = value;
        c.prefix = value < c.prefix ? value : c.prefix;
        const double tail = c.previous[c.position + 1];
        const double result = tail < c.prefix ? tail : c.prefix;
        ++c.next_index;
        if (++c.position == c.window) c.close_segment();
        Access::store(minimum, c);
        return result;
    }

    static void push_ones(nalo::MovingMinimum& minimum, std::uint64_t count)
    {
        nalo::MinimumCursor c = Access::cursor(minimum);
        c.push_ones(count);
        Access::store(minimum, c);
    }

    static double push(nalo::MovingAverage& stage, double value)
    {
        nalo::AverageCursor c = Access::cursor(stage);
        c.prepare(1);
        c.sum = c.sum + (value - c.buffer[c.position]);
        c.buffer[c.position] = value;
        if (++c.position == c.length) c.position = 0;
        Access::store(stage, c);
        return c.sum * c.reciprocal_length;
    }

    // Pushes since the reset.
    static std::uint64_t pushes(const nalo::MovingMinimum& minimum) { return Access::cursor(minimum).next_index; }
    static double sum(const nalo::MovingAverage& stage) { return Access::cursor(stage).sum; }
    static double reciprocal_length(const nalo::MovingAverage& stage)
    {
        return Access::cursor(stage).reciprocal_length;
    }
};
}  // namespace nalo_test
