// The exchange sends a chain as JSON, so its rows and records are dicts; reading them field by
// field in Python costs more than pricing every leg, so the walk over the rows is done here, with
// the GIL held. The caller names every key (this file knows no exchange vocabulary), allocates
// the output columns with room for the legs, and parses expiry texts: `day_number(text)` gives the
// day as days since 1970-01-01, or None, and is called once for each distinct text.
//
// A row is either one contract of its own (one of the kind keys holds a text the kinds table
// knows) or a strike's row whose sides sit under the side keys. Each kind and each side key has a
// code: 0 a put, 1 a call, 2 a record that is no option (a future), counted apart.
//
// Rows that are not dicts, rows whose strike is not a finite number or whose expiry does not
// parse, contracts of a kind the table does not know, and sides that are neither dicts nor None
// (no such side) are counted as skipped. Numbers are ints, floats or numeric text ("  24600.00");
// a value that is missing or not a finite number is NaN. A field may go by several keys: the
// first present one is read.
#include "greeks/vector/chain_reader.hpp"
#include "greeks/vector/numbers.hpp"

#include "greeks/runtime/ref.hpp"
#include "greeks/vector/buffers.hpp"
#include "greeks/vector/key_plan.hpp"
#include "greeks/vector/messages.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace greeks::vector {
namespace {

using runtime::Ref;

constexpr long not_an_option = 2;
// The most side keys a layout may name (the exchange's vocabulary needs six).
constexpr Py_ssize_t max_side_keys = 8;

// The finite number an int, a float or a numeric text holds; false for anything else (bool,
// None, huge ints, text that is no number). May leave no exception set.
bool finite_number(PyObject* value, double* out) {
    // ints first: their test reads a type flag, where the float test of an int walks its bases
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        *out = PyLong_AsDouble(value);
        if (*out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large for a double: not a usable number
            return false;
        }
    } else if (PyFloat_Check(value)) {
        *out = PyFloat_AS_DOUBLE(value);
    } else if (PyUnicode_Check(value)) {
        // The float() reading of text: surrounding white space allowed, thousands separators not.
        Ref number = Ref::steal(PyFloat_FromString(value));
        if (!number) {
            PyErr_Clear();
            return false;
        }
        *out = PyFloat_AS_DOUBLE(number.get());
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

std::span<PyObject* const> items_of(PyObject* tuple) {
    return {PySequence_Fast_ITEMS(tuple), static_cast<std::size_t>(PyTuple_GET_SIZE(tuple))};
}

// What the caller names: tuples of texts, the kinds table and the expiry parser (all borrowed).
struct Layout {
    PyObject* strike_keys;
    PyObject* expiry_keys;
    PyObject* side_keys;   // under which a row holds its sides
    PyObject* side_codes;  // the code of each side key
    PyObject* kind_keys;   // under which a contract names its own kind
    PyObject* kinds;       // dict: kind text -> code
    PyObject* value_keys;  // tuple of tuples: the keys each value column goes by
    PyObject* day_number;
};

struct Columns {
    std::span<double> strike;
    std::span<long long> day;
    std::span<unsigned char> is_call;
    std::span<double> values;     // value columns × legs: a column's legs side by side
    std::span<long long> origin;  // legs × 2: row index, side key index (−1: the row itself)
};

// Where each group of a row's keys sits in the row plan: the strike, the expiry, one group per
// kind key, one per side key, then the value columns' groups (a contract row holds its values
// itself, so one walk over it finds everything).
constexpr std::size_t strike_group = 0;
constexpr std::size_t expiry_group = 1;
constexpr std::size_t first_kind_group = 2;

KeyPlan row_plan(const Layout& layout) {
    std::vector<std::span<PyObject* const>> groups{items_of(layout.strike_keys),
                                                   items_of(layout.expiry_keys)};
    for (PyObject* tuple : {layout.kind_keys, layout.side_keys}) {
        auto keys = items_of(tuple);
        for (std::size_t k = 0; k < keys.size(); ++k) groups.push_back(keys.subspan(k, 1));
    }
    for (PyObject* keys : items_of(layout.value_keys)) groups.push_back(items_of(keys));
    return KeyPlan(std::move(groups));
}

KeyPlan record_plan(const Layout& layout) {
    std::vector<std::span<PyObject* const>> groups;
    for (PyObject* keys : items_of(layout.value_keys)) groups.push_back(items_of(keys));
    return KeyPlan(std::move(groups));
}

class Reader {
public:
    Reader(const Layout& layout, const Columns& out)
        : layout_(layout),
          out_(out),
          width_(PyTuple_GET_SIZE(layout.value_keys)),
          kind_count_(PyTuple_GET_SIZE(layout.kind_keys)),
          first_value_group_(first_kind_group + kind_count_ + PyTuple_GET_SIZE(layout.side_keys)),
          row_plan_(row_plan(layout)),
          record_plan_(record_plan(layout)),
          row_values_(row_plan_.size()),
          record_values_(record_plan_.size()) {}

    // Reads one row; -1 with an exception set on a Python error.
    int read_row(PyObject* row, Py_ssize_t index) {
        if (!PyDict_Check(row)) {
            ++skipped;
            return 0;
        }
        if (row_plan_.find(row, row_values_) < 0) return -1;
        long kind = -1;
        bool names_a_kind = false;
        if (contract_kind(&kind, &names_a_kind) < 0) return -1;
        if (kind == not_an_option) {
            ++not_options;
            return 0;
        }
        if (kind >= 0) {
            std::array<Found, 1> contract{Found{Ref::borrow(row), -1, kind}};
            return read_legs_of(index, contract.data(), 1);
        }
        if (names_a_kind) {  // a contract of a kind nobody told us about
            ++skipped;
            return 0;
        }
        std::array<Found, max_side_keys> sides;
        std::size_t found = 0;
        for (Py_ssize_t s = 0; s < PyTuple_GET_SIZE(layout_.side_keys); ++s) {
            Ref& side = row_values_[first_kind_group + kind_count_ + s];
            if (!side || side.get() == Py_None)  // no such side (None in nsepython's rows)
                continue;
            long code = PyLong_AsLong(PyTuple_GET_ITEM(layout_.side_codes, s));
            if (!PyDict_Check(side.get()))
                ++skipped;
            else if (code == not_an_option)
                ++not_options;
            else
                sides[found++] = Found{std::move(side), s, code};
        }
        return found == 0 ? 0 : read_legs_of(index, sides.data(), found);
    }

    std::size_t legs = 0;
    std::size_t skipped = 0;
    std::size_t not_options = 0;

    // False when the reader could not be set up (an exception is set).
    bool ready() const { return static_cast<bool>(days_); }

private:
    struct Found {
        Ref record;
        Py_ssize_t slot = -1;  // index of its side key, −1 for the row itself
        long code = 0;
    };

    // The code of the first kind key whose text the kinds table knows, else −1; `names_a_kind`
    // says whether any kind key held a text at all.
    int contract_kind(long* kind, bool* names_a_kind) {
        for (std::size_t k = 0; k < kind_count_; ++k) {
            const Ref& text = row_values_[first_kind_group + k];
            if (!text || !PyUnicode_Check(text.get())) continue;
            *names_a_kind = true;
            Ref code;
            if (item(layout_.kinds, text.get(), &code) < 0) return -1;
            if (code) {
                *kind = PyLong_AsLong(code.get());
                return 0;
            }
        }
        return 0;
    }

    // Writes one leg per found record, all at the row's strike and expiry.
    int read_legs_of(Py_ssize_t index, const Found* found, std::size_t count) {
        double strike = 0.0;
        long long day = 0;
        int usable = row_strike_and_day(&strike, &day);
        if (usable <= 0) {
            skipped += usable == 0;
            return usable;
        }
        for (const Found& leg : std::span(found, count)) {
            if (legs >= out_.strike.size()) {
                PyErr_SetString(PyExc_RuntimeError, messages::rows_changed);
                return -1;
            }
            out_.strike[legs] = strike;
            out_.day[legs] = day;
            out_.is_call[legs] = leg.code == 1;
            out_.origin[2 * legs] = index;
            out_.origin[2 * legs + 1] = leg.slot;
            if (read_values(leg, legs) < 0) return -1;
            ++legs;
        }
        return 0;
    }

    // 1 when the row has a finite strike and an expiry that parses, 0 when not, -1 on error.
    int row_strike_and_day(double* strike, long long* day) {
        const Ref& strike_value = row_values_[strike_group];
        if (!strike_value || !finite_number(strike_value.get(), strike)) return 0;
        const Ref& text = row_values_[expiry_group];
        if (!text || !PyUnicode_Check(text.get())) return 0;
        return day_of(text.get(), day);
    }

    // The day an expiry text names, parsed once per distinct text. 1, 0 (does not parse) or -1.
    int day_of(PyObject* text, long long* day) {
        Ref parsed;
        if (item(days_.get(), text, &parsed) < 0) return -1;
        if (!parsed) {
            // may run Python code
            parsed = Ref::steal(PyObject_CallOneArg(layout_.day_number, text));
            if (!parsed || PyDict_SetItem(days_.get(), text, parsed.get()) < 0) return -1;
        }
        if (parsed.get() == Py_None) return 0;
        *day = PyLong_AsLongLong(parsed.get());
        return *day == -1 && PyErr_Occurred() ? -1 : 1;
    }

    // The values of one found record: a side's from its own walk, a contract row's from the
    // row's.
    int read_values(const Found& record, std::size_t leg) {
        std::size_t capacity = out_.strike.size();
        const Ref* values = &row_values_[first_value_group_];
        if (record.slot >= 0) {
            if (record_plan_.find(record.record.get(), record_values_) < 0) return -1;
            values = record_values_.data();
        }
        for (std::size_t k = 0; k < width_; ++k) {
            const Ref& value = values[k];
            double& out = out_.values[k * capacity + leg];
            if (!value || !finite_number(value.get(), &out)) out = not_a_number;
        }
        return 0;
    }

    const Layout& layout_;
    const Columns& out_;
    std::size_t width_;
    std::size_t kind_count_;
    std::size_t first_value_group_;
    KeyPlan row_plan_;
    KeyPlan record_plan_;
    std::vector<Ref> row_values_;          // the row's value of each group of the row plan
    std::vector<Ref> record_values_;       // a record's value of each column
    Ref days_ = Ref::steal(PyDict_New());  // expiry text -> day number or None
};

// A tuple of texts; -1 with TypeError set otherwise.
int texts(PyObject* tuple, const char* name) {
    if (!PyTuple_Check(tuple)) {
        PyErr_Format(PyExc_TypeError, messages::not_texts, name);
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(tuple, i))) {
            PyErr_Format(PyExc_TypeError, messages::not_only_texts, name);
            return -1;
        }
    }
    return 0;
}

