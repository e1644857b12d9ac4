#include "pcm.hpp"

#include "simd/cpu_dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if NALO_X86_DISPATCH
#include <immintrin.h>
#endif

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
// Four samples at a time: a byte shuffle moves between packed samples and
// left-justified 32-bit lanes (the lowest byte zero), the arithmetic is that
// of the scalar loops lane by lane; the scalar loops finish each call.

// For lane k, bytes 4k .. 4k+3 of the lanes from the 3- or 2-byte samples
// at 16 bytes; -1 gives zero.
template <unsigned Bytes, bool BigEndian>
[[gnu::target("avx2")]] __m128i unpacking_shuffle() noexcept
{
    alignas(16) std::int8_t order[16];
    for (unsigned lane = 0; lane < 4; ++lane)
        for (unsigned b = 0; b < 4; ++b) {
            // Byte b of the lane (0 least significant) holds the sample's byte
            // of significance b - (4 - Bytes), if any.
            const int significance = static_cast<int>(b) - static_cast<int>(4 - Bytes);
            order[4 * lane + b] = significance < 0 ? -1
                                  : static_cast<std::int8_t>(Bytes * lane +
                                                             (BigEndian ? Bytes - 1 - significance : significance));
        }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(order));
}

// The inverse: byte i of 4 * Bytes packed bytes from the 32-bit lanes of the
// steps (right-justified, two's complement).
template <unsigned Bytes, bool BigEndian>
[[gnu::target("avx2")]] __m128i packing_shuffle() noexcept
{
    alignas(16) std::int8_t order[16];
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned lane = i / Bytes, b = i % Bytes;
        order[i] = i < 4 * Bytes ? static_cast<std::int8_t>(4 * lane + (BigEndian ? Bytes - 1 - b : b)) : -1;
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(order));
}

template <unsigned Bytes, bool BigEndian>
[[gnu::target("avx2")]] float decode_vector(const std::uint8_t* packed, std::size_t count, float* out) noexcept
{
    const __m128i shuffle = unpacking_shuffle<Bytes, BigEndian>();
    const __m128 scale = _mm_set1_ps(0x1p-31f);
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 largest = _mm_setzero_ps();
    std::size_t i = 0;
    // 16 bytes are loaded for 4 * Bytes: stop while they lie inside.
    for (; i + 4 <= count && Bytes * i + 16 <= Bytes * count; i += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(packed + Bytes * i));
        const __m128 x = _mm_mul_ps(_mm_cvtepi32_ps(_mm_shuffle_epi8(bytes, shuffle)), scale);
        _mm_storeu_ps(out + i, x);
        largest = _mm_max_ps(largest, _mm_and_ps(x, magnitude));
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, largest);
    const float tail = decode<Bytes, BigEndian>(packed + Bytes * i, count - i, out + i);
    return std::max({lanes[0], lanes[1], lanes[2], lanes[3], tail});
}

template <unsigned Bytes, bool BigEndian>
[[gnu::target("avx2")]] std::int32_t encode_vector(float* samples, std::size_t count, std::int32_t top,
                                                   std::uint8_t* packed) noexcept
{
    constexpr float kScale = static_cast<float>(std::uint32_t{1} << (8 * Bytes - 1));
    const __m128i shuffle = packing_shuffle<Bytes, BigEndian>();
    const __m128 scale = _mm_set1_ps(kScale), step_value = _mm_set1_ps(1.0f / kScale);
    const __m128 low = _mm_set1_ps(-static_cast<float>(top));
    const __m128 high = _mm_set1_ps(std::min(static_cast<float>(top), kScale - 1.0f));
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 largest = _mm_setzero_ps();
    std::size_t i = 0;
    // 16 bytes are stored for 4 * Bytes: the next group's store overwrites
    // the rest; stop while they lie inside.
    for (; i + 4 <= count && Bytes * i + 16 <= Bytes * count; i += 4) {
        const __m128 rounded = _mm_round_ps(_mm_mul_ps(_mm_loadu_ps(samples + i), scale),
                                            _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        // The clamp, operand for operand: max(a, b) is a > b ? a : b, and
        // min(a, b) is a < b ? a : b.
        const __m128 step = _mm_min_ps(high, _mm_max_ps(low, rounded));
        _mm_storeu_ps(samples + i, _mm_mul_ps(step, step_value));
        largest = _mm_max_ps(largest, _mm_and_ps(step, magnitude));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(packed + Bytes * i),
                         _mm_shuffle_epi8(_mm_cvtps_epi32(step), shuffle));
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, largest);
    const std::int32_t tail = encode<Bytes, BigEndian>(samples + i, count - i, top, packed + Bytes * i);
    return std::max(static_cast<std::int32_t>(std::max({lanes[0], lanes[1], lanes[2], lanes[3]})), tail);
}

[[gnu::target("avx2")]] float decode_avx2(const std::uint8_t* packed, std::size_t count, PcmFormat format,
                                          float* out) noexcept
{
    if (format.bytes == 2)
        return format.big_endian ? decode_vector<2, true>(packed, count, out) : decode_vector<2, false>(packed, count, out);
    return format.big_endian ? decode_vector<3, true>(packed, count, out) : decode_vector<3, false>(packed, count, out);
}

[[gnu::target("avx2")]] std::int32_t encode_avx2(float* samples, std::size_t count, PcmFormat format, std::int32_t top,
                                                 std::uint8_t* packed) noexcept
{
    if (format.bytes == 2)
        return format.big_endian ? encode_vector<2, true>(samples, count, top, packed)
                                 : encode_vector<2, false>(samples, count, top, packed);
    return format.big_endian ? encode_vector<3, true>(samples, count, top, packed)
                             : encode_vector<3, false>(samples, count, top, packed);
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
