// The true-peak meter: oversampling by rate, known peaks, independence of the
// block split, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.hpp"
#include "true_peak.hpp"
#include "true_peak/detection.hpp"

namespace {

using nalo::TruePeakMeter;

float measure(std::uint32_t rate, const std::vector<float>& planar, std::uint64_t channels)
{
    auto meter = TruePeakMeter::create(rate, channels).value();
    EXPECT_FALSE(meter.push(planar).has_value());
    meter.finish();
    return meter.peak();
}

std::vector<float> sine(std::size_t n, double cycles_per_sample, double phase, double amplitude)
{
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * cycles_per_sample * i + phase));
    return x;
}

TEST(TruePeak, OversamplingByRate)
{
    EXPECT_EQ(nalo::true_peak_oversampling(44100), 4u);
    EXPECT_EQ(nalo::true_peak_oversampling(95999), 4u);
    EXPECT_EQ(nalo::true_peak_oversampling(96000), 2u);
    EXPECT_EQ(nalo::true_peak_oversampling(192000), 2u);
    EXPECT_EQ(nalo::true_peak_oversampling(192001), 1u);
}

struct Known {
    std::uint32_t rate;
    double cycles_per_sample, phase;
    float low, high;  // bounds on the measured peak of a unit sine
};

class KnownPeak : public ::testing::TestWithParam<Known> {};

// A sine at a quarter of the rate sampled 45 degrees off its crests has
// samples at 0.707 but a true peak of 1; oversampling finds it within the
// grid's resolution. Above 192 kHz the meter reads the sample peak.
TEST_P(KnownPeak, OfASine)
{
    const Known k = GetParam();
    const float peak = measure(k.rate, sine(4800, k.cycles_per_sample, k.phase, 1.0), 1);
    EXPECT_GE(peak, k.low);
    EXPECT_LE(peak, k.high);
}

INSTANTIATE_TEST_SUITE_P(Rates, KnownPeak,
                         ::testing::Values(Known{48000, 0.25, std::numbers::pi / 4, 0.97f, 1.01f},
                                           Known{96000, 0.25, std::numbers::pi / 4, 0.90f, 1.01f},
                                           Known{384000, 0.25, std::numbers::pi / 4, 0.7071f, 0.7072f},
                                           Known{48000, 1.0 / 48, 0.0, 0.999f, 1.001f}),
                         [](const ::testing::TestParamInfo<Known>& info) {
                             return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.index);
                         });

TEST(TruePeak, SilenceAndAClick)
{
    EXPECT_EQ(measure(48000, std::vector<float>(100, -0.0f), 1), 0.0f);
    std::vector<float> click(100, 0.0f);
    click[50] = -0.5f;
    EXPECT_EQ(measure(48000, click, 1), 0.5f);  // the sample itself: no phase interpolates above it
}

// Quiet stretches after a loud one may be passed over, but only where none
// of their intervals can exceed it: after a click of 1.0, random signs of
// magnitude just above 1 / (largest tap sum) hold intervals above 1.0, and the
// meter must read exactly the largest of every interval and sample.
TEST(TruePeak, StretchesBelowTheLoudestAreSkippedOnlyWhenNoIntervalCanExceedIt)
{
    nalo_test::Random rng(11);
    for (const std::uint32_t rate : {48000u, 96000u}) {
        const float magnitude = 1.0f / nalo::interpolation_gain_bound() * 1.0005f;
        std::vector<float> x(nalo::kTruePeakHistory + 3, 0.0f);  // the silence before, then the click
        x.back() = 1.0f;
        for (int i = 0; i < 30000; ++i) x.push_back(rng.coin() ? magnitude : -magnitude);
        x.resize(x.size() + nalo::kTruePeakHistory, 0.0f);  // and after

        const unsigned oversampling = nalo::true_peak_oversampling(rate);
        std::vector<float> peaks(x.size() - nalo::kTruePeakHistory, 0.0f);
        nalo::interval_peaks(x.data(), peaks.size(), oversampling, peaks.data());
        float expected = 0.0f;
        for (const float p : peaks) expected = std::max(expected, p);
        for (const float s : x) expected = std::max(expected, std::fabs(s));
        ASSERT_GT(expected, 1.0f) << "the signs must reach above the click";

        const std::vector<float> signal(x.begin() + nalo::kTruePeakHistory, x.end() - nalo::kTruePeakHistory);
        EXPECT_EQ(measure(rate, signal, 1), expected) << rate;
    }
}

