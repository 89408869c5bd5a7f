// get_option_data: the option record of one strike, expiry and side, from the live chain.
#include "greeks/marketdata/exchange.hpp"
#include "greeks/marketdata/marketdata.hpp"
#include "greeks/runtime/convert.hpp"

namespace greeks::marketdata {

namespace {

using runtime::FailedAt;
using runtime::Ref;

const char* const where = get_option_data_method.traceback_name;
// Source lines of the statements, as tracebacks show them.
// clang-format off: a table of lines reads best packed
enum Line { first_line = 109, line_spot = 111, line_chain = 114, line_rows = 118, line_row,
            line_years = 123, line_record = 127, line_volatility = 132, line_price, line_type };
// clang-format on

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
    Ref years = days ? Ref::steal(PyNumber_TrueDivide(days.get(), state.number.float_365)) : Ref();
    double value = 0.0;
    if (!years || runtime::to_double(years.get(), &value) < 0) return nullptr;
    return PyFloat_FromDouble(value);
}

// The guarded steps: new reference to the record or None, null with an exception set.
PyObject* option_data_guarded(Kestrava* self, double strike, PyObject* expiry_date,
                              PyObject* option_type, FailedAt& failed) {
    const ModuleState::Texts& t = state.text;
    const double spot = self->ops->get_spot_price(self, true);
    if (spot == -1.0) {
        if (PyErr_Occurred()) return failed.at(line_spot, nullptr);
        Py_RETURN_NONE;
    }
    Ref chain = Ref::steal(fetch_for_symbol(self, t.nse_optionchain_scrapper));
    if (!chain || !runtime::check_stored_type(chain.get(), &PyDict_Type, "dict"))
        return failed.at(line_chain, nullptr);
    if (is_none_or_empty(chain.get())) Py_RETURN_NONE;

    Ref rows = Ref::steal(item_of_item(chain.get(), t.records, t.data));
    if (!rows) return failed.at(line_rows, nullptr);
    Ref finder =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), t.find_option_in_data));
    Ref wanted_strike = Ref::steal(PyFloat_FromDouble(strike));
    Ref row = finder && wanted_strike
                  ? Ref::steal(PyObject_CallFunctionObjArgs(
                        finder.get(), rows.get(), wanted_strike.get(), expiry_date, nullptr))
                  : Ref();
    if (!row || !runtime::check_stored_type(row.get(), &PyDict_Type, "dict"))
        return failed.at(line_row, nullptr);
    if (is_none_or_empty(row.get())) Py_RETURN_NONE;

    Ref years = Ref::steal(years_to_expiry(expiry_date));
    if (!years) return failed.at(line_years, nullptr);

    PyObject* side = option_type == Py_None ? t.none_text : option_type;
    Ref record = Ref::steal(PyDict_New());
    Ref spot_object = Ref::steal(PyFloat_FromDouble(spot));
    if (!record || !spot_object ||
        PyDict_SetItem(record.get(), t.spot_price, spot_object.get()) < 0 ||
        PyDict_SetItem(record.get(), t.strike_price, wanted_strike.get()) < 0 ||
        PyDict_SetItem(record.get(), t.time_to_expiry, years.get()) < 0 ||
        PyDict_SetItem(record.get(), t.risk_free_rate, state.number.risk_free_rate) < 0) {
        return failed.at(line_record, nullptr);
    }
    // The side is looked up afresh for each of the two entries that read it, as a row that is
    // not a plain dict may answer differently each time.
    Ref volatility = Ref::steal(item_of_item(row.get(), side, t.implied_volatility_key));
    Ref fraction = volatility
                       ? Ref::steal(PyNumber_TrueDivide(volatility.get(), state.number.float_100))
                       : Ref();
    if (!fraction || PyDict_SetItem(record.get(), t.implied_volatility, fraction.get()) < 0)
        return failed.at(line_volatility, nullptr);
    Ref price = Ref::steal(item_of_item(row.get(), side, t.last_price));
    if (!price || PyDict_SetItem(record.get(), t.option_price, price.get()) < 0)
        return failed.at(line_price, nullptr);
    if (PyDict_SetItem(record.get(), t.option_type, option_type) < 0)
        return failed.at(line_type, nullptr);
    return record.release();
}

PyObject* get_option_data_body(PyObject* self, const runtime::Arguments& args) {
    return get_option_data(as_kestrava(self), args.real[0], args.object[1], false, args.object[2]);
}

}  // namespace

PyObject* get_option_data(Kestrava* self, double strike, PyObject* expiry_date, bool dispatch,
                          PyObject* option_type) {
    if (option_type == nullptr) option_type = state.text.call_side;
    if (dispatch) {
        Ref wanted_strike = Ref::steal(PyFloat_FromDouble(strike));
        if (!wanted_strike) {
            add_traceback(where, first_line);
            return nullptr;
        }
        PyObject* args[] = {wanted_strike.get(), expiry_date, option_type};
        PyObject* overridden = nullptr;
        if (run_override(self, state.text.get_option_data, get_option_data_method, args, 3,
                         &overridden, true) != 0) {
            return overridden;
        }
    }
    FailedAt failed(first_line);
    PyObject* record = option_data_guarded(self, strike, expiry_date, option_type, failed);
    if (record) return record;
    if (handle_error(state.text.option_data_error, where, failed.line()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const runtime::MethodDef get_option_data_method = {
    KESTRAVA_METHOD_NAMES(get_option_data),
    .doc = "Fetch option data from NSE",
    .first_line = first_line,
    .params = {{"strike_price", runtime::Kind::real},
               {"expiry_date", runtime::Kind::str},
               {"option_type", runtime::Kind::str}},
    .body = get_option_data_body,
};

}  // namespace greeks::marketdata
