#include "true_peak.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "simd/cpu_dispatch.hpp"
#include "simd/float_lanes.hpp"


namespace nalo {
namespace {

// The four phases of the interpolation filter, earliest position first. Tap
// i multiplies the sample i frames back from the newest. Every coefficient is
// a multiple of 2^-13, exact as a float.
alignas(64) constexpr float kPhases[4][kTruePeakTaps] = {
    {0.0017089843750f, 0.0109863281250f, -0.0196533203125f, 0.0332031250000f, -0.0594482421875f, 0.1373291015625f,
     0.9721679687500f, -0.1022949218750f, 0.0476074218750f, -0.0266113281250f, 0.0148925781250f, -0.0083007812500f},
    {-0.0291748046875f, 0.0292968750000f, -0.0517578125000f, 0.0891113281250f, -0.1665039062500f, 0.4650878906250f,
     0.7797851562500f, -0.2003173828125f, 0.1015625000000f, -0.0582275390625f, 0.0330810546875f, -0.0189208984375f},
    {-0.0189208984375f, 0.0330810546875f, -0.0582275390625f, 0.1015625000000f, -0.2003173828125f, 0.7797851562500f,
     0.4650878906250f, -0.1665039062500f, 0.0891113281250f, -0.0517578125000f, 0.0292968750000f, -0.0291748046875f},
    {-0.0083007812500f, 0.0148925781250f, -0.0266113281250f, 0.0476074218750f, -0.1022949218750f, 0.9721679687500f,
     0.1373291015625f, -0.0594482421875f, 0.0332031250000f, -0.0196533203125f, 0.0109863281250f, 0.0017089843750f},
};

using namespace float_lanes;

// The filter's phases come in mirrored pairs (the last is the first
// reversed, the third the second reversed), so each pair is evaluated from
// the sums and differences of mirrored samples: with s_i = x_i + x_(11-i) and
// d_i = x_i - x_(11-i), the pair's values are E + O and E - O, where
// E = sum e_i s_i and O = sum o_i d_i over six taps; the larger magnitude of
// the two is |E| + |O|. Twofold oversampling keeps the middle pair, the
// values at 3/8 and 5/8 of the way: with the samples themselves they cover
// where a band-limited waveform peaks between two samples.
struct HalfTaps {
    float even[2][kTruePeakTaps / 2];  // (h[i] + h[11 - i]) / 2 of phases 0 and 1
    float odd[2][kTruePeakTaps / 2];   // (h[i] - h[11 - i]) / 2
};

constexpr HalfTaps half_taps()
{
    HalfTaps t{};
    for (int p = 0; p < 2; ++p)
        for (std::size_t i = 0; i < kTruePeakTaps / 2; ++i) {
            t.even[p][i] = (kPhases[p][i] + kPhases[p][kTruePeakTaps - 1 - i]) / 2;
            t.odd[p][i] = (kPhases[p][i] - kPhases[p][kTruePeakTaps - 1 - i]) / 2;
        }
    return t;
}

alignas(64) constexpr HalfTaps kHalf = half_taps();

// One interval's (or kLanes intervals') largest interpolated magnitude from
// the 12 samples load_at(0) .. load_at(11), oldest first. Every lane runs the
// same operations in the same order, never fused, so scalar and vector code
// give the same bits.
template <unsigned Oversampling, typename V, typename Load>
[[gnu::always_inline]] inline V interval_peak(Load load_at) noexcept
{
    constexpr int kFirstPair = Oversampling == 4 ? 0 : Oversampling == 2 ? 1 : 2;
    V even[2] = {}, odd[2] = {};
    for (std::size_t i = 0; i < kTruePeakTaps / 2 && kFirstPair < 2; ++i) {
        const V newer = load_at(kTruePeakHistory - i), older = load_at(i);
        const V sum = newer + older, difference = newer - older;
        for (int p = kFirstPair; p < 2; ++p) {
            even[p] += kHalf.even[p][i] * sum;
            odd[p] += kHalf.odd[p][i] * difference;
        }
    }
    if constexpr (Oversampling == 4)
        return larger(magnitude(even[0]) + magnitude(odd[0]), magnitude(even[1]) + magnitude(odd[1]));
    else if constexpr (Oversampling == 2)
        return magnitude(even[1]) + magnitude(odd[1]);
    else
        return V{};
}

template <unsigned Oversampling>
[[gnu::always_inline]] inline void interval_peaks_with(const float* x, std::size_t count, float* peaks) noexcept
{
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        const Lanes peak = interval_peak<Oversampling, Lanes>([&](std::size_t i) { return load(x + k + i); });
        const Lanes merged = larger(load(peaks + k), peak);
        std::memcpy(peaks + k, &merged, sizeof merged);
    }
    for (; k < count; ++k)
        peaks[k] = larger(peaks[k], interval_peak<Oversampling, float>([&](std::size_t i) { return x[k + i]; }));
}

// The largest interval peak and sample magnitude in one pass, kept in lanes.
template <unsigned Oversampling>
[[gnu::always_inline]] inline float strip_peak(const float* x, std::size_t count) noexcept
{
    Lanes lanes = {};
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        const Lanes peak = interval_peak<Oversampling, Lanes>([&](std::size_t i) { return load(x + k + i); });
        lanes = larger(lanes, larger(peak, magnitude(load(x + k + kTruePeakHistory))));
    }
    float largest = 0.0f;
    for (int i = 0; i < kLanes; ++i) largest = larger(largest, lanes[i]);
    for (; k < count; ++k) {
        largest = larger(largest, interval_peak<Oversampling, float>([&](std::size_t i) { return x[k + i]; }));
        largest = larger(largest, magnitude(x[k + kTruePeakHistory]));
    }
    return largest;
}

