// A held view of a C-contiguous float64 buffer (a NumPy array, array('d'), memoryview),
// released when the view goes out of scope. The package's Python layer hands the
// native entries arrays it has already made contiguous float64; anything else is a
// TypeError here rather than a silent copy.
#pragma once

#include "python/ref.hpp"

#include <cstddef>
#include <span>

namespace zan::py {

class BufferView {
public:
    // dims: 1 or 2; writable: the buffer must accept writes (an output array).
    BufferView(PyObject* obj, int dims, bool writable, const char* what);
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t cols() const noexcept { return cols_; }
    [[nodiscard]] double* data() const noexcept { return static_cast<double*>(view_.buf); }
    [[nodiscard]] std::span<const double> row(std::size_t i) const noexcept {
        return {data() + i * cols_, cols_};
    }

private:
    Py_buffer view_{};
    std::size_t rows_ = 0, cols_ = 0;
};

}  // namespace zan::py
