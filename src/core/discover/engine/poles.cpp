#include "core/discover/engine/poles.hpp"

#include <algorithm>
#include <vector>

#include "core/discover/operators.hpp"

namespace zan::discover::engine {
namespace {

bool takes_both_signs(const std::vector<double>& v) {
    bool positive = false, negative = false;
    for (double x : v) {
        positive = positive || x > 0.0;
        negative = negative || x < 0.0;
    }
    return positive && negative;
}

}  // namespace

bool divides_across_zero(const Expr& program, std::span<const double> params, Columns columns) {
    if (columns.empty()) return false;
    const std::size_t n = columns[0].size();
    std::vector<std::vector<double>> stack;
    for (const Token& t : program.tokens) {
        switch (t.kind) {
            case Token::Kind::Var:
                stack.emplace_back(columns[t.index].begin(), columns[t.index].begin() + static_cast<std::ptrdiff_t>(n));
                break;
            case Token::Kind::Const: stack.emplace_back(n, t.value); break;
            case Token::Kind::Param: stack.emplace_back(n, t.index < params.size() ? params[t.index] : t.value); break;
            case Token::Kind::Op: {
                if (arity(t.op) == 1) {
                    if (t.op == Operator::Inv && takes_both_signs(stack.back())) return true;
                    if (!apply_block(t.op, stack.back().data(), nullptr, stack.back().data(), n)) return false;
                } else {
                    std::vector<double> b = std::move(stack.back());
                    stack.pop_back();
                    if (t.op == Operator::Div && takes_both_signs(b)) return true;
                    if (!apply_block(t.op, stack.back().data(), b.data(), stack.back().data(), n)) return false;
                }
                break;
            }
        }
    }
    return false;
}

}  // namespace zan::discover::engine
