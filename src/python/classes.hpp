// The value classes ZANPoint, ZANPair and ZANKnot: their object layouts, their class
// objects (heap types, created on first use) and constructors of new instances.
// The classes are final, immutable, and carry no __dict__ and no weak references.
#pragma once

#include "python/ref.hpp"

#include "core/knot.hpp"
#include "core/pair.hpp"
#include "core/point.hpp"

namespace zan::py {

struct PointObject {
    PyObject_HEAD
    zan::Point v;
};

struct PairObject {
    PyObject_HEAD
    zan::Pair v;
};

struct KnotObject {
    PyObject_HEAD
    zan::Knot v;
};

// Borrowed class objects, created on first use; nullptr with an exception set on failure.
[[nodiscard]] PyTypeObject* zanpoint_type() noexcept;
[[nodiscard]] PyTypeObject* zanpair_type() noexcept;
[[nodiscard]] PyTypeObject* zanknot_type() noexcept;

// The class-instance argument kind for ZANPoint: the coordinates of the point passed,
// or the TypeError "'{T}' object cannot be converted to 'ZANPoint'".
[[nodiscard]] const zan::Point& to_point(PyObject* obj);

// New instances (never of a subclass); throw PyError on failure.
[[nodiscard]] Ref new_point(zan::Point v);
[[nodiscard]] Ref new_pair(zan::Pair v);
[[nodiscard]] Ref new_knot(const zan::Knot& v);

namespace detail {

// The receiver of a method of one of these classes.
template <class Obj>
[[nodiscard]] inline const auto& value(PyObject* self) noexcept {
    return reinterpret_cast<const Obj*>(self)->v;
}

template <class Obj, class V>
[[nodiscard]] Ref make(PyTypeObject* type, const V& v) {
    if (type == nullptr) throw PyError{};
    Obj* obj = PyObject_New(Obj, type);  // takes a reference to the heap type
    if (obj == nullptr) throw PyError{};
    obj->v = v;
    return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

// Instances hold no references, so they need no GC support: free and release the type.
inline void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

// __new__ called with a tuple and a dict (ZANPoint.__new__(ZANPoint, ...)) goes through the
// same vectorcall constructor as ZANPoint(...), and so through the same binder.
inline PyObject* new_via_vectorcall(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return PyVectorcall_Call(reinterpret_cast<PyObject*>(type), args, kwargs);
}

// Creates a class from its PyType_Spec and installs its vectorcall constructor.
[[nodiscard]] PyTypeObject* create_type(PyType_Spec& type_spec, vectorcallfunc construct) noexcept;

}  // namespace detail
}  // namespace zan::py
