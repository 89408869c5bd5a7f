// The exchange sends a chain as JSON, so its rows and sides are dicts; reading them field by field
// in Python costs more than pricing every leg, so the walk over the rows is done here, with the
// GIL held. The caller names every key (this file knows no exchange vocabulary), allocates the
// output columns with room for two legs a row, and parses expiry texts: `day_number(text)` gives
// the day as days since 1970-01-01, or None, and is called once for each distinct text.
//
// Rows that are not dicts, rows whose strike is not a finite number or whose expiry does not
// parse, and sides that are neither dicts nor None (no such side) are counted as skipped. A side's
// value that is missing or not a finite int or float is NaN.
#include "greeks/vector/chain_reader.hpp"

#include "greeks/runtime/ref.hpp"
#include "greeks/vector/buffers.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace greeks::vector {
namespace {

using runtime::Ref;

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The finite number an int or float holds; false for anything else (bool, text, None, huge ints).
bool finite_number(PyObject* value, double* out) {
    if (PyFloat_Check(value)) {
        *out = PyFloat_AS_DOUBLE(value);
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
        *out = PyLong_AsDouble(value);
        if (*out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large for a double: not a usable number
            return false;
        }
    } else {
        return false;
    }
    return std::isfinite(*out);
}

// Looks `key` up in the dict `mapping`: a new reference, or null when absent. -1 on error.
int item(PyObject* mapping, PyObject* key, Ref* out) {
    // may run Python code (__eq__ of an odd key stored in the dict)
    *out = Ref::borrow(PyDict_GetItemWithError(mapping, key));
    return !*out && PyErr_Occurred() ? -1 : 0;
}

struct Keys {
    PyObject* strike;
    std::array<PyObject*, 2> expiry;  // the first present one is read
    std::array<PyObject*, 2> sides;   // call side first
    PyObject* values;                 // tuple of the value keys
    PyObject* day_number;
};

class Reader {
public:
    Reader(const Keys& keys, Buffer& strike, Buffer& day, Buffer& is_call, Buffer& values,
           std::size_t width)
        : keys_(keys),
          strike_(strike.doubles()),
          day_(day.int64s()),
          is_call_(is_call.flags()),
          values_(values.doubles()),
          width_(width) {}

    // Reads one row; -1 with an exception set on a Python error.
    int read_row(PyObject* row) {
        if (!PyDict_Check(row)) {
            ++skipped;
            return 0;
        }
        double strike = 0.0;
        long long day = 0;
        int usable = row_strike_and_day(row, &strike, &day);
        if (usable <= 0) {
            skipped += usable == 0;
            return usable;
        }
        for (std::size_t s = 0; s < keys_.sides.size(); ++s) {
            Ref side;
            if (item(row, keys_.sides[s], &side) < 0) {
                return -1;
            }
            if (!side || side.get() == Py_None) {  // no such side (None in the newer shape)
                continue;
            }
            if (!PyDict_Check(side.get())) {
                ++skipped;
                continue;
            }
            if (legs >= strike_.size()) {
                PyErr_SetString(PyExc_RuntimeError, "the chain's rows changed while being read");
                return -1;
            }
            strike_[legs] = strike;
            day_[legs] = day;
            is_call_[legs] = s == 0;
            if (read_values(side.get(), &values_[legs * width_]) < 0) {
                return -1;
            }
            ++legs;
        }
        return 0;
    }

    // False when the reader could not be set up (an exception is set).
    bool ready() const { return static_cast<bool>(days_); }

    std::size_t legs = 0;
    std::size_t skipped = 0;

private:
    // 1 when the row has a finite strike and an expiry that parses, 0 when not, -1 on error.
    int row_strike_and_day(PyObject* row, double* strike, long long* day) {
        Ref strike_value;
        if (item(row, keys_.strike, &strike_value) < 0) {
            return -1;
        }
        if (!strike_value || !finite_number(strike_value.get(), strike)) {
            return 0;
        }
        Ref text;
        for (PyObject* key : keys_.expiry) {
            if (item(row, key, &text) < 0) {
                return -1;
            }
            if (text) {
                break;
            }
        }
        if (!text || !PyUnicode_Check(text.get())) {
            return 0;
        }
        return day_of(text.get(), day);
    }

