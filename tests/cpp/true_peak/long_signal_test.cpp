// The true-peak stream on signals far longer than its latency, so that most
// frames leave through push() and its corrections, not through finish():
// the ceiling holds exactly for the samples and for the meter, the output
// does not depend on the split, and the gain rises no faster than the
// release and the corrections' easing allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "true_peak.hpp"
#include "true_peak/stream.hpp"

namespace {

struct Limited {
    std::vector<float> out, gains;  // planar output
};

// Pushes `planar` in blocks whose sizes `next_size` draws, then finishes.
template <typename NextSize>
Limited run(const nalo::NaloLimiter& limiter, const std::vector<float>& planar, std::size_t channels,
            NextSize next_size)
{
    auto stream = nalo::TruePeakStream::create(limiter, channels).value();
    const std::size_t frames = planar.size() / channels;
    std::vector<std::vector<float>> out(channels);
    Limited result;
    std::vector<float> block, y, g;
    auto take = [&] {
        for (std::size_t c = 0; c < channels; ++c)
            out[c].insert(out[c].end(), y.begin() + c * g.size(), y.begin() + (c + 1) * g.size());
        result.gains.insert(result.gains.end(), g.begin(), g.end());
    };
    for (std::size_t start = 0; start < frames;) {
        const std::size_t n = std::min(next_size(), frames - start);
        block.resize(channels * n);
        for (std::size_t c = 0; c < channels; ++c)
            std::copy_n(planar.begin() + c * frames + start, n, block.begin() + c * n);
        const std::size_t ready = stream.frames_ready_after(n);
        y.resize(channels * ready), g.resize(ready);
        EXPECT_FALSE(stream.push(block, y, g).has_value());
        take();
        start += n;
    }
    const std::size_t rest = stream.frames_pending();
    y.resize(channels * rest), g.resize(rest);
    EXPECT_FALSE(stream.finish(y, g).has_value());
    take();
    for (auto& channel : out) result.out.insert(result.out.end(), channel.begin(), channel.end());
    return result;
}

// Loud material of the kinds whose true peak lies between the samples.
std::vector<float> material(int kind, std::size_t channels, std::size_t frames, double ceiling, nalo_test::Random& rng)
{
    std::vector<float> x(channels * frames);
    const double level = ceiling * rng.uniform(1.5, 8.0), rate = rng.uniform(0.005, 0.5);
    const double phase = rng.uniform(0.0, 6.0), high = rng.uniform(0.40, 0.499);
    for (std::size_t c = 0; c < channels; ++c) {
        const auto bursts = nalo_test::make_signal(nalo_test::Signal::Bursts, frames, ceiling, rng.below(1 << 30));
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i);
            double v = 0.0;
            switch (kind) {
            case 0: v = level * rng.uniform(-1.0, 1.0); break;                             // noise
            case 1: v = level * std::copysign(1.0, std::sin(rate * t + phase)); break;     // square
            case 2: v = level * std::sin(2 * 3.141592653589793 * high * t + phase); break;  // near half the rate
            case 3: v = bursts[i]; break;                                                // bursts and silence
            default:  // near half the rate, a few frames four times louder: the gain dips fast
                v = level * std::sin(2 * 3.141592653589793 * high * t + phase) * (rng.below(200) == 0 ? 4.0 : 1.0);
                break;
            }
            x[c * frames + i] = static_cast<float>(c == 1 ? -0.7 * v : v);
        }
    }
    return x;
}

float meter_peak(std::uint32_t rate, const std::vector<float>& planar, std::size_t channels)
{
    auto meter = nalo::TruePeakMeter::create(rate, channels).value();
    EXPECT_FALSE(meter.push(planar).has_value());
    meter.finish();
    return meter.peak();
}

TEST(TruePeakStreamLong, HoldsTheCeilingExactlyWhateverTheSplitAndRisesSmoothly)
{
    nalo_test::Random rng(2024);
    const std::uint32_t rates[] = {44100, 48000, 96000};
    const double attacks[] = {0.05, 0.2, 1.0}, holds[] = {0.0, 0.1, 1.0}, releases[] = {0.0, 1.0, 20.0, 200.0};
    // Every rate, kind and attack twice, with random hold, release and ceiling.
    for (int trial = 0; trial < 90; ++trial) {
        const std::uint32_t rate = rates[trial % 3];
        const int kind = (trial / 3) % 5;
        const auto limiter = nalo_test::make_limiter(rate, rng.uniform(-12.0, 0.0), attacks[(trial / 15) % 3],
                                                     holds[rng.below(3)], releases[rng.below(4)]);
        const std::size_t channels = 1 + rng.below(2), frames = 20000 + rng.below(20000);
        const auto planar = material(kind, channels, frames, limiter.threshold, rng);
        const std::string where = "trial " + std::to_string(trial) + ", " + std::to_string(rate) + " Hz, kind " +
                                  std::to_string(kind);

        const Limited whole = run(limiter, planar, channels, [&] { return frames; });
        ASSERT_EQ(whole.gains.size(), frames) << where;
        const auto ceiling = static_cast<float>(limiter.threshold);
        const auto over = [&](float y) { return !(std::fabs(y) <= ceiling); };
        EXPECT_EQ(std::find_if(whole.out.begin(), whole.out.end(), over), whole.out.end()) << where;
        EXPECT_LE(meter_peak(rate, whole.out, channels), ceiling) << where;

        // Between frames the gain rises at most by the release's step (its
        // one-pole rise, which the smoothing averages cannot steepen) plus
        // what the corrections' easing adds: a few hundredths of a dB.
        const double release_step = limiter.release_coefficient, easing = 0.005;
        long steep = -1;
        for (std::size_t k = 0; k + 1 < frames && steep < 0; ++k) {
            const double g = whole.gains[k], next = whole.gains[k + 1];
            if (!(g >= 0.0 && g <= 1.0 && next - g <= release_step + easing * g)) steep = static_cast<long>(k);
        }
        EXPECT_EQ(steep, -1) << where;

        const Limited small = run(limiter, planar, channels, [&] { return 1 + rng.below(64); });
        const Limited large = run(limiter, planar, channels, [&] { return rng.below(6000); });
        for (const Limited* split : {&small, &large}) {
            EXPECT_EQ(nalo_test::first_difference(whole.out, split->out), -1) << where;
            EXPECT_EQ(nalo_test::first_difference(whole.gains, split->gains), -1) << where;
        }
    }
}

}  // namespace
