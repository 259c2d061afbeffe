#include "python/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "python/errors.hpp"

namespace zan::py {
namespace {

// A lying or failing __len__ only costs a reallocation, never a huge reservation.
constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 20;

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    Ref name = type_name(obj);
    raise_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

// The checks every list kind starts with: no str, and the sequence protocol.
void require_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
}

Py_ssize_t length_hint(PyObject* obj) {
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return std::min(n, kMaxReserveHint);
}

// Calls item(PyObject*) for every element in iteration order. Exact lists and tuples are
// walked by index, re-reading the length each step exactly as their iterators do, and
// each item is held while it converts (its __float__ may shrink the list).
template <class Item>
void for_each_item(PyObject* obj, Item&& item) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref held = Ref::borrow(PyList_GET_ITEM(obj, i));
            item(held.get());
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) item(PyTuple_GET_ITEM(obj, i));
        return;
    }
    Ref it = Ref::check(PyObject_GetIter(obj));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref held = Ref::steal(raw);
        item(held.get());
    }
    if (PyErr_Occurred()) throw PyError{};
}

// One copy from a C-contiguous 1-d float64 buffer (NumPy arrays, array('d'), memoryview).
bool read_float64_buffer(PyObject* obj, FloatVec& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* f = view.format ? view.format : "B";
    const bool native_double = std::strcmp(f, "d") == 0 || std::strcmp(f, "=d") == 0 ||
                               std::strcmp(f, "@d") == 0 ||
                               (std::strcmp(f, "<d") == 0 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    const bool ok = native_double && view.ndim == 1 && view.itemsize == 8;
    if (ok) {
        out.resize(static_cast<std::size_t>(view.len / 8));
        if (view.len) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
    }
    PyBuffer_Release(&view);
    return ok;
}

// The list kinds: a sequence (not str) whose items each convert to one element.
template <class Vec, class Convert>
Vec collect(PyObject* obj, Convert&& convert) {
    require_sequence(obj);
    Vec out;
    out.reserve(static_cast<std::size_t>(length_hint(obj)));
    for_each_item(obj, [&](PyObject* item) { out.push_back(convert(item)); });
    return out;
}

XY to_pair_item(PyObject* item) {
    if (!PyTuple_Check(item)) cannot_convert(item, "PyTuple");
    const Py_ssize_t len = PyTuple_GET_SIZE(item);
    if (len != 2) raise_format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
    const double x = to_float(PyTuple_GET_ITEM(item, 0));
    const double y = to_float(PyTuple_GET_ITEM(item, 1));
    return {x, y};
}

Row8 to_row8_item(PyObject* item) {
    if (!PySequence_Check(item)) cannot_convert(item, "Sequence");
    const Py_ssize_t len = PySequence_Size(item);
    if (len < 0) throw PyError{};
    if (len != 8) raise_format(PyExc_ValueError, "expected a sequence of length 8 (got %zd)", len);
    Row8 row;
    // By index, each element fetched afresh: converting one may run code that
    // shrinks the row, which then fails cleanly with IndexError.
    for (Py_ssize_t k = 0; k < 8; ++k) {
        Ref v = Ref::check(PySequence_GetItem(item, k));
        row[static_cast<std::size_t>(k)] = to_float(v.get());
    }
    return row;
}

std::int8_t to_small_int_item(PyObject* item) {
    const long v = PyLong_AsLong(item);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    if (v < -128 || v > 127) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int8_t>(v);
}

}  // namespace

double to_float(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return v;
}

FloatVec to_float_list(PyObject* obj) {
    require_sequence(obj);
    FloatVec out;
    if (PyList_CheckExact(obj)) {
        // Hot path: exact floats are read straight from the item array.
        out.resize(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        std::size_t i = 0;
        for (; static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(obj); ++i) {
            PyObject* item = PyList_GET_ITEM(obj, i);
            double v;
            if (PyFloat_CheckExact(item)) {
                v = PyFloat_AS_DOUBLE(item);
            } else {
                Ref held = Ref::borrow(item);
                v = to_float(held.get());
            }
            if (i < out.size()) out[i] = v; else out.push_back(v);
        }
        out.resize(i);
        return out;
    }
    if (read_float64_buffer(obj, out)) return out;
    return collect<FloatVec>(obj, to_float);
}

Buffer<XY> to_pairs(PyObject* obj) { return collect<Buffer<XY>>(obj, to_pair_item); }

std::vector<FloatVec> to_float_lists(PyObject* obj) { return collect<std::vector<FloatVec>>(obj, to_float_list); }

Buffer<Row8> to_rows8(PyObject* obj) { return collect<Buffer<Row8>>(obj, to_row8_item); }

std::vector<std::int8_t> to_small_ints(PyObject* obj) {
    return collect<std::vector<std::int8_t>>(obj, to_small_int_item);
}

std::int64_t to_int64(PyObject* obj) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

std::uint64_t to_uint64(PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError{};
    return v;
}

bool to_flag(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    PyTypeObject* type = Py_TYPE(obj);
    Ref module = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    Ref name = type_name(obj);
    const bool numpy_bool = PyUnicode_Check(module.get()) &&
                            PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                            (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                             PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
    if (!numpy_bool) cannot_convert(obj, "PyBool");
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr)
        raise_format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
    const int truth = type->tp_as_number->nb_bool(obj);
    if (truth < 0) throw PyError{};
    return truth != 0;
}

PyObject* to_instance(PyObject* obj, PyTypeObject* type) {
    if (PyObject_TypeCheck(obj, type)) return obj;
    const char* dot = std::strrchr(type->tp_name, '.');
    cannot_convert(obj, dot != nullptr ? dot + 1 : type->tp_name);
}

}  // namespace zan::py
