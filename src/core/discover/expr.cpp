#include "core/discover/expr.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/format.hpp"

namespace zan::discover {

Expr Expr::unary(const Expr& a, Operator op, std::size_t n_vars) {
    Expr e;
    e.tokens.reserve(a.tokens.size() + 1);
    e.tokens.insert(e.tokens.end(), a.tokens.begin(), a.tokens.end());
    e.tokens.push_back(Token::make_op(op));
    e.n_vars = n_vars;
    return e;
}

Expr Expr::join(const Expr& a, const Expr& b, Operator op, std::size_t n_vars) {
    Expr e;
    e.tokens.reserve(a.tokens.size() + b.tokens.size() + 1);
    e.tokens.insert(e.tokens.end(), a.tokens.begin(), a.tokens.end());
    e.tokens.insert(e.tokens.end(), b.tokens.begin(), b.tokens.end());
    e.tokens.push_back(Token::make_op(op));
    e.n_vars = n_vars;
    return e;
}

// ---- row evaluation -----------------------------------------------------------------

namespace {

// The value of a constant or parameter leaf: a Param reads params[slot] when that exists,
// else its stored value.
[[nodiscard]] inline double leaf_value(const Token& t, std::span<const double> params) noexcept {
    return t.kind == Token::Kind::Param && t.index < params.size() ? params[t.index] : t.value;
}

// A value stack with room for one value per token; short programs stay off the heap.
class ValueStack {
public:
    explicit ValueStack(std::size_t capacity) {
        if (capacity > kInline) {
            heap_ = std::make_unique<double[]>(capacity);
            data_ = heap_.get();
        }
    }
    double* data() noexcept { return data_; }

private:
    static constexpr std::size_t kInline = 32;
    double inline_[kInline];
    std::unique_ptr<double[]> heap_;
    double* data_ = inline_;
};

}  // namespace

std::optional<double> eval(const Expr& e, std::span<const double> x, std::span<const double> params) {
    const std::vector<Token>& tokens = e.tokens;
    if (tokens.empty()) return std::nullopt;
    ValueStack stack(tokens.size());
    double* s = stack.data();
    std::size_t sp = 0;
    for (const Token& t : tokens) {
        switch (t.kind) {
            case Token::Kind::Const: s[sp++] = t.value; break;
            case Token::Kind::Param: s[sp++] = leaf_value(t, params); break;
            case Token::Kind::Var:
                if (t.index >= x.size()) return std::nullopt;
                s[sp++] = x[t.index];
                break;
            case Token::Kind::Op: {
                if (arity(t.op) == 1) {
                    if (sp < 1) return std::nullopt;
                    const double r = apply(t.op, s[sp - 1], 0.0);
                    if (!is_finite(r)) return std::nullopt;
                    s[sp - 1] = r;
                } else {
                    if (sp < 2) return std::nullopt;
                    const double r = apply(t.op, s[sp - 2], s[sp - 1]);
                    if (!is_finite(r)) return std::nullopt;
                    s[sp - 2] = r;
                    --sp;
                }
                break;
            }
        }
    }
    if (sp != 1) return std::nullopt;
    return s[0];
}

// ---- column-wise evaluation ---------------------------------------------------------

namespace {

// Stack depth the program needs, or 0 when it has no value on any row: empty, too few
// operands, more than one value left, or a variable beyond the row. These failures do
// not depend on the row, so the batch evaluator tests them once.
std::size_t checked_depth(const std::vector<Token>& tokens, std::size_t n_cols) {
    std::size_t sp = 0, depth = 0;
    for (const Token& t : tokens) {
        switch (t.kind) {
            case Token::Kind::Const:
            case Token::Kind::Param: ++sp; break;
            case Token::Kind::Var:
                if (t.index >= n_cols) return 0;
                ++sp;
                break;
            case Token::Kind::Op:
                if (sp < arity(t.op)) return 0;
                sp -= arity(t.op) - 1;
                break;
        }
        depth = std::max(depth, sp);
    }
    return sp == 1 ? depth : 0;
}

// A constant's block. Four stores per step, which the compiler pairs into vector stores:
// a plain element loop is store-bound here, and constants are filled on every block.
inline void fill_block(double* dst, std::size_t n, double v) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        dst[i] = v;
        dst[i + 1] = v;
        dst[i + 2] = v;
        dst[i + 3] = v;
    }
    for (; i < n; ++i) dst[i] = v;
}

}  // namespace

