#include "python/arrays_io.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <string>

#include "python/errors.hpp"

namespace zan::py::arrays {
namespace {

static_assert(sizeof(double) == 8);

bool g_loaded = false;

PyArrayObject* as_array(PyObject* obj) noexcept { return reinterpret_cast<PyArrayObject*>(obj); }

// "(3,)", "(3, 4)", "()": a shape as NumPy prints it.
std::string shape_text(int ndim, const npy_intp* dims) {
    std::string s = "(";
    for (int k = 0; k < ndim; ++k) {
        if (k > 0) s += ", ";
        s += std::to_string(dims[k]);
    }
    return s + (ndim == 1 ? ",)" : ")");
}

std::string expected_text(std::size_t rows, Shape shape, bool rows_known) {
    const std::string n = rows_known ? std::to_string(rows) : "n";
    if (shape.ndim == 1) return "(" + n + ",)";
    return "(" + n + ", " + (shape.width == 0 && !rows_known ? "m" : std::to_string(shape.width)) + ")";
}

// Matches arr against shape; on success sets rows and width.
bool fits(PyArrayObject* arr, Shape shape, std::size_t& rows, std::size_t& width) {
    const int ndim = PyArray_NDIM(arr);
    const npy_intp* dims = PyArray_DIMS(arr);
    if (shape.ndim == 1) {
        if (ndim != 1) return false;
        rows = static_cast<std::size_t>(dims[0]);
        width = 1;
        return true;
    }
    if (ndim == 1 && dims[0] == 0) {  // [] converts to shape (0,): no rows, of any width
        rows = 0;
        width = shape.width;
        return true;
    }
    if (ndim != 2 || (shape.width != 0 && static_cast<std::size_t>(dims[1]) != shape.width)) return false;
    rows = static_cast<std::size_t>(dims[0]);
    width = static_cast<std::size_t>(dims[1]);
    return true;
}

bool is_native_float64(PyArrayObject* arr) noexcept {
    return PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr);
}

}  // namespace

void require_numpy() {
    if (g_loaded) return;
    if (_import_array() < 0) throw PyError{};
    g_loaded = true;
}

Block read(PyObject* obj, Shape shape, const char* param) {
    Ref owner;
    if (PyArray_Check(obj) && is_native_float64(as_array(obj)) && PyArray_ISCARRAY_RO(as_array(obj))) {
        owner = Ref::borrow(obj);
    } else {
        owner = Ref::check(PyArray_FROMANY(obj, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO));
    }
    PyArrayObject* arr = as_array(owner.get());
    Block block{owner, static_cast<double*>(PyArray_DATA(arr)), 0, 0};
    if (!fits(arr, shape, block.rows, block.width)) {
        const std::string got = shape_text(PyArray_NDIM(arr), PyArray_DIMS(arr));
        raise_format(PyExc_ValueError, "argument '%s': expected an array of shape %s, got shape %s", param,
                     expected_text(0, shape, false).c_str(), got.c_str());
    }
    return block;
}

Block allocate(std::size_t rows, Shape shape) {
    const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(shape.width)};
    Ref owner = Ref::check(PyArray_SimpleNew(shape.ndim, dims, NPY_DOUBLE));
    return {owner, static_cast<double*>(PyArray_DATA(as_array(owner.get()))), rows,
            shape.ndim == 1 ? std::size_t{1} : shape.width};
}

Block check_out(PyObject* obj, std::size_t rows, Shape shape) {
    if (!PyArray_Check(obj)) {
        Ref name = type_name(obj);
        raise_format(PyExc_TypeError, "expected a numpy.ndarray, got '%U'", name.get());
    }
    PyArrayObject* arr = as_array(obj);
    if (!is_native_float64(arr)) {
        Ref dtype = Ref::check(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        raise_format(PyExc_TypeError, "expected dtype float64, got %U", dtype.get());
    }
    std::size_t got_rows = 0, width = 0;
    const bool exact = PyArray_NDIM(arr) == shape.ndim && fits(arr, shape, got_rows, width) && got_rows == rows;
    if (!exact) {
        const std::string got = shape_text(PyArray_NDIM(arr), PyArray_DIMS(arr));
        raise_format(PyExc_ValueError, "argument 'out': expected shape %s, got %s",
                     expected_text(rows, shape, true).c_str(), got.c_str());
    }
    if (!PyArray_ISCARRAY_RO(arr)) raise(PyExc_ValueError, "argument 'out': must be C-contiguous");
    if (!PyArray_ISWRITEABLE(arr)) raise(PyExc_ValueError, "argument 'out': array is read-only");
    return {Ref::borrow(obj), static_cast<double*>(PyArray_DATA(arr)), rows, width};
}

void separate(Block& in, const Block& out, bool in_place_ok) {
    const double* in_end = in.data + in.rows * in.width;
    const double* out_end = out.data + out.rows * out.width;
    if (!(in.data < out_end && out.data < in_end)) return;
    if (in_place_ok && in.data == out.data && in.width == out.width) return;
    Ref copy = Ref::check(PyArray_NewCopy(as_array(in.owner.get()), NPY_CORDER));
    in.data = static_cast<double*>(PyArray_DATA(as_array(copy.get())));
    in.owner = std::move(copy);
}

}  // namespace zan::py::arrays
