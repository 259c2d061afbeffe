#include "python/buffer_view.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace zan::py {

BufferView::BufferView(PyObject* obj, int dims, bool writable, const char* what) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) throw PyError{};
    const bool float64 = view_.itemsize == 8 && view_.format != nullptr &&
                         (std::strcmp(view_.format, "d") == 0 || std::strcmp(view_.format, "<d") == 0 ||
                          std::strcmp(view_.format, "=d") == 0);
    if (!float64 || view_.ndim != dims) {
        PyBuffer_Release(&view_);
        raise_format(PyExc_TypeError, "%s must be a C-contiguous float64 array of %d dimension(s)", what, dims);
    }
    rows_ = static_cast<std::size_t>(view_.shape[0]);
    cols_ = dims == 2 ? static_cast<std::size_t>(view_.shape[1]) : 1;
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

}  // namespace zan::py