bool eval_batch_into(const Expr& e, Columns columns, std::span<const double> params, double* out,
                     EvalWorkspace& ws) {
    const std::size_t n = columns[0].size();
    if (n == 0) return true;
    const std::size_t depth = checked_depth(e.tokens, columns.size());
    if (depth == 0) return false;

    constexpr std::size_t B = EvalWorkspace::kBlock;
    if (ws.values_.size() < depth * B) ws.values_.resize(depth * B);
    if (ws.slots_.size() < depth) ws.slots_.resize(depth);
    double* const values = ws.values_.data();
    const double** const slot = ws.slots_.data();

    for (std::size_t r0 = 0; r0 < n; r0 += B) {
        const std::size_t len = std::min(B, n - r0);
        std::size_t sp = 0;
        for (const Token& t : e.tokens) {
            switch (t.kind) {
                case Token::Kind::Const:
                case Token::Kind::Param: {
                    const double v = leaf_value(t, params);
                    double* dst = values + sp * B;
                    fill_block(dst, len, v);
                    slot[sp++] = dst;
                    break;
                }
                case Token::Kind::Var: slot[sp++] = columns[t.index].data() + r0; break;
                case Token::Kind::Op:
                    if (arity(t.op) == 1) {
                        double* dst = values + (sp - 1) * B;
                        if (!apply_block(t.op, slot[sp - 1], nullptr, dst, len)) return false;
                        slot[sp - 1] = dst;
                    } else {
                        double* dst = values + (sp - 2) * B;
                        if (!apply_block(t.op, slot[sp - 2], slot[sp - 1], dst, len)) return false;
                        slot[sp - 2] = dst;
                        --sp;
                    }
                    break;
            }
        }
        std::memcpy(out + r0, slot[0], len * sizeof(double));
    }
    return true;
}

bool eval_batch_dual(const Expr& e, Columns columns, std::span<const double> params, std::size_t n_params,
                     double* out, double* dout, DualWorkspace& ws) {
    const std::size_t n = columns[0].size();
    if (n == 0) return true;
    const std::size_t depth = checked_depth(e.tokens, columns.size());
    if (depth == 0) return false;

    // Level s holds its values at values + s*B and its tangents at tangents + s*P*B, the
    // tangent of parameter k at offset k*B. A level without parameters below it has no
    // tangent (null slot): it costs nothing, and its operand's partial is never used. A
    // parameter leaf's tangent slot points at its seed.
    constexpr std::size_t B = DualWorkspace::kBlock;
    const std::size_t P = n_params;
    if (ws.values_.size() < depth * B) ws.values_.resize(depth * B);
    if (ws.tangents_.size() < depth * P * B) ws.tangents_.resize(depth * P * B);
    if (ws.slots_.size() < depth) ws.slots_.resize(depth);
    if (ws.tangent_slots_.size() < depth) ws.tangent_slots_.resize(depth);
    // Seed k (the tangent of parameter k itself: 1 in block k, 0 elsewhere) is the same on
    // every block and every call with this P, and operators never write to it.
    if (ws.seeded_params_ != P) {
        ws.seeds_.assign(P * P * B, 0.0);
        for (std::size_t k = 0; k < P; ++k) std::fill_n(ws.seeds_.data() + (k * P + k) * B, B, 1.0);
        ws.seeded_params_ = P;
    }
    const double* const seeds = ws.seeds_.data();
    double* const values = ws.values_.data();
    double* const tangents = ws.tangents_.data();
    const double** const slot = ws.slots_.data();
    const double** const tslot = ws.tangent_slots_.data();

    for (std::size_t r0 = 0; r0 < n; r0 += B) {
        const std::size_t len = std::min(B, n - r0);
        std::size_t sp = 0;
        for (const Token& t : e.tokens) {
            switch (t.kind) {
                case Token::Kind::Const:
                case Token::Kind::Param: {
                    const double v = leaf_value(t, params);
                    double* dst = values + sp * B;
                    fill_block(dst, len, v);
                    slot[sp] = dst;
                    tslot[sp] = nullptr;
                    if (t.kind == Token::Kind::Param && t.index < P) tslot[sp] = seeds + t.index * P * B;
                    ++sp;
                    break;
                }
                case Token::Kind::Var:
                    slot[sp] = columns[t.index].data() + r0;
                    tslot[sp] = nullptr;
                    ++sp;
                    break;
                case Token::Kind::Op: {
                    const bool unary = arity(t.op) == 1;
                    const std::size_t top = unary ? sp - 1 : sp - 2;
                    const double* b = unary ? nullptr : slot[sp - 1];
                    const double* db = unary ? nullptr : tslot[sp - 1];
                    double* dst = values + top * B;
                    if (!tslot[top] && !db) {
                        if (!apply_block(t.op, slot[top], b, dst, len)) return false;
                    } else {
                        double* ddst = tangents + top * P * B;
                        if (!apply_block_dual(t.op, slot[top], tslot[top], b, db, dst, ddst, len, P, B)) return false;
                        tslot[top] = ddst;
                    }
                    slot[top] = dst;
                    sp = top + 1;
                    break;
                }
            }
        }
        std::memcpy(out + r0, slot[0], len * sizeof(double));
        for (std::size_t k = 0; k < P; ++k) {
            double* d = dout + k * n + r0;
            if (tslot[0])
                std::memcpy(d, tslot[0] + k * B, len * sizeof(double));
            else
                std::fill(d, d + len, 0.0);
        }
    }
    return true;
}

