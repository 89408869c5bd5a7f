// find_option_in_data: the first row of a chain with the wanted strike and expiry text.
#include "greeks/marketdata/marketdata.hpp"
#include "greeks/runtime/convert.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks::marketdata {

namespace {

using runtime::FailedAt;
using runtime::Ref;

const char* const where = find_option_in_data_method.traceback_name;
// Source lines of the statements, as tracebacks show them.
// clang-format off: a table of lines reads best packed
enum Line { first_line = 101, line_loop = 103, line_strike, line_expiry };
// clang-format on

// Text equality of two expiry values: identity, exact texts by content, a text against None
// never equal, anything else by Python equality. 1, 0, or -1 with an exception set.
int same_expiry(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    const bool a_text = PyUnicode_CheckExact(a), b_text = PyUnicode_CheckExact(b);
    if (a_text && b_text)
        return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
    if ((a_text && b == Py_None) || (b_text && a == Py_None)) return 0;
    return PyObject_RichCompareBool(a, b, Py_EQ);  // may run Python code
}

// row_strike == wanted for the exchange's usual strikes, exact floats and small exact ints,
// decided without running any Python code: 1 or 0. -1 when the generic comparison is needed.
int same_strike_fast(PyObject* row_strike, double wanted) {
    if (PyFloat_CheckExact(row_strike)) return PyFloat_AS_DOUBLE(row_strike) == wanted;
    if (PyLong_CheckExact(row_strike) && runtime::is_small_int(row_strike)) {
        // Small ints are exactly representable as doubles, so this is Python's comparison.
        return static_cast<double>(runtime::small_int_value(row_strike)) == wanted;
    }
    return -1;
}

// 1 when `row` is the wanted one, 0 when not, -1 with an exception set.
int row_matches(PyObject* row, PyObject* wanted, PyObject* expiry_date, FailedAt& failed) {
    Ref row_strike;
    int strike_equal = -1;
    if (PyDict_CheckExact(row)) {
        // Borrowed while no Python code can run; held from the moment some might.
        PyObject* value = runtime::lookup_item(row, state.text.strike_price_key);
        if (!value) return failed.at(line_strike, -1);
        strike_equal = same_strike_fast(value, PyFloat_AS_DOUBLE(wanted));
        if (strike_equal < 0) row_strike = Ref::borrow(value);
    } else {
        row_strike =
            Ref::steal(PyObject_GetItem(row, state.text.strike_price_key));  // may run Python code
        if (!row_strike) return failed.at(line_strike, -1);
    }
    if (strike_equal < 0) {
        strike_equal =
            PyObject_RichCompareBool(row_strike.get(), wanted, Py_EQ);  // may run Python code
    }
    if (strike_equal < 0) return failed.at(line_strike, -1);
    if (strike_equal == 0) return 0;
    Ref row_expiry =
        Ref::steal(PyObject_GetItem(row, state.text.expiry_date_key));  // may run Python code
    const int expiry_equal = row_expiry ? same_expiry(row_expiry.get(), expiry_date) : -1;
    return expiry_equal < 0 ? failed.at(line_expiry, -1) : expiry_equal;
}

PyObject* find_option_body(PyObject*, const runtime::Arguments& args) {
    PyObject* rows = args.object[0];
    const double strike = args.real[1];
    PyObject* expiry_date = args.object[2];
    if (rows == Py_None) {
        PyErr_SetString(PyExc_TypeError, messages::none_not_iterable);
        add_traceback(where, line_loop);
        return nullptr;
    }
    // One float of the wanted strike serves every comparison: it is immutable.
    Ref wanted = Ref::steal(PyFloat_FromDouble(strike));
    if (!wanted) {
        add_traceback(where, line_strike);
        return nullptr;
    }
    // The comparisons may run Python code that changes the list: the length is read again
    // before each row, and the row is held while it is compared.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
        FailedAt failed(line_strike);
        const int match = row_matches(row.get(), wanted.get(), expiry_date, failed);
        if (match < 0) {
            add_traceback(where, failed.line());
            return nullptr;
        }
        if (match) return row.release();
    }
    Py_RETURN_NONE;
}

}  // namespace

const runtime::MethodDef find_option_in_data_method = {
    KESTRAVA_METHOD_NAMES(find_option_in_data),
    .doc = "Helper function to find option in data",
    .first_line = first_line,
    .params = {{"options_data", runtime::Kind::list},
               {"strike_price", runtime::Kind::real},
               {"expiry_date", runtime::Kind::str}},
    .locals = {"item"},
    .body = find_option_body,
};

}  // namespace greeks::marketdata
