// The K-weighting filter for any sample rate, and the default channel weights.
#include "loudness.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace nalo {
namespace {

// Analogue prototypes of the two sections: the frequencies, gain and quality
// factors for which the bilinear transform at 48 kHz gives the published
// coefficients.
constexpr double kShelfHz = 1681.974450955533;
constexpr double kShelfGain_dB = 3.999843853973347;
constexpr double kShelfQ = 0.7071752369554196;
constexpr double kShelfBandGainExponent = 0.4996667741545416;  // the shelf's mid-band gain, as a power of its gain
constexpr double kHighPassHz = 38.13547087602444;
constexpr double kHighPassQ = 0.5003270373238773;

// tan of the pre-warped half-angle of `hz`, kept below the Nyquist frequency.
double warped(double hz, std::uint32_t sample_rate)
{
    const double angle = std::min(std::numbers::pi * hz / sample_rate, 0.49 * std::numbers::pi);
    return std::tan(angle);
}

Biquad shelf(std::uint32_t sample_rate)
{
    const double k = warped(kShelfHz, sample_rate);
    const double high = std::pow(10.0, kShelfGain_dB / 20.0);
    const double band = std::pow(high, kShelfBandGainExponent);
    const double a0 = 1.0 + k / kShelfQ + k * k;
    return {(high + band * k / kShelfQ + k * k) / a0, 2.0 * (k * k - high) / a0,
            (high - band * k / kShelfQ + k * k) / a0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / kShelfQ + k * k) / a0};
}

Biquad high_pass(std::uint32_t sample_rate)
{
    const double k = warped(kHighPassHz, sample_rate);
    const double a0 = 1.0 + k / kHighPassQ + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / kHighPassQ + k * k) / a0};
}

}  // namespace

KWeighting k_weighting(std::uint32_t sample_rate) noexcept { return {shelf(sample_rate), high_pass(sample_rate)}; }

std::vector<double> default_loudness_weights(std::uint64_t channels)
{
    if (channels == 6) return {1.0, 1.0, 1.0, 0.0, 1.41, 1.41};
    return std::vector<double>(channels, 1.0);
}

}  // namespace nalo
