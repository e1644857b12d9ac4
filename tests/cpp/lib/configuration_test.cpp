// Construction of the limiter: derived counts and coefficients, rounding,
// validation order, error messages and number formatting.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>

#include "lib.hpp"
#include "support/reference_envelope.hpp"
#include "support/test_support.hpp"

namespace {

using nalo::LimiterErrorKind;
using nalo::NaloLimiter;
using nalo_test::bits;
using nalo_test::make_limiter;
using nalo_test::Windows;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------- derived values

struct Worked {
    std::uint32_t sample_rate;
    double attack, hold, release;
    std::uint64_t lookahead, window, hold_samples;
    double release_samples;
    std::array<std::uint64_t, 3> stages;
};

class WorkedValues : public ::testing::TestWithParam<Worked> {};

TEST_P(WorkedValues, DerivedCountsAndStages)
{
    const Worked& w = GetParam();
    const NaloLimiter lim = make_limiter(w.sample_rate, -1.0, w.attack, w.hold, w.release);
    EXPECT_EQ(lim.sample_rate, w.sample_rate);
    EXPECT_EQ(lim.lookahead_samples, w.lookahead);
    EXPECT_EQ(lim.envelope.minimum.window_length(), w.window);
    EXPECT_EQ(lim.hold_samples, w.hold_samples);
    EXPECT_EQ(lim.release_samples, w.release_samples);
    EXPECT_EQ(lim.release_coefficient, 1.0 / (w.release_samples + 1.0));
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(lim.envelope.stages[k].length(), w.stages[k]) << "stage " << k + 1;
        EXPECT_EQ(Windows::sum(lim.envelope.stages[k]), static_cast<double>(w.stages[k]));
        EXPECT_EQ(Windows::reciprocal_length(lim.envelope.stages[k]), 1.0 / static_cast<double>(w.stages[k]));
    }
    // Neutral envelope right after construction.
    EXPECT_EQ(lim.envelope.release_gain, 1.0);
    EXPECT_EQ(Windows::pushes(lim.envelope.minimum), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, WorkedValues,
                         ::testing::Values(Worked{48000, 5, 15, 40, 240, 960, 720, 1920, {98, 81, 63}},
                                           Worked{44100, 5, 15, 40, 221, 882, 661, 1764, {90, 75, 58}},
                                           Worked{96000, 5, 15, 40, 480, 1920, 1440, 3840, {195, 161, 126}},
                                           Worked{22050, 5, 15, 40, 110, 441, 331, 882, {45, 38, 29}},
                                           Worked{8000, 5, 15, 40, 40, 160, 120, 320, {17, 14, 11}},
                                           Worked{48000, 1, 0, 0, 48, 48, 0, 0, {20, 17, 13}},
                                           Worked{1000, 0.5, 15, 40, 1, 16, 15, 40, {1, 1, 1}},
                                           // The isolated-impulse configuration of the envelope tests.
                                           Worked{1000, 5, 3, 10, 5, 8, 3, 10, {3, 2, 2}}));

struct Stages {
    std::uint64_t lookahead;
    std::array<std::uint64_t, 3> lengths;
};

class SmallLookahead : public ::testing::TestWithParam<Stages> {};

TEST_P(SmallLookahead, StageLengths)
{
    const Stages& s = GetParam();
    EXPECT_EQ(nalo::stage_lengths(s.lookahead), s.lengths);
    // The same through construction: at 1000 Hz, n ms are n samples.
    const NaloLimiter lim = make_limiter(1000, 0.0, static_cast<double>(s.lookahead), 0.0, 0.0);
    ASSERT_EQ(lim.lookahead_samples, s.lookahead);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(lim.envelope.stages[k].length(), s.lengths[k]) << "stage " << k + 1;
}

INSTANTIATE_TEST_SUITE_P(Table, SmallLookahead,
                         ::testing::Values(Stages{1, {1, 1, 1}}, Stages{2, {2, 1, 1}}, Stages{3, {2, 2, 1}},
                                           Stages{4, {2, 2, 2}}, Stages{5, {3, 2, 2}}, Stages{8, {4, 3, 3}},
                                           Stages{16, {7, 6, 5}}, Stages{100, {41, 34, 27}},
                                           Stages{441, {179, 148, 116}}));

TEST(StageLengths, AddUpAndMatchTheLargestRemainderRule)
{
    for (std::uint64_t la = 1; la <= 20000; ++la) {
        const auto got = nalo::stage_lengths(la);
        ASSERT_EQ(got[0] + got[1] + got[2], la + 2) << "lookahead " << la;
        ASSERT_EQ(got, reference::stage_lengths(la)) << "lookahead " << la;
    }
}

struct Count {
    double ms;
    std::uint32_t sample_rate;
    std::uint64_t expected;
};

class CountSamples : public ::testing::TestWithParam<Count> {};

TEST_P(CountSamples, RoundsHalvesAwayAndSaturates)
{
    const Count& c = GetParam();
    EXPECT_EQ(nalo::count_samples(c.ms, c.sample_rate), c.expected) << c.ms << " ms at " << c.sample_rate;
    EXPECT_EQ(reference::count(c.ms, c.sample_rate), c.expected) << "reference";
}

INSTANTIATE_TEST_SUITE_P(
    Table, CountSamples,
    ::testing::Values(
        // (t * r) / 1000 is exactly 7717.5 here; (t / 1000) * r would be just below.
        Count{175.0, 44100, 7718}, Count{5.0, 44100, 221}, Count{0.5, 1000, 1}, Count{0.01, 48000, 0},
        Count{1.5, 1000, 2}, Count{2.5, 1000, 3}, Count{220.5, 1000, 221}, Count{0.49, 1000, 0},
        Count{-0.0, 48000, 0}, Count{-0.5, 1000, 0}, Count{-1e300, 1000, 0}, Count{kNaN, 1000, 0},
        Count{1e300, 48000, kMaxU64}, Count{kInf, 1, kMaxU64}, Count{0x1p63, 1000, std::uint64_t{1} << 63},
        Count{0x1p64, 1000, kMaxU64},
        // The largest double below 2^64 converts exactly.
        Count{18446744073709549568.0, 1000, 18446744073709549568u}, Count{40.0, 4294967295u, 171798692u}, Count{5.0, 4294967295u, 21474836u}));

TEST(CountSamples, OrderOfOperationsDecidesTheHalf)
{
    ASSERT_EQ((175.0 * 44100.0) / 1000.0, 7717.5);
    ASSERT_LT((175.0 / 1000.0) * 44100.0, 7717.5);
    const NaloLimiter lim = make_limiter(44100, 0.0, 175.0, 0.0, 175.0);
    EXPECT_EQ(lim.lookahead_samples, 7718u);
    EXPECT_EQ(lim.release_samples, 7717.5);
}

TEST(CountSamples, JustBelowAHalfRoundsDown)
{
    const double below_half = 0.49999999999999994;
    const double ms = below_half;  // at 1000 Hz, (t * 1000) / 1000 gives t back
    ASSERT_EQ((ms * 1000.0) / 1000.0, below_half);
    EXPECT_EQ(nalo::count_samples(ms, 1000), 0u);
    // Adding 0.5 and flooring would round this up.
    ASSERT_EQ(std::floor(below_half + 0.5), 1.0);
}

TEST(Configuration, HoldIsCountedTogetherWithTheAttack)
{
    // 15 ms alone is 661.5 samples at 44100 Hz; attack plus hold gives 882 - 221.
    const NaloLimiter lim = make_limiter(44100, 0.0, 5.0, 15.0, 40.0);
    EXPECT_EQ(lim.hold_samples, 661u);
    // A window count below the look-ahead is raised to it, so the hold never wraps.
    EXPECT_EQ(nalo::count_samples(0.5 + 0.0, 1000), 1u);
    const NaloLimiter tiny = make_limiter(1000, 0.0, 0.5, 0.0, 0.0);
    EXPECT_EQ(tiny.envelope.minimum.window_length(), 1u);
    EXPECT_EQ(tiny.hold_samples, 0u);
}

TEST(Configuration, SignedZerosAndExtremeSettings)
{
    const NaloLimiter neg = make_limiter(48000, -0.0, 5.0, -0.0, -0.0);
    EXPECT_EQ(bits(neg.threshold_dBFS), bits(-0.0));
    EXPECT_EQ(neg.threshold, 1.0);
    EXPECT_EQ(neg.hold_samples, 0u);
    EXPECT_EQ(neg.envelope.minimum.window_length(), 240u);
    EXPECT_EQ(bits(neg.release_samples), bits(-0.0));
    EXPECT_EQ(neg.release_coefficient, 1.0);

    const NaloLimiter pos = make_limiter(48000, 0.0, 5.0, 0.0, 0.0);
    EXPECT_EQ(bits(pos.threshold_dBFS), bits(0.0));
    EXPECT_EQ(pos.threshold, 1.0);
    EXPECT_EQ(pos.release_coefficient, 1.0);

    // The linear ceiling is 10^(dB / 20) rounded to the nearest double (the
    // constants are the correctly rounded values), with a true division by 20.
    const struct {
        double dBFS, linear;
    } ceilings[] = {{-1.0, 0.8912509381337456}, {-6.0, 0.5011872336272722}, {-20.0, 0.1},
                    {-3.0, 0.7079457843841379}, {-60.0, 0.001}};
    for (const auto& [dBFS, linear] : ceilings)
        EXPECT_EQ(make_limiter(48000, dBFS, 5.0, 15.0, 40.0).threshold, linear) << dBFS;

    // A ceiling so low that it underflows is accepted and is exactly 0.
    const NaloLimiter silent = make_limiter(48000, -7000.0, 5.0, 15.0, 40.0);
    EXPECT_EQ(bits(silent.threshold), bits(0.0));
    const NaloLimiter subnormal = make_limiter(48000, -std::numeric_limits<double>::denorm_min(), 5.0, 15.0, 40.0);
    EXPECT_EQ(subnormal.threshold, 1.0);

    // A release so long that it overflows gives a coefficient of 0.
    const NaloLimiter frozen = make_limiter(48000, -1.0, 5.0, 15.0, 1e308);
    EXPECT_EQ(frozen.release_samples, kInf);
    EXPECT_EQ(bits(frozen.release_coefficient), bits(0.0));
}

// ---------------------------------------------------------------- errors

struct Invalid {
    const char* label;
    std::uint32_t sample_rate;
    double threshold, attack, hold, release;
    LimiterErrorKind kind;
    std::string message;
};

class InvalidSettings : public ::testing::TestWithParam<Invalid> {};

TEST_P(InvalidSettings, FirstFailingCheckWinsWithItsMessage)
{
    const Invalid& c = GetParam();
    const auto made = NaloLimiter::create(c.sample_rate, c.threshold, c.attack, c.hold, c.release);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().kind, c.kind);
    EXPECT_EQ(nalo::error_message(made.error()), c.message);
}

