// The two forms of a parallel batch function, generated from its one declaration (see
// batch_decls.hpp): the list form of zan_core (Python sequences in, new lists out) and the
// array form of zan_math.arrays (array-likes in, float64 arrays out). Both convert their
// arguments in parameter order and hand the same native views to the same compute call,
// so they run the same kernels on the same pool and agree to the last bit.
//
// A declaration D provides:
//   name, params[], doc   the Python name, parameter names and docstring text
//   Params                std::tuple of parameter kinds, one per name (below)
//   Result                the row kind of the result
//   compute(out, views...)  the core call: out is where the results go (see each kind's
//                         Target), views are the converted arguments in parameter order
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "python/arrays_io.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/result.hpp"

namespace zan::py::batch {

// ---- Parameter kinds ------------------------------------------------------------------
// Row kinds are the batches: element i of the result comes from row i of each, and rows
// pair up to the shorter batch as zip does. In the array form a row kind is a C-contiguous
// float64 block, read in place.

struct Column {  // list: a float list; array: shape (n,)
    static constexpr arrays::Shape kShape{1, 1};
    static constexpr const char* kShapeText = "(n,)";
    using Owned = FloatVec;
    using Row = double;
    [[nodiscard]] static Owned convert(PyObject* obj) { return to_float_list(obj); }
    [[nodiscard]] static std::span<const double> view(const Owned& v) noexcept { return v; }
    [[nodiscard]] static std::span<const double> view(const arrays::Block& b) noexcept { return {b.data, b.rows}; }
    [[nodiscard]] static Ref to_list(const Buffer<Row>& rows) { return float_list(rows); }
};

// Rows of N floats: std::array<double, N> has the layout of N doubles, so a (n, N) block
// is read as n rows in place.
template <std::size_t N, Buffer<std::array<double, N>> (*Convert)(PyObject*), Ref (*ToList)(const Buffer<std::array<double, N>>&)>
struct FixedRows {
    using Row = std::array<double, N>;
    static_assert(sizeof(Row) == N * sizeof(double) && alignof(Row) == alignof(double));
    static constexpr arrays::Shape kShape{2, N};
    using Owned = Buffer<Row>;
    [[nodiscard]] static Owned convert(PyObject* obj) { return Convert(obj); }
    [[nodiscard]] static std::span<const Row> view(const Owned& v) noexcept { return v; }
    [[nodiscard]] static std::span<const Row> view(const arrays::Block& b) noexcept {
        return {reinterpret_cast<const Row*>(b.data), b.rows};
    }
    [[nodiscard]] static Ref to_list(const Owned& rows) { return ToList(rows); }
};

inline Ref pairs_to_list(const Buffer<XY>& rows) { return tuple_list(rows); }
inline Ref rows8_to_list(const Buffer<Row8>& rows) { return nested_float_lists(rows); }

struct Pairs : FixedRows<2, to_pairs, pairs_to_list> {  // list: (x, y) tuples
    static constexpr const char* kShapeText = "(n, 2)";
};
struct Octonions : FixedRows<8, to_rows8, rows8_to_list> {  // list: rows of 8 numbers
    static constexpr const char* kShapeText = "(n, 8)";
};

// Rows of any length: in the list form each its own, in the array form one width m.
struct Dense {
    const double* data;
    std::size_t rows;
    std::size_t width;
};
struct Multivectors {
    static constexpr arrays::Shape kShape{2, 0};
    static constexpr const char* kShapeText = "(n, m)";
    using Owned = std::vector<FloatVec>;
    [[nodiscard]] static Owned convert(PyObject* obj) { return to_float_lists(obj); }
    [[nodiscard]] static std::span<const FloatVec> view(const Owned& v) noexcept { return v; }
    [[nodiscard]] static Dense view(const arrays::Block& b) noexcept { return {b.data, b.rows, b.width}; }
};

// Scalar kinds: converted alike in both forms.
struct Real {
    using Owned = double;
    [[nodiscard]] static Owned convert(PyObject* obj) { return to_float(obj); }
    [[nodiscard]] static double view(double v) noexcept { return v; }
};
struct Index {
    using Owned = std::uint64_t;
    [[nodiscard]] static Owned convert(PyObject* obj) { return to_uint64(obj); }
    [[nodiscard]] static std::uint64_t view(std::uint64_t v) noexcept { return v; }
};
struct SmallInts {
    using Owned = std::vector<std::int8_t>;
    [[nodiscard]] static Owned convert(PyObject* obj) { return to_small_ints(obj); }
    [[nodiscard]] static std::span<const std::int8_t> view(const Owned& v) noexcept { return v; }
};

template <class K>
concept RowKind = requires { K::kShape; };

// ---- Compile-time text: signatures and docstrings ---------------------------------------

namespace text {

[[nodiscard]] constexpr std::size_t length(const char* s) noexcept {
    std::size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

struct Count {
    std::size_t n = 0;
    constexpr void put(const char* s) noexcept { n += length(s); }
};

template <std::size_t N>
struct Write {
    std::array<char, N> text{};  // the last byte stays NUL
    std::size_t n = 0;
    constexpr void put(const char* s) noexcept {
        while (*s != '\0') text[n++] = *s++;
    }
};

// Piece::write(sink) once to size the array, once to fill it.
template <class Piece>
inline constexpr std::size_t kSize = [] {
    Count c;
    Piece::write(c);
    return c.n + 1;
}();
template <class Piece>
inline constexpr std::array<char, kSize<Piece>> kText = [] {
    Write<kSize<Piece>> w;
    Piece::write(w);
    return w.text;
}();

template <class D>
constexpr void params(auto& s) {
    for (std::size_t i = 0; i < std::size(D::params); ++i) {
        if (i > 0) s.put(", ");
        s.put(D::params[i]);
    }
}

// "ln_n()": the name the binder's messages use.
template <class D>
struct Display {
    static constexpr void write(auto& s) {
        s.put(D::name);
        s.put("()");
    }
};

// "ln_n(ys)\n--\n\ntext": the text signature the host reads, then the docstring.
template <class D>
struct ListDoc {
    static constexpr void write(auto& s) {
        s.put(D::name);
        s.put("(");
        params<D>(s);
        s.put(")\n--\n\n");
        s.put(D::doc);
    }
};

template <class D, std::size_t... I>
constexpr void row_inputs(auto& s, std::index_sequence<I...>) {
    bool first = true;
    auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        using Kind = std::tuple_element_t<K, typename D::Params>;
        if constexpr (RowKind<Kind>) {
            if (!first) s.put(", ");
            first = false;
            s.put(D::params[K]);
            s.put(" ");
            s.put(Kind::kShapeText);
        }
    };
    (one(std::integral_constant<std::size_t, I>{}), ...);
}

template <class D>
constexpr std::size_t row_inputs_count() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (std::size_t{0} + ... + (RowKind<std::tuple_element_t<I, typename D::Params>> ? 1 : 0));
    }(std::make_index_sequence<std::size(D::params)>{});
}

