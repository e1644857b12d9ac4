#include "envelope/frame_passes.hpp"

#include "lib.hpp"
#include "simd/cpu_dispatch.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace nalo {

namespace {

// Magnitude bits of a sample: its bit pattern with the sign cleared. For
// magnitudes the bit patterns order like the values, and NaN and the
// infinities lie above the largest finite float.
[[gnu::always_inline]] inline std::uint32_t magnitude_bits(float sample) noexcept
{
    return std::bit_cast<std::uint32_t>(sample) & 0x7FFFFFFFu;
}

// The peaks and the finiteness check in one pass on the magnitude bits.
[[gnu::always_inline]] inline std::uint32_t peaks_pass(const float* samples, std::size_t channels, std::size_t stride,
                                                     std::size_t frames, float* peaks) noexcept
{
    std::uint32_t largest = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        const std::uint32_t bits = magnitude_bits(samples[f]);
        largest = bits > largest ? bits : largest;
        peaks[f] = std::bit_cast<float>(bits);
    }
    for (std::size_t c = 1; c < channels; ++c) {
        const float* block = samples + c * stride;
        for (std::size_t f = 0; f < frames; ++f) {
            const std::uint32_t bits = magnitude_bits(block[f]);
            const std::uint32_t peak = std::bit_cast<std::uint32_t>(peaks[f]);
            largest = bits > largest ? bits : largest;
            peaks[f] = std::bit_cast<float>(bits > peak ? bits : peak);
        }
    }
    return largest;
}

// Frames per stretch of the application pass.
constexpr std::size_t kApplyStretch = 2048;

// Whether every gain of the stretch is exactly 1.0: its samples then stay as
// they are (a level at or below the ceiling is at or below the ceiling rounded
// to 32 bits, so the clamp cannot act either).
[[gnu::always_inline]] inline bool all_unity(const float* gains, std::size_t count) noexcept
{
    // Compared as bit patterns, which vectorises (1.0f is 0x3F800000).
    std::uint32_t differs = 0;
    for (std::size_t f = 0; f < count; ++f) differs |= std::bit_cast<std::uint32_t>(gains[f]) ^ 0x3F800000u;
    return differs == 0;
}

[[gnu::always_inline]] inline void apply_run(const float* in, float* out, std::size_t count, const float* gain,
                                             float ceiling) noexcept
{
    const float floor = -ceiling;
    for (std::size_t f = 0; f < count; ++f) {
        const float y = in[f] * gain[f];
        const float low = y < floor ? floor : y;
        out[f] = low > ceiling ? ceiling : low;
    }
}

// Multiplies every sample by its frame's gain and clamps it to the ceiling.
// Stretches of unity gains are copied (or, in place, left alone).
[[gnu::always_inline]] inline void application_pass(const float* in, std::size_t in_stride, float* out,
                                                     std::size_t out_stride, std::size_t channels, std::size_t frames,
                                                     const float* gains, float ceiling) noexcept
{
    const bool in_place = in == out;
    for (std::size_t first = 0; first < frames; first += kApplyStretch) {
        const std::size_t count = std::min(kApplyStretch, frames - first);
        const bool unity = all_unity(gains + first, count);
        if (unity && in_place) continue;
        for (std::size_t c = 0; c < channels; ++c) {
            const float* source = in + c * in_stride + first;
            float* target = out + c * out_stride + first;
            if (unity)
                std::memcpy(target, source, count * sizeof(float));
            else if (in_place)
                apply_run(target, target, count, gains + first, ceiling);
            else
                apply_run(source, target, count, gains + first, ceiling);
        }
    }
}

#if NALO_X86_DISPATCH
// Unsigned 32-bit maxima need AVX2 to vectorise on x86-64.
[[gnu::target("avx2")]] std::uint32_t peaks_pass_avx2(const float* samples, std::size_t channels, std::size_t stride,
                                                       std::size_t frames, float* peaks) noexcept
{
    return peaks_pass(samples, channels, stride, frames, peaks);
}

[[gnu::target("avx2")]] void application_pass_avx2(const float* in, std::size_t in_stride, float* out,
                                                    std::size_t out_stride, std::size_t channels, std::size_t frames,
                                                    const float* gains, float ceiling) noexcept
{
    application_pass(in, in_stride, out, out_stride, channels, frames, gains, ceiling);
}
#endif

}  // namespace

std::uint32_t compute_peaks(const float* samples, std::size_t channels, std::size_t stride, std::size_t frames,
                            float* peaks) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return peaks_pass_avx2(samples, channels, stride, frames, peaks);
#endif
    return peaks_pass(samples, channels, stride, frames, peaks);
}

// Stretches are first checked with a comparison that vectorises; only a
// stretch that fails is searched for its first bad sample.
std::size_t first_non_finite(std::span<const float> samples) noexcept
{
    constexpr std::size_t kStretch = 4096;
    for (std::size_t first = 0; first < samples.size(); first += kStretch) {
        const std::size_t end = std::min(samples.size(), first + kStretch);
        int bad = 0;
        for (std::size_t i = first; i < end; ++i) bad |= std::fabs(samples[i]) <= FLT_MAX ? 0 : 1;
        if (bad == 0) continue;
        for (std::size_t i = first; i < end; ++i)
            if (!(std::fabs(samples[i]) <= FLT_MAX)) return i;
    }
    return samples.size();
}

std::size_t first_non_finite(const float* samples, std::size_t channels, std::size_t stride,
                             std::size_t frames) noexcept
{
    for (std::size_t c = 0; c < channels; ++c) {
        const std::size_t f = first_non_finite({samples + c * stride, frames});
        if (f < frames) return c * frames + f;
    }
    return channels * frames;
}

void apply_gains(const float* in, std::size_t in_stride, float* out, std::size_t out_stride, std::size_t channels,
                 std::size_t frames, const float* gains, float ceiling) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return application_pass_avx2(in, in_stride, out, out_stride, channels, frames, gains, ceiling);
#endif
    application_pass(in, in_stride, out, out_stride, channels, frames, gains, ceiling);
}

}  // namespace nalo
