// Construction of a limiter: validation of the settings, sample counts,
// coefficients and the division of the look-ahead between the stages.
#include "lib.hpp"

#include "lib/power_of_ten.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace nalo {

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
    // Window minimum: 2 * (window_length + 1) doubles; rings: lookahead + 2 doubles.
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
      envelope({threshold_, release_coefficient, lookahead}, window_length, stage_length)
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

    const double threshold = exp10_correctly_rounded(threshold_dBFS / 20.0);
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

}  // namespace nalo