// The list form's text, then what the array form reads and returns.
template <class D>
struct ArrayDoc {
    static constexpr void write(auto& s) {
        s.put(D::name);
        s.put("(");
        params<D>(s);
        s.put(", out=None)\n--\n\n");
        s.put(D::doc);
        s.put("\n\nArray form: ");
        row_inputs<D>(s, std::make_index_sequence<std::size(D::params)>{});
        s.put(row_inputs_count<D>() > 1 ? " as float64 arrays" : " as a float64 array");
        s.put(" (read in place when already C-contiguous float64, else converted once)");
        if (row_inputs_count<D>() > 1) s.put("; rows pair up to the shorter input");
        s.put(". Returns a new float64 array of shape ");
        s.put(D::Result::kShapeText);
        if constexpr (std::is_same_v<typename D::Result, Multivectors>) s.put(", m being the width of a_batch");
        s.put(", or writes into out (a writeable C-contiguous float64 array of that shape) and returns it.");
    }
};

}  // namespace text

// ---- The two forms ----------------------------------------------------------------------

template <class D>
inline constexpr std::size_t kArity = std::size(D::params);

template <class D>
inline constexpr Signature kListSignature{text::kText<text::Display<D>>.data(), D::params, kArity<D>};

template <class D>
inline constexpr auto kArrayParams = [] {
    std::array<const char*, kArity<D> + 1> p{};
    std::copy(std::begin(D::params), std::end(D::params), p.begin());
    p.back() = "out";
    return p;
}();

template <class D>
inline constexpr Signature kArraySignature{text::kText<text::Display<D>>.data(), kArrayParams<D>, kArity<D>};

template <class D>
using Kind = std::tuple_element_t<0, typename D::Params>;

// Rows of the result: the shortest row input.
template <class D, class Values, std::size_t... I>
[[nodiscard]] std::size_t zip_length(const Values& values, std::index_sequence<I...>) {
    std::size_t n = SIZE_MAX;
    auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        if constexpr (RowKind<std::tuple_element_t<K, typename D::Params>>) {
            const auto& v = std::get<K>(values);
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, arrays::Block>) {
                n = std::min(n, v.rows);
            } else {
                n = std::min(n, v.size());
            }
        }
    };
    (one(std::integral_constant<std::size_t, I>{}), ...);
    return n;
}

