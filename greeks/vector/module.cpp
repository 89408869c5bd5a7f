// greeks._vector: the array kernels. The Python layer (greeks/chain.py) converts and broadcasts
// the arguments and allocates the outputs; these entry points borrow the buffers, release the GIL
// around the loop and write the results in place.
#include "greeks/runtime/compat.hpp"
#include "greeks/vector/buffers.hpp"
#include "greeks/vector/chain_reader.hpp"
#include "greeks/vector/greeks_kernel.hpp"
#include "greeks/vector/parallel.hpp"

#include <array>

namespace greeks::vector {
namespace {

// ---- greeks(spot, strike, time, rate, vol, is_call, delta, gamma, theta, vega, rho, threads)

constexpr const char* greeks_input_names[] = {"spot", "strike", "time_to_expiry", "rate",
                                              "volatility"};
constexpr const char* greeks_output_names[] = {"delta", "gamma", "theta", "vega", "rho"};

PyObject* greeks_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 12) {
        PyErr_Format(PyExc_TypeError, "greeks() takes 12 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    std::array<Buffer, 5> outputs;
    std::size_t n = 0;
    if (acquire_outputs({args + 6, 5}, outputs, greeks_output_names, &n) < 0) {
        return nullptr;
    }
    std::array<Buffer, 5> numbers;
    std::array<Numbers, 5> columns{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i].acquire(args[i], greeks_input_names[i], 'd', false) < 0 ||
            numbers[i].as_numbers(n, &columns[i]) < 0) {
            return nullptr;
        }
    }
    Buffer call_flags;
    Flags is_call{};
    unsigned threads = 0;
    if (call_flags.acquire(args[5], "is_call", '?', false) < 0 ||
        call_flags.as_flags(n, &is_call) < 0 || thread_argument(args[11], &threads) < 0) {
        return nullptr;
    }

    GreeksInputs in{columns[0], columns[1], columns[2], columns[3], columns[4], is_call};
    GreeksOutputs out{outputs[0].doubles(), outputs[1].doubles(), outputs[2].doubles(),
                      outputs[3].doubles(), outputs[4].doubles()};
    Py_BEGIN_ALLOW_THREADS;
    for_each_chunk(n, thread_count(n, threads),
                   [&in, &out](std::size_t begin, std::size_t end) {
                       greeks_kernel(in, out, begin, end);
                   });
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

// ---- the module

PyMethodDef vector_methods[] = {
    {"greeks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(greeks_entry)),
     METH_FASTCALL,
     "greeks(spot, strike, time_to_expiry, rate, volatility, is_call, delta, gamma, theta, vega, "
     "rho, threads)\n--\n\nWrites the Black-Scholes Greeks of every leg into the five outputs."},
    {"read_legs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_legs_entry)),
     METH_FASTCALL,
     "read_legs(rows, row_keys, side_names, value_keys, day_number, strike, day, is_call, "
     "values)\n--\n\nReads the legs of a chain's rows into the columns; returns (legs, "
     "skipped)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot vector_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef vector_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "greeks._vector",
    .m_doc = "Array kernels: Black-Scholes Greeks and implied volatility over float64 buffers.",
    .m_size = 0,
    .m_methods = vector_methods,
    .m_slots = vector_slots,
};

}  // namespace
}  // namespace greeks::vector

PyMODINIT_FUNC PyInit__vector() { return PyModuleDef_Init(&greeks::vector::vector_module); }
