// The Greeks four legs at a time; the build compiles this file alone for AVX2 and FMA.
#include "greeks/vector/lanes_avx2.hpp"

#include "greeks/vector/greeks_lanes.hpp"

namespace greeks::vector {

void greeks_kernel_avx2(const ColumnsWithOutputs<greek_count>& columns, std::size_t begin,
                        std::size_t end) {
    lanes::greeks_kernel<Avx2>(columns, begin, end);
}

}  // namespace greeks::vector
