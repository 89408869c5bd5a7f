// The owning reference: the one way this module holds a new reference.
#pragma once

#include "greeks/runtime/compat.hpp"

#include <utility>

namespace greeks::runtime {

// Move-only owner of one reference. A raw PyObject* anywhere else in this module is borrowed.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null, as a failed API call returns).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace greeks::runtime
