#include "python/classes.hpp"

namespace zan::py::detail {

PyTypeObject* create_type(PyType_Spec& type_spec, vectorcallfunc construct) noexcept {
    PyObject* created = PyType_FromSpec(&type_spec);
    if (created == nullptr) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(created);
    // Calling the class skips the argument tuple and __init__; __new__ reaches the same code.
    type->tp_vectorcall = construct;
    return type;
}

}  // namespace zan::py::detail
