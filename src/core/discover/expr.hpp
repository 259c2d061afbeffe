// Expression programs of formula discovery: a flat postfix token sequence over literal
// constants, parameter slots, input variables and the operators of operators.hpp, with a
// row evaluator, column-wise batch evaluators (values, and values with derivatives) and
// the text renderings.
//
// Evaluation never raises: a malformed program, a failed domain test or a non-finite
// operator result all end in the single outcome "no value".
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/discover/operators.hpp"

namespace zan::discover {

struct Token {
    enum class Kind : std::uint8_t { Const, Param, Var, Op };

    Kind kind = Kind::Const;
    Operator op = Operator::Neg;  // Op only
    std::size_t index = 0;        // Param: slot; Var: variable index
    double value = 0.0;           // Const: the literal; Param: the stored value

    [[nodiscard]] static constexpr Token make_const(double v) noexcept {
        return Token{Kind::Const, Operator::Neg, 0, v};
    }
    [[nodiscard]] static constexpr Token make_param(std::size_t slot, double v) noexcept {
        return Token{Kind::Param, Operator::Neg, slot, v};
    }
    [[nodiscard]] static constexpr Token make_var(std::size_t i) noexcept {
        return Token{Kind::Var, Operator::Neg, i, 0.0};
    }
    [[nodiscard]] static constexpr Token make_op(Operator o) noexcept {
        return Token{Kind::Op, o, 0, 0.0};
    }

    friend bool operator==(const Token& a, const Token& b) noexcept {
        if (a.kind != b.kind) return false;
        switch (a.kind) {
            case Kind::Const: return bit_equal(a.value, b.value);
            case Kind::Param: return a.index == b.index && bit_equal(a.value, b.value);
            case Kind::Var: return a.index == b.index;
            case Kind::Op: return a.op == b.op;
        }
        return false;
    }

private:
    static bool bit_equal(double x, double y) noexcept {
        return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
    }
};

// A postfix program. `n_vars` is carried along for the search's records and read by no
// evaluator or renderer. The size of an expression (its complexity) is its token count.
struct Expr {
    std::vector<Token> tokens;
    std::size_t n_vars = 0;

    [[nodiscard]] std::size_t size() const noexcept { return tokens.size(); }

    // A copy of `a` followed by one operator token.
    [[nodiscard]] static Expr unary(const Expr& a, Operator op, std::size_t n_vars);
    // a's tokens, then b's tokens, then the operator: op(a, b) with a as the left operand.
    [[nodiscard]] static Expr join(const Expr& a, const Expr& b, Operator op, std::size_t n_vars);

    friend bool operator==(const Expr&, const Expr&) = default;
};

// ---- evaluation ---------------------------------------------------------------------

// One column per input variable, in variable order; rows are counted by the first column.
using Columns = std::span<const std::span<const double>>;

// The value of the program on one row x (variable i reads x[i]); a Param token reads
// params[slot] when that exists, else its stored value. Leaves are not checked: a lone
// NaN constant is a value, but every operator result must be finite.
[[nodiscard]] std::optional<double> eval(const Expr& e, std::span<const double> x,
                                         std::span<const double> params = {});

// Reusable scratch of the column-wise evaluator: one block of values per stack level.
// One workspace per thread; it only ever grows.
class EvalWorkspace {
public:
    static constexpr std::size_t kBlock = 256;

private:
    friend bool eval_batch_into(const Expr&, Columns, std::span<const double>, double*,
                                EvalWorkspace&);
    std::vector<double> values_;
    std::vector<const double*> slots_;
};

// Column-wise evaluation over every row, written to out[0 .. rows). Returns false (no
// value) as soon as any row has none; out is then partly written. Zero rows always
// succeed. Gives exactly the values and the outcome of `eval` applied row by row.
// Requires at least one column and no column shorter than the first.
bool eval_batch_into(const Expr& e, Columns columns, std::span<const double> params, double* out,
                     EvalWorkspace& ws);

// Reusable scratch of the column-wise evaluator with derivatives: per stack level one
// block of values and one block of tangents per parameter. One workspace per thread.
class DualWorkspace {
public:
    static constexpr std::size_t kBlock = 256;

private:
    friend bool eval_batch_dual(const Expr&, Columns, std::span<const double>, std::size_t, double*, double*,
                                DualWorkspace&);
    std::vector<double> values_;
    std::vector<double> tangents_;
    std::vector<double> seeds_;  // P seeds of P blocks each, for seeded_params_ == P
    std::size_t seeded_params_ = static_cast<std::size_t>(-1);
    std::vector<const double*> slots_;
    std::vector<const double*> tangent_slots_;  // null: no parameter reaches the value
};

// Forward-mode evaluation over every row: out[i] as eval_batch_into gives it (bit for
// bit, with the same outcome), and dout[k*n + i] = ∂out[i]/∂(parameter k) for k <
// n_params, where n is the row count and parameter k is every Param token of slot k
// (it reads params[k] as eval_batch_into does; slots from n_params on are constants).
// Derivatives are not tested: where a partial is unbounded (sqrt at 0) they are
// non-finite, and a caller needing a Jacobian tests them. Requirements as for
// eval_batch_into, and params.size() >= n_params.
bool eval_batch_dual(const Expr& e, Columns columns, std::span<const double> params, std::size_t n_params,
                     double* out, double* dout, DualWorkspace& ws);

[[nodiscard]] std::optional<std::vector<double>> eval_batch(const Expr& e, Columns columns,
                                                            std::span<const double> params = {});
[[nodiscard]] std::optional<std::vector<double>> eval_batch(
    const Expr& e, const std::vector<std::vector<double>>& columns, std::span<const double> params = {});

// ---- rendering ----------------------------------------------------------------------

// Text form: every operator application in its own parentheses, constants in four-decimal
// fixed notation ("π" and "e" for those exact doubles), "?" for the empty program. A
// missing operand renders as empty text; of several texts left, the top one is the result.
[[nodiscard]] std::string to_string(const Expr& e);
void append_string(std::string& out, const Expr& e);

// LaTeX and Python forms of a formula text (rewrites of the text, not of an expression).
[[nodiscard]] std::string to_latex(std::string_view formula);
[[nodiscard]] std::string to_python(std::string_view formula);

}  // namespace zan::discover
