// get_option_data: the option record of one strike, expiry and side, from the live chain.
#include "greeks/marketdata/exchange.hpp"
#include "greeks/marketdata/marketdata.hpp"
#include "greeks/runtime/convert.hpp"

namespace greeks::marketdata {

namespace {

using runtime::Ref;

constexpr const char* where = "greeks.greeks.Kestrava.get_option_data";
constexpr int first_line = 109;

// New reference to the whole-day count to `expiry_date`'s midnight over 365.0, or null.
PyObject* years_to_expiry(PyObject* expiry_date) {
    const ModuleState::Texts& t = state.text;
    Ref datetime = Ref::steal(get_global(t.datetime));
    Ref expiry = datetime ? Ref::steal(PyObject_CallMethodObjArgs(
                                datetime.get(), t.strptime, expiry_date, t.expiry_format, nullptr))
                          : Ref();
    if (!expiry) return nullptr;
    // Looked up again: strptime may have run Python code that rebinds the global.
    datetime = Ref::steal(get_global(t.datetime));
    Ref now = datetime ? Ref::steal(PyObject_CallMethodNoArgs(datetime.get(), t.now)) : Ref();
    if (!now) return nullptr;
    Ref span = Ref::steal(PyNumber_Subtract(expiry.get(), now.get()));
    Ref days = span ? Ref::steal(PyObject_GetAttr(span.get(), t.days)) : Ref();
    Ref years =
        days ? Ref::steal(PyNumber_TrueDivide(days.get(), state.number.days_in_year)) : Ref();
    double value = 0.0;
    if (!years || runtime::to_double(years.get(), &value) < 0) return nullptr;
    return PyFloat_FromDouble(value);
}

// The guarded steps: new reference to the record or None, null with an exception set.
// `line` follows the statement being run.
PyObject* option_data_guarded(Kestrava* self, double strike, PyObject* expiry_date,
                              PyObject* option_type, int* line) {
    const ModuleState::Texts& t = state.text;
    *line = 111;
    const double spot = self->ops->get_spot_price(self, true);
    if (spot == -1.0) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    *line = 114;
    Ref chain = Ref::steal(fetch_for_symbol(self, t.nse_optionchain_scrapper));
    if (!chain || !runtime::check_stored_type(chain.get(), &PyDict_Type, "dict")) return nullptr;
    *line = 115;
    if (is_none_or_empty(chain.get())) Py_RETURN_NONE;
    *line = 118;
    Ref rows = Ref::steal(item_of_item(chain.get(), t.records, t.data));
    if (!rows) return nullptr;
    *line = 119;
    Ref finder =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), t.find_option_in_data));
    Ref wanted_strike = Ref::steal(PyFloat_FromDouble(strike));
    if (!finder || !wanted_strike) return nullptr;
    Ref row = Ref::steal(PyObject_CallFunctionObjArgs(finder.get(), rows.get(), wanted_strike.get(),
                                                      expiry_date, nullptr));
    if (!row || !runtime::check_stored_type(row.get(), &PyDict_Type, "dict")) return nullptr;
    *line = 120;
    if (is_none_or_empty(row.get())) Py_RETURN_NONE;
    *line = 123;
    Ref years = Ref::steal(years_to_expiry(expiry_date));
    if (!years) return nullptr;

    *line = 127;
    PyObject* side = option_type == Py_None ? t.none_text : option_type;
    Ref record = Ref::steal(PyDict_New());
    Ref spot_object = Ref::steal(PyFloat_FromDouble(spot));
    if (!record || !spot_object ||
        PyDict_SetItem(record.get(), t.spot_price, spot_object.get()) < 0 ||
        PyDict_SetItem(record.get(), t.strike_price, wanted_strike.get()) < 0 ||
        PyDict_SetItem(record.get(), t.time_to_expiry, years.get()) < 0 ||
        PyDict_SetItem(record.get(), t.risk_free_rate, state.number.rate) < 0) {
        return nullptr;
    }
    // The side is looked up afresh for each of the two entries that read it, as a row that is
    // not a plain dict may answer differently each time.
    *line = 132;
    Ref volatility = Ref::steal(item_of_item(row.get(), side, t.implied_volatility_key));
    Ref fraction =
        volatility ? Ref::steal(PyNumber_TrueDivide(volatility.get(), state.number.hundred_float))
                   : Ref();
    if (!fraction || PyDict_SetItem(record.get(), t.implied_volatility, fraction.get()) < 0)
        return nullptr;
    *line = 133;
    Ref price = Ref::steal(item_of_item(row.get(), side, t.last_price));
    if (!price || PyDict_SetItem(record.get(), t.option_price, price.get()) < 0) return nullptr;
    *line = 134;
    if (PyDict_SetItem(record.get(), t.option_type, option_type) < 0) return nullptr;
    return record.release();
}

PyObject* get_option_data_body(PyObject* self, PyObject* const* args) {
    double strike = 0.0;
    if (runtime::to_double(args[0], &strike) < 0 ||
        !runtime::check_argument_type(args[1], &PyUnicode_Type, "expiry_date") ||
        !runtime::check_argument_type(args[2], &PyUnicode_Type, "option_type")) {
        add_traceback(where, first_line);
        return nullptr;
    }
    return get_option_data(as_kestrava(self), strike, args[1], false, args[2]);
}

}  // namespace

PyObject* get_option_data(Kestrava* self, double strike, PyObject* expiry_date, bool dispatch,
                          PyObject* option_type) {
    if (option_type == nullptr) option_type = state.text.call_side;
    if (dispatch) {
        Ref override =
            Ref::steal(find_override(self, state.text.get_option_data, get_option_data_body));
        Ref wanted_strike = override ? Ref::steal(PyFloat_FromDouble(strike)) : Ref();
        if (wanted_strike) {
            PyObject* args[] = {wanted_strike.get(), expiry_date, option_type};
            PyObject* result = call_dict_override(override.get(), args, 3);
            if (result) return result;
        }
        if (PyErr_Occurred()) {
            add_traceback(where, first_line);
            return nullptr;
        }
    }
    int line = first_line;
    PyObject* record = option_data_guarded(self, strike, expiry_date, option_type, &line);
    if (record) return record;
    if (handle_error(state.text.option_data_error, where, line) < 0) return nullptr;
    Py_RETURN_NONE;
}

const runtime::MethodDef get_option_data_method = {
    .name = "get_option_data",
    .qualname = "Kestrava.get_option_data",
    .doc = "Fetch option data from NSE",
    .traceback_name = where,
    .filename = runtime::source_file,
    .first_line = first_line,
    .takes_self = true,
    .nparams = 3,
    .params = {"strike_price", "expiry_date", "option_type"},
    .nlocals = 0,
    .locals = {},
    .body = get_option_data_body,
};

}  // namespace greeks::marketdata
