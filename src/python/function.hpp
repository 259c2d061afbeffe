// Built-in function and method entries: a parameter table plus a body, wrapped in the
// fast calling convention with keywords and in the call boundary.
#pragma once

#include "python/binder.hpp"
#include "python/errors.hpp"

namespace zan::py {

// A body receives the receiver (the module for module functions) and the bound arguments,
// and returns the new result object.
using Body = Ref (*)(PyObject* self, const Args& args);

template <const Signature& Sig, Body F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] {
        Args bound(Sig, args, nargsf, kwnames);
        return F(self, bound).release();
    });
}

// The PyMethodDef of a function or method; doc is "name(sig)\n--\n\ntext".
template <const Signature& Sig, Body F>
constexpr PyMethodDef method_def(const char* name, const char* doc, int extra_flags = 0) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Sig, F>)),
                       METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

}  // namespace zan::py
