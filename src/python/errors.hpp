// The one place where C++ exceptions become Python exceptions.
#pragma once

#include "python/ref.hpp"

#include <new>
#include <string>

#include "core/panic.hpp"

namespace zan::py {

// The PanicException class (a direct subclass of BaseException); created at module init.
[[nodiscard]] PyObject* panic_exception() noexcept;
[[nodiscard]] PyObject* create_panic_exception();
// A module that shares the binding layer with zan_core (the package's _native) raises
// zan_core's class, not one of its own, so that one `except` catches the faults of both.
void adopt_panic_exception(PyObject* type) noexcept;

// Raise a Python exception of the given type and return the PyError to throw.
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Converts whatever escaped a call into a Python exception; returns NULL for convenience.
PyObject* translate_exception() noexcept;

// Runs a call body, turning every escaping C++ exception into a Python one.
template <class F>
PyObject* boundary(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return translate_exception();
    }
}

}  // namespace zan::py
