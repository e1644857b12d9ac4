// Run-time choice of code paths, for every hot loop of the core. On x86, the
// hot loops are also compiled for AVX2 (and FMA) and chosen at run time;
// NALO_PORTABLE_ONLY builds only the baseline code (to test it on any
// machine).
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && !defined(NALO_PORTABLE_ONLY)
#define NALO_X86_DISPATCH 1
#else
#define NALO_X86_DISPATCH 0
#endif

namespace nalo {

#if NALO_X86_DISPATCH
inline bool cpu_has_avx2() noexcept
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

inline bool cpu_has_avx2_fma() noexcept
{
    static const bool has = __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace nalo
