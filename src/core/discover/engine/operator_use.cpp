#include "core/discover/engine/operator_use.hpp"

#include <vector>

namespace zan::discover::engine {
namespace {

bool either(std::uint32_t set, Operator a, Operator b) { return contains(set, a) || contains(set, b); }

// A binary operator over operands of which `left` and `right` read the variables.
bool join_allowed(std::uint32_t set, Operator op, bool left, bool right) {
    if (!left && !right) return true;
    switch (op) {
        case Operator::Add:
        case Operator::Sub: return true;  // sums of terms are the engine's own frame
        case Operator::Mul: return !(left && right) || contains(set, Operator::Mul);
        case Operator::Div:
            if (!right) return true;  // e/c: a scale
            if (!left) return either(set, Operator::Inv, Operator::Div);
            return contains(set, Operator::Div) || (contains(set, Operator::Mul) && contains(set, Operator::Inv));
        default: return contains(set, op);
    }
}

}  // namespace

bool function_allowed(std::uint32_t set, Operator op) {
    switch (op) {
        case Operator::Neg: return true;  // −e is the scale −1
        case Operator::Square: return either(set, Operator::Square, Operator::Mul);
        case Operator::Inv: return either(set, Operator::Inv, Operator::Div);
        default: return contains(set, op);
    }
}

bool within_operators(const Expr& program, std::uint32_t set) {
    std::vector<char> reads;  // per operand on the stack: whether it reads a variable
    for (const Token& t : program.tokens) {
        if (t.kind != Token::Kind::Op) {
            reads.push_back(t.kind == Token::Kind::Var ? 1 : 0);
            continue;
        }
        if (info(t.op).arity == 1) {
            if (reads.empty()) return false;
            if (reads.back() && !function_allowed(set, t.op)) return false;
            continue;
        }
        if (reads.size() < 2) return false;
        const bool right = reads.back();
        reads.pop_back();
        const bool left = reads.back();
        if (!join_allowed(set, t.op, left, right)) return false;
        reads.back() = left || right;
    }
    return reads.size() == 1;
}

}  // namespace zan::discover::engine
