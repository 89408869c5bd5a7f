// get_spot_price: the underlying's price from the option chain, or else the derivatives quote.
#include "greeks/marketdata/exchange.hpp"
#include "greeks/marketdata/marketdata.hpp"
#include "greeks/runtime/convert.hpp"

namespace greeks::marketdata {

namespace {

using runtime::FailedAt;
using runtime::Ref;

const char* const where = get_spot_price_method.traceback_name;
// Source lines of the statements, as tracebacks show them.
// clang-format off: a table of lines reads best packed
enum Line { first_line = 35, line_chain = 37, line_has_price, line_price, line_quote = 41,
            line_trade };
// clang-format on
constexpr double no_price = -1.0;

// float(value), with the semantics of Python's float(): text is parsed. A failure is `line`'s.
double float_of(PyObject* value, FailedAt& failed, int line) {
    Ref converted = value ? Ref::steal(PyNumber_Float(value)) : Ref();  // may run Python code
    return converted ? PyFloat_AS_DOUBLE(converted.get()) : failed.at(line, no_price);
}

// True when `key` is in `container`; -1 with an exception set.
int contains(PyObject* container, PyObject* key) {
    return PySequence_Contains(container, key);  // may run Python code
}

double spot_price_guarded(Kestrava* self, FailedAt& failed) {
    const ModuleState::Texts& t = state.text;
    Ref chain = Ref::steal(fetch_for_symbol(self, t.nse_optionchain_scrapper));
    if (!chain) return failed.at(line_chain, no_price);

    int has_price = PyObject_IsTrue(chain.get());  // may run Python code
    if (has_price > 0) has_price = contains(chain.get(), t.records);
    if (has_price > 0) {
        Ref records = Ref::steal(PyObject_GetItem(chain.get(), t.records));
        has_price = records ? contains(records.get(), t.underlying_value) : -1;
    }
    if (has_price < 0) return failed.at(line_has_price, no_price);
    if (has_price) {
        // "records" is read again rather than kept from the test: a mapping may answer anew.
        Ref value = Ref::steal(item_of_item(chain.get(), t.records, t.underlying_value));
        return float_of(value.get(), failed, line_price);
    }

    Ref quote = Ref::steal(fetch_for_symbol(self, t.nse_fno));
    if (!quote) return failed.at(line_quote, no_price);
    Ref trade = Ref::steal(item_of_item(quote.get(), t.market_dept_order_book, t.trade_info));
    Ref price = trade ? Ref::steal(PyObject_GetItem(trade.get(), t.last_price)) : Ref();
    return float_of(price.get(), failed, line_trade);
}

PyObject* get_spot_price_body(PyObject* self, const runtime::Arguments&) {
    const double price = get_spot_price(as_kestrava(self), false);
    if (price == no_price && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(price);
}

}  // namespace

double get_spot_price(Kestrava* self, bool dispatch) {
    PyObject* overridden = nullptr;
    const int ran = dispatch ? run_override(self, state.text.get_spot_price, get_spot_price_method,
                                            nullptr, 0, &overridden)
                             : 0;
    if (ran < 0) return no_price;
    if (ran > 0) {
        Ref result = Ref::steal(overridden);
        double price = no_price;  // kept when the conversion fails
        if (runtime::to_double(result.get(), &price) < 0) add_traceback(where, first_line);
        return price;
    }
    FailedAt failed(first_line);
    const double price = spot_price_guarded(self, failed);
    if (price == no_price && PyErr_Occurred())
        handle_error(state.text.spot_price_error, where, failed.line());
    return price;
}

const runtime::MethodDef get_spot_price_method = {
    KESTRAVA_METHOD_NAMES(get_spot_price),
    .doc = "Get spot price using both nse_fno and option chain data",
    .first_line = first_line,
    .body = get_spot_price_body,
};

}  // namespace greeks::marketdata
