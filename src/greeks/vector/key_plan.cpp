#include "greeks/vector/key_plan.hpp"

namespace greeks::vector {
namespace {

constexpr std::size_t layouts_remembered = 4;

}  // namespace

using runtime::Ref;

KeyPlan::KeyPlan(std::vector<std::span<PyObject* const>> groups)
    : groups_(std::move(groups)), found_key_(groups_.size(), -1) {
    for (auto group : groups_)
        for (PyObject* key : group) exact_keys_ = exact_keys_ && PyUnicode_CheckExact(key);
}

int KeyPlan::find(PyObject* dict, std::span<Ref> values) {
    for (const KeyOrder& order : orders_)
        if (read_as_remembered(order, dict, values)) return 0;
    if (search(dict, values) < 0) return -1;
    if (exact_keys_) remember(dict);
    return 0;
}

// True when `dict`'s keys are those of `order`, in order; its values are then read off.
bool KeyPlan::read_as_remembered(const KeyOrder& order, PyObject* dict, std::span<Ref> values) {
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(order.keys.size())) return false;
    entry_values_.resize(order.keys.size());
    Py_ssize_t position = 0;
    std::size_t entry = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (entry >= order.keys.size() || key != order.keys[entry].get()) return false;
        entry_values_[entry++] = value;
    }
    if (entry != order.keys.size()) return false;
    for (std::size_t g = 0; g < groups_.size(); ++g)
        values[g] = Ref::borrow(order.entry[g] >= 0 ? entry_values_[order.entry[g]] : nullptr);
    return true;
}

int KeyPlan::search(PyObject* dict, std::span<Ref> values) {
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        values[g] = Ref();
        found_key_[g] = -1;
        for (std::size_t k = 0; k < groups_[g].size(); ++k) {
            // may run Python code (__eq__ of an odd key stored in the dict)
            PyObject* value = PyDict_GetItemWithError(dict, groups_[g][k]);
            if (value != nullptr) {
                values[g] = Ref::borrow(value);
                found_key_[g] = static_cast<Py_ssize_t>(k);
                break;
            }
            if (PyErr_Occurred()) return -1;
        }
    }
    return 0;
}

// Remembers where `dict`, just searched, holds each group's key. Only a dict whose keys are all
// exact texts is remembered (and only by a plan whose own keys are): comparing those runs no
// Python code, so the dict cannot change during the walk, and equal texts are the keys a lookup
// finds.
void KeyPlan::remember(PyObject* dict) {
    KeyOrder order{{}, std::vector<Py_ssize_t>(groups_.size(), -1)};
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return;
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            if (found_key_[g] >= 0 && order.entry[g] < 0 &&
                PyUnicode_Compare(key, groups_[g][found_key_[g]]) == 0) {
                order.entry[g] = static_cast<Py_ssize_t>(order.keys.size());
            }
        }
        order.keys.push_back(Ref::borrow(key));
    }
    for (std::size_t g = 0; g < groups_.size(); ++g)
        if (found_key_[g] >= 0 && order.entry[g] < 0)
            return;  // found by a lookup yet equal to none of its keys: not a dict to remember
    if (orders_.size() < layouts_remembered) {
        orders_.push_back(std::move(order));
    } else {
        orders_[next_to_replace_] = std::move(order);
        next_to_replace_ = (next_to_replace_ + 1) % layouts_remembered;
    }
}

}  // namespace greeks::vector
