// The module-wide constants: texts, numbers and fixed tuples, created once at import.
#include "greeks/module/setup.hpp"

#include <utility>

namespace greeks {

ModuleState state;

namespace {

int create_texts() {
#define GREEKS_CREATE_TEXT(member, literal)                      \
    if (!state.text.member) {                                    \
        state.text.member = PyUnicode_InternFromString(literal); \
        if (!state.text.member) return -1;                       \
    }
    GREEKS_TEXTS(GREEKS_CREATE_TEXT)
#undef GREEKS_CREATE_TEXT
    return 0;
}

int create_float(PyObject** slot, double value) {
    if (!*slot) *slot = PyFloat_FromDouble(value);
    return *slot ? 0 : -1;
}

int create_int(PyObject** slot, long value) {
    if (!*slot) *slot = PyLong_FromLong(value);
    return *slot ? 0 : -1;
}

int create_numbers() {
    ModuleState::Numbers& n = state.number;
    const std::pair<PyObject**, double> floats[] = {
        {&n.risk_free_rate, 0.07}, {&n.float_100, 100.0}, {&n.float_365, 365.0}};
    const std::pair<PyObject**, long> ints[] = {
        {&n.int_1, 1},     {&n.int_2, 2},     {&n.int_5, 5},
        {&n.int_100, 100}, {&n.int_365, 365}, {&n.layout_checksum, layout_checksums[0]}};
    for (auto [slot, value] : floats)
        if (create_float(slot, value) < 0) return -1;
    for (auto [slot, value] : ints)
        if (create_int(slot, value) < 0) return -1;
    return 0;
}

int create_tuple(PyObject** slot, PyObject* first, PyObject* second = nullptr) {
    if (!*slot) *slot = second ? PyTuple_Pack(2, first, second) : PyTuple_Pack(1, first);
    return *slot ? 0 : -1;
}

}  // namespace

int create_constants() {
    if (create_texts() < 0) return -1;
    return create_numbers();
}

int create_tuples() {
    const ModuleState::Texts& t = state.text;
    ModuleState::Tuples& tuples = state.tuple;
    // The argument tuples of the fixed console lines, and the defaults of the two methods.
    const std::pair<PyObject**, PyObject*> lines[] = {{&tuples.banner_end, t.banner_end},
                                                      {&tuples.fetching, t.fetching},
                                                      {&tuples.waiting, t.waiting},
                                                      {&tuples.received, t.received},
                                                      {&tuples.separator, t.separator},
                                                      {&tuples.stopped, t.stopped},
                                                      {&tuples.option_data_defaults, t.call_side}};
    for (auto [slot, text] : lines)
        if (create_tuple(slot, text) < 0) return -1;
    return create_tuple(&tuples.monitor_defaults, t.call_side, state.number.int_5);
}

}  // namespace greeks
