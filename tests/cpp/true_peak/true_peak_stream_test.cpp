// The true-peak stream: its output's true peak stays under the ceiling, and
// the output does not depend on how the signal is split into blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/test_support.hpp"
#include "true_peak.hpp"
#include "true_peak/stream.hpp"

namespace {

struct Limited {
    std::vector<float> out, gains;
};

// Pushes `planar` in blocks of the given sizes (cycled) and finishes.
Limited run(const nalo::NaloLimiter& limiter, const std::vector<float>& planar, std::size_t channels,
            const std::vector<std::size_t>& sizes)
{
    auto stream = nalo::TruePeakStream::create(limiter, channels).value();
    const std::size_t frames = planar.size() / channels;
    std::vector<std::vector<float>> out(channels);
    Limited result;
    auto take = [&](const std::vector<float>& y, const std::vector<float>& g) {
        for (std::size_t c = 0; c < channels; ++c)
            out[c].insert(out[c].end(), y.begin() + c * g.size(), y.begin() + (c + 1) * g.size());
        result.gains.insert(result.gains.end(), g.begin(), g.end());
    };
    for (std::size_t start = 0, i = 0; start < frames; ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], frames - start);
        std::vector<float> block(channels * n);
        for (std::size_t c = 0; c < channels; ++c)
            for (std::size_t f = 0; f < n; ++f) block[c * n + f] = planar[c * frames + start + f];
        const std::size_t ready = stream.frames_ready_after(n);
        std::vector<float> y(channels * ready), g(ready);
        EXPECT_FALSE(stream.push(block, y, g).has_value());
        take(y, g);
        start += n;
    }
    const std::size_t rest = stream.frames_pending();
    std::vector<float> y(channels * rest), g(rest);
    EXPECT_FALSE(stream.finish(y, g).has_value());
    take(y, g);
    for (auto& channel : out) result.out.insert(result.out.end(), channel.begin(), channel.end());
    return result;
}

float true_peak(std::uint32_t rate, const std::vector<float>& planar, std::size_t channels)
{
    auto meter = nalo::TruePeakMeter::create(rate, channels).value();
    EXPECT_FALSE(meter.push(planar).has_value());
    meter.finish();
    return meter.peak();
}

// Random loud material and settings down to the shortest times, where the
// gain moves fastest; each is also split at random.
TEST(TruePeakStream, UnderTheCeilingAndIndependentOfTheSplit)
{
    nalo_test::Random rng(12);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint32_t rate = trial % 5 == 0 ? 96000 : 48000;
        const double times[] = {0.02, 0.1, 1.0, 5.0};
        auto limiter = nalo_test::make_limiter(rate, rng.uniform(-12.0, 0.0), times[rng.below(4)],
                                               times[rng.below(4)] * rng.below(2), 40.0 * rng.below(2));
        const std::size_t channels = 1 + rng.below(2), frames = rng.below(2000);
        std::vector<float> planar(channels * frames);
        const double amplitude = rng.uniform(0.2, 4.0), step = rng.uniform(0.05, 0.5);
        for (std::size_t i = 0; i < planar.size(); ++i)
            planar[i] = static_cast<float>(trial % 2 ? amplitude * rng.uniform(-1.0, 1.0)
                                                     : amplitude * std::copysign(1.0, std::sin(step * i)));
        const Limited whole = run(limiter, planar, channels, {frames + 1});
        ASSERT_EQ(whole.gains.size(), frames);
        EXPECT_LE(true_peak(rate, whole.out, channels), static_cast<float>(limiter.threshold)) << trial;
        const Limited split = run(limiter, planar, channels, {1 + rng.below(40), rng.below(3), 1 + rng.below(700)});
        EXPECT_EQ(nalo_test::first_difference(whole.out, split.out), -1) << trial;
        EXPECT_EQ(nalo_test::first_difference(whole.gains, split.gains), -1) << trial;
    }
}

TEST(TruePeakStream, HoldsBackItsLatency)
{
    auto limiter = nalo_test::make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    auto stream = nalo::TruePeakStream::create(limiter, 2).value();
    EXPECT_EQ(stream.latency(), limiter.lookahead_samples + 16 + 2 * (16 + 49));
    EXPECT_EQ(stream.frames_ready_after(stream.latency() + 5), 5u);
    std::vector<float> nan_block = {0.0f, NAN}, none;
    EXPECT_EQ(stream.push(nan_block, none, none)->count, 1u);
    EXPECT_EQ(stream.frames_in(), 0u);
}

}  // namespace
