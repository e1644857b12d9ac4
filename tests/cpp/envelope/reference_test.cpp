// The core against the plain reference implementation, bit for bit, over many
// deterministic random signals and settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib.hpp"
#include "support/reference_envelope.hpp"
#include "support/test_support.hpp"

namespace {

using nalo::NaloLimiter;
using nalo_test::bits;
using nalo_test::first_difference;
using nalo_test::Signal;

struct Settings {
    const char* label;
    std::uint32_t sample_rate;
    double threshold_dBFS, attack, hold, release;
};

class MatchesReference : public ::testing::TestWithParam<Settings> {};

TEST_P(MatchesReference, Configuration)
{
    const Settings& s = GetParam();
    const NaloLimiter lim = nalo_test::make_limiter(s.sample_rate, s.threshold_dBFS, s.attack, s.hold, s.release);
    const reference::Config ref = reference::configure(s.sample_rate, s.threshold_dBFS, s.attack, s.hold, s.release);
    EXPECT_EQ(bits(lim.threshold), bits(ref.threshold));
    EXPECT_EQ(bits(lim.threshold_dBFS), bits(ref.threshold_dBFS));
    EXPECT_EQ(lim.lookahead_samples, ref.lookahead);
    EXPECT_EQ(lim.envelope.minimum.window_length(), ref.window);
    EXPECT_EQ(lim.hold_samples, ref.hold);
    EXPECT_EQ(bits(lim.release_samples), bits(ref.release_samples));
    EXPECT_EQ(bits(lim.release_coefficient), bits(ref.coefficient));
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(lim.envelope.stages[k].length(), ref.stages[k]);
}

TEST_P(MatchesReference, RandomSignals)
{
    const Settings& s = GetParam();
    NaloLimiter lim = nalo_test::make_limiter(s.sample_rate, s.threshold_dBFS, s.attack, s.hold, s.release);
    const reference::Config config =
        reference::configure(s.sample_rate, s.threshold_dBFS, s.attack, s.hold, s.release);
    const std::size_t La = config.lookahead;
    const std::size_t window = config.window;

    nalo_test::Random pick(0xC0FFEE ^ s.sample_rate);
    std::vector<std::size_t> lengths = {0, 1, 2, La - 1, La, La + 1, window + 1, 2 * window + 3, 3 * window + 17};
    for (int k = 0; k < 3; ++k) lengths.push_back(1 + pick.below(8000));
    lengths.push_back(20000 + pick.below(30000));

    const Signal kinds[] = {Signal::Loud,     Signal::Quiet, Signal::Silence, Signal::Bursts,
                            Signal::Decay,    Signal::Impulses, Signal::Huge, Signal::Mixed,
                            Signal::Sparse};
    std::size_t runs = 0, full_queues = 0, guarded = 0;
    std::uint64_t seed = 1000 * s.sample_rate;
    for (Signal kind : kinds) {
        for (std::size_t frames : lengths) {
            for (std::uint64_t channels = 1; channels <= 3; ++channels) {
                ++seed;
                // Decays fall to the ceiling over twice the window, so the
                // targets rise strictly for longer than the window.
                const std::vector<float> input =
                    nalo_test::make_signal(kind, channels * frames, config.threshold, seed, 2 * window + 2);

                reference::Trace trace;
                const reference::Outcome want = reference::process(config, input, channels, &trace);
                ASSERT_FALSE(want.error.has_value());

                std::vector<float> samples = input;
                auto got = nalo::process_planar(lim, samples, channels);
                ASSERT_TRUE(got) << nalo::error_message(got.error());

                const auto where = [&] {
                    return std::string(nalo_test::signal_name(kind)) + ", " + std::to_string(frames) + " frames, " +
                           std::to_string(channels) + " channels, seed " + std::to_string(seed);
                };
                const long gain_diff = first_difference(got.value(), want.gains);
                ASSERT_EQ(gain_diff, -1) << where() << ": gain " << gain_diff << " is "
                                         << (gain_diff >= 0 && std::size_t(gain_diff) < got.value().size()
                                                 ? got.value()[gain_diff]
                                                 : 0.0f)
                                         << ", reference "
                                         << (gain_diff >= 0 && std::size_t(gain_diff) < want.gains.size()
                                                 ? want.gains[gain_diff]
                                                 : 0.0f);
                const long sample_diff = first_difference(samples, want.samples);
                ASSERT_EQ(sample_diff, -1) << where() << ": sample " << sample_diff;

                ++runs;
                if (trace.largest_queue == window + 1) ++full_queues;
                guarded += trace.guarded_frames;
            }
        }
    }
    EXPECT_EQ(runs, std::size(kinds) * lengths.size() * 3);
    // The signals did reach the corners they were built for.
    if (config.threshold > 0.0) {
        EXPECT_GT(full_queues, 0u) << "no signal filled the minimum's queue";
    }
    EXPECT_GT(guarded, 0u) << "the guard never acted";
}

INSTANTIATE_TEST_SUITE_P(
    Settings, MatchesReference,
    ::testing::Values(Settings{"default_48k", 48000, -1.0, 5, 15, 40}, Settings{"default_44k1_0dB", 44100, 0.0, 5, 15, 40},
                      Settings{"impulse_setup", 1000, -6.0, 5, 3, 10}, Settings{"no_hold_no_release", 1000, -6.0, 5, 0, 0},
                      Settings{"lookahead_1", 1000, 0.0, 1, 0, 0}, Settings{"lookahead_1_hold", 1000, -3.0, 0.5, 15, 40},
                      Settings{"zero_ceiling", 8000, -7000.0, 5, 15, 40}, Settings{"no_hold_22k", 22050, -20.0, 2, 0, 100},
                      Settings{"short_96k", 96000, -0.1, 1, 1, 1}, Settings{"frozen_release", 16000, -12.0, 3, 10, 1e308},
                      Settings{"minus_zero", 1000, -0.0, 20, 5, 5}, Settings{"rate_3", 3, -2.0, 1000, 0, 500},
                      Settings{"tiny_times_192k", 192000, -1.0, 0.01, 0.003, 0.2},
                      Settings{"deep_ceiling", 48000, -60.0, 5, 15, 40}),
    [](const ::testing::TestParamInfo<Settings>& info) { return std::string(info.param.label); });

}  // namespace
