// The envelope's shortcut for frames at rest must wait for every smoothing
// stage, the last included, to settle: one peak swept across an internal
// block, with a look-ahead whose steps and stages together span more than a
// block and with zero hold and release, so that only the stages carry the
// peak into the following blocks.
#include <gtest/gtest.h>

#include <vector>

#include "lib.hpp"
#include "support/reference_envelope.hpp"
#include "support/test_support.hpp"

namespace {

TEST(RestShortcut, OnePeakSweptAcrossABlockMatchesTheReference)
{
    // Look-aheads of 256 to 700 frames at 48 kHz: steps plus stage lengths
    // (about twice the look-ahead) exceed a block of 512 steps.
    for (const double attack_ms : {5.34, 6.25, 10.0, 14.6}) {
        nalo::NaloLimiter limiter = nalo_test::make_limiter(48000, -1.0, attack_ms, 0.0, 0.0);
        const reference::Config config = reference::configure(48000, -1.0, attack_ms, 0.0, 0.0);
        for (std::size_t peak = 0; peak < 1100; peak += 3) {
            std::vector<float> samples(3000, 0.25f);
            samples[peak] = 1.75f;
            const reference::Outcome expected = reference::process(config, samples, 1);
            auto got = nalo::process_planar(limiter, samples, 1);
            ASSERT_TRUE(got);
            ASSERT_EQ(nalo_test::first_difference(got.value(), expected.gains), -1)
                << "attack_ms=" << attack_ms << " peak at " << peak;
            ASSERT_EQ(nalo_test::first_difference(samples, expected.samples), -1)
                << "attack_ms=" << attack_ms << " peak at " << peak;
        }
    }
}

}  // namespace