// The largest magnitude of `count` finite samples, on their bit patterns
// (which order like the magnitudes once the sign is cleared).
[[gnu::always_inline]] inline float largest_magnitude(const float* x, std::size_t count) noexcept
{
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(x[i]) & 0x7FFFFFFFu;
        largest = bits > largest ? bits : largest;
    }
    return std::bit_cast<float>(largest);
}

// Intervals per strip: a strip is measured only where its samples are large
// enough for one of its intervals to exceed the largest peak so far.
constexpr std::size_t kStrip = 256;

// Above every interval peak the arithmetic can give for samples of at most
// unit magnitude: the filter's largest sum of tap magnitudes, with room for
// the rounding of the sums.
const double kPeakBound = static_cast<double>(interpolation_gain_bound()) * (1.0 + 0x1p-16);

// The larger of `floor` and the largest interval peak and sample magnitude
// over the windows starting at x[0 .. count - 1]. Skipping the strips that
// cannot reach the floor leaves the result as it is.
template <unsigned Oversampling>
[[gnu::always_inline]] inline float largest_peak_with(const float* x, std::size_t count, float floor) noexcept
{
    float largest = floor;
    for (std::size_t first = 0; first < count; first += kStrip) {
        const std::size_t n = std::min(kStrip, count - first);
        const float reach = largest_magnitude(x + first, n + kTruePeakHistory);
        if (static_cast<double>(reach) * kPeakBound <= static_cast<double>(largest)) continue;
        largest = larger(largest, strip_peak<Oversampling>(x + first, n));
    }
    return largest;
}

float largest_peak_portable(const float* x, std::size_t count, unsigned oversampling, float floor) noexcept
{
    if (oversampling == 4) return largest_peak_with<4>(x, count, floor);
    if (oversampling == 2) return largest_peak_with<2>(x, count, floor);
    return largest_peak_with<1>(x, count, floor);
}

void interval_peaks_portable(const float* x, std::size_t count, unsigned oversampling, float* peaks) noexcept
{
    if (oversampling == 4) interval_peaks_with<4>(x, count, peaks);
    else if (oversampling == 2) interval_peaks_with<2>(x, count, peaks);
}

#if NALO_X86_DISPATCH
[[gnu::target("avx2")]] void interval_peaks_avx2(const float* x, std::size_t count, unsigned oversampling,
                                                  float* peaks) noexcept
{
    if (oversampling == 4) interval_peaks_with<4>(x, count, peaks);
    else if (oversampling == 2) interval_peaks_with<2>(x, count, peaks);
}

[[gnu::target("avx2")]] float largest_peak_avx2(const float* x, std::size_t count, unsigned oversampling,
                                                 float floor) noexcept
{
    if (oversampling == 4) return largest_peak_with<4>(x, count, floor);
    if (oversampling == 2) return largest_peak_with<2>(x, count, floor);
    return largest_peak_with<1>(x, count, floor);
}
#endif

}  // namespace

