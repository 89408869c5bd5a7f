// The kernels' view of their inputs: a column of n values, or one value standing for all n (a
// scalar broadcast without copying it n times).
#pragma once

#include <cstddef>
#include <span>

namespace greeks::vector {

template <class T>
struct Column {
    const T* data;
    std::size_t step;  // 1 for n values, 0 for one value broadcast
    T operator[](std::size_t i) const { return data[i * step]; }
};

using Numbers = Column<double>;
using Flags = Column<unsigned char>;  // numpy's bool: one byte, 0 or 1

}  // namespace greeks::vector
