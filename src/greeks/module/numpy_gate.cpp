// Start-up checks against numpy's binary interface: the C-API table, and the sizes of the type
// objects a numpy 1.x build publishes.
#include "greeks/module/setup.hpp"
#include "greeks/runtime/messages.hpp"

namespace greeks {

namespace {

// numpy 1.x C-API table: entry 0 gives the ABI version, entry 210 the byte order and entry 211
// the C-API feature version, each as a function taking no arguments.
constexpr unsigned int numpy_abi_version = 0x1000009;
constexpr unsigned int numpy_min_feature_version = 0xd;
constexpr int numpy_little_endian = 1;
constexpr int entry_abi_version = 0;
constexpr int entry_byte_order = 210;
constexpr int entry_feature_version = 211;

using VersionFunction = unsigned int (*)();
using ByteOrderFunction = int (*)();

bool numpy_table_fits() {
    PyObject* module = PyImport_ImportModule("numpy.core._multiarray_umath");
    if (!module) return false;
    runtime::Ref owner = runtime::Ref::steal(module);
    runtime::Ref capsule = runtime::Ref::steal(PyObject_GetAttrString(module, "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return false;
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) return false;
    auto abi = reinterpret_cast<VersionFunction>(table[entry_abi_version]);
    if (abi() != numpy_abi_version) return false;
    auto feature = reinterpret_cast<VersionFunction>(table[entry_feature_version]);
    if (feature() < numpy_min_feature_version) return false;
    auto byte_order = reinterpret_cast<ByteOrderFunction>(table[entry_byte_order]);
    return byte_order() == numpy_little_endian;
}

// What a type's size must be at least, and whether a larger one only warns.
struct ExpectedType {
    const char* name;
    Py_ssize_t size;
    bool warn_if_larger;
};

// Sizes of the numpy 1.x structure declarations on a 64-bit build.
static_assert(sizeof(void*) == 8, "the numpy structure sizes below are those of a 64-bit build");
constexpr Py_ssize_t object_size = sizeof(PyObject);
constexpr ExpectedType numpy_types[] = {
    {"dtype", 96, false},
    {"flatiter", 2632, false},
    {"broadcast", 560, false},
    {"ndarray", 80, false},
    {"generic", object_size, true},
    {"number", object_size, true},
    {"integer", object_size, true},
    {"signedinteger", object_size, true},
    {"unsignedinteger", object_size, true},
    {"inexact", object_size, true},
    {"floating", object_size, true},
    {"complexfloating", object_size, true},
    {"flexible", object_size, true},
    {"character", object_size, true},
    {"ufunc", 216, false},
};

int check_type(PyObject* module, const char* module_name, const ExpectedType& expected) {
    runtime::Ref found = runtime::Ref::steal(PyObject_GetAttrString(module, expected.name));
    if (!found) return -1;
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, messages::not_a_type, module_name, expected.name);
        return -1;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(found.get());
    const Py_ssize_t size = type->tp_basicsize;
    if (size + type->tp_itemsize < expected.size) {
        PyErr_Format(PyExc_ValueError, messages::size_changed_error, module_name, expected.name,
                     expected.size, size);
        return -1;
    }
    if (expected.warn_if_larger && size > expected.size) {
        char text[200];
        PyOS_snprintf(text, sizeof text, messages::size_changed_warning, module_name, expected.name,
                      expected.size, size);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 0) < 0) return -1;
    }
    return 0;
}

}  // namespace

int check_numpy_interface() {
    if (numpy_table_fits()) return 0;
    // Whatever went wrong, the caller is told only that numpy's C interface is unusable.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, messages::numpy_import);
    return -1;
}

int check_imported_types() {
    runtime::Ref builtins = runtime::Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    const ExpectedType type_type = {"type", static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject)),
                                    true};
    if (check_type(builtins.get(), "builtins", type_type) < 0) return -1;
    runtime::Ref numpy = runtime::Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const ExpectedType& expected : numpy_types)
        if (check_type(numpy.get(), "numpy", expected) < 0) return -1;
    return 0;
}

}  // namespace greeks
