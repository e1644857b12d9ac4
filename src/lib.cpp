#include "lib.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <math.h>  // exp10 (a GNU extension of the C math library)
#include <new>

namespace nalo {

// ---------------------------------------------------------------- messages

std::string format_number(double value)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Fixed notation without a precision is the shortest round-trip form; the
    // longest one (the smallest subnormal) has 767 significant places at most.
    char buffer[800];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, written.ptr);
}

std::string error_message(const LimiterError& error)
{
    switch (error.kind) {
    case LimiterErrorKind::ZeroSampleRate:
        return "sample_rate must be greater than zero";
    case LimiterErrorKind::InvalidThreshold:
        return "threshold_dBFS must be a finite dBFS value less than or equal to 0, got " +
               format_number(error.value);
    case LimiterErrorKind::InvalidDuration:
        return std::string(error.name) + " must be finite and non-negative, got " + format_number(error.value);
    case LimiterErrorKind::AttackRoundsToZero:
        return "attack_ms=" + format_number(error.value) + " rounds to zero samples at " +
               std::to_string(error.count) + " Hz";
    case LimiterErrorKind::ZeroChannels:
        return "channels must be greater than zero";
    case LimiterErrorKind::IndivisibleSamples:
        return std::to_string(error.count) + " samples cannot be divided into frames with " +
               std::to_string(error.channels) + " channels";
    case LimiterErrorKind::NonFiniteSample:
        return "input sample at flat index " + std::to_string(error.count) + " is not finite";
    case LimiterErrorKind::AllocationFailed:
        return "not enough memory for the limiter's buffers";
    }
    return "unknown limiter error";
}

// ---------------------------------------------------------------- configuration

