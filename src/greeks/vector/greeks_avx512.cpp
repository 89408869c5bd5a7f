// The Greeks eight legs at a time; the build compiles this file alone for AVX-512 (F and DQ).
#include "greeks/vector/lanes_avx512.hpp"

#include "greeks/vector/greeks_lanes.hpp"

namespace greeks::vector {

void greeks_kernel_avx512(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                          std::size_t end) {
    lanes::greeks_kernel<Avx512>(columns, begin, end);
}

}  // namespace greeks::vector
