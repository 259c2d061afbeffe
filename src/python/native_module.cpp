// Entry point of zan_math._native, the private module behind the package's Python API.
// It shares the worker pool (and its fork handling) with zan_core through the core
// library, so it imports zan_core first: that installs the fork handler once.
#include "python/ref.hpp"

#include <vector>

#include "python/errors.hpp"
#include "python/native_registry.hpp"

namespace zan::py {
namespace {

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "zan_math._native", "Private native entries of the zan_math package.", 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

const PyMethodDef* const kTables[] = {native::kDiscoverMethods, native::kArrayMethods, native::kOperatorMethods};

PyObject* create() {
    Ref core = Ref::check(PyImport_ImportModule("zan_math.zan_core"));
    Ref panic = Ref::check(PyObject_GetAttrString(core.get(), "PanicException"));
    adopt_panic_exception(panic.get());
    Ref module = Ref::check(PyModule_Create(&g_def));
    Ref name = Ref::check(PyModule_GetNameObject(module.get()));
    for (const PyMethodDef* table : kTables) {
        for (const PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
            Ref function =
                Ref::check(PyCFunction_NewEx(const_cast<PyMethodDef*>(def), module.get(), name.get()));
            if (PyModule_AddObjectRef(module.get(), def->ml_name, function.get()) < 0) throw PyError{};
        }
    }
    return module.release();
}

}  // namespace
}  // namespace zan::py

PyMODINIT_FUNC PyInit__native(void) {
    return zan::py::boundary([] { return zan::py::create(); });
}
