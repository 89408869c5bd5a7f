// The Python entry shared by the element-wise kernels: six number columns, one flag column, the
// output columns and a thread count, all checked here before the GIL is released around the loop.
#pragma once

#include "greeks/runtime/compat.hpp"
#include "greeks/vector/buffers.hpp"
#include "greeks/vector/columns.hpp"
#include "greeks/vector/parallel.hpp"
#include "greeks/vector/messages.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace greeks::vector {

inline constexpr std::size_t number_inputs = 6;
// The Greeks kernel's outputs: delta, gamma, theta, vega, rho.
inline constexpr std::size_t greek_count = 5;

// What an element-wise kernel reads and writes: the six number columns, is_call, and `Outputs`
// output columns.
template <std::size_t Outputs>
struct ColumnsWithOutputs {
    std::array<Numbers, number_inputs> numbers;
    Flags is_call;
    std::array<std::span<double>, Outputs> outputs;
};

// Arguments: the six inputs, is_call, the Outputs output arrays, threads. Inputs hold one value
// or one per output element. `kernel(columns, begin, end)` fills elements [begin, end) and runs
// without the GIL. Returns None, or null with an exception set.
template <std::size_t Outputs, class Kernel>
PyObject* elementwise_entry(const char* function,
                            const std::array<const char*, number_inputs>& input_names,
                            const std::array<const char*, Outputs>& output_names,
                            PyObject* const* args, Py_ssize_t nargs, Kernel kernel) {
    constexpr Py_ssize_t expected = number_inputs + 1 + Outputs + 1;
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, messages::arg_count, function, expected, nargs);
        return nullptr;
    }
    std::array<Buffer, Outputs> outputs;
    std::size_t n = 0;
    if (acquire_outputs({args + number_inputs + 1, Outputs}, outputs, output_names.data(), &n) < 0)
        return nullptr;
    ColumnsWithOutputs<Outputs> columns{};
    std::array<Buffer, number_inputs> numbers;
    for (std::size_t i = 0; i < number_inputs; ++i) {
        if (numbers[i].acquire(args[i], input_names[i], 'd', false) < 0 ||
            numbers[i].as_numbers(n, &columns.numbers[i]) < 0) {
            return nullptr;
        }
    }
    Buffer flags;
    unsigned threads = 0;
    if (flags.acquire(args[number_inputs], "is_call", '?', false) < 0 ||
        flags.as_flags(n, &columns.is_call) < 0 ||
        thread_argument(args[expected - 1], &threads) < 0) {
        return nullptr;
    }
    for (std::size_t i = 0; i < Outputs; ++i) columns.outputs[i] = outputs[i].doubles();
    Py_BEGIN_ALLOW_THREADS;
    for_each_chunk(
        n, thread_count(n, threads),
        [&columns, &kernel](std::size_t begin, std::size_t end) { kernel(columns, begin, end); });
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

}  // namespace greeks::vector