template <class D, std::size_t... I>
Ref list_call(const Args& args, std::index_sequence<I...> seq) {
    using P = typename D::Params;
    using R = typename D::Result;
    // A braced list evaluates left to right: the arguments convert in parameter order.
    std::tuple<typename std::tuple_element_t<I, P>::Owned...> values{
        args.get(I, &std::tuple_element_t<I, P>::convert)...};
    const std::size_t n = zip_length<D>(values, seq);
    if constexpr (std::is_same_v<R, Multivectors>) {
        Buffer<FloatVec> out;
        D::compute(out, std::tuple_element_t<I, P>::view(std::get<I>(values))...);
        return nested_float_lists(out);
    } else if constexpr (std::is_same_v<R, Column> && std::is_same_v<Kind<D>, Column>) {
        // Element i depends on row i alone: the results overwrite the first converted input.
        FloatVec& first = std::get<0>(values);
        D::compute(first.data(), std::tuple_element_t<I, P>::view(std::get<I>(values))...);
        first.resize(n);
        return float_list(first);
    } else {
        Buffer<typename R::Row> out(n);
        D::compute(out.data(), std::tuple_element_t<I, P>::view(std::get<I>(values))...);
        return R::to_list(out);
    }
}

template <class D>
Ref list_body(PyObject*, const Args& args) {
    return list_call<D>(args, std::make_index_sequence<kArity<D>>{});
}

// Below this many values the interpreter lock stays held: releasing it costs more than
// another thread could gain.
inline constexpr std::size_t kUnlockValues = 4096;

template <class K>
struct ArrayValue {
    using type = typename K::Owned;
};
template <RowKind K>
struct ArrayValue<K> {
    using type = arrays::Block;
};

template <class K>
[[nodiscard]] typename ArrayValue<K>::type array_convert(PyObject* obj, const char* param) {
    if constexpr (RowKind<K>) {
        return arrays::read(obj, K::kShape, param);
    } else {
        return K::convert(obj);
    }
}

template <class D, std::size_t... I>
Ref array_call(const Args& args, std::index_sequence<I...> seq) {
    using P = typename D::Params;
    using R = typename D::Result;
    arrays::require_numpy();
    std::tuple<typename ArrayValue<std::tuple_element_t<I, P>>::type...> values{args.get(
        I, [](PyObject* obj) { return array_convert<std::tuple_element_t<I, P>>(obj, D::params[I]); })...};
    const std::size_t n = zip_length<D>(values, seq);

    arrays::Shape shape = R::kShape;
    if constexpr (std::is_same_v<R, Multivectors>) shape.width = std::get<0>(values).width;
    PyObject* given = args[kArity<D>];
    arrays::Block out = given == nullptr || given == Py_None
                            ? arrays::allocate(n, shape)
                            : args.get(kArity<D>, [&](PyObject* obj) { return arrays::check_out(obj, n, shape); });

    std::size_t values_read = 0;
    auto prepare = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        if constexpr (RowKind<std::tuple_element_t<K, P>>) {
            arrays::Block& in = std::get<K>(values);
            // A product accumulates into its output row while it reads its input rows.
            arrays::separate(in, out, !std::is_same_v<R, Multivectors>);
            values_read += n * in.width;
        }
    };
    (prepare(std::integral_constant<std::size_t, I>{}), ...);

    {
        const arrays::Unlocked unlocked(values_read >= kUnlockValues);
        if constexpr (std::is_same_v<R, Column> || std::is_same_v<R, Multivectors>) {
            D::compute(out.data, std::tuple_element_t<I, P>::view(std::get<I>(values))...);
        } else {
            D::compute(reinterpret_cast<typename R::Row*>(out.data),
                       std::tuple_element_t<I, P>::view(std::get<I>(values))...);
        }
    }
    return std::move(out.owner);
}

template <class D>
Ref array_body(PyObject*, const Args& args) {
    return array_call<D>(args, std::make_index_sequence<kArity<D>>{});
}

template <class D>
[[nodiscard]] PyMethodDef list_def() {
    static_assert(std::tuple_size_v<typename D::Params> == kArity<D>, "one kind per parameter");
    return method_def<kListSignature<D>, list_body<D>>(D::name, text::kText<text::ListDoc<D>>.data());
}

template <class D>
[[nodiscard]] PyMethodDef array_def() {
    static_assert(kArity<D> + 1 <= Args::kMaxParams, "the binder takes at most kMaxParams parameters");
    return method_def<kArraySignature<D>, array_body<D>>(D::name, text::kText<text::ArrayDoc<D>>.data());
}

}  // namespace zan::py::batch
