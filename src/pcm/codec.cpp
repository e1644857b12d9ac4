#include "pcm.hpp"

#include "simd/cpu_dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace nalo {

namespace {

// The sample at `p` as a left-justified 32-bit integer (its bits in the top
// of the word), assembled from bytes so that no read goes past the sample.
template <unsigned Bytes, bool BigEndian>
[[gnu::always_inline]] inline std::int32_t left_justified(const std::uint8_t* p) noexcept
{
    std::uint32_t word = 0;
    for (unsigned b = 0; b < Bytes; ++b) {
        const unsigned significance = BigEndian ? Bytes - 1 - b : b;  // 0 for the least significant byte
        word |= std::uint32_t{p[b]} << (8 * (4 - Bytes + significance));
    }
    return static_cast<std::int32_t>(word);
}

template <unsigned Bytes, bool BigEndian>
[[gnu::always_inline]] inline void store(std::int32_t step, std::uint8_t* p) noexcept
{
    const auto word = static_cast<std::uint32_t>(step);
    for (unsigned b = 0; b < Bytes; ++b) {
        const unsigned significance = BigEndian ? Bytes - 1 - b : b;
        p[b] = static_cast<std::uint8_t>(word >> (8 * significance));
    }
}

template <unsigned Bytes, bool BigEndian>
[[gnu::always_inline]] inline float decode(const std::uint8_t* packed, std::size_t count, float* out) noexcept
{
    // Integers of up to 24 significant bits convert to float exactly, and
    // the power-of-two scale is exact too.
    constexpr float kScale = 0x1p-31f;
    float largest = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        const float x = static_cast<float>(left_justified<Bytes, BigEndian>(packed + Bytes * i)) * kScale;
        out[i] = x;
        largest = std::max(largest, std::fabs(x));
    }
    return largest;
}

template <unsigned Bytes, bool BigEndian>
[[gnu::always_inline]] inline std::int32_t encode(float* samples, std::size_t count, std::int32_t top, std::uint8_t* packed) noexcept
{
    constexpr float kScale = static_cast<float>(std::uint32_t{1} << (8 * Bytes - 1));
    constexpr float kStepValue = 1.0f / kScale;
    const float low = -static_cast<float>(top);
    const float high = std::min(static_cast<float>(top), kScale - 1.0f);
    float largest = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        // Scaling by a power of two is exact; the rounding is the one step.
        const float step = std::clamp(std::nearbyint(samples[i] * kScale), low, high);
        samples[i] = step * kStepValue;
        largest = std::max(largest, std::fabs(step));
        store<Bytes, BigEndian>(static_cast<std::int32_t>(step), packed + Bytes * i);
    }
    return static_cast<std::int32_t>(largest);
}

// Every layout, compiled once per instruction set: rounding to the nearest
// integer is one instruction with AVX2, a library call without.
[[gnu::always_inline]] inline float decode_any(const std::uint8_t* packed, std::size_t count, PcmFormat format,
                                               float* out) noexcept
{
    if (format.bytes == 2) return format.big_endian ? decode<2, true>(packed, count, out) : decode<2, false>(packed, count, out);
    return format.big_endian ? decode<3, true>(packed, count, out) : decode<3, false>(packed, count, out);
}

[[gnu::always_inline]] inline std::int32_t encode_any(float* samples, std::size_t count, PcmFormat format,
                                                      std::int32_t top, std::uint8_t* packed) noexcept
{
    if (format.bytes == 2)
        return format.big_endian ? encode<2, true>(samples, count, top, packed)
                                 : encode<2, false>(samples, count, top, packed);
    return format.big_endian ? encode<3, true>(samples, count, top, packed) : encode<3, false>(samples, count, top, packed);
}

#if NALO_X86_DISPATCH
[[gnu::target("avx2")]] float decode_avx2(const std::uint8_t* packed, std::size_t count, PcmFormat format,
                                          float* out) noexcept
{
    return decode_any(packed, count, format, out);
}

[[gnu::target("avx2")]] std::int32_t encode_avx2(float* samples, std::size_t count, PcmFormat format, std::int32_t top,
                                                 std::uint8_t* packed) noexcept
{
    return encode_any(samples, count, format, top, packed);
}
#endif

}  // namespace

float decode_pcm(const std::uint8_t* packed, std::size_t count, PcmFormat format, float* out) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return decode_avx2(packed, count, format, out);
#endif
    return decode_any(packed, count, format, out);
}

std::int32_t encode_pcm(float* samples, std::size_t count, PcmFormat format, std::int32_t top,
                        std::uint8_t* packed) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return encode_avx2(samples, count, format, top, packed);
#endif
    return encode_any(samples, count, format, top, packed);
}

}  // namespace nalo
