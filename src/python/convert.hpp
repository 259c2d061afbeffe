// One converter per argument kind: Python object in, call-owned native value out.
// Each raises the Python exception of its kind and throws PyError; Args::get adds the
// "argument '{k}': " prefix to a TypeError.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "core/buffer.hpp"

namespace zan::py {

using XY = std::array<double, 2>;
using Row8 = std::array<double, 8>;

// float: exact floats read directly, anything else through the host's float conversion.
[[nodiscard]] double to_float(PyObject* obj);

// float list: any sequence but str; lists of exact floats and float64 buffers are read
// without per-item calls.
[[nodiscard]] FloatVec to_float_list(PyObject* obj);

// list of (x, y) pairs: items must be tuples of exactly two numbers.
[[nodiscard]] Buffer<XY> to_pairs(PyObject* obj);

// list of float lists, each converted as a float list.
[[nodiscard]] std::vector<FloatVec> to_float_lists(PyObject* obj);

// list of 8-float rows: items are sequences of exactly 8 numbers, read by index.
[[nodiscard]] Buffer<Row8> to_rows8(PyObject* obj);

// list of small integers, each in -128..127.
[[nodiscard]] std::vector<std::int8_t> to_small_ints(PyObject* obj);

// integer: anything the host converts to a C long long (int, bool, __index__).
[[nodiscard]] std::int64_t to_int64(PyObject* obj);

// non-negative integer: an unsigned 64-bit value; negatives raise OverflowError.
[[nodiscard]] std::uint64_t to_uint64(PyObject* obj);

// flag: exactly bool, or a numpy boolean scalar read through its truth value.
[[nodiscard]] bool to_flag(PyObject* obj);

// class instance: obj itself (borrowed) when it is an instance of type or a subclass.
[[nodiscard]] PyObject* to_instance(PyObject* obj, PyTypeObject* type);

template <class T>
[[nodiscard]] const T& instance_of(PyObject* obj, PyTypeObject* type) {
    return *reinterpret_cast<const T*>(to_instance(obj, type));
}

}  // namespace zan::py
