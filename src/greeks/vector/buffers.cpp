#include "greeks/vector/buffers.hpp"
#include "greeks/vector/messages.hpp"

#include <climits>
#include <cstring>

namespace greeks::vector {

namespace {

// The struct-module format of the buffer without a native byte-order prefix, or null when the
// order is not native.
const char* native_format(const char* format) {
    if (format == nullptr) return "B";
    if (*format == '@' || *format == '=') return format + 1;
    if (*format == (PY_LITTLE_ENDIAN ? '<' : '>')) return format + 1;
    return std::strchr("<>!", *format) != nullptr ? nullptr : format;
}

// Whether a buffer of struct-module format `actual` holds items of the kernel format `wanted`:
// numpy writes int64 as 'l' where long has 64 bits.
bool format_matches(const char* actual, char wanted) {
    if (actual == nullptr || actual[0] == '\0' || actual[1] != '\0') return false;
    return actual[0] == wanted || (wanted == 'q' && sizeof(long) == 8 && actual[0] == 'l');
}

}  // namespace

Buffer::~Buffer() {
    if (held_) PyBuffer_Release(&view_);
}

int Buffer::acquire(PyObject* obj, const char* name, char format, bool writable) {
    name_ = name;
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
    held_ = true;
    Py_ssize_t itemsize = format == '?' || format == 'b' ? 1 : 8;
    if (!format_matches(native_format(view_.format), format) || view_.itemsize != itemsize) {
        PyErr_Format(PyExc_TypeError, messages::wrong_buffer, name, format,
                     view_.format != nullptr ? view_.format : "B");
        return -1;
    }
    size_ = static_cast<std::size_t>(view_.len / itemsize);
    return 0;
}

int Buffer::check_broadcast(std::size_t n) const {
    if (size_ == 1 || size_ == n) return 0;
    PyErr_Format(PyExc_ValueError, messages::not_broadcastable, name_, size_, n);
    return -1;
}

int Buffer::as_numbers(std::size_t n, Numbers* column) const {
    if (check_broadcast(n) < 0) return -1;
    *column = {static_cast<const double*>(view_.buf), size_ == 1 && n != 1 ? 0u : 1u};
    return 0;
}

int Buffer::as_flags(std::size_t n, Flags* column) const {
    if (check_broadcast(n) < 0) return -1;
    *column = {static_cast<const unsigned char*>(view_.buf), size_ == 1 && n != 1 ? 0u : 1u};
    return 0;
}

int acquire_outputs(std::span<PyObject* const> objects, std::span<Buffer> buffers,
                    const char* const* names, std::size_t* n) {
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (buffers[i].acquire(objects[i], names[i], 'd', true) < 0) return -1;
        if (i > 0 && buffers[i].size() != buffers[0].size()) {
            PyErr_Format(PyExc_ValueError, messages::wrong_output_length, names[i],
                         buffers[i].size(), buffers[0].size());
            return -1;
        }
    }
    *n = buffers[0].size();
    return 0;
}

int thread_argument(PyObject* obj, unsigned* threads) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < 0 || value > INT_MAX) {
        PyErr_Format(PyExc_ValueError, messages::threads_out_of_range, INT_MAX);
        return -1;
    }
    *threads = static_cast<unsigned>(value);
    return 0;
}

}  // namespace greeks::vector
