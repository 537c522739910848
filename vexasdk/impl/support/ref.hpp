// Ref: the owned Python reference. Every object a module creates or takes
// lives in one; bare reference counting stays out of control flow.
#pragma once

#include <utility>

#include "support/python.hpp"

namespace vx {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, with the error set by whoever failed).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace vx