const std::string kThresholdText = "threshold_dBFS must be a finite dBFS value less than or equal to 0, got ";

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidSettings,
    ::testing::Values(
        Invalid{"zero_rate", 0, 0.0, 5, 15, 40, LimiterErrorKind::ZeroSampleRate,
                "sample_rate must be greater than zero"},
        Invalid{"zero_rate_before_threshold", 0, 0.5, -1, kNaN, -1, LimiterErrorKind::ZeroSampleRate,
                "sample_rate must be greater than zero"},
        Invalid{"threshold_positive", 48000, 0.5, 5, 15, 40, LimiterErrorKind::InvalidThreshold,
                kThresholdText + "0.5"},
        Invalid{"threshold_before_attack", 48000, 0.5, -1, 15, 40, LimiterErrorKind::InvalidThreshold,
                kThresholdText + "0.5"},
        Invalid{"threshold_huge", 48000, 1e23, 5, 15, 40, LimiterErrorKind::InvalidThreshold,
                kThresholdText + "100000000000000000000000"},
        Invalid{"threshold_inf", 48000, kInf, 5, 15, 40, LimiterErrorKind::InvalidThreshold, kThresholdText + "inf"},
        Invalid{"threshold_minus_inf", 48000, -kInf, 5, 15, 40, LimiterErrorKind::InvalidThreshold,
                kThresholdText + "-inf"},
        Invalid{"threshold_nan", 48000, kNaN, 5, 15, 40, LimiterErrorKind::InvalidThreshold, kThresholdText + "NaN"},
        Invalid{"threshold_negative_nan", 48000, -kNaN, 5, 15, 40, LimiterErrorKind::InvalidThreshold,
                kThresholdText + "NaN"},
        Invalid{"threshold_subnormal", 48000, std::numeric_limits<double>::denorm_min(), 5, 15, 40,
                LimiterErrorKind::InvalidThreshold, kThresholdText + "0." + std::string(323, '0') + "5"},
        Invalid{"attack_negative", 48000, -1, -1, 15, 40, LimiterErrorKind::InvalidDuration,
                "attack_ms must be finite and non-negative, got -1"},
        Invalid{"attack_negative_subnormal", 48000, -1, -std::numeric_limits<double>::denorm_min(), 15, 40,
                LimiterErrorKind::InvalidDuration,
                "attack_ms must be finite and non-negative, got -0." + std::string(323, '0') + "5"},
        Invalid{"attack_before_hold", 48000, -1, kNaN, -1, -1, LimiterErrorKind::InvalidDuration,
                "attack_ms must be finite and non-negative, got NaN"},
        Invalid{"attack_inf", 48000, -1, kInf, 15, 40, LimiterErrorKind::InvalidDuration,
                "attack_ms must be finite and non-negative, got inf"},
        Invalid{"hold_nan", 48000, -1, 5, kNaN, 40, LimiterErrorKind::InvalidDuration,
                "hold_ms must be finite and non-negative, got NaN"},
        Invalid{"hold_before_release", 48000, -1, 5, -1, -2, LimiterErrorKind::InvalidDuration,
                "hold_ms must be finite and non-negative, got -1"},
        Invalid{"release_negative", 48000, -1, 5, 15, -1, LimiterErrorKind::InvalidDuration,
                "release_ms must be finite and non-negative, got -1"},
        Invalid{"release_minus_inf", 48000, -1, 5, 15, -kInf, LimiterErrorKind::InvalidDuration,
                "release_ms must be finite and non-negative, got -inf"},
        // Every setting is validated before the attack is counted.
        Invalid{"release_before_rounding", 48000, -1, 0.01, 15, -1, LimiterErrorKind::InvalidDuration,
                "release_ms must be finite and non-negative, got -1"},
        Invalid{"attack_rounds_to_zero", 48000, -1, 0.01, 15, 40, LimiterErrorKind::AttackRoundsToZero,
                "attack_ms=0.01 rounds to zero samples at 48000 Hz"},
        Invalid{"attack_negative_zero", 48000, -1, -0.0, 15, 40, LimiterErrorKind::AttackRoundsToZero,
                "attack_ms=-0 rounds to zero samples at 48000 Hz"},
        Invalid{"attack_zero", 44100, -1, 0.0, 15, 40, LimiterErrorKind::AttackRoundsToZero,
                "attack_ms=0 rounds to zero samples at 44100 Hz"},
        Invalid{"attack_zero_at_max_rate", 4294967295u, -1, 1e-10, 15, 40, LimiterErrorKind::AttackRoundsToZero,
                "attack_ms=0.0000000001 rounds to zero samples at 4294967295 Hz"},
        // The look-ahead check comes before any sizing of the buffers.
        Invalid{"attack_zero_before_huge_hold", 48000, -1, 0.0, 1e300, 40, LimiterErrorKind::AttackRoundsToZero,
                "attack_ms=0 rounds to zero samples at 48000 Hz"}),
    [](const ::testing::TestParamInfo<Invalid>& info) { return std::string(info.param.label); });

