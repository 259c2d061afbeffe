#include "core/discover/engine/candidate.hpp"

#include "core/discover/engine/program.hpp"

namespace zan::discover::engine {

bool makes_monomial(const NodeStore& store, const Candidate& c) noexcept {
    return store[c.left].monomial && ((c.make == Make::Unary && c.op == Operator::Square) ||
                                      (c.make == Make::Binary && c.op == Operator::Mul && store[c.right].monomial));
}

bool compose(const NodeStore& store, const Candidate& c, double constant, double* out) {
    const std::size_t n = store.rows();
    const double* a = store.values(c.left);
    switch (c.make) {
        case Make::Unary: return apply_block(c.op, a, nullptr, out, n);
        case Make::Binary: return apply_block(c.op, a, store.values(c.right), out, n);
        case Make::Scale:
            for (std::size_t i = 0; i < n; ++i) out[i] = constant * a[i];
            break;
        case Make::Shift:
            for (std::size_t i = 0; i < n; ++i) out[i] = a[i] + constant;
            break;
        case Make::Reflect:
            for (std::size_t i = 0; i < n; ++i) out[i] = constant - a[i];
            break;
        case Make::AddOne:
            for (std::size_t i = 0; i < n; ++i) out[i] = a[i] + 1.0;
            break;
        case Make::OneMinus:
            for (std::size_t i = 0; i < n; ++i) out[i] = 1.0 - a[i];
            break;
    }
    return apply_block(c.op, out, nullptr, out, n);
}

Node materialise(const NodeStore& store, const Candidate& c, double constant, const LinearFit& fit) {
    Node n;
    const Node& a = store[c.left];
    n.fit = fit;
    n.vars = a.vars;
    n.params = a.params;
    n.algebraic = a.algebraic &&
                  (c.make == Make::Unary || c.make == Make::Binary || c.make == Make::AddOne ||
                   c.make == Make::OneMinus) &&
                  (c.op == Operator::Add || c.op == Operator::Sub || c.op == Operator::Mul ||
                   c.op == Operator::Div || c.op == Operator::Inv || c.op == Operator::Square);
    n.monomial = makes_monomial(store, c);
    switch (c.make) {
        case Make::Unary:
            n.tokens = a.tokens;
            break;
        case Make::Binary: {
            const Node& b = store[c.right];
            n.vars |= b.vars;
            n.algebraic = n.algebraic && b.algebraic;
            n.tokens = a.tokens;
            append_shifted(n.tokens, b.tokens, a.params.size());
            n.params.insert(n.params.end(), b.params.begin(), b.params.end());
            break;
        }
        case Make::AddOne:
            n.tokens = a.tokens;
            n.tokens.push_back(Token::make_const(1.0));
            n.tokens.push_back(Token::make_op(Operator::Add));
            break;
        case Make::OneMinus:
            n.tokens.push_back(Token::make_const(1.0));
            n.tokens.insert(n.tokens.end(), a.tokens.begin(), a.tokens.end());
            n.tokens.push_back(Token::make_op(Operator::Sub));
            break;
        case Make::Scale:
        case Make::Shift:
        case Make::Reflect: {
            const Token p = Token::make_param(a.params.size(), constant);
            if (c.make == Make::Reflect) {
                n.tokens.push_back(p);
                n.tokens.insert(n.tokens.end(), a.tokens.begin(), a.tokens.end());
                n.tokens.push_back(Token::make_op(Operator::Sub));
            } else {
                n.tokens = a.tokens;
                n.tokens.push_back(p);
                n.tokens.push_back(Token::make_op(c.make == Make::Scale ? Operator::Mul : Operator::Add));
            }
            n.params.push_back(constant);
            break;
        }
    }
    n.tokens.push_back(Token::make_op(c.op));
    n.size = static_cast<std::uint32_t>(n.tokens.size());
    return n;
}

}  // namespace zan::discover::engine