// Unpacks and checks the layout tuple; -1 with TypeError set when it is malformed.
int unpack_layout(PyObject* tuple, Layout* layout) {
    if (!PyArg_ParseTuple(tuple, "O!O!O!O!O!O!O!O:layout", &PyTuple_Type, &layout->strike_keys,
                          &PyTuple_Type, &layout->expiry_keys, &PyTuple_Type, &layout->side_keys,
                          &PyTuple_Type, &layout->side_codes, &PyTuple_Type, &layout->kind_keys,
                          &PyDict_Type, &layout->kinds, &PyTuple_Type, &layout->value_keys,
                          &layout->day_number)) {
        return -1;
    }
    if (texts(layout->strike_keys, "strike_keys") < 0 ||
        texts(layout->expiry_keys, "expiry_keys") < 0 ||
        texts(layout->side_keys, "side_keys") < 0 || texts(layout->kind_keys, "kind_keys") < 0) {
        return -1;
    }
    if (PyTuple_GET_SIZE(layout->side_keys) > max_side_keys) {
        PyErr_Format(PyExc_TypeError, messages::too_many_side_keys, max_side_keys);
        return -1;
    }
    if (PyTuple_GET_SIZE(layout->side_codes) != PyTuple_GET_SIZE(layout->side_keys)) {
        PyErr_SetString(PyExc_TypeError, messages::side_codes_count);
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(layout->side_codes); ++i) {
        if (!PyLong_CheckExact(PyTuple_GET_ITEM(layout->side_codes, i))) {
            PyErr_SetString(PyExc_TypeError, messages::side_codes_not_ints);
            return -1;
        }
    }
    PyObject* key = nullptr;
    PyObject* code = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(layout->kinds, &position, &key, &code)) {
        if (!PyLong_CheckExact(code)) {
            PyErr_SetString(PyExc_TypeError, messages::kinds_not_codes);
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(layout->value_keys); ++i)
        if (texts(PyTuple_GET_ITEM(layout->value_keys, i), "each of value_keys") < 0) return -1;
    if (!PyCallable_Check(layout->day_number)) {
        PyErr_SetString(PyExc_TypeError, messages::day_number_not_callable);
        return -1;
    }
    return 0;
}

}  // namespace

