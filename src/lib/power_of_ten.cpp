#include "lib/power_of_ten.hpp"

#include <cmath>

namespace nalo {

namespace {

// Double-double arithmetic: a value is hi + lo with |lo| <= ulp(hi) / 2,
// about 106 significant bits, enough to round almost every result correctly.
struct DoubleDouble {
    double hi;
    double lo;
};

DoubleDouble two_sum(double a, double b) noexcept
{
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

DoubleDouble quick_two_sum(double a, double b) noexcept
{
    const double s = a + b;
    return {s, b - (s - a)};
}

DoubleDouble two_product(double a, double b) noexcept
{
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

DoubleDouble add(DoubleDouble a, DoubleDouble b) noexcept
{
    DoubleDouble s = two_sum(a.hi, b.hi);
    const DoubleDouble t = two_sum(a.lo, b.lo);
    s.lo += t.hi;
    s = quick_two_sum(s.hi, s.lo);
    s.lo += t.lo;
    return quick_two_sum(s.hi, s.lo);
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) noexcept
{
    DoubleDouble p = two_product(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return quick_two_sum(p.hi, p.lo);
}

DoubleDouble multiply(DoubleDouble a, double b) noexcept
{
    DoubleDouble p = two_product(a.hi, b);
    p.lo += a.lo * b;
    return quick_two_sum(p.hi, p.lo);
}

DoubleDouble divide(DoubleDouble a, double b) noexcept
{
    const double q1 = a.hi / b;
    const DoubleDouble p = two_product(q1, b);
    DoubleDouble s = two_sum(a.hi, -p.hi);
    s.lo -= p.lo;
    s.lo += a.lo;
    return quick_two_sum(q1, (s.hi + s.lo) / b);
}

constexpr DoubleDouble kLn10{2.302585092994045901, -2.1707562233822494e-16};
constexpr DoubleDouble kLn2{0.6931471805599452862, 2.3190468138462996e-17};

}  // namespace

double exp10_correctly_rounded(double x) noexcept
{
    if (std::isnan(x)) return x;
    if (x > 309.0) return HUGE_VAL;
    if (x < -324.0) return 0.0;  // below half the smallest subnormal

    // 10^x = 2^k * e^r with x ln 10 = k ln 2 + r and |r| <= ln 2 / 2.
    const DoubleDouble t = multiply(kLn10, x);
    const double k = std::nearbyint(t.hi / kLn2.hi);
    const DoubleDouble r = add(t, multiply(DoubleDouble{-kLn2.hi, -kLn2.lo}, k));

    // e^r by its Taylor series in Horner form: 1 + r(1 + r/2(1 + r/3(...))).
    // 27 terms bring the truncation below 2^-110.
    DoubleDouble e{1.0, 0.0};
    for (int n = 27; n >= 1; --n) e = add(DoubleDouble{1.0, 0.0}, multiply(divide(r, n), e));

    // Round at a normal exponent, then scale exactly; only results below the
    // normal range round a second time.
    const int exponent = static_cast<int>(k);
    const int bias = exponent < -900 ? 200 : 0;
    const double rounded = std::ldexp(e.hi, exponent + bias) + std::ldexp(e.lo, exponent + bias);
    return std::ldexp(rounded, -bias);
}

}  // namespace nalo