unsigned true_peak_oversampling(std::uint32_t sample_rate) noexcept
{
    if (sample_rate < 96000) return 4;
    if (sample_rate <= 192000) return 2;
    return 1;
}

void interval_peaks(const float* x, std::size_t count, unsigned oversampling, float* peaks) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return interval_peaks_avx2(x, count, oversampling, peaks);
#endif
    interval_peaks_portable(x, count, oversampling, peaks);
}

// The larger of `floor` and the largest interval peak over windows
// x[k .. k + 11], k < count, and of the newest sample of each window.
float largest_peak(const float* x, std::size_t count, unsigned oversampling, float floor) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return largest_peak_avx2(x, count, oversampling, floor);
#endif
    return largest_peak_portable(x, count, oversampling, floor);
}

float interval_peak(const float* y, unsigned oversampling) noexcept
{
    if (oversampling == 4) return interval_peak<4, float>([&](std::size_t i) { return y[i]; });
    if (oversampling == 2) return interval_peak<2, float>([&](std::size_t i) { return y[i]; });
    return 0.0f;
}

float interpolation_gain_bound() noexcept
{
    float bound = 0.0f;
    for (const auto& phase : kPhases) {
        float sum = 0.0f;
        for (const float h : phase) sum += std::fabs(h);
        bound = std::max(bound, sum);
    }
    return bound * (1.0f + 0x1p-20f);
}

// ---------------------------------------------------------------- meter

TruePeakMeter::TruePeakMeter(unsigned oversampling, std::uint64_t channels)
    : oversampling_(oversampling), peaks_(channels, 0.0f), history_(channels * kTruePeakHistory, 0.0f)
{
}

Result<TruePeakMeter> TruePeakMeter::create(std::uint32_t sample_rate, std::uint64_t channels)
{
    if (channels == 0) return LimiterError::zero_channels();
    try {
        return TruePeakMeter(true_peak_oversampling(sample_rate), channels);
    } catch (const std::bad_alloc&) {
        return LimiterError::allocation_failed();
    } catch (const std::length_error&) {
        return LimiterError::allocation_failed();
    }
}

float TruePeakMeter::peak() const noexcept
{
    float peak = 0.0f;
    for (const float p : peaks_) peak = larger(peak, p);
    return peak;
}

std::optional<LimiterError> TruePeakMeter::push(std::span<const float> block)
{
    const std::uint64_t channels = peaks_.size();
    if (block.size() % channels != 0) return LimiterError::indivisible_samples(block.size(), channels);
    if (const std::size_t bad = first_non_finite(block); bad != block.size())
        return LimiterError::non_finite_sample(bad);
    const std::size_t frames = block.size() / channels;
    for (std::size_t c = 0; c < channels; ++c) push_channel(c, block.data() + c * frames, frames);
    return std::nullopt;
}

void TruePeakMeter::finish()
{
    static constexpr float kSilence[kTruePeakHistory] = {};
    for (std::size_t c = 0; c < peaks_.size(); ++c) push_channel(c, kSilence, kTruePeakHistory);
}

// The first windows start in the channel's history, so they go through a
// small buffer; the rest are read from the block itself. Either way every
// interval is measured exactly as if the signal had come in one piece.
void TruePeakMeter::push_channel(std::size_t channel, const float* samples, std::size_t frames)
{
    float* history = history_.data() + channel * kTruePeakHistory;
    float window[2 * kTruePeakHistory];
    const std::size_t head = std::min(frames, kTruePeakHistory);
    std::memcpy(window, history, sizeof(float) * kTruePeakHistory);
    if (head > 0) std::memcpy(window + kTruePeakHistory, samples, sizeof(float) * head);
    float peak = largest_peak(window, head, oversampling_, peaks_[channel]);
    if (frames > kTruePeakHistory) peak = largest_peak(samples, frames - kTruePeakHistory, oversampling_, peak);
    const float* last = frames >= kTruePeakHistory ? samples + frames - kTruePeakHistory : window + frames;
    std::memmove(history, last, sizeof(float) * kTruePeakHistory);
    peaks_[channel] = peak;
}

}  // namespace nalo
