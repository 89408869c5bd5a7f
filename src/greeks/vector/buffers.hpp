// Borrowing the memory of the arrays the Python layer passes in: the one place where the kernel
// module reads Python objects.
#pragma once

#include "greeks/runtime/compat.hpp"
#include "greeks/vector/columns.hpp"

#include <cstddef>
#include <span>

namespace greeks::vector {

// One contiguous buffer, released when the owner goes out of scope.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    // Borrows obj's memory, which must be C-contiguous and hold float64 ('d'), int64 ('q'), bool
    // ('?') or int8 ('b') as `format` says. Returns 0, or -1 with TypeError or BufferError set;
    // `name` goes in the message.
    int acquire(PyObject* obj, const char* name, char format, bool writable);
    std::size_t size() const { return size_; }
    std::span<double> doubles() const { return {static_cast<double*>(view_.buf), size_}; }
    std::span<long long> int64s() const { return {static_cast<long long*>(view_.buf), size_}; }
    std::span<unsigned char> flags() const {
        return {static_cast<unsigned char*>(view_.buf), size_};
    }
    std::span<signed char> int8s() const { return {static_cast<signed char*>(view_.buf), size_}; }

    // The buffer as a kernel input of n elements (one value is broadcast). -1 with ValueError set
    // when it holds neither 1 nor n values.
    int as_numbers(std::size_t n, Numbers* column) const;
    int as_flags(std::size_t n, Flags* column) const;

private:
    int check_broadcast(std::size_t n) const;

    Py_buffer view_{};
    bool held_ = false;
    const char* name_ = "";
    std::size_t size_ = 0;
};

// Borrows the output arrays, which must all be writable float64 of one length; stores it in *n.
// -1 with an exception set otherwise.
int acquire_outputs(std::span<PyObject* const> objects, std::span<Buffer> buffers,
                    const char* const* names, std::size_t* n);

// The thread-count argument: a non-negative int, 0 for one thread per core.
int thread_argument(PyObject* obj, unsigned* threads);

}  // namespace greeks::vector
