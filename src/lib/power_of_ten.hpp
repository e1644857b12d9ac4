// Correctly rounded base-10 exponential.
#pragma once

namespace nalo {

// 10 to the power x, rounded to the nearest double: exp10(-1) is the double
// nearest to 0.1 and exp10(-0.05) the double nearest to 10^-0.05. The C
// library's exp10 is only accurate to about an ulp on some platforms (glibc
// 2.36 gives 0.09999999999999999 for -1), which would make a limiter's
// ceiling depend on the machine. Results below the normal range (x below
// about -307.6) may be off by one unit of the subnormal grid.
double exp10_correctly_rounded(double x) noexcept;

}  // namespace nalo
