// get_spot_price: the underlying's price from the option chain, or else the derivatives quote.
#include "greeks/marketdata/exchange.hpp"
#include "greeks/marketdata/marketdata.hpp"
#include "greeks/runtime/convert.hpp"

namespace greeks::marketdata {

namespace {

using runtime::Ref;

constexpr const char* where = "greeks.greeks.Kestrava.get_spot_price";
constexpr int first_line = 35;
constexpr double no_price = -1.0;

// float(x), with the semantics of Python's float(): text is parsed.
double float_of(PyObject* value) {
    if (!value) return no_price;
    Ref converted = Ref::steal(PyNumber_Float(value));  // may run Python code
    return converted ? PyFloat_AS_DOUBLE(converted.get()) : no_price;
}

// True when `key` is in `container`; -1 with an exception set.
int contains(PyObject* container, PyObject* key) {
    return PySequence_Contains(container, key);  // may run Python code
}

// The guarded steps. `line` follows the statement being run.
double spot_price_guarded(Kestrava* self, int* line) {
    const ModuleState::Texts& t = state.text;
    *line = 37;
    Ref chain = Ref::steal(fetch_for_symbol(self, t.nse_optionchain_scrapper));
    if (!chain) return no_price;
    *line = 38;
    int has_price = PyObject_IsTrue(chain.get());  // may run Python code
    if (has_price > 0) has_price = contains(chain.get(), t.records);
    if (has_price > 0) {
        Ref records = Ref::steal(PyObject_GetItem(chain.get(), t.records));
        has_price = records ? contains(records.get(), t.underlying_value) : -1;
    }
    if (has_price < 0) return no_price;
    if (has_price) {
        // "records" is read again rather than kept from the test: a mapping may answer anew.
        *line = 39;
        Ref value = Ref::steal(item_of_item(chain.get(), t.records, t.underlying_value));
        return float_of(value.get());
    }
    *line = 41;
    Ref quote = Ref::steal(fetch_for_symbol(self, t.nse_fno));
    if (!quote) return no_price;
    *line = 42;
    Ref trade = Ref::steal(item_of_item(quote.get(), t.market_dept_order_book, t.trade_info));
    Ref price = trade ? Ref::steal(PyObject_GetItem(trade.get(), t.last_price)) : Ref();
    return float_of(price.get());
}

PyObject* get_spot_price_body(PyObject* self, PyObject* const*) {
    const double price = get_spot_price(as_kestrava(self), false);
    if (price == no_price && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(price);
}

}  // namespace

double get_spot_price(Kestrava* self, bool dispatch) {
    if (dispatch) {
        Ref override =
            Ref::steal(find_override(self, state.text.get_spot_price, get_spot_price_body));
        if (override) {
            Ref result = Ref::steal(PyObject_CallNoArgs(override.get()));  // may run Python code
            double price = no_price;
            if (result && runtime::to_double(result.get(), &price) == 0) return price;
        }
        if (PyErr_Occurred()) {
            add_traceback(where, first_line);
            return no_price;
        }
    }
    int line = first_line;
    const double price = spot_price_guarded(self, &line);
    if (price == no_price && PyErr_Occurred())
        handle_error(state.text.spot_price_error, where, line);
    return price;
}

const runtime::MethodDef get_spot_price_method = {
    .name = "get_spot_price",
    .qualname = "Kestrava.get_spot_price",
    .doc = "Get spot price using both nse_fno and option chain data",
    .traceback_name = where,
    .filename = runtime::source_file,
    .first_line = first_line,
    .takes_self = true,
    .nparams = 0,
    .params = {},
    .nlocals = 0,
    .locals = {},
    .body = get_spot_price_body,
};

}  // namespace greeks::marketdata
