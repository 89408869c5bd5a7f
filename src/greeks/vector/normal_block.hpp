// The normal CDF over a block of values, for loops that need many at once: four at a time through
// glibc's vector erfc (libmvec) where the build found it and the CPU has AVX2, one at a time
// through the scalar erfc otherwise. The vector erfc is accurate to a few units in the last place
// rather than one, so its results may differ from the scalar path's in the last bits. The
// position grids use it; the Greeks kernel has four-lane formulas of its own (greeks_avx2.cpp).
#pragma once

#include <cstddef>

namespace greeks::vector {

// out[i] = N(x[i]) for i < n; `out` may be `x`. Safe without the GIL.
void normal_cdf_block(const double* x, double* out, std::size_t n) noexcept;

// N(x) for four values at once, defined only in builds with the vector path (normal_avx2.cpp).
void normal_cdf_avx2(const double* x, double* out, std::size_t n) noexcept;

}  // namespace greeks::vector
