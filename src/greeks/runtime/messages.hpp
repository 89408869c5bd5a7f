// Every user-visible message format of the module, side by side.
#pragma once

namespace greeks::messages {

// Argument binding and typed parameters.
inline constexpr const char* arg_count =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* repeated_keyword =
    "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* keywords_not_text = "%.200s() keywords must be strings";
inline constexpr const char* needs_an_argument = "%.200s() needs an argument";
inline constexpr const char* wrong_self =
    "descriptor '%.200s' requires a 'greeks.greeks.Kestrava' object but received a '%.200s'";
inline constexpr const char* arg_type =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char* expected_type = "Expected %s, got %.200s";
inline constexpr const char* integer_required = "an integer is required";
inline constexpr const char* int_returned_non_int = "__int__ returned non-int (type %.200s)";
inline constexpr const char* int_too_large = "value too large to convert to int";
inline constexpr const char* name_not_defined = "name '%U' is not defined";
inline constexpr const char* none_not_subscriptable = "'NoneType' object is not subscriptable";
inline constexpr const char* none_not_iterable = "'NoneType' object is not iterable";
inline constexpr const char* float_division = "float division";
inline constexpr const char* tuple_index = "tuple index out of range";
inline constexpr const char* name_not_text = "__name__ must be set to a string object";
inline constexpr const char* qualname_not_text = "__qualname__ must be set to a string object";
inline constexpr const char* annotations_not_dict = "__annotations__ must be set to a dict object";

// Start-up.
inline constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
inline constexpr const char* reinitialisation =
    "Module 'greeks' has already been imported. Re-initialisation is not supported.";
inline constexpr const char* version_mismatch =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr const char* numpy_import =
    "numpy.core.multiarray failed to import (the numpy C interface could not be loaded: "
    "this module needs numpy 1.x with C-API feature version 13 or newer)";
inline constexpr const char* not_a_type = "%.200s.%.200s is not a type object";
inline constexpr const char* size_changed_error =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";
inline constexpr const char* size_changed_warning =
    "%s.%s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";
inline constexpr const char* cannot_import_name = "cannot import name %S";
inline constexpr const char* star_import_without_names =
    "from-import-* object has no __dict__ and no __all__";
inline constexpr const char* cannot_overwrite_type = "Cannot overwrite C type %s";
inline constexpr const char* init_failed = "init greeks.greeks";

// Pickling.
inline constexpr const char* pickling_setup = "Unable to initialize pickling for %.200s";

}  // namespace greeks::messages