std::optional<std::vector<double>> eval_batch(const Expr& e, Columns columns, std::span<const double> params) {
    std::vector<double> out(columns[0].size());
    EvalWorkspace ws;
    if (!eval_batch_into(e, columns, params, out.data(), ws)) return std::nullopt;
    return out;
}

std::optional<std::vector<double>> eval_batch(const Expr& e, const std::vector<std::vector<double>>& columns,
                                              std::span<const double> params) {
    std::vector<std::span<const double>> spans(columns.begin(), columns.end());
    return eval_batch(e, Columns(spans), params);
}

// ---- text form ----------------------------------------------------------------------

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kE = 2.718281828459045;

void append_leaf(std::string& out, const Token& t) {
    switch (t.kind) {
        case Token::Kind::Const:
            if (t.value == kPi)
                out += "\xCF\x80";  // π
            else if (t.value == kE)
                out += 'e';
            else
                format::append_fixed(out, t.value, 4);
            break;
        case Token::Kind::Param:
            out += 'c';
            out += std::to_string(t.index);
            out += '(';
            format::append_fixed(out, t.value, 4);
            out += ')';
            break;
        case Token::Kind::Var: {
            // Code point (120 + i) mod 256 in UTF-8: x, y, z, {, |, }, ~, then control
            // and Latin-1 characters (two bytes from 128 on).
            const unsigned cp = static_cast<unsigned>((t.index + 120u) & 0xFFu);
            if (cp < 0x80) {
                out += static_cast<char>(cp);
            } else {
                out += static_cast<char>(0xC0 | (cp >> 6));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            }
            break;
        }
        case Token::Kind::Op: break;
    }
}

}  // namespace

