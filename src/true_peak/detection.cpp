#include "true_peak/detection.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "true_peak.hpp"


#include "simd/cpu_dispatch.hpp"
#include "simd/float_lanes.hpp"

namespace nalo {
namespace {

constexpr std::size_t kHalf = kDetectionTaps / 2;
// The meter's window of an interval starts this many frames into ours.
constexpr std::size_t kMeterOffset = kDetectionBefore - (kTruePeakTaps / 2 - 1);

// The zeroth-order modified Bessel function of the first kind, by its series.
double bessel_i0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 64; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// The filter's taps at `fraction` of the way from y[15] to y[16], in double.
std::array<double, kDetectionTaps> phase_taps(double fraction)
{
    constexpr double kBeta = 9.0;
    std::array<double, kDetectionTaps> h{};
    double sum = 0.0;
    for (std::size_t i = 0; i < kDetectionTaps; ++i) {
        const double d = static_cast<double>(i) - static_cast<double>(kDetectionBefore) - fraction;
        const double sinc = d == 0.0 ? 1.0 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
        const double edge = d / static_cast<double>(kHalf);
        h[i] = sinc * bessel_i0(kBeta * std::sqrt(std::max(0.0, 1.0 - edge * edge))) / bessel_i0(kBeta);
        sum += h[i];
    }
    for (double& tap : h) tap /= sum;
    return h;
}

// Phases p/16 and 1 - p/16 are mirror images, and the one at 1/2 its own:
// with s_i = y_i + y_(31-i) and d_i = y_i - y_(31-i), a pair's values are
// E + O and E - O (the larger magnitude |E| + |O|), with E = sum e_i s_i and
// O = sum o_i d_i over 16 taps, and the middle value is sum m_i s_i.
constexpr int kPairs = 7;    // fractions 1/16 .. 7/16 and their mirrors
constexpr int kQuarter = 3;  // the pair at 1/4 and 3/4
struct Taps {
    float even[kPairs][kHalf];  // (h[i] + h[31 - i]) / 2 of the phase at (p + 1)/16
    float odd[kPairs][kHalf];   // (h[i] - h[31 - i]) / 2
    float middle[kHalf];        // h[i] of the phase at 1/2
    float bound;                // largest sum of magnitudes of a phase
};

const Taps& taps()
{
    static const Taps table = [] {
        Taps t{};
        double bound = 0.0;
        for (int p = 0; p < kPairs; ++p) {
            const auto h = phase_taps((p + 1) / 16.0);
            double sum = 0.0;
            for (std::size_t i = 0; i < kHalf; ++i) {
                t.even[p][i] = static_cast<float>((h[i] + h[kDetectionTaps - 1 - i]) / 2);
                t.odd[p][i] = static_cast<float>((h[i] - h[kDetectionTaps - 1 - i]) / 2);
                sum += std::fabs(h[i]) + std::fabs(h[kDetectionTaps - 1 - i]);
            }
            bound = std::max(bound, sum);
        }
        const auto middle = phase_taps(0.5);
        double sum = 0.0;
        for (std::size_t i = 0; i < kHalf; ++i) {
            t.middle[i] = static_cast<float>(middle[i]);
            sum += 2 * std::fabs(middle[i]);
        }
        t.bound = static_cast<float>(std::max(bound, sum) * (1.0 + 0x1p-16));
        return t;
    }();
    return table;
}

using namespace float_lanes;

// The flat filter's largest magnitude of one interval (or kLanes of them)
// at `Points` points per sample, from load_at(0) .. load_at(31). Every lane
// runs the same operations in the same order, never fused, so scalar and
// vector code give the same bits.
template <unsigned Points, typename V, typename Load>
[[gnu::always_inline]] inline V flat_peak(const Taps& t, Load load_at) noexcept
{
    constexpr int kUsed = Points == 16 ? kPairs : Points == 4 ? 1 : 0;
    constexpr int kFirst = Points == 16 ? 0 : kQuarter;
    V even[kUsed + 1] = {}, odd[kUsed + 1] = {}, middle = {};
    for (std::size_t i = 0; i < kHalf; ++i) {
        const V older = load_at(i), newer = load_at(kDetectionTaps - 1 - i);
        const V sum = older + newer;
        middle += t.middle[i] * sum;
        if constexpr (kUsed > 0) {
            const V difference = older - newer;
            for (int q = 0; q < kUsed; ++q) {
                even[q] += t.even[kFirst + q][i] * sum;
                odd[q] += t.odd[kFirst + q][i] * difference;
            }
        }
    }
    V peak = magnitude(middle);
    for (int q = 0; q < kUsed; ++q) peak = larger(peak, magnitude(even[q]) + magnitude(odd[q]));
    return peak;
}

template <unsigned Points>
[[gnu::always_inline]] inline void flat_peaks_with(const float* x, std::size_t count, float* peaks) noexcept
{
    const Taps& t = taps();
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        const Lanes peak = flat_peak<Points, Lanes>(t, [&](std::size_t i) { return load(x + k + i); });
        const Lanes merged = larger(load(peaks + k), peak);
        std::memcpy(peaks + k, &merged, sizeof merged);
    }
    for (; k < count; ++k)
        peaks[k] = larger(peaks[k], flat_peak<Points, float>(t, [&](std::size_t i) { return x[k + i]; }));
}

void flat_peaks_portable(const float* x, std::size_t count, unsigned points, float* peaks) noexcept
{
    if (points == 16) flat_peaks_with<16>(x, count, peaks);
    else if (points == 4) flat_peaks_with<4>(x, count, peaks);
    else if (points == 2) flat_peaks_with<2>(x, count, peaks);
}

#if NALO_X86_DISPATCH
[[gnu::target("avx2")]] void flat_peaks_avx2(const float* x, std::size_t count, unsigned points,
                                              float* peaks) noexcept
{
    if (points == 16) flat_peaks_with<16>(x, count, peaks);
    else if (points == 4) flat_peaks_with<4>(x, count, peaks);
    else if (points == 2) flat_peaks_with<2>(x, count, peaks);
}
#endif

void flat_peaks(const float* x, std::size_t count, unsigned points, float* peaks) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return flat_peaks_avx2(x, count, points, peaks);
#endif
    flat_peaks_portable(x, count, points, peaks);
}

