// LimiterStream against the whole-signal call: for random signals, settings
// and splits, the concatenated output equals process_planar bit for bit.
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
using nalo::LimiterStream;
using nalo_test::first_difference;
using nalo_test::Random;

// Frames a .. a + m - 1 of a planar signal of `frames` frames, as a planar block.
std::vector<float> block_of(const std::vector<float>& signal, std::size_t channels, std::size_t frames, std::size_t a,
                            std::size_t m)
{
    std::vector<float> block(channels * m);
    for (std::size_t c = 0; c < channels; ++c)
        std::copy_n(signal.begin() + static_cast<long>(c * frames + a), m, block.begin() + static_cast<long>(c * m));
    return block;
}

// Appends a planar output of n frames to the per-channel outputs.
void collect(std::vector<std::vector<float>>& samples, std::vector<float>& gains, const std::vector<float>& out,
             const std::vector<float>& out_gains)
{
    const std::size_t n = out_gains.size();
    for (std::size_t c = 0; c < samples.size(); ++c)
        samples[c].insert(samples[c].end(), out.begin() + static_cast<long>(c * n),
                          out.begin() + static_cast<long>((c + 1) * n));
    gains.insert(gains.end(), out_gains.begin(), out_gains.end());
}

// A block length: empty, one frame, shorter than the look-ahead, around the
// engine's 512-step block, or long.
std::size_t pick_block(Random& rng, std::uint64_t lookahead)
{
    switch (rng.below(6)) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 1 + rng.below(std::max<std::uint64_t>(lookahead, 1));
    case 3: return 500 + rng.below(30);
    case 4: return 1 + rng.below(2000);
    default: return rng.below(64);
    }
}

TEST(LimiterStream, ConcatenatedOutputEqualsTheWholeSignal)
{
    Random rng(20261208);
    const nalo_test::Signal kinds[] = {nalo_test::Signal::Loud,   nalo_test::Signal::Bursts, nalo_test::Signal::Decay,
                                       nalo_test::Signal::Huge,   nalo_test::Signal::Sparse, nalo_test::Signal::Quiet,
                                       nalo_test::Signal::Impulses};
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint32_t rate = rng.coin() ? 48000 : 1000 + static_cast<std::uint32_t>(rng.below(20000));
        double attack = rng.uniform(0.05, 30.0);
        if (nalo::count_samples(attack, rate) == 0) attack = 1.0;
        const double hold = rng.coin() ? 0.0 : rng.uniform(0.0, 30.0);
        const double release = rng.coin() ? 0.0 : rng.uniform(0.0, 200.0);
        nalo::NaloLimiter limiter = nalo_test::make_limiter(rate, -rng.uniform(0.0, 20.0), attack, hold, release);
        const std::uint64_t La = limiter.lookahead_samples;
        const std::size_t channels = 1 + rng.below(3);
        // Often shorter than the look-ahead, sometimes many engine blocks long.
        const std::size_t frames = rng.coin() ? rng.below(La + 2) : rng.below(6000);
        const auto kind = kinds[rng.below(std::size(kinds))];
        const std::vector<float> signal =
            nalo_test::make_signal(kind, channels * frames, limiter.threshold, 1000 + trial, 3 * La);
        const std::string where = "trial " + std::to_string(trial) + ", La " + std::to_string(La) + ", " +
                                  std::to_string(frames) + " frames";

        std::vector<float> whole = signal;
        auto whole_gains = nalo::process_planar(limiter, whole, channels);
        ASSERT_TRUE(whole_gains) << where;

        auto made = LimiterStream::create(limiter, channels);
        ASSERT_TRUE(made) << where;
        LimiterStream stream = std::move(made).value();
        ASSERT_EQ(stream.latency(), La);
        std::vector<std::vector<float>> samples(channels);
        std::vector<float> gains;
        const bool strided = rng.below(4) == 0;
        std::vector<float> direct(channels * frames);
        for (std::size_t at = 0; at < frames || rng.below(4) == 0;) {
            const std::size_t m = std::min(pick_block(rng, La), frames - at);
            const std::size_t n = stream.frames_ready_after(m);
            std::vector<float> block = block_of(signal, channels, frames, at, m);
            std::vector<float> out(channels * n), out_gains(n);
            if (m > 0 && rng.below(8) == 0) {
                // A non-finite sample fails the push and changes nothing.
                std::vector<float> bad = block;
                const std::size_t index = rng.below(bad.size());
                bad[index] = rng.coin() ? std::numeric_limits<float>::quiet_NaN() : -INFINITY;
                const auto error = stream.push(bad, out, out_gains);
                ASSERT_TRUE(error && error->kind == LimiterErrorKind::NonFiniteSample) << where;
                ASSERT_EQ(error->count, index) << where;
            }
            if (strided) {
                // Read from the signal and written into whole-signal buffers in place.
                ASSERT_FALSE(stream.push(signal.data() + at, frames, m, direct.data() + gains.size(), frames,
                                         out_gains.data()))
                    << where;
                for (std::size_t c = 0; c < channels; ++c)
                    for (std::size_t f = 0; f < n; ++f) out[c * n + f] = direct[c * frames + gains.size() + f];
            } else {
                ASSERT_FALSE(stream.push(block, out, out_gains)) << where;
            }
            collect(samples, gains, out, out_gains);
            at += m;
            ASSERT_EQ(stream.frames_in(), at);
            ASSERT_EQ(stream.frames_out(), at > La ? at - La : 0);
        }
        // The end, sometimes in bounded pieces.
        do {
            const std::uint64_t budget = rng.coin() ? UINT64_MAX : rng.below(La + 1);
            const std::size_t n = stream.frames_ready_after_end_steps(budget);
            std::vector<float> out(channels * n), out_gains(n);
            ASSERT_FALSE(stream.finish(out, out_gains, budget)) << where;
            collect(samples, gains, out, out_gains);
        } while (!stream.finished());

        EXPECT_EQ(first_difference(gains, whole_gains.value()), -1) << where;
        for (std::size_t c = 0; c < channels; ++c) {
            const auto run = whole.begin() + static_cast<long>(c * frames);
            EXPECT_EQ(first_difference(samples[c], std::vector<float>(run, run + static_cast<long>(frames))), -1)
                << where << ", channel " << c;
        }
        if (HasFailure()) return;
    }
}

