// The module-wide constants: texts, numbers and fixed tuples, created once at import.
#include "greeks/module/module.hpp"

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
    if (create_float(&n.rate, 0.07) < 0 || create_float(&n.hundred_float, 100.0) < 0 ||
        create_float(&n.days_in_year, 365.0) < 0 || create_int(&n.one, 1) < 0 ||
        create_int(&n.two, 2) < 0 || create_int(&n.five, 5) < 0 ||
        create_int(&n.hundred, 100) < 0 || create_int(&n.year_days, 365) < 0 ||
        create_int(&n.checksum_sha256, layout_checksums[0]) < 0 ||
        create_int(&n.checksum_sha1, layout_checksums[1]) < 0 ||
        create_int(&n.checksum_md5, layout_checksums[2]) < 0) {
        return -1;
    }
    return 0;
}

int create_tuple(PyObject** slot, PyObject* first, PyObject* second = nullptr,
                 PyObject* third = nullptr) {
    if (*slot) return 0;
    *slot = second == nullptr  ? PyTuple_Pack(1, first)
            : third == nullptr ? PyTuple_Pack(2, first, second)
                               : PyTuple_Pack(3, first, second, third);
    return *slot ? 0 : -1;
}

}  // namespace

int create_constants() { return create_texts() < 0 || create_numbers() < 0 ? -1 : 0; }

int create_tuples() {
    const ModuleState::Texts& t = state.text;
    ModuleState::Tuples& tuples = state.tuple;
    if (create_tuple(&tuples.banner_end, t.banner_end) < 0 ||
        create_tuple(&tuples.fetching, t.fetching) < 0 ||
        create_tuple(&tuples.waiting, t.waiting) < 0 ||
        create_tuple(&tuples.received, t.received) < 0 ||
        create_tuple(&tuples.separator, t.separator) < 0 ||
        create_tuple(&tuples.stopped, t.stopped) < 0 ||
        create_tuple(&tuples.checksums, state.number.checksum_sha256, state.number.checksum_sha1,
                     state.number.checksum_md5) < 0 ||
        create_tuple(&tuples.option_data_defaults, t.call_side) < 0 ||
        create_tuple(&tuples.monitor_defaults, t.call_side, state.number.five) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace greeks
