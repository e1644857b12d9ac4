// The window structures and the gain envelope: exact gains around isolated
// impulses, the ends of the signal, and the corners of the release.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "envelope.hpp"
#include "lib.hpp"
#include "support/reference_envelope.hpp"
#include "support/test_support.hpp"

namespace {

using nalo::NaloLimiter;
using nalo_test::bits;
using nalo_test::make_limiter;
using nalo_test::Windows;

std::vector<float> gains_for(NaloLimiter& lim, std::vector<float> levels)
{
    lim.reset_envelope();
    lim.compute_gains(levels);
    return levels;
}

// ---------------------------------------------------------------- windows

TEST(MovingMinimum, MatchesABruteForceMinimumAcrossResets)
{
    nalo_test::Random rng(7);
    for (std::uint64_t window : {1u, 2u, 3u, 5u, 16u, 100u}) {
        nalo::MovingMinimum minimum(window);
        for (int round = 0; round < 3; ++round) {
            minimum.reset();
            std::vector<double> pushed;
            for (int i = 0; i < 2000; ++i) {
                // Runs of rising values fill the queue; repeats and drops empty it.
                const double v =
                    i % 300 < 150 ? static_cast<double>(i % 300) : std::floor(rng.uniform(0.0, 20.0));
                pushed.push_back(v);
                const double got = Windows::push(minimum, v);
                const std::size_t from = pushed.size() > window ? pushed.size() - window : 0;
                const double want = *std::min_element(pushed.begin() + static_cast<long>(from), pushed.end());
                ASSERT_EQ(got, want) << "window " << window << " push " << i;
                ASSERT_EQ(Windows::pushes(minimum), pushed.size());
            }
        }
    }
}

// Skipping a run of 1.0 targets in one go must leave the window exactly as
// pushing them one by one would, for short and long runs alike.
TEST(MovingMinimum, PushOnesEqualsPushingOnesOneByOne)
{
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> below_one(0.0, 1.0);
    for (std::uint64_t window : {1u, 2u, 3u, 7u, 64u, 100u}) {
        for (std::uint64_t ones : {0u, 1u, 5u, 99u, 128u, 199u, 200u, 201u, 1000u}) {
            nalo::MovingMinimum bulk(window), single(window);
            for (int i = 0; i < 37; ++i) {
                const double v = below_one(rng);
                Windows::push(bulk, v);
                Windows::push(single, v);
            }
            Windows::push_ones(bulk, ones);
            for (std::uint64_t i = 0; i < ones; ++i) Windows::push(single, 1.0);
            ASSERT_EQ(Windows::pushes(bulk), Windows::pushes(single));
            for (int i = 0; i < 250; ++i) {
                const double v = i % 50 < 3 ? below_one(rng) : 1.0;
                ASSERT_EQ(Windows::push(bulk, v), Windows::push(single, v)) << "window " << window << " ones " << ones << " push " << i;
            }
        }
    }
}

TEST(MovingAverage, ResetRestoresOnesAndSum)
{
    nalo::MovingAverage stage(3);
    EXPECT_EQ(Windows::push(stage, 0.0), 2.0 * (1.0 / 3.0));
    EXPECT_EQ(Windows::push(stage, 0.0), 1.0 * (1.0 / 3.0));
    EXPECT_EQ(Windows::push(stage, 0.5), 0.5 * (1.0 / 3.0));
    EXPECT_EQ(Windows::push(stage, 0.5), 1.0 * (1.0 / 3.0));  // the ring wrapped: the first 0.0 left
    stage.reset();
    EXPECT_EQ(Windows::sum(stage), 3.0);
    EXPECT_EQ(Windows::push(stage, 1.0), 1.0);
    EXPECT_EQ(Windows::push(stage, 0.25), 2.25 * (1.0 / 3.0));
}

// ---------------------------------------------------------------- isolated impulses

// sample rate 1000, -6 dBFS, attack 5 ms: La 5, stage lengths 3, 2, 2, whose
// combined filter weights are 1, 3, 4, 3, 1 twelfths.
struct Impulse {
    const char* label;
    double hold_ms, release_ms;
    std::size_t frames, at;
    // Expected gain of each frame: 1.0, the target t, or a ramp value
    // 1 - (1 - t) * twelfths / 12; frames after `rise_from` rise towards 1.
    std::vector<std::pair<std::size_t, double>> ramp;  // (frame, twelfths of the reduction)
    std::size_t rise_from;
    bool back_to_one;  // frames from rise_from on are exactly 1.0
};

class IsolatedImpulse : public ::testing::TestWithParam<Impulse> {};

TEST_P(IsolatedImpulse, ExactGains)
{
    const Impulse& c = GetParam();
    NaloLimiter lim = make_limiter(1000, -6.0, 5.0, c.hold_ms, c.release_ms);
    ASSERT_EQ(lim.lookahead_samples, 5u);
    std::vector<float> levels(c.frames, 0.0f);
    levels[c.at] = 1.0f;
    const std::vector<float> gains = gains_for(lim, levels);
    ASSERT_EQ(gains.size(), c.frames);

    const double T = lim.threshold;
    const double t = T / (1.0 + 0x1p-52);
    std::vector<double> want(c.frames, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t k = 0; k < c.frames; ++k) {
        if (k + 5 < c.at) want[k] = 1.0;  // before the look-ahead reaches the impulse
        else if (k < c.rise_from) want[k] = t;
    }
    for (const auto& [frame, twelfths] : c.ramp) want[frame] = 1.0 - (1.0 - t) * (twelfths / 12.0);
    for (std::size_t k = c.rise_from; k < c.frames && c.back_to_one; ++k) want[k] = 1.0;

    for (std::size_t k = 0; k < c.frames; ++k) {
        if (std::isnan(want[k])) continue;
        EXPECT_EQ(gains[k], static_cast<float>(want[k])) << "frame " << k;
    }
    if (!c.back_to_one) {
        // The release: rising, never reaching 1.0 within the signal, above t.
        for (std::size_t k = c.rise_from; k < c.frames; ++k) {
            EXPECT_GT(gains[k], static_cast<float>(t)) << "frame " << k;
            EXPECT_LT(gains[k], 1.0f) << "frame " << k;
            if (k > c.rise_from) {
                EXPECT_GE(gains[k], gains[k - 1]) << "frame " << k;
            }
        }
    }
    // The level times its gain never exceeds the ceiling beyond the narrowing.
    EXPECT_LE(static_cast<double>(gains[c.at]), T * (1.0 + 0x1p-24));

    reference::Config config = reference::configure(1000, -6.0, 5.0, c.hold_ms, c.release_ms);
    EXPECT_EQ(nalo_test::first_difference(gains, reference::gains(config, levels)), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsolatedImpulse,
    ::testing::Values(
        // Ramp over 15..18, full target 19..22, then the release.
        Impulse{"hold3", 3.0, 10.0, 40, 20, {{15, 1}, {16, 4}, {17, 8}, {18, 11}}, 23, false},
        // Zero hold: frames 19 and 20 hold the target (20 by the guard), rise from 21.
        Impulse{"hold0", 0.0, 10.0, 40, 20, {{15, 1}, {16, 4}, {17, 8}, {18, 11}}, 21, false},
        // Zero hold and release: the ramp out mirrors the ramp in.
        Impulse{"hold0_release0",
                0.0,
                0.0,
                40,
                20,
                {{15, 1}, {16, 4}, {17, 8}, {18, 11}, {21, 8}, {22, 4}, {23, 1}},
                24,
                true},
        // At frame 0 the whole ramp is cut off: frame 0 already carries t.
        Impulse{"first_frame", 3.0, 10.0, 20, 0, {}, 3, false},
        // At the last frame the ramp lies before it; F-2 and F-1 carry t.
        Impulse{"last_frame", 3.0, 10.0, 20, 19, {{14, 1}, {15, 4}, {16, 8}, {17, 11}}, 20, false},
        // Ramp cut at the start: frame 0 has already taken the weights of steps 1..3.
        Impulse{"inside_lookahead", 3.0, 10.0, 20, 3, {{0, 8}, {1, 11}}, 6, false}),
    [](const ::testing::TestParamInfo<Impulse>& info) { return std::string(info.param.label); });

TEST(Envelope, LookaheadOfOneSampleDoesNotSmooth)
{
    // Stage lengths 1, 1, 1, no hold, no release: the gain drops one frame
    // before the peak, the peak frame gets its gain from the guard, and the
    // frame after it is back at 1.0.
    NaloLimiter lim = make_limiter(1000, -6.0, 1.0, 0.0, 0.0);
    ASSERT_EQ(lim.lookahead_samples, 1u);
    std::vector<float> levels(10, 0.0f);
    levels[5] = 2.0f;
    const std::vector<float> gains = gains_for(lim, levels);
    const float t = static_cast<float>(lim.threshold / (2.0 + 0x1p-52));
    const std::vector<float> want = {1, 1, 1, 1, t, t, 1, 1, 1, 1};
    EXPECT_EQ(gains, want);
}

TEST(Envelope, FewerFramesThanTheLookahead)
{
    NaloLimiter lim = make_limiter(1000, -3.0, 20.0, 5.0, 5.0);
    ASSERT_EQ(lim.lookahead_samples, 20u);
    const std::vector<float> levels = {0.9f, 3.0f, 1.5f};
    const std::vector<float> gains = gains_for(lim, levels);
    ASSERT_EQ(gains.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_LE(gains[k], 1.0f);
        EXPECT_LE(static_cast<double>(levels[k]) * gains[k], lim.threshold * (1.0 + 0x1p-24)) << "frame " << k;
    }
    // Frame 0 already carries the reduction needed for frame 1.
    EXPECT_LE(static_cast<double>(gains[0]), lim.threshold / 3.0 * (1.0 + 0x1p-24));

    for (std::size_t frames : {1u, 2u, 19u, 20u, 21u}) {
        std::vector<float> loud(frames, 5.0f);
        const std::vector<float> g = gains_for(lim, loud);
        ASSERT_EQ(g.size(), frames);
        for (float x : g) EXPECT_EQ(x, static_cast<float>(lim.threshold / (5.0 + 0x1p-52)));
    }
}

TEST(Envelope, LevelsAtOrBelowTheCeilingKeepUnitGain)
{
    NaloLimiter lim = make_limiter(48000, 0.0, 5.0, 15.0, 40.0);
    nalo_test::Random rng(3);
    std::vector<float> levels(5000);
    for (auto& x : levels) x = static_cast<float>(rng.unit());
    levels[100] = 1.0f;  // exactly the ceiling
    levels[4999] = 1.0f;
    levels[0] = 1.0f;
    for (float g : gains_for(lim, levels)) ASSERT_EQ(bits(g), bits(1.0f));
    // Just above the ceiling is limited.
    levels[2000] = std::nextafter(1.0f, 2.0f);
    EXPECT_LT(gains_for(lim, levels)[2000], 1.0f);
}

TEST(Envelope, ZeroReleaseCoefficientNeverRecovers)
{
    NaloLimiter lim = make_limiter(1000, -6.0, 5.0, 3.0, 1e308);
    ASSERT_EQ(lim.release_coefficient, 0.0);
    std::vector<float> levels(200, 0.0f);
    levels[20] = 1.0f;
    levels[60] = 0.7f;  // quieter than the first: no further reduction needed
    const std::vector<float> gains = gains_for(lim, levels);
    const float t = static_cast<float>(lim.threshold / (1.0 + 0x1p-52));
    for (std::size_t k = 19; k < gains.size(); ++k) EXPECT_EQ(gains[k], t) << "frame " << k;
}

TEST(Envelope, ZeroCeilingSilencesEveryLoudFrame)
{
    NaloLimiter lim = make_limiter(1000, -7000.0, 5.0, 3.0, 0.0);
    ASSERT_EQ(lim.threshold, 0.0);
    std::vector<float> levels(60, 0.0f);
    levels[10] = std::numeric_limits<float>::denorm_min();
    levels[40] = 1e-30f;
    const std::vector<float> gains = gains_for(lim, levels);
    EXPECT_EQ(gains[10], 0.0f);
    EXPECT_EQ(gains[40], 0.0f);
    // Silent frames far from loud ones keep unit gain; a silent frame within
    // reach of a loud one is silenced with it.
    EXPECT_EQ(gains[0], 1.0f);
    EXPECT_EQ(gains[25], 1.0f);
    EXPECT_EQ(gains[59], 1.0f);
    EXPECT_EQ(gains[9], 0.0f);
    for (float g : gains) EXPECT_FALSE(std::signbit(g));
}

TEST(Envelope, LongRiseFillsTheWholeWindow)
{
    // Levels falling strictly for far longer than the window: the targets
    // rise strictly, so the queue holds window_length + 1 entries inside each
    // push. A queue one entry short would lose its minimum.
    NaloLimiter lim = make_limiter(1000, -1.0, 4.0, 6.0, 10.0);
    const std::uint64_t window = lim.envelope.minimum.window_length();
    ASSERT_EQ(window, 10u);
    std::vector<float> levels(400);
    for (std::size_t k = 0; k < levels.size(); ++k) levels[k] = 1000.0f - 2.0f * static_cast<float>(k);
    const std::vector<float> gains = gains_for(lim, levels);

    reference::Trace trace;
    const reference::Config config = reference::configure(1000, -1.0, 4.0, 6.0, 10.0);
    const std::vector<float> want = reference::gains(config, levels, &trace);
    ASSERT_EQ(trace.largest_queue, window + 1);
    EXPECT_EQ(nalo_test::first_difference(gains, want), -1);
    // With a hold, the smoothed gain already respects every frame's target.
    for (std::size_t k = 0; k < levels.size(); ++k)
        ASSERT_LE(static_cast<double>(levels[k]) * gains[k], lim.threshold * (1.0 + 0x1p-24)) << "frame " << k;
}

TEST(Envelope, EmptyLevelsRunNoStep)
{
    NaloLimiter lim = make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    std::vector<float> none;
    lim.reset_envelope();
    lim.compute_gains(none);
    EXPECT_EQ(Windows::pushes(lim.envelope.minimum), 0u);
    EXPECT_EQ(lim.envelope.release_gain, 1.0);
}

TEST(Envelope, RunsExactlyFramesPlusLookaheadSteps)
{
    NaloLimiter lim = make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    std::vector<float> levels(1000, 0.5f);
    lim.reset_envelope();
    lim.compute_gains(levels);
    EXPECT_EQ(Windows::pushes(lim.envelope.minimum), 1000u + 240u);
}

}  // namespace