TEST(LimiterStream, FailsAfterTheEndAndOnBadLayouts)
{
    nalo::NaloLimiter limiter = nalo_test::make_limiter(1000, -6.0, 5.0, 3.0, 10.0);
    auto made = LimiterStream::create(limiter, 2);
    ASSERT_TRUE(made);
    LimiterStream stream = std::move(made).value();
    std::vector<float> none;
    const std::vector<float> odd(3, 0.5f);
    EXPECT_EQ(stream.push(odd, none, none)->kind, LimiterErrorKind::IndivisibleSamples);
    const std::vector<float> block(2 * 8, 2.0f);
    std::vector<float> wrong(5);
    EXPECT_EQ(stream.push(block, wrong, wrong)->kind, LimiterErrorKind::WrongOutputSize);
    EXPECT_EQ(stream.frames_in(), 0u);

    std::vector<float> out(2 * 3), gains(3);
    ASSERT_FALSE(stream.push(block, out, gains));
    std::vector<float> rest(2 * 5), rest_gains(5);
    EXPECT_EQ(stream.finish(wrong, wrong)->kind, LimiterErrorKind::WrongOutputSize);
    ASSERT_FALSE(stream.finish(rest, rest_gains));
    EXPECT_TRUE(stream.finished());
    EXPECT_EQ(stream.push(block, out, gains)->kind, LimiterErrorKind::StreamFinished);
    EXPECT_EQ(stream.finish(none, none)->kind, LimiterErrorKind::StreamFinished);
    EXPECT_EQ(nalo::error_message(*stream.finish(none, none)), "the stream has already finished");
    EXPECT_EQ(LimiterStream::create(limiter, 0).error().kind, LimiterErrorKind::ZeroChannels);
}

}  // namespace
