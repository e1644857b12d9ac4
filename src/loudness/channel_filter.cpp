#include "loudness/channel_filter.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "simd/cpu_dispatch.hpp"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace nalo::loudness {
namespace {

// Subnormals flushed to zero for the lifetime of the scope (x86), the
// caller's floating-point mode restored after.
class FlushSubnormals {
public:
#if defined(__SSE__)
    FlushSubnormals() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
    ~FlushSubnormals() { _mm_setcsr(saved_); }

private:
    static constexpr unsigned kFlushToZero = 0x8000, kDenormalsAreZero = 0x0040;
    unsigned saved_;
#endif
};

struct Coefficients {
    Pair b0, b1, b2, a1, a2;
    explicit Coefficients(const Biquad& q)
        : b0(lanes::splat<2>(q.b0)), b1(lanes::splat<2>(q.b1)), b2(lanes::splat<2>(q.b2)),
          a1(lanes::splat<2>(q.a1)), a2(lanes::splat<2>(q.a2))
    {
    }
};

// One section, its newest feedback term last: the loop-carried dependency
// is then a single multiply and subtract per sample.
[[gnu::always_inline]] inline Pair section(const Coefficients& c, Pair x, Pair x1, Pair x2, Pair y1, Pair y2) noexcept
{
    return (((c.b0 * x + c.b1 * x1) + c.b2 * x2) - c.a2 * y2) - c.a1 * y1;
}

// The high-pass section, whose numerator is 1, -2, 1: the same bits as
// section() (the products by 1 and -2 are exact), with two multiplies fewer.
[[gnu::always_inline]] inline Pair high_pass_section(const Coefficients& c, Pair x, Pair x1, Pair x2, Pair y1,
                                                     Pair y2) noexcept
{
    return (((x - (x1 + x1)) + x2) - c.a2 * y2) - c.a1 * y1;
}

using FloatPair = float __attribute__((vector_size(8)));

template <class Sample>
[[gnu::always_inline]] inline Sample load(const char* at) noexcept
{
    Sample value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// One sample of each lane as the doubles the filter takes: a double is first
// rounded to the nearest float, as any conversion of the signal to float
// would. The rounding is done on the vector: g++ 12 drops it when scalar
// round trips through float build the vector.
template <class Sample>
[[gnu::always_inline]] inline Pair load_pair(const char* first, const char* second) noexcept
{
    if constexpr (std::is_same_v<Sample, double>) {
        const Pair wide = {load<double>(first), load<double>(second)};
        return __builtin_convertvector(__builtin_convertvector(wide, FloatPair), Pair);
    } else {
        const FloatPair narrow = {load<float>(first), load<float>(second)};
        return __builtin_convertvector(narrow, Pair);
    }
}

template <class Sample>
[[gnu::always_inline]] inline void filter_run(const KWeighting& filter, ChannelPair& pair, const LaneSamples& samples,
                                              std::size_t frames) noexcept
{
    const FlushSubnormals flush;
    const Coefficients shelf(filter.shelf), high_pass(filter.high_pass);
    Pair x1 = pair.x1, x2 = pair.x2, s1 = pair.s1, s2 = pair.s2, z1 = pair.z1, z2 = pair.z2;
    Pair squares = pair.squares;
    const char* first = samples.lane[0];
    const char* second = samples.lane[1];
    for (std::size_t n = 0; n < frames; ++n) {
        const Pair x = load_pair<Sample>(first, second);
        first += samples.stride;
        second += samples.stride;
        const Pair s = section(shelf, x, x1, x2, s1, s2);
        const Pair z = high_pass_section(high_pass, s, s1, s2, z1, z2);
        squares += z * z;
        x2 = x1;
        x1 = x;
        s2 = s1;
        s1 = s;
        z2 = z1;
        z1 = z;
    }
    pair.x1 = x1;
    pair.x2 = x2;
    pair.s1 = s1;
    pair.s2 = s2;
    pair.z1 = z1;
    pair.z2 = z2;
    pair.squares = squares;
}

void add_squares_baseline(const KWeighting& filter, ChannelPair& pair, const LaneSamples& samples,
                          std::size_t frames) noexcept
{
    if (samples.format == SampleFormat::Float64) return filter_run<double>(filter, pair, samples, frames);
    filter_run<float>(filter, pair, samples, frames);
}

#if NALO_X86_DISPATCH
using Quad = lanes::Double<4>;

// The shelf of frame n (low half) and the high-pass of frame n - kSkew (high
// half) in one four-lane vector: both sections then take one instruction per
// operation, the same IEEE operations on each lane as the baseline (the
// high-pass through the general section, its numerator 1, -2, 1 giving the
// same bits). The high-pass reads shelf outputs kSkew frames old, so the
// vectors of consecutive frames depend on each other only through each
// section's own feedback.
constexpr std::size_t kSkew = 4;

[[gnu::always_inline]] inline Quad join(Pair low, Pair high) noexcept
{
    return __builtin_shufflevector(low, high, 0, 1, 2, 3);
}
[[gnu::always_inline]] inline Pair low_half(Quad q) noexcept { return __builtin_shufflevector(q, q, 0, 1); }
[[gnu::always_inline]] inline Pair high_half(Quad q) noexcept { return __builtin_shufflevector(q, q, 2, 3); }

struct SkewedCoefficients {
    Quad b0, b1, b2, a1, a2;
    explicit SkewedCoefficients(const KWeighting& k)
        : b0(join(lanes::splat<2>(k.shelf.b0), lanes::splat<2>(k.high_pass.b0))),
          b1(join(lanes::splat<2>(k.shelf.b1), lanes::splat<2>(k.high_pass.b1))),
          b2(join(lanes::splat<2>(k.shelf.b2), lanes::splat<2>(k.high_pass.b2))),
          a1(join(lanes::splat<2>(k.shelf.a1), lanes::splat<2>(k.high_pass.a1))),
          a2(join(lanes::splat<2>(k.shelf.a2), lanes::splat<2>(k.high_pass.a2)))
    {
    }
};

// filter_run() for runs longer than the skew: the first kSkew frames through
// the shelf alone, then both sections a frame apart by kSkew, then the last
// kSkew frames through the high-pass alone. Squares are added in frame
// order, so the sums are those of filter_run() bit for bit.
template <class Sample>
[[gnu::always_inline]] inline void skewed_run(const KWeighting& filter, ChannelPair& pair, const LaneSamples& samples,
                                              std::size_t frames) noexcept
{
    const FlushSubnormals flush;
    const Coefficients shelf(filter.shelf), high_pass(filter.high_pass);
    const SkewedCoefficients both(filter);
    const char* first = samples.lane[0];
    const char* second = samples.lane[1];
    const auto next_input = [&]() {
        const Pair x = load_pair<Sample>(first, second);
        first += samples.stride;
        second += samples.stride;
        return x;
    };

    // Shelf outputs s[0 .. kSkew - 1], and its inputs x[kSkew - 2 ..].
    Pair x1 = pair.x1, x2 = pair.x2, s1 = pair.s1, s2 = pair.s2;
    Pair s[kSkew];
    for (std::size_t n = 0; n < kSkew; ++n) {
        const Pair x = next_input();
        s[n] = section(shelf, x, x1, x2, s1, s2);
        x2 = x1;
        x1 = x;
        s2 = s1;
        s1 = s[n];
    }
    // u[n] = (x[n], s[n - kSkew]), v[n] = (s[n], z[n - kSkew]).
    Quad u1 = join(x1, pair.s1), u2 = join(x2, pair.s2);
    Quad v1 = join(s[3], pair.z1), v2 = join(s[2], pair.z2), v3 = join(s[1], Pair{}), v4 = join(s[0], Pair{});
    Quad squares = join(Pair{}, pair.squares);
    for (std::size_t n = kSkew; n < frames; ++n) {
        const Quad u = join(next_input(), low_half(v4));
        const Quad v = (((both.b0 * u + both.b1 * u1) + both.b2 * u2) - both.a2 * v2) - both.a1 * v1;
        squares += v * v;  // the low half, squares of shelf outputs, is never read
        u2 = u1;
        u1 = u;
        v4 = v3;
        v3 = v2;
        v2 = v1;
        v1 = v;
    }
    // The high-pass of the last kSkew frames.
    const Pair tail[kSkew] = {low_half(v4), low_half(v3), low_half(v2), low_half(v1)};
    Pair h1 = high_half(u1), h2 = high_half(u2), z1 = high_half(v1), z2 = high_half(v2);
    Pair sum = high_half(squares);
    for (const Pair& t : tail) {
        const Pair z = high_pass_section(high_pass, t, h1, h2, z1, z2);
        sum += z * z;
        h2 = h1;
        h1 = t;
        z2 = z1;
        z1 = z;
    }
    pair.x1 = low_half(u1);
    pair.x2 = low_half(u2);
    pair.s1 = tail[3];
    pair.s2 = tail[2];
    pair.z1 = z1;
    pair.z2 = z2;
    pair.squares = sum;
}

// Runs too short for the skew take the baseline loop, in the same encoding.
template <class Sample>
[[gnu::always_inline]] inline void any_run(const KWeighting& filter, ChannelPair& pair, const LaneSamples& samples,
                                           std::size_t frames) noexcept
{
    if (frames > kSkew) return skewed_run<Sample>(filter, pair, samples, frames);
    filter_run<Sample>(filter, pair, samples, frames);
}

[[gnu::target("avx2")]] void add_squares_avx2(const KWeighting& filter, ChannelPair& pair,
                                              const LaneSamples& samples, std::size_t frames) noexcept
{
    if (samples.format == SampleFormat::Float64) return any_run<double>(filter, pair, samples, frames);
    any_run<float>(filter, pair, samples, frames);
}
#endif

template <class Sample>
std::size_t first_non_finite_run(const char* first, std::ptrdiff_t stride, std::size_t frames) noexcept
{
    for (std::size_t n = 0; n < frames; ++n, first += stride)
        if (!(std::fabs(static_cast<float>(load<Sample>(first))) <= FLT_MAX)) return n;
    return frames;
}

}  // namespace

void add_squares(const KWeighting& filter, ChannelPair& pair, const LaneSamples& samples, std::size_t frames) noexcept
{
#if NALO_X86_DISPATCH
    if (cpu_has_avx2()) return add_squares_avx2(filter, pair, samples, frames);
#endif
    add_squares_baseline(filter, pair, samples, frames);
}

std::size_t first_non_finite(const char* first, std::ptrdiff_t stride, SampleFormat format,
                             std::size_t frames) noexcept
{
    if (format == SampleFormat::Float64) return first_non_finite_run<double>(first, stride, frames);
    return first_non_finite_run<float>(first, stride, frames);
}

}  // namespace nalo::loudness
