// Finds in a dict, for each group of alternative keys, the value of the first key present.
//
// A chain's records mostly share their keys, in one order and as the very same text objects (the
// JSON decoder keeps one object per distinct key of a document). So once a dict has been searched
// key by key, the entry each group was found at is remembered with the dict's keys, and the next
// dict whose keys are the same objects in the same order is read by one walk over its entries: no
// hashing, no text compared. Such a dict holds the same keys, so each group's first present key
// is the same one. A few such layouts are remembered, as a chain's rows come in a few (a strike
// with both sides, with one, with the sides in either order).
#pragma once

#include "greeks/runtime/ref.hpp"

#include <span>
#include <vector>

namespace greeks::vector {

class KeyPlan {
public:
    // Each group: the alternatives, texts, in the order they are tried (borrowed from tuples the
    // caller keeps alive).
    explicit KeyPlan(std::vector<std::span<PyObject* const>> groups);

    std::size_t size() const { return groups_.size(); }

    // Sets values[g] to the value of group g (a reference of its own) or null when none of its
    // keys is present. -1 with an exception set on a Python error.
    int find(PyObject* dict, std::span<runtime::Ref> values);

private:
    struct KeyOrder {
        std::vector<runtime::Ref> keys;  // a dict's keys in order, held so that no other object
                                         // can come to live at their address
        std::vector<Py_ssize_t> entry;   // per group: its entry in that order, −1 none
    };

    bool read_as_remembered(const KeyOrder& order, PyObject* dict, std::span<runtime::Ref> values);
    int search(PyObject* dict, std::span<runtime::Ref> values);
    void remember(PyObject* dict);

    std::vector<std::span<PyObject* const>> groups_;
    std::vector<Py_ssize_t> found_key_;  // per group: which alternative the search found, −1 none
    std::vector<KeyOrder> orders_;       // the remembered layouts
    std::size_t next_to_replace_ = 0;
    std::vector<PyObject*> entry_values_;  // scratch: one dict's values in order
    bool exact_keys_ = true;               // every alternative an exact text
};

}  // namespace greeks::vector
