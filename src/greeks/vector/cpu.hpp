// Whether this build has the vector paths (AVX2 and FMA, through glibc's libmvec) and this CPU can
// run them.
#pragma once

namespace greeks::vector {

inline bool vector_paths_usable() {
#if defined(GREEKS_VECTOR_ERFC)
    // Asked once: the CPU does not change under a running process.
    static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return usable;
#else
    return false;
#endif
}

}  // namespace greeks::vector
