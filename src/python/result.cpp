#include "python/result.hpp"

namespace zan::py {

Ref new_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }

Ref new_str(std::string_view text) {
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref float_list(std::span<const double> values) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) throw PyError{};  // slots not yet filled are NULL, which list dealloc skips
        items[i] = f;
    }
    return list;
}

}  // namespace zan::py
