#include "python/errors.hpp"

#include <cstdarg>
#include <exception>

namespace zan::py {
namespace {
PyObject* g_panic = nullptr;
}

PyObject* panic_exception() noexcept { return g_panic; }

PyObject* create_panic_exception() {
    if (g_panic == nullptr) {
        g_panic = PyErr_NewExceptionWithDoc(
            "zan_core.PanicException",
            "An internal fault of a zan_core call. Derives from BaseException: it reports a bug "
            "or an impossible input, not an ordinary error.",
            PyExc_BaseException, nullptr);
        if (g_panic == nullptr) throw PyError{};
    }
    return g_panic;
}

void adopt_panic_exception(PyObject* type) noexcept {
    if (g_panic == nullptr) g_panic = Py_NewRef(type);
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyError{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyError{};
}

PyObject* translate_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        // The Python exception is already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const zan::Panic& p) {
        // The diagnostic was written where the fault happened.
        PyErr_SetString(g_panic, p.what());
    } catch (const std::exception& e) {
        zan::report_fault(e.what(), __FILE__, __LINE__, 0);
        PyErr_SetString(g_panic, e.what());
    } catch (...) {
        zan::report_fault("unknown internal fault", __FILE__, __LINE__, 0);
        PyErr_SetString(g_panic, "unknown internal fault");
    }
    return nullptr;
}

}  // namespace zan::py