    // The day an expiry text names, parsed once per distinct text. 1, 0 (does not parse) or -1.
    int day_of(PyObject* text, long long* day) {
        Ref parsed;
        if (item(days_.get(), text, &parsed) < 0) {
            return -1;
        }
        if (!parsed) {
            // may run Python code
            parsed = Ref::steal(PyObject_CallOneArg(keys_.day_number, text));
            if (!parsed || PyDict_SetItem(days_.get(), text, parsed.get()) < 0) {
                return -1;
            }
        }
        if (parsed.get() == Py_None) {
            return 0;
        }
        *day = PyLong_AsLongLong(parsed.get());
        return *day == -1 && PyErr_Occurred() ? -1 : 1;
    }

    int read_values(PyObject* side, double* out) {
        for (std::size_t k = 0; k < width_; ++k) {
            Ref value;
            if (item(side, PyTuple_GET_ITEM(keys_.values, k), &value) < 0) {
                return -1;
            }
            if (!value || !finite_number(value.get(), &out[k])) {
                out[k] = not_a_number;
            }
        }
        return 0;
    }

    const Keys& keys_;
    std::span<double> strike_;
    std::span<long long> day_;
    std::span<unsigned char> is_call_;
    std::span<double> values_;
    std::size_t width_;
    Ref days_ = Ref::steal(PyDict_New());  // expiry text -> day number or None
};

// The string items of a tuple of `count` texts; -1 with TypeError set otherwise.
int texts(PyObject* tuple, const char* name, Py_ssize_t count, PyObject** out) {
    if (!PyTuple_Check(tuple) || (count >= 0 && PyTuple_GET_SIZE(tuple) != count)) {
        if (count < 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a tuple of texts", name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s must be a tuple of %zd texts", name, count);
        }
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(tuple, i))) {
            PyErr_Format(PyExc_TypeError, "%s must hold texts only", name);
            return -1;
        }
        if (out != nullptr) {
            out[i] = PyTuple_GET_ITEM(tuple, i);
        }
    }
    return 0;
}

}  // namespace

PyObject* read_legs_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "read_legs() takes 9 positional arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject* rows = args[0];
    if (!PyList_Check(rows)) {
        PyErr_SetString(PyExc_TypeError, "rows must be a list");
        return nullptr;
    }
    std::array<PyObject*, 3> row_keys{};
    Keys keys{};
    if (texts(args[1], "row_keys", 3, row_keys.data()) < 0 ||
        texts(args[2], "side_names", 2, keys.sides.data()) < 0 ||
        texts(args[3], "value_keys", -1, nullptr) < 0) {
        return nullptr;
    }
    if (!PyCallable_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "day_number must be callable");
        return nullptr;
    }
    keys.strike = row_keys[0];
    keys.expiry = {row_keys[1], row_keys[2]};
    keys.values = args[3];
    keys.day_number = args[4];
    std::size_t width = static_cast<std::size_t>(PyTuple_GET_SIZE(args[3]));

    Buffer strike, day, is_call, values;
    if (strike.acquire(args[5], "strike", 'd', true) < 0 ||
        day.acquire(args[6], "day", 'q', true) < 0 ||
        is_call.acquire(args[7], "is_call", '?', true) < 0 ||
        values.acquire(args[8], "values", 'd', true) < 0) {
        return nullptr;
    }
    std::size_t capacity = strike.size();
    if (day.size() != capacity || is_call.size() != capacity || values.size() != capacity * width) {
        PyErr_SetString(PyExc_ValueError,
                        "the output columns must hold one entry per leg (values: one per key)");
        return nullptr;
    }

    Reader reader(keys, strike, day, is_call, values, width);
    if (!reader.ready()) {
        return nullptr;
    }
    // The list may change while Python code runs (an odd key's __eq__, day_number): its length
    // is read again at every step and each row is held while it is read.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
        if (reader.read_row(row.get()) < 0) {
            return nullptr;
        }
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(reader.legs),
                         static_cast<Py_ssize_t>(reader.skipped));
}

}  // namespace greeks::vector
