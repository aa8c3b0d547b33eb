// Owned references.
#pragma once

#include "compat.hpp"

#include <utility>

namespace csdk {

// A strong reference. There is no implicit conversion to PyObject*: borrow() lends it,
// release() hands it over (to a tuple slot or a return value).
class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference returned by an API call; null means an error is set.
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    static Owned incref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Owned(p);
    }
    Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    // Always inlined: on the hot paths the reference is usually released already, and
    // GCC left the destructor out of line, a call per Owned just to test for null (18
    // instructions per call of a Response wrapper, bench/run.sh --callgrind, B1).
    [[gnu::always_inline]] ~Owned() { Py_XDECREF(p_); }

    PyObject* borrow() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace csdk
