// NumPy arrays in and out for the array forms of the batch functions. The only part of the
// binding layer that talks to NumPy, through its C API, loaded on the first array call:
// zan_core never imports NumPy.
#pragma once

#include "python/ref.hpp"

#include <cstddef>

namespace zan::py::arrays {

// Loads NumPy's C API once (ImportError when NumPy is missing).
void require_numpy();

// What an input or output must look like: 1-d (n,), or 2-d (n, width) with width 0
// meaning any width.
struct Shape {
    int ndim;
    std::size_t width;
};

// A C-contiguous float64 block of rows x width values (width 1 for 1-d), owned by `owner`:
// the caller's own array when it already was one, else its one-time conversion.
struct Block {
    Ref owner;
    double* data;
    std::size_t rows;
    std::size_t width;
};

// Reads any array-like as a block of the given shape: C-contiguous float64 arrays (read-only
// ones included) without a copy, everything else converted once as numpy.asarray(x,
// dtype=float64) would, safe casts only. An empty 1-d input is a block of zero rows.
// ValueError names the parameter on a wrong shape; conversion errors pass through.
[[nodiscard]] Block read(PyObject* obj, Shape shape, const char* param);

// A new uninitialised float64 array of `rows` rows of `shape`.
[[nodiscard]] Block allocate(std::size_t rows, Shape shape);

// `out=`: a writeable C-contiguous float64 ndarray of exactly `rows` rows of `shape`, else
// TypeError (not an ndarray, not float64) or ValueError (shape, layout, read-only).
[[nodiscard]] Block check_out(PyObject* obj, std::size_t rows, Shape shape);

// Makes `in` a private copy when it shares memory with `out`, so that writing the results
// never changes an input still to be read. With `in_place_ok`, an input that is exactly
// out's memory, row for row, is kept: a kernel that reads element i before writing result
// i is safe in place.
void separate(Block& in, const Block& out, bool in_place_ok);

// Releases the interpreter lock for the lifetime of the guard when `release`.
class Unlocked {
public:
    explicit Unlocked(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~Unlocked() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace zan::py::arrays
