#include "loudness/channel_filter.hpp"

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

}  // namespace

void add_squares(const KWeighting& filter, ChannelPair& pair, const float* first, const float* second,
                 std::size_t frames) noexcept
{
    const FlushSubnormals flush;
    const Coefficients shelf(filter.shelf), high_pass(filter.high_pass);
    Pair x1 = pair.x1, x2 = pair.x2, s1 = pair.s1, s2 = pair.s2, z1 = pair.z1, z2 = pair.z2;
    Pair squares = pair.squares;
    for (std::size_t n = 0; n < frames; ++n) {
        const Pair x = {static_cast<double>(first[n]), static_cast<double>(second[n])};
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

}  // namespace nalo::loudness