void append_string(std::string& out, const Expr& e) {
    const std::vector<Token>& tokens = e.tokens;
    if (tokens.empty()) {
        out += '?';
        return;
    }
    // Scratch: the postfix stack, each operator token's operand roots (-1 for an operand
    // missing from the stack, rendered as empty text), and the walk's frames (at most one
    // per tree level plus one). Short programs stay off the heap.
    constexpr std::ptrdiff_t kNone = -1;
    constexpr std::size_t kInline = 32;
    const std::size_t n = tokens.size();
    std::ptrdiff_t inline_buf[5 * kInline + 2];
    std::unique_ptr<std::ptrdiff_t[]> heap_buf;
    std::ptrdiff_t* buf = inline_buf;
    if (n > kInline) {
        heap_buf = std::make_unique<std::ptrdiff_t[]>(5 * n + 2);
        buf = heap_buf.get();
    }
    std::ptrdiff_t* const stack = buf;
    std::ptrdiff_t* const left = buf + n;
    std::ptrdiff_t* const right = buf + 2 * n;
    std::ptrdiff_t* const frame_node = buf + 3 * n;       // n + 1 slots
    std::ptrdiff_t* const frame_stage = buf + 4 * n + 1;  // n + 1 slots

    std::size_t sp = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Token& t = tokens[i];
        left[i] = right[i] = kNone;
        if (t.kind == Token::Kind::Op) {
            if (arity(t.op) == 2) right[i] = sp > 0 ? stack[--sp] : kNone;
            left[i] = sp > 0 ? stack[--sp] : kNone;
        }
        stack[sp++] = static_cast<std::ptrdiff_t>(i);
    }

    out.reserve(out.size() + 8 * n);
    // Depth-first walk from the top of the stack, with explicit frames so that long
    // programs cannot exhaust the call stack.
    std::size_t depth = 0;
    frame_node[depth] = stack[sp - 1];
    frame_stage[depth] = 0;
    ++depth;
    while (depth > 0) {
        const std::ptrdiff_t node = frame_node[depth - 1];
        if (node == kNone) {
            --depth;
            continue;
        }
        const Token& t = tokens[static_cast<std::size_t>(node)];
        if (t.kind != Token::Kind::Op) {
            append_leaf(out, t);
            --depth;
            continue;
        }
        const OperatorInfo& tp = info(t.op);
        std::ptrdiff_t& stage = frame_stage[depth - 1];
        if (stage == 0) {
            out += tp.prefix;
            stage = 1;
            frame_node[depth] = left[node];
            frame_stage[depth] = 0;
            ++depth;
        } else if (stage == 1 && arity(t.op) == 2) {
            out += tp.middle;
            stage = 2;
            frame_node[depth] = right[node];
            frame_stage[depth] = 0;
            ++depth;
        } else {
            out += tp.suffix;
            --depth;
        }
    }
}

std::string to_string(const Expr& e) {
    std::string s;
    append_string(s, e);
    return s;
}

// ---- LaTeX and Python forms ---------------------------------------------------------

namespace {

// Every occurrence of `from`, scanning left to right without overlaps; the replacements
// are never rescanned.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    std::size_t pos = 0;
    while (true) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

// Every `from` (ending in "(") becomes `to`, and the parenthesis closing that call
// becomes `close`.
std::string rewrite_call(std::string_view text, std::string_view from, std::string_view to,
                         std::string_view close) {
    // Match parentheses with a stack of openings; an opening of the call is flagged so
    // that its closing parenthesis is marked. Counting nested parentheses from an opening
    // finds the same closing parenthesis as this stack.
    std::vector<bool> closes_call(text.size(), false);
    std::vector<std::pair<std::size_t, bool>> open;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, from.size(), from) == 0) {
            open.emplace_back(i + from.size() - 1, true);
            i += from.size();
            continue;
        }
        if (text[i] == '(') {
            open.emplace_back(i, false);
        } else if (text[i] == ')' && !open.empty()) {
            if (open.back().second) closes_call[i] = true;
            open.pop_back();
        }
        ++i;
    }
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, from.size(), from) == 0) {
            out += to;
            i += from.size();
        } else {
            if (closes_call[i])
                out += close;
            else
                out += text[i];
            ++i;
        }
    }
    return out;
}

// The operators' rewrites in code order, each over the result of the previous one.
std::string rewrite(std::string_view formula, TextRewrite OperatorInfo::*which) {
    std::string s(formula);
    for (const OperatorInfo& row : kOperators) {
        const TextRewrite& r = row.*which;
        if (r.from.empty()) continue;
        s = r.close.empty() ? replace_all(s, r.from, r.to) : rewrite_call(s, r.from, r.to, r.close);
    }
    return s;
}

}  // namespace

std::string to_latex(std::string_view formula) { return replace_all(rewrite(formula, &OperatorInfo::latex), "pi", "\\pi"); }

std::string to_python(std::string_view formula) {
    return "import math\nf = lambda x: " + rewrite(formula, &OperatorInfo::python);
}

}  // namespace zan::discover
