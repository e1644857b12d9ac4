// Eight float lanes for the true-peak filters, written with the compiler's
// vector extensions (AVX2 where the caller is compiled for it, two SSE
// registers otherwise). Every lane operation is the IEEE operation on that
// lane, so lanes and the scalar overloads agree bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace nalo::float_lanes {

constexpr int kLanes = 8;
typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));
typedef std::int32_t LaneBits __attribute__((vector_size(kLanes * sizeof(float))));

// Absolute value by clearing the sign bit.
[[gnu::always_inline]] inline Lanes magnitude(Lanes v) noexcept
{
    return reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(v) & 0x7FFFFFFF);
}
[[gnu::always_inline]] inline float magnitude(float v) noexcept { return std::fabs(v); }

[[gnu::always_inline]] inline Lanes larger(Lanes a, Lanes b) noexcept { return a < b ? b : a; }
[[gnu::always_inline]] inline float larger(float a, float b) noexcept { return a < b ? b : a; }

[[gnu::always_inline]] inline Lanes load(const float* p) noexcept
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store(float* p, Lanes v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace nalo::float_lanes
