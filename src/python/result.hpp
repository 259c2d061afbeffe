// Native results to new Python objects, each list allocated once at its final size.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <iterator>
#include <ranges>
#include <span>
#include <string_view>
#include <tuple>

namespace zan::py {

[[nodiscard]] Ref new_float(double v);
[[nodiscard]] Ref new_str(std::string_view text);
[[nodiscard]] Ref float_list(std::span<const double> values);

// A list of tuples of N floats from rows of std::array<double, N>: rows[i] becomes
// (rows[i][0], ..., rows[i][N-1]).
template <class Rows>
[[nodiscard]] Ref tuple_list(const Rows& rows) {
    constexpr std::size_t N = std::tuple_size_v<std::ranges::range_value_t<Rows>>;
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(std::size(rows))));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        PyObject* t = PyTuple_New(N);
        if (t == nullptr) throw PyError{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
        for (std::size_t k = 0; k < N; ++k) {
            PyObject* f = PyFloat_FromDouble(rows[i][k]);
            if (f == nullptr) throw PyError{};
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(k), f);
        }
    }
    return list;
}

// A list of lists of floats, one inner list per row.
template <class Rows>
[[nodiscard]] Ref nested_float_lists(const Rows& rows) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(std::size(rows))));
    Py_ssize_t i = 0;
    for (const auto& row : rows) {
        Ref inner = float_list(std::span<const double>(std::data(row), std::size(row)));
        PyList_SET_ITEM(list.get(), i++, inner.release());
    }
    return list;
}

}  // namespace zan::py
