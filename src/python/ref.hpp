// One owned reference to a Python object. Borrowed references stay raw PyObject*;
// anything this layer creates or must release lives in a Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zan::py {

// Thrown when a Python exception is already set; the call boundary returns NULL.
struct PyError {};

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    // Takes a new reference from an API call, throwing PyError when it signalled failure.
    static Ref check(PyObject* p) {
        if (p == nullptr) throw PyError{};
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Name of an object's type as the conversion messages print it ('int', 'list', ...).
[[nodiscard]] inline Ref type_name(PyObject* obj) { return Ref::check(PyType_GetName(Py_TYPE(obj))); }

}  // namespace zan::py
