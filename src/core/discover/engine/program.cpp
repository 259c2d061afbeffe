#include "core/discover/engine/program.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace zan::discover::engine {

void append_shifted(std::vector<Token>& out, std::span<const Token> body, std::size_t shift) {
    for (Token t : body) {
        if (t.kind == Token::Kind::Param) t.index += shift;
        out.push_back(t);
    }
}

std::size_t param_count(std::span<const Token> tokens) {
    std::size_t n = 0;
    for (const Token& t : tokens)
        if (t.kind == Token::Kind::Param) n = std::max(n, t.index + 1);
    return n;
}

namespace {

// A program as a tree, only for simplification.
struct Tree {
    Token token;
    std::unique_ptr<Tree> a, b;
};

std::unique_ptr<Tree> leaf(Token t) {
    auto n = std::make_unique<Tree>();
    n->token = t;
    return n;
}

std::unique_ptr<Tree> node(Operator op, std::unique_ptr<Tree> a, std::unique_ptr<Tree> b = nullptr) {
    auto n = std::make_unique<Tree>();
    n->token = Token::make_op(op);
    n->a = std::move(a);
    n->b = std::move(b);
    return n;
}

bool is_const(const Tree& t, double v) { return t.token.kind == Token::Kind::Const && t.token.value == v; }

std::unique_ptr<Tree> simplify(std::unique_ptr<Tree> t) {
    if (t->token.kind != Token::Kind::Op) return t;
    if (t->a) t->a = simplify(std::move(t->a));
    if (t->b) t->b = simplify(std::move(t->b));
    const Operator op = t->token.op;
    // constant operands: fold, when the value exists
    if (t->a->token.kind == Token::Kind::Const && (!t->b || t->b->token.kind == Token::Kind::Const)) {
        const double v = apply(op, t->a->token.value, t->b ? t->b->token.value : 0.0);
        if (std::isfinite(v)) return leaf(Token::make_const(v));
    }
    if (arity(op) == 1) {
        if (op == Operator::Neg && t->a->token.kind == Token::Kind::Op && t->a->token.op == Operator::Neg)
            return std::move(t->a->a);
        return t;
    }
    Tree& a = *t->a;
    Tree& b = *t->b;
    switch (op) {
        case Operator::Mul:
            // a term whose coefficient snapped to zero is dropped with it
            if (is_const(b, 0.0) || is_const(a, 0.0)) return leaf(Token::make_const(0.0));
            if (is_const(b, 1.0)) return std::move(t->a);
            if (is_const(a, 1.0)) return std::move(t->b);
            if (is_const(b, -1.0)) return simplify(node(Operator::Neg, std::move(t->a)));
            if (is_const(a, -1.0)) return simplify(node(Operator::Neg, std::move(t->b)));
            break;
        case Operator::Div:
            if (is_const(b, 1.0)) return std::move(t->a);
            // a ratio over a reciprocal denominator is a product
            if (b.token.kind == Token::Kind::Op && b.token.op == Operator::Inv)
                return simplify(node(Operator::Mul, std::move(t->a), std::move(b.a)));
            break;
        case Operator::Add:
            if (is_const(b, 0.0)) return std::move(t->a);
            if (is_const(a, 0.0)) return std::move(t->b);
            if (b.token.kind == Token::Kind::Op && b.token.op == Operator::Neg)
                return node(Operator::Sub, std::move(t->a), std::move(b.a));
            if (b.token.kind == Token::Kind::Const && b.token.value < 0.0) {
                t->b = leaf(Token::make_const(-b.token.value));
                t->token = Token::make_op(Operator::Sub);
            }
            break;
        case Operator::Sub:
            if (is_const(b, 0.0)) return std::move(t->a);
            if (is_const(a, 0.0)) return simplify(node(Operator::Neg, std::move(t->b)));
            if (b.token.kind == Token::Kind::Op && b.token.op == Operator::Neg)
                return node(Operator::Add, std::move(t->a), std::move(b.a));
            break;
        default: break;
    }
    return t;
}

void flatten(const Tree& t, std::vector<Token>& out) {
    if (t.a) flatten(*t.a, out);
    if (t.b) flatten(*t.b, out);
    out.push_back(t.token);
}

}  // namespace

Expr freeze_and_simplify(const Expr& program, std::span<const double> params, std::span<const char> fixed,
                         std::vector<double>& params_out) {
    std::vector<std::unique_ptr<Tree>> stack;
    for (const Token& t : program.tokens) {
        if (t.kind == Token::Kind::Param && t.index < fixed.size() && fixed[t.index]) {
            stack.push_back(leaf(Token::make_const(params[t.index])));
        } else if (t.kind == Token::Kind::Op) {
            if (arity(t.op) == 1) {
                auto a = std::move(stack.back());
                stack.back() = node(t.op, std::move(a));
            } else {
                auto b = std::move(stack.back());
                stack.pop_back();
                auto a = std::move(stack.back());
                stack.back() = node(t.op, std::move(a), std::move(b));
            }
        } else {
            stack.push_back(leaf(t));
        }
    }
    Expr out;
    out.n_vars = program.n_vars;
    if (stack.size() != 1) return program;
    flatten(*simplify(std::move(stack.back())), out.tokens);
    // renumber the surviving parameters in order of first use
    std::vector<std::size_t> renumber(params.size(), static_cast<std::size_t>(-1));
    params_out.clear();
    for (Token& t : out.tokens) {
        if (t.kind != Token::Kind::Param) continue;
        if (renumber[t.index] == static_cast<std::size_t>(-1)) {
            renumber[t.index] = params_out.size();
            params_out.push_back(params[t.index]);
        }
        t.index = renumber[t.index];
        t.value = params_out[t.index];
    }
    return out;
}

}  // namespace zan::discover::engine
