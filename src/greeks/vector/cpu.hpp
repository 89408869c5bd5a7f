// Whether this build has the vector paths (through glibc's libmvec) and this CPU can run them:
// four lanes need AVX2 and FMA, eight lanes AVX-512 F and DQ.
#pragma once

namespace greeks::vector {

// Asked once: the CPU does not change under a running process.
inline bool vector_paths_usable() {
#if defined(GREEKS_VECTOR_ERFC)
    static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return usable;
#else
    return false;
#endif
}

inline bool wide_paths_usable() {
#if defined(GREEKS_VECTOR_ERFC)
    static const bool usable = vector_paths_usable() && __builtin_cpu_supports("avx512f") &&
                               __builtin_cpu_supports("avx512dq");
    return usable;
#else
    return false;
#endif
}

// How many legs the Greeks kernel prices at a time on this CPU.
inline int greeks_lanes() { return wide_paths_usable() ? 8 : vector_paths_usable() ? 4 : 1; }

}  // namespace greeks::vector