PyObject* read_legs_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, messages::arg_count, "read_legs", Py_ssize_t{7}, nargs);
        return nullptr;
    }
    PyObject* rows = args[0];
    if (!PyList_Check(rows)) {
        PyErr_SetString(PyExc_TypeError, messages::rows_not_list);
        return nullptr;
    }
    Layout layout{};
    if (unpack_layout(args[1], &layout) < 0) return nullptr;
    std::size_t width = static_cast<std::size_t>(PyTuple_GET_SIZE(layout.value_keys));

    Buffer strike, day, is_call, values, origin;
    if (strike.acquire(args[2], "strike", 'd', true) < 0 ||
        day.acquire(args[3], "day", 'q', true) < 0 ||
        is_call.acquire(args[4], "is_call", '?', true) < 0 ||
        values.acquire(args[5], "values", 'd', true) < 0 ||
        origin.acquire(args[6], "origin", 'q', true) < 0) {
        return nullptr;
    }
    std::size_t capacity = strike.size();
    if (day.size() != capacity || is_call.size() != capacity || values.size() != capacity * width ||
        origin.size() != 2 * capacity) {
        PyErr_SetString(PyExc_ValueError, messages::reader_outputs);
        return nullptr;
    }

    Columns columns{strike.doubles(), day.int64s(), is_call.flags(), values.doubles(),
                    origin.int64s()};
    Reader reader(layout, columns);
    if (!reader.ready()) return nullptr;
    // The list may change while Python code runs (an odd key's __eq__, day_number): its length
    // is read again at every step and each row is held while it is read.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
        if (reader.read_row(row.get(), i) < 0) return nullptr;
    }
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(reader.legs),
                         static_cast<Py_ssize_t>(reader.skipped),
                         static_cast<Py_ssize_t>(reader.not_options));
}

}  // namespace greeks::vector
