#include "python/binder.hpp"

#include <string>

#include "python/errors.hpp"

namespace zan::py {
namespace {

void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* was = given == 1 ? "was" : "were";
    if (sig.required == sig.params.size()) {
        raise_format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.display,
                     sig.params.size(), given, was);
    }
    raise_format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.display, sig.required, sig.params.size(), given, was);
}

// 'a' | 'a' and 'b' | 'a', 'b', and 'c'
void missing_required(const Signature& sig, std::span<PyObject* const> slots) {
    std::string names;
    std::size_t missing = 0, total = 0;
    for (std::size_t i = 0; i < sig.required; ++i) total += slots[i] == nullptr;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] != nullptr) continue;
        ++missing;
        if (missing > 1) {
            if (total > 2) names += ",";
            names += missing == total ? " and " : " ";
        }
        names += "'";
        names += sig.params[i];
        names += "'";
    }
    raise_format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display, total,
                 total == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) : sig_(sig) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const std::size_t n = sig.params.size();
    if (static_cast<std::size_t>(nargs) > n) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t idx = n;
            for (std::size_t i = 0; i < n; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx == n)
                raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
            if (slots_[idx] != nullptr)
                raise_format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.display, key);
            slots_[idx] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots_[i] == nullptr) missing_required(sig, slots_);
    }
}

void Args::prefix_type_error(const char* name) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exc);  // other exception types reach the caller unchanged
        return;
    }
    PyObject* text = PyObject_Str(exc);
    PyObject* message = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
    Py_XDECREF(text);
    PyObject* renewed = message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
    Py_XDECREF(message);
    if (renewed == nullptr) {
        Py_DECREF(exc);  // the failure to build the message is the error now
        return;
    }
    PyException_SetCause(renewed, PyException_GetCause(exc));  // steals the cause reference
    Py_DECREF(exc);
    PyErr_SetRaisedException(renewed);
}

void bind_none(const Signature& sig, Py_ssize_t nargsf, PyObject* kwnames) {
    Args bound(sig, nullptr, nargsf, kwnames);
    (void)bound;
}

}  // namespace zan::py