struct Formatted {
    double value;
    const char* text;
};

class FormatNumber : public ::testing::TestWithParam<Formatted> {};

TEST_P(FormatNumber, ShortestPositionalText)
{
    EXPECT_EQ(nalo::format_number(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, FormatNumber,
                         ::testing::Values(Formatted{5.0, "5"}, Formatted{-1.0, "-1"}, Formatted{-0.0, "-0"},
                                           Formatted{0.0, "0"}, Formatted{0.5, "0.5"}, Formatted{1e-7, "0.0000001"},
                                           Formatted{1e21, "1000000000000000000000"}, Formatted{48000.0, "48000"},
                                           Formatted{kNaN, "NaN"}, Formatted{-kNaN, "NaN"}, Formatted{kInf, "inf"},
                                           Formatted{-kInf, "-inf"}, Formatted{0.1, "0.1"},
                                           Formatted{0.30000000000000004, "0.30000000000000004"},
                                           Formatted{-1.5, "-1.5"}, Formatted{123456789.125, "123456789.125"},
                                           Formatted{1e22, "10000000000000000000000"},
                                           // Not exactly representable: the shortest digits, then zeros.
                                           Formatted{1e23, "100000000000000000000000"},
                                           Formatted{-0x1p64, "-18446744073709552000"},
                                           Formatted{9007199254740993.0, "9007199254740992"},
                                           Formatted{0.000123, "0.000123"}),
                         [](const ::testing::TestParamInfo<Formatted>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(FormatNumberLong, ExtremesPrintAllTheirZeros)
{
    EXPECT_EQ(nalo::format_number(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(nalo::format_number(-1.7976931348623157e308), "-17976931348623157" + std::string(292, '0'));
}

TEST(ErrorMessages, ProcessingKinds)
{
    EXPECT_EQ(nalo::error_message(nalo::LimiterError::zero_channels()), "channels must be greater than zero");
    EXPECT_EQ(nalo::error_message(nalo::LimiterError::indivisible_samples(7, 2)),
              "7 samples cannot be divided into frames with 2 channels");
    EXPECT_EQ(nalo::error_message(nalo::LimiterError::indivisible_samples(kMaxU64, 10)),
              "18446744073709551615 samples cannot be divided into frames with 10 channels");
    EXPECT_EQ(nalo::error_message(nalo::LimiterError::non_finite_sample(0)),
              "input sample at flat index 0 is not finite");
    EXPECT_EQ(nalo::error_message(nalo::LimiterError::non_finite_sample(kMaxU64)),
              "input sample at flat index 18446744073709551615 is not finite");
}

// ---------------------------------------------------------------- absurd sizes

struct Huge {
    const char* label;
    std::uint32_t sample_rate;
    double attack, hold;
    bool needs_strict_overcommit;  // fails only where the kernel refuses absurd reservations
};

class HugeTimes : public ::testing::TestWithParam<Huge> {};

long max_rss_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_P(HugeTimes, FailConstructionQuicklyWithoutTouchingMemory)
{
    const Huge& c = GetParam();
    if (c.needs_strict_overcommit) {
        std::ifstream mode("/proc/sys/vm/overcommit_memory");
        int value = 0;
        if (mode >> value && value == 1) GTEST_SKIP() << "the kernel grants any reservation (overcommit mode 1)";
    }
    const long rss_before = max_rss_kib();
    const auto start = std::chrono::steady_clock::now();
    const auto made = NaloLimiter::create(c.sample_rate, -1.0, c.attack, c.hold, 40.0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().kind, LimiterErrorKind::AllocationFailed);
    EXPECT_LT(seconds, 1.0);
    EXPECT_LT(max_rss_kib() - rss_before, 64 * 1024) << "KiB of memory touched";
}

INSTANTIATE_TEST_SUITE_P(
    Table, HugeTimes,
    ::testing::Values(Huge{"attack_1e300", 48000, 1e300, 15.0, false}, Huge{"hold_1e300", 48000, 5.0, 1e300, false},
                      Huge{"both_max", 4294967295u, 1.7976931348623157e308, 1.7976931348623157e308, false},
                      // 4.8e13 window entries.
                      Huge{"window_tens_of_trillions", 48000, 5.0, 1e12, false},
                      // 4.8e11 window entries (7.7 TB of queue storage).
                      Huge{"window_hundreds_of_billions", 48000, 5.0, 1e10, true},
                      // A look-ahead of 4.8e11 samples.
                      Huge{"lookahead_hundreds_of_billions", 48000, 1e10, 0.0, true}),
    [](const ::testing::TestParamInfo<Huge>& info) { return std::string(info.param.label); });

}  // namespace

// Absurd but allocatable times on one second of audio: the window and the
// rings are touched only as far as the signal's steps reach.
namespace {

// AddressSanitizer writes shadow memory for every allocation, touched or not.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kTouchedLimitKiB = 1L << 30;
#else
constexpr long kTouchedLimitKiB = 64 * 1024;
#endif

bool kernel_refuses_huge_reservations()
{
    std::ifstream mode("/proc/sys/vm/overcommit_memory");
    int value = 0;
    return mode >> value && value == 2;
}

TEST(AbsurdTimes, HoldCostsOnlyWhatTheSignalReaches)
{
    if (kernel_refuses_huge_reservations()) GTEST_SKIP() << "strict overcommit";
    const long rss_before = max_rss_kib();
    auto made = NaloLimiter::create(48000, -1.0, 5.0, 6e6, 40.0);  // a window of 288M steps
    ASSERT_TRUE(made);
    NaloLimiter huge = std::move(made).value();
    std::vector<float> loud = nalo_test::make_signal(nalo_test::Signal::Loud, 2 * 48000, huge.threshold, 5);
    std::vector<float> samples = loud;
    auto gains = nalo::process_planar(huge, samples, 2);
    ASSERT_TRUE(gains);
    EXPECT_LT(max_rss_kib() - rss_before, kTouchedLimitKiB) << "KiB of memory touched";
    // Any window longer than the signal's steps gives the same result.
    NaloLimiter long_enough = nalo_test::make_limiter(48000, -1.0, 5.0, 2000.0, 40.0);
    auto want = nalo::process_planar(long_enough, loud, 2);  // limits `loud` in place
    EXPECT_EQ(nalo_test::first_difference(gains.value(), want.value()), -1);
    EXPECT_EQ(nalo_test::first_difference(samples, loud), -1);
}

TEST(AbsurdTimes, StreamPushesAndEndsInBoundedPieces)
{
    if (kernel_refuses_huge_reservations()) GTEST_SKIP() << "strict overcommit";
    const long rss_before = max_rss_kib();
    auto made = NaloLimiter::create(48000, -1.0, 6e6, 0.0, 40.0);  // a look-ahead of 288M frames
    ASSERT_TRUE(made);
    auto stream = nalo::LimiterStream::create(made.value(), 2).value();
    const std::vector<float> loud = nalo_test::make_signal(nalo_test::Signal::Loud, 2 * 48000, 0.9, 5);
    ASSERT_EQ(stream.frames_ready_after(48000), 0u);
    ASSERT_FALSE(stream.push(loud, {}, {}));
    ASSERT_EQ(stream.frames_ready_after_end_steps(1000), 0u);
    ASSERT_FALSE(stream.finish({}, {}, 1000));
    EXPECT_EQ(stream.end_steps_left(), 288000000u - 1000u);
    EXPECT_FALSE(stream.finished());
    EXPECT_EQ(stream.push(loud, {}, {})->kind, LimiterErrorKind::StreamFinished);
    EXPECT_LT(max_rss_kib() - rss_before, kTouchedLimitKiB) << "KiB of memory touched";
}

}  // namespace
