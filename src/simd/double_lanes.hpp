// Fixed-width vectors of doubles for the envelope's element-wise passes,
// written with the compiler's vector extensions so that the same code maps to
// SSE2, AVX2 or NEON. Every lane operation is the IEEE operation on that
// lane, so results equal the scalar code bit for bit.
#pragma once

#include <cstdint>
#include <cstring>

namespace nalo::lanes {

template <int N>
struct Vector;

template <>
struct Vector<2> {
    typedef double Double __attribute__((vector_size(16)));
    typedef std::int64_t Mask __attribute__((vector_size(16)));
    typedef float Float __attribute__((vector_size(8)));
};

template <>
struct Vector<4> {
    typedef double Double __attribute__((vector_size(32)));
    typedef std::int64_t Mask __attribute__((vector_size(32)));
    typedef float Float __attribute__((vector_size(16)));
};

template <int N>
using Double = typename Vector<N>::Double;
template <int N>
using Mask = typename Vector<N>::Mask;

template <int N>
[[gnu::always_inline]] inline Double<N> splat(double value) noexcept
{
    return Double<N>{} + value;
}

// N floats from memory, each widened exactly to a double.
template <int N>
[[gnu::always_inline]] inline Double<N> load_widened(const float* source) noexcept
{
    typename Vector<N>::Float narrow;
    std::memcpy(&narrow, source, sizeof narrow);
    // Lane by lane rather than __builtin_convertvector, which some compilers
    // split into halves for 4 lanes; either way each lane converts exactly.
    if constexpr (N == 2)
        return Double<N>{narrow[0], narrow[1]};
    else
        return Double<N>{narrow[0], narrow[1], narrow[2], narrow[3]};
}

// N doubles narrowed to floats (to nearest, ties to even) and stored.
template <int N>
[[gnu::always_inline]] inline void store_narrowed(float* target, Double<N> value) noexcept
{
    const auto narrow = __builtin_convertvector(value, typename Vector<N>::Float);
    std::memcpy(target, &narrow, sizeof narrow);
}

template <int N>
[[gnu::always_inline]] inline Double<N> load(const double* source) noexcept
{
    Double<N> value;
    std::memcpy(&value, source, sizeof value);
    return value;
}

template <int N>
[[gnu::always_inline]] inline void store(double* target, Double<N> value) noexcept
{
    std::memcpy(target, &value, sizeof value);
}

// Lane-wise `mask ? a : b`, with `mask` from a lane-wise comparison.
template <int N>
[[gnu::always_inline]] inline Double<N> select(Mask<N> mask, Double<N> a, Double<N> b) noexcept
{
    return reinterpret_cast<Double<N>>((reinterpret_cast<Mask<N>>(a) & mask) | (reinterpret_cast<Mask<N>>(b) & ~mask));
}

// Lane-wise minimum of values that are never NaN.
template <int N>
[[gnu::always_inline]] inline Double<N> min(Double<N> a, Double<N> b) noexcept
{
    return select<N>(a < b, a, b);
}

// Lane k becomes the minimum of lanes k .. N - 1 (a suffix minimum within
// the vector), for values that are never NaN.
template <int N>
[[gnu::always_inline]] inline Double<N> suffix_min(Double<N> v) noexcept
{
    const Double<N> inf = splat<N>(__builtin_inf());
    if constexpr (N == 2) {
        v = min<N>(v, __builtin_shufflevector(v, inf, 1, 2));
    } else {
        v = min<N>(v, __builtin_shufflevector(v, inf, 1, 2, 3, 4));
        v = min<N>(v, __builtin_shufflevector(v, inf, 2, 3, 4, 5));
    }
    return v;
}

// Whether any lane of a comparison's mask is set.
template <int N>
[[gnu::always_inline]] inline bool any(Mask<N> mask) noexcept
{
    if constexpr (N == 4) {
        // The halves first: fewer extractions from the vector than lane by lane.
        const Mask<2> half = __builtin_shufflevector(mask, mask, 0, 1) | __builtin_shufflevector(mask, mask, 2, 3);
        return (half[0] | half[1]) != 0;
    } else {
        return (mask[0] | mask[1]) != 0;
    }
}

}  // namespace nalo::lanes