// Any split into blocks, channel by channel, gives the whole signal's result
// bit for bit: the history carries the intervals across block boundaries.
TEST(TruePeak, IndependentOfTheSplit)
{
    nalo_test::Random rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t channels = 1 + rng.below(3), frames = rng.below(300);
        std::vector<float> planar(channels * frames);
        for (auto& s : planar) s = static_cast<float>(rng.uniform(-1.0, 1.0));
        const std::uint32_t rate = rng.coin() ? 48000 : 96000;
        auto whole = TruePeakMeter::create(rate, channels).value();
        auto pieces = TruePeakMeter::create(rate, channels).value();
        ASSERT_FALSE(whole.push(planar).has_value());
        for (std::size_t start = 0; start < frames;) {
            const std::size_t n = std::min<std::size_t>(frames - start, rng.below(20));
            std::vector<float> block(channels * n);
            for (std::size_t c = 0; c < channels; ++c)
                for (std::size_t f = 0; f < n; ++f) block[c * n + f] = planar[c * frames + start + f];
            ASSERT_FALSE(pieces.push(block).has_value());
            start += n;
        }
        whole.finish();
        pieces.finish();
        EXPECT_EQ(nalo_test::first_difference(whole.channel_peaks(), pieces.channel_peaks()), -1) << trial;
    }
}

TEST(TruePeak, RefusesBadInputChangingNothing)
{
    EXPECT_FALSE(static_cast<bool>(TruePeakMeter::create(48000, 0)));
    auto meter = TruePeakMeter::create(48000, 2).value();
    EXPECT_EQ(meter.push(std::vector<float>(3, 0.0f))->kind, nalo::LimiterErrorKind::IndivisibleSamples);
    const std::vector<float> bad = {0.9f, 0.1f, std::numeric_limits<float>::quiet_NaN(), 2.0f};
    const auto error = meter.push(bad);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, nalo::LimiterErrorKind::NonFiniteSample);
    EXPECT_EQ(error->count, 2u);
    meter.finish();
    EXPECT_EQ(meter.peak(), 0.0f);
}

}  // namespace

// The limiting mode's reading: flat where the meter's filter falls off, each
// interval the same whether read alone, in a run, or given its bound.
TEST(TruePeakDetection, ReadsHighTonesNearTheirAmplitude)
{
    for (const auto& [rate, hz] : {std::pair{48000u, 1000.0}, {48000u, 20000.0}, {48000u, 21000.0},
                                    {44100u, 15000.0}, {44100u, 20000.0}, {96000u, 21000.0}}) {
        const auto x = sine(4000, hz / rate, 0.3, 0.5);
        const std::size_t count = x.size() - nalo::kDetectionHistory;
        std::vector<float> exact(count, 0.0f), bounded(count, 0.0f);
        const auto grid = nalo::detection_grid(rate);
        nalo::detection_peaks(x.data(), count, grid, 0.0f, exact.data());
        nalo::detection_peaks(x.data(), count, grid, 0.45f, bounded.data());
        float top = 0.0f;
        for (std::size_t k = 0; k < count; ++k) {
            top = std::max(top, exact[k]);
            ASSERT_EQ(exact[k], nalo::detection_peak(x.data() + k, grid)) << hz << " Hz, interval " << k;
            // A bound at or below 0.45 stands for a reading it bounds; above, the reading itself.
            if (bounded[k] > 0.45f) ASSERT_EQ(bounded[k], exact[k]);
            else ASSERT_GE(bounded[k], exact[k]);
        }
        // The meter's filter alone reads -0.7 dB at 21 kHz; its ripple adds up to +0.06 dB.
        EXPECT_GT(20 * std::log10(top / 0.5), -0.25) << rate << " Hz, tone at " << hz << " Hz";
        EXPECT_LT(20 * std::log10(top / 0.5), 0.07) << rate << " Hz, tone at " << hz << " Hz";
    }
}
