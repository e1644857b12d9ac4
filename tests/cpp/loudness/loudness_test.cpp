// The loudness meter against reference signals with known readings, its
// 48 kHz filter against the published coefficients, and its independence
// from how a signal is cut into blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "loudness.hpp"
#include "support/test_support.hpp"

namespace {

struct Segment {
    double dBFS;
    double seconds;
};

// A stereo 1 kHz sine, continuous in phase, at the segments' peak levels (planar).
std::vector<float> stereo_sine(const std::vector<Segment>& segments, std::uint32_t rate)
{
    std::vector<float> left;
    for (const Segment& s : segments) {
        const double amplitude = std::pow(10.0, s.dBFS / 20.0);
        const auto frames = static_cast<std::size_t>(std::llround(s.seconds * rate));
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(left.size()) / rate;
            left.push_back(static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 * t)));
        }
    }
    std::vector<float> planar(left);
    planar.insert(planar.end(), left.begin(), left.end());
    return planar;
}

nalo::LoudnessMeter make_meter(std::uint32_t rate, std::uint64_t channels)
{
    auto made = nalo::LoudnessMeter::create(rate, channels);
    if (!made) ADD_FAILURE() << nalo::error_message(made.error());
    return std::move(made).value();
}

struct Reference {
    std::vector<Segment> segments;
    double integrated;  // NaN: not checked
    double range;
};

class ReferenceSignals : public ::testing::TestWithParam<Reference> {};

TEST_P(ReferenceSignals, ReadWithinATenthOfAnLU)
{
    const Reference& r = GetParam();
    nalo::LoudnessMeter meter = make_meter(48000, 2);
    ASSERT_FALSE(meter.push(stereo_sine(r.segments, 48000)));
    if (!std::isnan(r.integrated)) {
        EXPECT_NEAR(meter.integrated(), r.integrated, 0.1);
    }
    if (!std::isnan(r.range)) {
        EXPECT_NEAR(meter.loudness_range(), r.range, 0.1);
    }
    double loudest = -INFINITY;
    for (const Segment& s : r.segments) loudest = std::max(loudest, s.dBFS);
    EXPECT_NEAR(meter.momentary_max(), loudest, 0.1);
    EXPECT_NEAR(meter.short_term_max(), loudest, 0.1);
}

constexpr double kUnchecked = NAN;

INSTANTIATE_TEST_SUITE_P(
    Loudness, ReferenceSignals,
    ::testing::Values(Reference{{{-23, 20}}, -23.0, kUnchecked}, Reference{{{-33, 20}}, -33.0, kUnchecked},
                      Reference{{{-36, 10}, {-23, 60}, {-36, 10}}, -23.0, kUnchecked},
                      Reference{{{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, -23.0, kUnchecked},
                      Reference{{{-26, 20}, {-20, 20.1}, {-26, 20}}, -23.0, kUnchecked},
                      Reference{{{-20, 20}, {-30, 20}}, kUnchecked, 10.0},
                      Reference{{{-20, 20}, {-15, 20}}, kUnchecked, 5.0},
                      Reference{{{-40, 20}, {-20, 20}}, kUnchecked, 20.0},
                      Reference{{{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}, kUnchecked, 15.0}));

TEST(KWeighting, ReproducesThePublished48kHzCoefficients)
{
    const nalo::KWeighting k = nalo::k_weighting(48000);
    const double shelf[] = {k.shelf.b0, k.shelf.b1, k.shelf.b2, k.shelf.a1, k.shelf.a2};
    const double published_shelf[] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                                      0.73248077421585};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(shelf[i], published_shelf[i], 1e-13) << "shelf coefficient " << i;
    const double high_pass[] = {k.high_pass.b0, k.high_pass.b1, k.high_pass.b2, k.high_pass.a1, k.high_pass.a2};
    const double published_high_pass[] = {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(high_pass[i], published_high_pass[i], 1e-13) << "high-pass coefficient " << i;
}

struct Readings {
    double integrated, range, momentary, short_term;
};

Readings read(const nalo::LoudnessMeter& m)
{
    return {m.integrated(), m.loudness_range(), m.momentary_max(), m.short_term_max()};
}

// Any cut of a signal into blocks, down to single frames read in place from
// interleaved memory, gives the same bits, at sample rates whose
// quarters are whole (48000) or not (11025, 7), for mono, odd channel counts
// and the 5.1 layout, on noise with loud and silent stretches.
TEST(LoudnessMeter, AnyCutGivesTheSameBits)
{
    std::mt19937_64 random(17);
    const std::uint32_t rates[] = {48000, 44100, 11025, 7};
    const std::uint64_t channel_counts[] = {1, 2, 3, 6};
    for (int trial = 0; trial < 16; ++trial) {
        const std::uint32_t rate = rates[trial % 4];
        const std::uint64_t channels = channel_counts[(trial / 4) % 4];
        const std::size_t frames = std::min<std::size_t>(rate * 5 + random() % rate, 300000);
        std::normal_distribution<float> noise(0.0f, 0.1f);
        std::vector<float> planar(channels * frames);
        for (std::size_t c = 0; c < channels; ++c)
            for (std::size_t f = 0; f < frames; ++f) {
                const double level = (f / (rate / 2 + 1)) % 3 == 0 ? 0.0 : (f / (rate + 1)) % 2 ? 1.0 : 0.05;
                planar[c * frames + f] = static_cast<float>(level * noise(random));
            }
        nalo::LoudnessMeter whole = make_meter(rate, channels);
        ASSERT_FALSE(whole.push(planar));
        nalo::LoudnessMeter cut = make_meter(rate, channels);
        for (std::size_t first = 0; first < frames;) {
            const std::size_t count = std::min<std::size_t>(frames - first, random() % 3 == 0 ? random() % 7 : random() % 20000);
            std::vector<float> block(channels * count);
            for (std::size_t c = 0; c < channels && count > 0; ++c)  // no memcpy from an empty block's null data
                std::memcpy(block.data() + c * count, planar.data() + c * frames + first, count * sizeof(float));
            ASSERT_FALSE(cut.push(block));
            first += count;
        }
        // Frame by frame, and interleaved in place: the short-run and long-run filter loops agree.
        nalo::LoudnessMeter single = make_meter(rate, channels);
        std::vector<float> interleaved(planar.size());
        for (std::size_t c = 0; c < channels; ++c)
            for (std::size_t f = 0; f < frames; ++f) interleaved[f * channels + c] = planar[c * frames + f];
        const auto stride = static_cast<std::ptrdiff_t>(channels * sizeof(float));
        for (std::size_t f = 0; f < frames; ++f)
            ASSERT_FALSE(single.push({interleaved.data() + f * channels, nalo::SampleFormat::Float32, 1, stride, 4}));
        SCOPED_TRACE(::testing::Message() << "rate " << rate << ", channels " << channels);
        const Readings a = read(whole);
        for (const Readings& b : {read(cut), read(single)}) {
            EXPECT_EQ(nalo_test::bits(a.integrated), nalo_test::bits(b.integrated));
            EXPECT_EQ(nalo_test::bits(a.range), nalo_test::bits(b.range));
            EXPECT_EQ(nalo_test::bits(a.momentary), nalo_test::bits(b.momentary));
            EXPECT_EQ(nalo_test::bits(a.short_term), nalo_test::bits(b.short_term));
        }
    }
}

}  // namespace
