// process_planar: buffer checks and their order, linked peaks, the clamp to
// the ceiling, repeatability and the bounds on the gains.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lib.hpp"
#include "support/reference_envelope.hpp"
#include "support/test_support.hpp"

namespace {

using nalo::LimiterErrorKind;
using nalo::NaloLimiter;
using nalo_test::bits;
using nalo_test::first_difference;
using nalo_test::make_limiter;
using nalo_test::Windows;

float from_bits(std::uint32_t b) { return reference::float_of(b); }

const float kInfF = std::numeric_limits<float>::infinity();
const float kNaNF = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------- checks

struct Rejected {
    const char* label;
    std::vector<float> samples;
    std::uint64_t channels;
    LimiterErrorKind kind;
    std::string message;
};

class RejectedBuffer : public ::testing::TestWithParam<Rejected> {};

TEST_P(RejectedBuffer, FirstFailingCheckChangesNothing)
{
    const Rejected& c = GetParam();
    NaloLimiter lim = make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    // Leave the envelope in a non-neutral state first.
    std::vector<float> loud = nalo_test::make_signal(nalo_test::Signal::Loud, 3000, lim.threshold, 1);
    ASSERT_TRUE(nalo::process_planar(lim, loud, 1));
    const std::uint64_t pushes = Windows::pushes(lim.envelope.minimum);
    const double release_gain = lim.envelope.release_gain;
    const auto& stages = lim.envelope.stages;
    const double sums[3] = {Windows::sum(stages[0]), Windows::sum(stages[1]), Windows::sum(stages[2])};
    ASSERT_LT(release_gain, 1.0);

    std::vector<float> samples = c.samples;
    auto result = nalo::process_planar(lim, samples, c.channels);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(nalo::error_message(result.error()), c.message);
    EXPECT_EQ(first_difference(samples, c.samples), -1) << "samples were modified";
    EXPECT_EQ(Windows::pushes(lim.envelope.minimum), pushes);
    EXPECT_EQ(bits(lim.envelope.release_gain), bits(release_gain));
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(bits(Windows::sum(lim.envelope.stages[k])), bits(sums[k]));

    // The same through the variant that writes into a caller's buffer (which
    // a failing call may have used as scratch).
    std::vector<float> gains(c.channels ? c.samples.size() / c.channels : 0, 42.0f);
    samples = c.samples;
    const auto error = nalo::process_planar_into(lim, samples, c.channels, gains);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(nalo::error_message(*error), c.message);
    EXPECT_EQ(first_difference(samples, c.samples), -1);
    EXPECT_EQ(Windows::pushes(lim.envelope.minimum), pushes);

    const reference::Outcome ref = reference::process(reference::configure(48000, -1.0, 5.0, 15.0, 40.0),
                                                      c.samples, c.channels);
    ASSERT_TRUE(ref.error.has_value());
    EXPECT_EQ(*ref.error, c.kind);
}

std::vector<float> with_at(std::size_t n, std::vector<std::pair<std::size_t, float>> put)
{
    std::vector<float> v(n, 0.25f);
    for (auto [i, x] : put) v[i] = x;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RejectedBuffer,
    ::testing::Values(
        Rejected{"zero_channels_empty", {}, 0, LimiterErrorKind::ZeroChannels, "channels must be greater than zero"},
        Rejected{"zero_channels_before_all",
                 with_at(7, {{1, kNaNF}}),
                 0,
                 LimiterErrorKind::ZeroChannels,
                 "channels must be greater than zero"},
        Rejected{"indivisible_before_nan",
                 with_at(7, {{0, kNaNF}}),
                 2,
                 LimiterErrorKind::IndivisibleSamples,
                 "7 samples cannot be divided into frames with 2 channels"},
        Rejected{"fewer_samples_than_channels",
                 with_at(2, {}),
                 3,
                 LimiterErrorKind::IndivisibleSamples,
                 "2 samples cannot be divided into frames with 3 channels"},
        Rejected{"first_of_inf_and_nan",
                 with_at(8, {{2, kInfF}, {5, kNaNF}}),
                 1,
                 LimiterErrorKind::NonFiniteSample,
                 "input sample at flat index 2 is not finite"},
        Rejected{"planar_index_in_second_channel",
                 with_at(8, {{5, kNaNF}, {7, kInfF}}),
                 2,
                 LimiterErrorKind::NonFiniteSample,
                 "input sample at flat index 5 is not finite"},
        Rejected{"minus_inf_first",
                 with_at(3, {{0, -kInfF}}),
                 3,
                 LimiterErrorKind::NonFiniteSample,
                 "input sample at flat index 0 is not finite"},
        Rejected{"negative_nan_last",
                 with_at(6, {{5, from_bits(0xFFC00000u)}}),
                 2,
                 LimiterErrorKind::NonFiniteSample,
                 "input sample at flat index 5 is not finite"},
        Rejected{"signalling_nan",
                 with_at(4, {{1, from_bits(0x7F800001u)}}),
                 1,
                 LimiterErrorKind::NonFiniteSample,
                 "input sample at flat index 1 is not finite"},
        Rejected{"all_ones_nan",
                 with_at(4, {{3, from_bits(0xFFFFFFFFu)}, {0, FLT_MAX}}),
                 4,
                 LimiterErrorKind::NonFiniteSample,
                 "input sample at flat index 3 is not finite"}),
    [](const ::testing::TestParamInfo<Rejected>& info) { return std::string(info.param.label); });

TEST(Processing, FiniteExtremesPassTheCheck)
{
    NaloLimiter lim = make_limiter(48000, 0.0, 5.0, 15.0, 40.0);
    const std::vector<float> input = {-0.0f, std::numeric_limits<float>::denorm_min(), FLT_MAX, -FLT_MAX,
                                      from_bits(0x7F7FFFFFu), from_bits(0x80000001u)};
    for (std::uint64_t channels : {1u, 2u, 3u, 6u}) {
        std::vector<float> samples = input;
        auto gains = nalo::process_planar(lim, samples, channels);
        ASSERT_TRUE(gains) << nalo::error_message(gains.error());
        for (float x : samples) EXPECT_LE(std::fabs(x), 1.0f);
        EXPECT_FALSE(std::signbit(samples[2]));
        EXPECT_TRUE(std::signbit(samples[3]));
    }
}

TEST(Processing, EmptyBufferSucceedsAndResets)
{
    NaloLimiter lim = make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    for (std::uint64_t channels : {1u, 2u}) {
        std::vector<float> loud = nalo_test::make_signal(nalo_test::Signal::Loud, 2000, lim.threshold, 2);
        ASSERT_TRUE(nalo::process_planar(lim, loud, 1));
        ASSERT_LT(lim.envelope.release_gain, 1.0);

        std::vector<float> empty;
        auto gains = nalo::process_planar(lim, empty, channels);
        ASSERT_TRUE(gains);
        EXPECT_TRUE(gains.value().empty());
        EXPECT_EQ(Windows::pushes(lim.envelope.minimum), 0u);
        EXPECT_EQ(lim.envelope.release_gain, 1.0);
        for (const auto& stage : lim.envelope.stages)
            EXPECT_EQ(Windows::sum(stage), static_cast<double>(stage.length()));
    }
}

// ---------------------------------------------------------------- peaks and application

TEST(Processing, OneLinkedGainPerFrameFromTheLoudestChannel)
{
    NaloLimiter lim = make_limiter(1000, -6.0, 1.0, 0.0, 0.0);
    // Channel A then channel B, three frames each.
    const std::vector<float> input = {0.1f, -3.0f, 0.2f, -2.0f, 0.5f, -0.0f};
    std::vector<float> samples = input;
    auto stereo = nalo::process_planar(lim, samples, 2);
    ASSERT_TRUE(stereo);
    const std::vector<float>& g = stereo.value();

    std::vector<float> peaks = {2.0f, 3.0f, 0.2f};
    auto mono = nalo::process_planar(lim, peaks, 1);
    ASSERT_TRUE(mono);
    EXPECT_EQ(first_difference(g, mono.value()), -1);
    // Frame 0's peak is in channel B, frame 1's in channel A.
    const double T = lim.threshold;
    EXPECT_EQ(g[0], static_cast<float>(T / (3.0 + 0x1p-52)));  // look-ahead of one frame
    EXPECT_EQ(g[1], static_cast<float>(T / (3.0 + 0x1p-52)));
    EXPECT_EQ(g[2], 1.0f);

    const float ceiling = static_cast<float>(T);
    for (std::size_t c = 0; c < 2; ++c)
        for (std::size_t f = 0; f < 3; ++f) {
            const float y = std::clamp(input[c * 3 + f] * g[f], -ceiling, ceiling);
            EXPECT_EQ(bits(samples[c * 3 + f]), bits(y)) << "channel " << c << " frame " << f;
        }
    EXPECT_TRUE(std::signbit(samples[5]));  // -0.0 times a gain stays -0.0
}

TEST(Processing, QuietSignalsPassBitForBit)
{
    NaloLimiter lim = make_limiter(44100, 0.0, 5.0, 15.0, 40.0);
    std::vector<float> input = nalo_test::make_signal(nalo_test::Signal::Mixed, 6000, 1.0, 11);
    for (auto& x : input)
        if (std::fabs(x) > 1.0f) x = std::copysign(1.0f, x);  // exactly the ceiling at most
    input[17] = -0.0f;
    input[18] = std::numeric_limits<float>::denorm_min();
    std::vector<float> samples = input;
    auto gains = nalo::process_planar(lim, samples, 3);
    ASSERT_TRUE(gains);
    for (float g : gains.value()) ASSERT_EQ(bits(g), bits(1.0f));
    EXPECT_EQ(first_difference(samples, input), -1);
}

struct Ceiling {
    double threshold_dBFS;
    std::uint32_t sample_rate;
    double attack, hold, release;
};

class CeilingNeverExceeded : public ::testing::TestWithParam<Ceiling> {};

TEST_P(CeilingNeverExceeded, OnLoudRandomSignals)
{
    const Ceiling& c = GetParam();
    NaloLimiter lim = make_limiter(c.sample_rate, c.threshold_dBFS, c.attack, c.hold, c.release);
    const float ceiling = static_cast<float>(lim.threshold);
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
        const auto kind = seed % 2 ? nalo_test::Signal::Loud : nalo_test::Signal::Bursts;
        const std::uint64_t channels = 1 + seed % 3;
        std::vector<float> samples = nalo_test::make_signal(kind, channels * 20000, lim.threshold, 100 + seed);
        auto result = nalo::process_planar(lim, samples, channels);
        ASSERT_TRUE(result);
        for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_LE(std::fabs(samples[i]), ceiling) << "sample " << i;
        for (float g : result.value()) {
            ASSERT_LE(g, 1.0f);
            ASSERT_GE(g, 0.0f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CeilingNeverExceeded,
                         ::testing::Values(Ceiling{0.0, 48000, 5, 15, 40}, Ceiling{-1.0, 48000, 5, 15, 40},
                                           Ceiling{-0.1, 44100, 1, 0, 0}, Ceiling{-12.5, 8000, 2, 1, 100},
                                           Ceiling{-3.0, 96000, 0.5, 2, 1}));

TEST(Processing, ClampCatchesProductsJustAboveTheCeiling)
{
    // The guarded gain is rounded to 32 bits, and a sample times that gain
    // can land just above the ceiling: such a product becomes exactly the
    // ceiling, with the sample's sign.
    NaloLimiter lim = make_limiter(1000, -1.0, 1.0, 0.0, 0.0);
    const float ceiling = static_cast<float>(lim.threshold);
    nalo_test::Random rng(17);
    std::size_t found = 0;
    for (int attempt = 0; attempt < 20000 && found < 50; ++attempt) {
        const float x = static_cast<float>(rng.uniform(1.0, 4.0));
        const float g = static_cast<float>(lim.threshold / (static_cast<double>(x) + 0x1p-52));
        if (!(x * g > ceiling)) continue;
        ++found;
        // A constant level: every frame gets the guarded gain g.
        std::vector<float> samples = {x, x, x, -x, -x, -x};
        auto gains = nalo::process_planar(lim, samples, 2);
        ASSERT_TRUE(gains);
        for (float gain : gains.value()) ASSERT_EQ(gain, g);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(bits(samples[i]), bits(ceiling)) << x;
            EXPECT_EQ(bits(samples[3 + i]), bits(-ceiling)) << x;
        }
    }
    EXPECT_GT(found, 10u);
}

TEST(Processing, ZeroCeilingGivesSilence)
{
    NaloLimiter lim = make_limiter(8000, -7000.0, 5.0, 15.0, 40.0);
    ASSERT_EQ(lim.threshold, 0.0);
    std::vector<float> samples = nalo_test::make_signal(nalo_test::Signal::Mixed, 2 * 3000, 1.0, 5);
    ASSERT_TRUE(nalo::process_planar(lim, samples, 2));
    for (float x : samples) ASSERT_EQ(x, 0.0f);
}

TEST(Processing, RepeatedCallsAreIdenticalAndIndependent)
{
    NaloLimiter lim = make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    const std::vector<float> a = nalo_test::make_signal(nalo_test::Signal::Bursts, 2 * 30000, lim.threshold, 21);
    const std::vector<float> b = nalo_test::make_signal(nalo_test::Signal::Decay, 2 * 30000, lim.threshold, 22, 5000);

    std::vector<float> first = a;
    auto g1 = nalo::process_planar(lim, first, 2);
    std::vector<float> other = b;
    ASSERT_TRUE(nalo::process_planar(lim, other, 2));
    std::vector<float> second = a;
    auto g2 = nalo::process_planar(lim, second, 2);
    ASSERT_TRUE(g1 && g2);
    EXPECT_EQ(first_difference(first, second), -1);
    EXPECT_EQ(first_difference(g1.value(), g2.value()), -1);

    // A fresh limiter, and the variant writing into a caller's buffer, agree.
    NaloLimiter fresh = make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    std::vector<float> third = a;
    std::vector<float> gains(30000, -1.0f);
    ASSERT_FALSE(nalo::process_planar_into(fresh, third, 2, gains).has_value());
    EXPECT_EQ(first_difference(third, first), -1);
    EXPECT_EQ(first_difference(gains, g1.value()), -1);
}

// ---------------------------------------------------------------- vastly loud levels

TEST(Processing, VastlyLoudLevelsNeverInvertTheSignal)
{
    // At a 0 dBFS ceiling, levels like 1e30 and 3e38 give targets far below
    // the rounding residue the running sums carry, so the raw smoothed gain
    // can come out negative. Gains are bounded at zero: no sample changes sign.
    std::size_t raw_negative = 0;
    for (const auto& [rate, attack, hold, release] :
         std::vector<std::tuple<std::uint32_t, double, double, double>>{
             {48000, 5, 15, 40}, {44100, 1, 0, 0}, {1000, 5, 3, 10}, {8000, 2, 0, 100}}) {
        NaloLimiter lim = make_limiter(rate, 0.0, attack, hold, release);
        const reference::Config config = reference::configure(rate, 0.0, attack, hold, release);
        for (std::uint64_t seed = 0; seed < 4; ++seed) {
            const std::uint64_t channels = 1 + seed % 2;
            const std::vector<float> input =
                nalo_test::make_signal(nalo_test::Signal::Huge, channels * 20000, 1.0, 300 + seed);
            std::vector<float> samples = input;
            auto result = nalo::process_planar(lim, samples, channels);
            ASSERT_TRUE(result);
            for (float g : result.value()) {
                ASSERT_GE(g, 0.0f);
                ASSERT_LE(g, 1.0f);
            }
            for (std::size_t i = 0; i < samples.size(); ++i) {
                ASSERT_LE(std::fabs(samples[i]), 1.0f);
                if (samples[i] != 0.0f) {
                    ASSERT_EQ(std::signbit(samples[i]), std::signbit(input[i])) << "sample " << i;
                }
            }
            reference::Trace trace;
            reference::process(config, input, channels, &trace, /*bound_negative=*/false);
            raw_negative += trace.negative_gains;
        }
    }
    // Without the bound at zero some of these gains would have been negative.
    EXPECT_GT(raw_negative, 0u);
}

}  // namespace