namespace {

// Largest double below 2^64; anything above saturates.
constexpr double kLargestBelowTwo64 = 18446744073709549568.0;

std::uint64_t saturate_to_u64(double x) noexcept
{
    if (!(x > 0.0)) return 0;  // negative, either zero, NaN
    if (x > kLargestBelowTwo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

bool is_valid_duration(double ms) noexcept { return std::isfinite(ms) && !(ms < 0.0); }

// Bytes of envelope storage beyond which allocation is not even attempted:
// more than any 64-bit address space maps.
constexpr std::uint64_t kMaxEnvelopeBytes = std::uint64_t{1} << 47;

bool envelope_fits(std::uint64_t window_length, std::uint64_t lookahead) noexcept
{
    // Queue: window_length + 1 entries of 16 bytes; rings: lookahead + 2 doubles.
    constexpr std::uint64_t limit = kMaxEnvelopeBytes / 16;
    return window_length < limit && lookahead < limit;
}

}  // namespace

std::uint64_t count_samples(double t_ms, std::uint32_t sample_rate) noexcept
{
    const double rate = static_cast<double>(sample_rate);
    // The product first, then the division: another order can move the result
    // by one bit, which decides exact halves (175 ms at 44100 Hz is 7717.5).
    const double samples = (t_ms * rate) / 1000.0;
    return saturate_to_u64(std::round(samples));  // halves away from zero
}

std::array<std::uint64_t, 3> stage_lengths(std::uint64_t lookahead) noexcept
{
    const std::uint64_t units = lookahead - 1;
    const double n = static_cast<double>(units);
    std::array<std::uint64_t, 3> part{};
    std::array<double, 3> frac{};
    for (std::size_t k = 0; k < 3; ++k) {
        const double p = n * kStageShares[k];
        part[k] = saturate_to_u64(std::floor(p));
        frac[k] = p - static_cast<double>(part[k]);
    }
    // Hand the units lost to flooring to the largest fractions, the earlier
    // stage winning a tie; a chosen stage drops below every unchosen one.
    while (part[0] + part[1] + part[2] < units) {
        std::size_t best = 0;
        for (std::size_t k = 1; k < 3; ++k)
            if (frac[k] > frac[best]) best = k;
        part[best] += 1;
        frac[best] -= 1.0;
    }
    return {part[0] + 1, part[1] + 1, part[2] + 1};
}

NaloLimiter::NaloLimiter(std::uint32_t sample_rate_, double threshold_dBFS_, double threshold_,
                         std::uint64_t lookahead, std::uint64_t window_length, double release_samples_,
                         const std::array<std::uint64_t, 3>& stage_length)
    : sample_rate(sample_rate_),
      threshold_dBFS(threshold_dBFS_),
      threshold(threshold_),
      lookahead_samples(lookahead),
      hold_samples(window_length - lookahead),
      release_samples(release_samples_),
      release_coefficient(1.0 / (release_samples_ + 1.0)),
      minimum(window_length),
      stages{MovingAverage(stage_length[0]), MovingAverage(stage_length[1]), MovingAverage(stage_length[2])}
{
}

Result<NaloLimiter> NaloLimiter::create(std::uint32_t sample_rate, double threshold_dBFS, double attack_ms,
                                        double hold_ms, double release_ms)
{
    if (sample_rate == 0) return LimiterError::zero_sample_rate();
    if (!std::isfinite(threshold_dBFS) || threshold_dBFS > 0.0) return LimiterError::invalid_threshold(threshold_dBFS);
    if (!is_valid_duration(attack_ms)) return LimiterError::invalid_duration("attack_ms", attack_ms);
    if (!is_valid_duration(hold_ms)) return LimiterError::invalid_duration("hold_ms", hold_ms);
    if (!is_valid_duration(release_ms)) return LimiterError::invalid_duration("release_ms", release_ms);

    const double threshold = ::exp10(threshold_dBFS / 20.0);
    const std::uint64_t lookahead = count_samples(attack_ms, sample_rate);
    if (lookahead == 0) return LimiterError::attack_rounds_to_zero(attack_ms, sample_rate);

    // The hold is never rounded on its own: attack + hold is counted as one time.
    const std::uint64_t window_length = std::max(count_samples(attack_ms + hold_ms, sample_rate), lookahead);
    const double release_samples = (release_ms * static_cast<double>(sample_rate)) / 1000.0;

    if (!envelope_fits(window_length, lookahead)) return LimiterError::allocation_failed();
    try {
        return NaloLimiter(sample_rate, threshold_dBFS, threshold, lookahead, window_length, release_samples,
                           stage_lengths(lookahead));
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
}

// ---------------------------------------------------------------- envelope

void NaloLimiter::reset_envelope() noexcept
{
    minimum.reset();
    release_gain = 1.0;
    for (MovingAverage& stage : stages) stage.reset();
}

void NaloLimiter::compute_gains(std::span<float> levels) noexcept
{
    const std::size_t frames = levels.size();
    if (frames == 0) return;
    const double T = threshold;
    const double c = release_coefficient;
    const std::uint64_t La = lookahead_samples;
    const std::uint64_t steps = frames + La;

    for (std::uint64_t i = 0; i < steps; ++i) {
        // Past the last frame the look-ahead sees silence.
        const double p = i < frames ? static_cast<double>(levels[i]) : 0.0;
        const double target = p > T ? T / (p + kEpsilon) : 1.0;
        const double w = minimum.push(target);

        // One-pole release: drop to w at once, rise a fraction c towards it.
        const double r = std::fma(w - release_gain, c, release_gain);
        double next = w < r ? w : r;
        if (std::isnan(next)) next = w;
        release_gain = next;

        const double a1 = stages[0].push(release_gain);
        const double a2 = stages[1].push(a1);
        const double a3 = stages[2].push(a2);
        double g = a3 < 1.0 ? a3 : 1.0;
        // Rounding residue in the running sums can push a vanishingly small
        // gain below zero, which would invert the sample; a gain is never
        // negative.
        if (g < 0.0) g = 0.0;

        if (i >= La) {
            const std::uint64_t k = i - La;
            const double q = static_cast<double>(levels[k]);
            // Guard: level times gain never exceeds the ceiling.
            if (g * q > T) g = T / (q + kEpsilon);
            levels[k] = static_cast<float>(g);
        }
    }
}

// ---------------------------------------------------------------- processing

namespace {

// First sample whose magnitude bits exceed the largest finite float (NaN,
// +inf, -inf), or samples.size() when all are finite.
std::size_t first_non_finite(std::span<const float> samples) noexcept
{
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &samples[i], sizeof bits);
        if ((bits & 0x7FFFFFFFu) > 0x7F7FFFFFu) return i;
    }
    return samples.size();
}

// Largest absolute sample of every frame, across all channels.
void compute_peaks(const float* samples, std::size_t channels, std::size_t frames, float* peaks) noexcept
{
    for (std::size_t f = 0; f < frames; ++f) peaks[f] = std::fabs(samples[f]);
    for (std::size_t c = 1; c < channels; ++c) {
        const float* block = samples + c * frames;
        for (std::size_t f = 0; f < frames; ++f) {
            const float a = std::fabs(block[f]);
            peaks[f] = a > peaks[f] ? a : peaks[f];
        }
    }
}

// Multiplies every sample by its frame's gain and clamps it to the ceiling.
void apply_gains(float* samples, std::size_t channels, std::size_t frames, const float* gains, float ceiling) noexcept
{
    const float floor = -ceiling;
    for (std::size_t c = 0; c < channels; ++c) {
        float* block = samples + c * frames;
        for (std::size_t f = 0; f < frames; ++f) {
            const float y = block[f] * gains[f];
            const float low = y < floor ? floor : y;
            block[f] = low > ceiling ? ceiling : low;
        }
    }
}

std::optional<LimiterError> check_planar(std::span<const float> samples, std::uint64_t channels) noexcept
{
    if (channels == 0) return LimiterError::zero_channels();
    if (samples.size() % channels != 0) return LimiterError::indivisible_samples(samples.size(), channels);
    const std::size_t bad = first_non_finite(samples);
    if (bad != samples.size()) return LimiterError::non_finite_sample(bad);
    return std::nullopt;
}

void limit_checked(NaloLimiter& limiter, std::span<float> samples, std::size_t channels, std::span<float> gains) noexcept
{
    const std::size_t frames = gains.size();
    limiter.reset_envelope();
    if (frames == 0) return;
    compute_peaks(samples.data(), channels, frames, gains.data());
    limiter.compute_gains(gains);
    apply_gains(samples.data(), channels, frames, gains.data(), static_cast<float>(limiter.threshold));
}

}  // namespace

std::optional<LimiterError> process_planar_into(NaloLimiter& limiter, std::span<float> samples,
                                                std::uint64_t channels, std::span<float> gains)
{
    if (auto error = check_planar(samples, channels)) return error;
    limit_checked(limiter, samples, static_cast<std::size_t>(channels), gains);
    return std::nullopt;
}

Result<std::vector<float>> process_planar(NaloLimiter& limiter, std::span<float> samples, std::uint64_t channels)
{
    if (auto error = check_planar(samples, channels)) return *error;
    std::vector<float> gains;
    try {
        gains.resize(samples.size() / channels);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    }
    limit_checked(limiter, samples, static_cast<std::size_t>(channels), gains);
    return gains;
}

}  // namespace nalo
