// TiledLimit against the whole-signal call: for random signals, settings,
// lengths around tile boundaries and the look-ahead, layouts and step
// budgets, its output equals process_planar bit for bit, and a NaN or
// infinity anywhere is reported at process_planar's index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lib.hpp"
#include "support/test_support.hpp"

namespace {

using nalo::LimiterErrorKind;
using nalo::PlanarBuffers;
using nalo::TiledLimit;
using nalo_test::first_difference;
using nalo_test::Random;

// Frames: none, shorter than the look-ahead, just around a multiple of the
// envelope's 512-step block (every tile boundary is one), or anything.
std::size_t pick_frames(Random& rng, std::uint64_t lookahead)
{
    switch (rng.below(4)) {
    case 0: return rng.below(lookahead + 2);
    case 1: return std::max<std::size_t>(512 * (1 + rng.below(80)) + rng.below(5), 2) - 2;
    default: return rng.below(45000);
    }
}

// A planar signal of `frames` frames copied into a buffer whose channel
// stride is `stride`.
std::vector<float> strided(const std::vector<float>& signal, std::size_t channels, std::size_t frames,
                           std::size_t stride)
{
    std::vector<float> buffer(channels * stride, -7.0f);
    for (std::size_t c = 0; c < channels; ++c)
        std::copy_n(signal.begin() + static_cast<long>(c * frames), frames, buffer.begin() + static_cast<long>(c * stride));
    return buffer;
}

TEST(TiledLimit, EqualsTheWholeSignalCall)
{
    Random rng(20261209);
    const nalo_test::Signal kinds[] = {nalo_test::Signal::Loud,   nalo_test::Signal::Bursts, nalo_test::Signal::Decay,
                                       nalo_test::Signal::Huge,   nalo_test::Signal::Sparse, nalo_test::Signal::Quiet,
                                       nalo_test::Signal::Silence};
    for (int trial = 0; trial < 250; ++trial) {
        const std::uint32_t rate = rng.coin() ? 48000 : 1000 + static_cast<std::uint32_t>(rng.below(60000));
        // Now and then a look-ahead longer than a tile.
        double attack = rng.below(8) == 0 ? rng.uniform(300.0, 1500.0) : rng.uniform(0.05, 30.0);
        if (nalo::count_samples(attack, rate) == 0) attack = 1.0;
        const double hold = rng.coin() ? 0.0 : rng.uniform(0.0, 30.0);
        const double release = rng.coin() ? 0.0 : rng.uniform(0.0, 200.0);
        nalo::NaloLimiter limiter = nalo_test::make_limiter(rate, -rng.uniform(0.0, 20.0), attack, hold, release);
        const std::uint64_t La = limiter.lookahead_samples;
        // Many channels make tiles of a single block.
        const std::size_t channels = rng.below(5) == 0 ? 30 + rng.below(40) : 1 + rng.below(3);
        const std::size_t frames = pick_frames(rng, La) / (channels > 3 ? 8 : 1);
        const auto kind = kinds[rng.below(std::size(kinds))];
        const std::vector<float> signal =
            nalo_test::make_signal(kind, channels * frames, limiter.threshold, 2000 + trial, 3 * La);
        const bool in_place = rng.coin();
        const std::size_t in_stride = frames + (rng.coin() ? 0 : rng.below(9));
        const std::size_t out_stride = in_place ? in_stride : frames + (rng.coin() ? 0 : rng.below(9));
        const std::uint64_t budget = rng.coin() ? UINT64_MAX : 1 + rng.below(3 * La + 40000);
        const std::string where = "trial " + std::to_string(trial) + ", La " + std::to_string(La) + ", " +
                                  std::to_string(channels) + " x " + std::to_string(frames) +
                                  (in_place ? ", in place" : "") + ", budget " + std::to_string(budget);

        std::vector<float> whole = signal;
        auto whole_gains = nalo::process_planar(limiter, whole, channels);
        ASSERT_TRUE(whole_gains) << where;

        std::vector<float> in = strided(signal, channels, frames, in_stride);
        const std::vector<float> in_before = in;
        std::vector<float> out(channels * out_stride, -7.0f);
        std::vector<float> gains(frames, -7.0f);
        float* target = in_place ? in.data() : out.data();
        const PlanarBuffers buffers{in.data(), in_stride, target, out_stride, channels, frames, gains.data()};
        auto made = TiledLimit::start(limiter, buffers);
        ASSERT_TRUE(made) << where;
        TiledLimit& call = made.value();
        for (int pieces = 0; !call.done(); ++pieces) {
            ASSERT_FALSE(call.advance(budget)) << where;
            ASSERT_LT(pieces, 1000000) << where;
        }

        EXPECT_EQ(first_difference(gains, whole_gains.value()), -1) << where;
        for (std::size_t c = 0; c < channels; ++c) {
            const auto expected = whole.begin() + static_cast<long>(c * frames);
            const auto got = target + c * out_stride;
            EXPECT_EQ(first_difference(std::vector<float>(got, got + frames),
                                       std::vector<float>(expected, expected + static_cast<long>(frames))),
                      -1)
                << where << ", channel " << c;
        }
        if (!in_place) {
            EXPECT_EQ(first_difference(in, in_before), -1) << where << ": the input was written";
        }
        if (HasFailure()) return;
    }
}

TEST(TiledLimit, ReportsTheFirstNonFiniteSampleInChannelMajorOrder)
{
    Random rng(77);
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (int trial = 0; trial < 60; ++trial) {
        nalo::NaloLimiter limiter = nalo_test::make_limiter(48000, -1.0, rng.uniform(0.1, 20.0), 10.0, 50.0);
        const std::size_t channels = 1 + rng.below(3);
        const std::size_t frames = 1 + rng.below(100000);
        std::vector<float> signal =
            nalo_test::make_signal(nalo_test::Signal::Loud, channels * frames, limiter.threshold, 3000 + trial);
        // One to three bad samples, often all in late frames.
        for (std::uint64_t k = 0, n = 1 + rng.below(3); k < n; ++k) {
            const std::size_t frame = rng.coin() ? frames - 1 - rng.below(std::min<std::size_t>(frames, 600)) : rng.below(frames);
            signal[rng.below(channels) * frames + frame] = bad[rng.below(3)];
        }
        const std::size_t expected = nalo::first_non_finite(signal);
        const bool in_place = rng.coin();
        std::vector<float> in = signal, out(signal.size()), gains(frames);
        const PlanarBuffers buffers{in.data(), frames, in_place ? in.data() : out.data(), frames, channels, frames,
                                    gains.data()};
        const auto error = nalo::process_planar_tiled(limiter, buffers);
        ASSERT_TRUE(error && error->kind == LimiterErrorKind::NonFiniteSample) << "trial " << trial;
        EXPECT_EQ(error->count, expected) << "trial " << trial << ", " << channels << " x " << frames;
        if (!in_place) {
            EXPECT_EQ(first_difference(in, signal), -1) << "trial " << trial;
        }
    }
}

TEST(TiledLimit, RefusesZeroChannelsAndTakesNoFrames)
{
    nalo::NaloLimiter limiter = nalo_test::make_limiter(48000, -1.0, 5.0, 15.0, 40.0);
    const PlanarBuffers none{nullptr, 0, nullptr, 0, 0, 0, nullptr};
    const auto error = nalo::process_planar_tiled(limiter, none);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, LimiterErrorKind::ZeroChannels);
    const PlanarBuffers empty{nullptr, 0, nullptr, 0, 3, 0, nullptr};
    EXPECT_FALSE(nalo::process_planar_tiled(limiter, empty));
}

}  // namespace