// Both readings of a run of intervals.
void exact_peaks(const float* x, std::size_t count, DetectionGrid grid, float* peaks) noexcept
{
    interval_peaks(x + kMeterOffset, count, grid.meter, peaks);
    flat_peaks(x, count, grid.flat, peaks);
}

// top[k] becomes the largest magnitude of x[k .. k + 31], for k < count (top
// holds count + 31 values), by doubling the span of each maximum.
void window_magnitudes(const float* x, std::size_t count, float* top) noexcept
{
    for (std::size_t j = 0; j < count + kDetectionHistory; ++j) top[j] = magnitude(x[j]);
    for (std::size_t span = 1; span < kDetectionTaps; span *= 2)
        for (std::size_t k = 0; k + 2 * span < count + kDetectionTaps; ++k) top[k] = larger(top[k], top[k + span]);
}

}  // namespace

// Each interval takes the bound or the readings by its own test alone, so
// the result does not depend on how the intervals are grouped.
void detection_peaks(const float* x, std::size_t count, DetectionGrid grid, float quiet, float* peaks) noexcept
{
    if (grid.meter == 1) return;
    constexpr std::size_t kChunk = 512;
    // Room for the roundings of the readings' float sums.
    const float gain = detection_gain_bound() * (1.0f + 0x1p-16f);
    float top[kChunk + kDetectionHistory];
    for (std::size_t first = 0; first < count; first += kChunk) {
        const std::size_t n = std::min(kChunk, count - first);
        window_magnitudes(x + first, n, top);
        for (std::size_t k = 0; k < n;) {
            const float bound = gain * top[k];
            if (bound <= quiet) {
                peaks[first + k] = larger(peaks[first + k], bound);
                ++k;
                continue;
            }
            std::size_t end = k + 1;
            while (end < n && !(gain * top[end] <= quiet)) ++end;
            exact_peaks(x + first + k, end - k, grid, peaks + first + k);
            k = end;
        }
    }
}

DetectionGrid detection_grid(std::uint32_t sample_rate) noexcept
{
    const unsigned meter = true_peak_oversampling(sample_rate);
    if (meter == 1) return {1, 1};
    if (sample_rate == 48000) return {meter, 4};
    if (sample_rate == 96000) return {meter, 2};
    return {meter, 16};
}

float detection_peak(const float* y, DetectionGrid grid) noexcept
{
    const Taps& t = taps();
    const float meter = interval_peak(y + kMeterOffset, grid.meter);
    const auto at = [&](std::size_t i) { return y[i]; };
    if (grid.flat == 16) return larger(meter, flat_peak<16, float>(t, at));
    if (grid.flat == 4) return larger(meter, flat_peak<4, float>(t, at));
    if (grid.flat == 2) return larger(meter, flat_peak<2, float>(t, at));
    return meter;
}

float detection_gain_bound() noexcept { return std::max(interpolation_gain_bound(), taps().bound); }

}  // namespace nalo
