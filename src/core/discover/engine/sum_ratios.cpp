#include "core/discover/engine/sum_ratios.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

#include "core/discover/engine/column_fit.hpp"
#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/monomial_fit.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/engine/variable_products.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

inline constexpr std::size_t kNoFactor = static_cast<std::size_t>(-1);

// Over: N/(1 + c·b); OverRoot: N/√(1 + c·b); Times: N·b; Wave: a·b + a₀.
// Twin: N/(b + c/b), as N/(e^{k·m} + e^{−k·m}).
enum class Shape : std::uint8_t { Over, OverRoot, Times, Wave, Twin };

// A base as it is (op Neg), or u(k·base) for a scanned constant k. A base is a kept node
// (ids below the store's size) or a product of powers the stage makes itself.
struct Block {
    std::uint32_t node = kNone;
    Operator op = Operator::Neg;
    double k = 0.0;
};

// One fitted form: the block, the denominator's c, and the numerator: intercept + Σ
// coefficient·term over kept nodes, or amplitude·Π x^power.
struct Found {
    Shape shape = Shape::Over;
    Block block;
    double c = 0.0;
    std::vector<std::uint32_t> terms;
    std::vector<double> coefficients;
    double intercept = 0.0;
    bool monomial = false;
    std::vector<int> powers;
    double amplitude = 0.0;
    std::size_t factor = kNoFactor;  // a variable the whole form is multiplied by
    double nmse = 1.0;  // of y itself on the sample
    // what a scan of the block's constant minimises: the nmse, or for a numerator of
    // powers the error of its logarithms' fit, which does not jump as the powers round
    double objective = std::numeric_limits<double>::infinity();
};

bool better(const Found& a, const Found& b) { return a.nmse < b.nmse; }

// Scored terms, best first, ties by id: the same order on every run.
bool by_score(const std::pair<double, std::uint32_t>& a, const std::pair<double, std::uint32_t>& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
}

// Whether every value is finite, of one sign, and (with a margin) away from zero by the
// denominators' margin. A denominator of fixed form (1 − e^{k·m}) is held to one sign
// alone: its pole at m = 0 is the law's, however near the rows come to it.
bool one_sign(const std::vector<double>& v, bool margin) {
    double lo = std::numeric_limits<double>::infinity(), hi = 0.0;
    const bool positive = v[0] > 0.0;
    for (double x : v) {
        if (!std::isfinite(x) || x == 0.0 || (x > 0.0) != positive) return false;
        lo = std::min(lo, std::fabs(x));
        hi = std::max(hi, std::fabs(x));
    }
    return !margin || lo > kDenominatorMargin * hi;
}

bool allowed(const EngineConfig& config, Operator op) { return (config.operators & operator_bit(op)) != 0; }

// A node built of variables, products and ratios alone (m·c², u·v/c², h·ω/(kb·T)).
bool is_product_of_variables(const Node& n) {
    if (!n.params.empty()) return false;
    for (const Token& t : n.tokens) {
        if (t.kind == Token::Kind::Var) continue;
        if (t.kind != Token::Kind::Op) return false;
        if (t.op != Operator::Mul && t.op != Operator::Div && t.op != Operator::Square && t.op != Operator::Inv)
            return false;
    }
    return true;
}

class Stage {
public:
    Stage(const NodeStore& store, const SearchSample& sample)
        : store_(store), sample_(sample), logs_(sample), n_(sample.rows()), products_(sample) {
        // of each size the joiners first, then the rest, each best first, as the levels chose
        for (std::size_t size = 1; size <= kSumRatioTermSize; ++size) {
            const std::span<const std::uint32_t> order = store.join_order(size);
            for (std::size_t k = 0; k < std::min(order.size(), kSumRatioTermsPerSize); ++k) terms_.push_back(order[k]);
        }
        for (std::size_t g = 0; g < products_.size(); ++g)
            if (products_.variables(g) <= kProductTermVariables)
                terms_.push_back(static_cast<std::uint32_t>(store.size() + g));
        const std::size_t m = terms_.size();
        gram_.assign(m * m, 0.0);
        pool::for_blocks(m, static_cast<double>(m * n_) / 2.0, [&](std::size_t b, std::size_t e) {
            for (std::size_t a = b; a < e; ++a)
                for (std::size_t c = 0; c < a; ++c) gram_[a * m + c] = dot(unit(terms_[a]), unit(terms_[c]), n_);
        });
    }

    [[nodiscard]] std::size_t products() const noexcept { return products_.size(); }
    [[nodiscard]] std::uint32_t product_id(std::size_t g) const noexcept {
        return static_cast<std::uint32_t>(store_.size() + g);
    }
    [[nodiscard]] const VariableProducts& product_set() const noexcept { return products_; }
    [[nodiscard]] const std::vector<int>& powers(std::uint32_t id) const { return products_.powers(id - store_.size()); }
    [[nodiscard]] const double* values(std::uint32_t id) const {
        return id < store_.size() ? store_.values(id) : products_.values(id - store_.size());
    }
    [[nodiscard]] const double* unit(std::uint32_t id) const {
        return id < store_.size() ? store_.unit(id) : products_.unit(id - store_.size());
    }

    // u(k·base) or the base itself into out; false when some row has no finite value.
    bool block_values(const Block& b, std::vector<double>& out) const {
        out.resize(n_);
        const double* v = values(b.node);
        if (b.op == Operator::Neg) {
            std::copy(v, v + n_, out.begin());
        } else {
            for (std::size_t i = 0; i < n_; ++i) out[i] = b.k * v[i];
            if (!apply_block(b.op, out.data(), nullptr, out.data(), n_)) return false;
        }
        return std::all_of(out.begin(), out.end(), [](double x) { return std::isfinite(x); });
    }

    // N/(1 + s·b), s = ±1, N a product of powers of the variables: y·(1 + s·b).
    // finish false: only the objective, for a scan (the powers rounded and y's error only
    // for the point it ends on).
    [[nodiscard]] Found over_powers(const Block& b, double s, bool finish) const {
        Found f;
        std::vector<double> d;
        if (!block_values(b, d)) return f;
        const double* y = sample_.y();
        std::vector<double> den(n_), t(n_);
        for (std::size_t i = 0; i < n_; ++i) den[i] = 1.0 + s * d[i];
        if (!one_sign(den, false)) return f;
        for (std::size_t i = 0; i < n_; ++i) t[i] = y[i] * den[i];
        f.shape = Shape::Over;
        f.block = b;
        f.c = s;
        if (numerator_of_powers(t.data(), f, finish) && finish) judge(f, d);
        return f;
    }

    // N/(b + s/b), s = ±1, N a product of powers of the variables: y·(b + s/b).
    [[nodiscard]] Found over_twin(const Block& b, double s, bool finish) const {
        Found f;
        std::vector<double> d;
        if (!block_values(b, d)) return f;
        const double* y = sample_.y();
        std::vector<double> den(n_), t(n_);
        for (std::size_t i = 0; i < n_; ++i) den[i] = d[i] + s / d[i];
        if (!one_sign(den, false)) return f;
        for (std::size_t i = 0; i < n_; ++i) t[i] = y[i] * den[i];
        f.shape = Shape::Twin;
        f.block = b;
        f.c = s;
        if (numerator_of_powers(t.data(), f, finish) && finish) judge(f, d);
        return f;
    }

    // N/(1 + c·b): c and a numerator of terms by one linear fit of y = N − c·(y·b); and
    // 1 ± b with a numerator that is a product of powers of the variables. With a factor
    // variable x, x·N/(1 + c·b) from y/x: a law's overall factor (I₀·(1 − cos nθ)/(1 − cos θ))
    // would otherwise have to be in every numerator term.
    [[nodiscard]] Found over(const Block& b, std::size_t factor = kNoFactor) const {
        Found best;
        std::vector<double> d;
        if (!block_values(b, d)) return best;
        std::vector<double> y(sample_.y(), sample_.y() + n_);
        if (factor != kNoFactor) {
            const std::vector<double>& x = sample_.column(factor);
            for (std::size_t i = 0; i < n_; ++i) y[i] /= x[i];
            if (!std::all_of(y.begin(), y.end(), [](double v) { return std::isfinite(v); })) return best;
        }
        std::vector<double> g(n_), den(n_);
        for (std::size_t i = 0; i < n_; ++i) g[i] = y[i] * d[i];
        Found linear;
        linear.shape = Shape::Over;
        linear.block = b;
        linear.factor = factor;
        if (numerator_of_terms(y.data(), g.data(), linear)) {
            for (std::size_t i = 0; i < n_; ++i) den[i] = 1.0 + linear.c * d[i];
            if (one_sign(den, true) && judge(linear, d)) best = std::move(linear);
        }
        for (double s : {-1.0, 1.0}) {
            if (factor != kNoFactor) break;  // a product of powers holds any factor already
            for (std::size_t i = 0; i < n_; ++i) den[i] = 1.0 + s * d[i];
            if (!one_sign(den, false)) continue;
            for (std::size_t i = 0; i < n_; ++i) g[i] = y[i] * den[i];
            Found f;
            f.shape = Shape::Over;
            f.block = b;
            f.c = s;
            if (numerator_of_powers(g.data(), f) && judge(f, d) && better(f, best)) best = std::move(f);
        }
        return best;
    }

    // N/√(1 ± m): y·√(1 ± m) is the numerator, of powers or of kept nodes.
    [[nodiscard]] Found over_root(const Block& b) const {
        Found best;
        std::vector<double> d;
        if (!block_values(b, d)) return best;
        const double* y = sample_.y();
        std::vector<double> q(n_), t(n_);
        for (double s : {-1.0, 1.0}) {
            for (std::size_t i = 0; i < n_; ++i) q[i] = 1.0 + s * d[i];
            if (!one_sign(q, false) || q[0] < 0.0) continue;
            for (std::size_t i = 0; i < n_; ++i) t[i] = y[i] * std::sqrt(q[i]);
            Found f;
            f.shape = Shape::OverRoot;
            f.block = b;
            f.c = s;
            if (numerator_of_powers(t.data(), f) && judge(f, d) && better(f, best)) best = f;
            Found terms = f;
            terms.monomial = false;
            if (numerator_of_terms(t.data(), nullptr, terms) && judge(terms, d) && better(terms, best))
                best = std::move(terms);
        }
        return best;
    }

    // N·b, N a product of powers: y/b is its numerator.
    [[nodiscard]] Found times(const Block& b, bool finish) const {
        Found f;
        std::vector<double> d;
        if (!block_values(b, d)) return f;
        std::vector<double> abs_d(n_), t(n_);
        for (std::size_t i = 0; i < n_; ++i) abs_d[i] = std::fabs(d[i]);
        if (!one_sign(abs_d, false)) return f;
        const double* y = sample_.y();
        for (std::size_t i = 0; i < n_; ++i) t[i] = y[i] / d[i];
        f.shape = Shape::Times;
        f.block = b;
        if (numerator_of_powers(t.data(), f, finish) && finish) judge(f, d);
        return f;
    }

    // a·b + a₀.
    [[nodiscard]] Found wave(const Block& b) const {
        Found f;
        std::vector<double> d;
        if (!block_values(b, d)) return f;
        const double* column = d.data();
        const ColumnFit fit = fit_columns(std::span<const double* const>(&column, 1), sample_.y(), n_, sample_.weights());
        if (!fit.ok) return f;
        f.shape = Shape::Wave;
        f.block = b;
        f.amplitude = fit.coefficients[0];
        f.intercept = fit.intercept;
        judge(f, d);
        return f;
    }

    // The best of `form` over the grid of k for u(k·node), refined by golden section
    // between the best point's neighbours in the grid (sorted, increasing).
    [[nodiscard]] Found scan(std::uint32_t node, Operator op, const std::vector<double>& grid,
                             const std::function<Found(const Block&, bool)>& form) const {
        Found best;
        std::size_t at = grid.size();
        auto lower = [](const Found& a, const Found& b) { return a.objective < b.objective; };
        for (std::size_t g = 0; g < grid.size(); ++g) {
            Found f = form(Block{node, op, grid[g]}, false);
            if (lower(f, best)) best = std::move(f), at = g;
        }
        if (at == grid.size()) return best;
        if (best.objective == 0.0) return form(best.block, true);
        double lo = grid[at > 0 ? at - 1 : at], hi = grid[at + 1 < grid.size() ? at + 1 : at];
        // a bracket that would cross k = 0 stops at the best point
        if (lo * grid[at] <= 0.0) lo = grid[at];
        if (hi * grid[at] <= 0.0) hi = grid[at];
        // a finer grid across the bracket first: the objective need not have one valley
        // across a whole octave, but has one between the finer grid's points
        const double step = (hi - lo) / static_cast<double>(kRefinePoints + 1);
        double centre = grid[at];
        for (std::size_t p = 1; p <= kRefinePoints; ++p) {
            const double k = lo + step * static_cast<double>(p);
            Found f = form(Block{node, op, k}, false);
            if (lower(f, best)) best = std::move(f), centre = k;
        }
        lo = std::max(lo, centre - step);
        hi = std::min(hi, centre + step);
        constexpr double kGolden = 0.6180339887498949;
        double x1 = hi - kGolden * (hi - lo), x2 = lo + kGolden * (hi - lo);
        Found f1 = form(Block{node, op, x1}, false), f2 = form(Block{node, op, x2}, false);
        for (std::size_t s = 0; s < kRefineSteps; ++s) {
            if (f1.objective <= f2.objective) {
                hi = x2, x2 = x1, f2 = std::move(f1);
                x1 = hi - kGolden * (hi - lo);
                f1 = form(Block{node, op, x1}, false);
            } else {
                lo = x1, x1 = x2, f1 = std::move(f2);
                x2 = lo + kGolden * (hi - lo);
                f2 = form(Block{node, op, x2}, false);
            }
        }
        if (lower(f1, best)) best = std::move(f1);
        if (lower(f2, best)) best = std::move(f2);
        return form(best.block, true);
    }

private:
    // t ≈ intercept + Σ coefficient·term − c·g over at most two kept nodes (g null: without
    // it), the nodes shortlisted by how much of t they explain beside g.
    bool numerator_of_terms(const double* t, const double* g, Found& f) const {
        const double* w = sample_.weights();
        std::vector<double> tc(n_), gc(n_);
        centre(t, tc);
        double pg = 0.0;
        if (g) {
            centre(g, gc);
            const double gg = dot(gc.data(), gc.data(), n_);
            if (!(gg > 0.0) || !std::isfinite(gg)) return false;
            for (double& x : gc) x /= std::sqrt(gg);
            pg = dot(tc.data(), gc.data(), n_);
            for (std::size_t i = 0; i < n_; ++i) tc[i] -= pg * gc[i];
        }
        std::vector<std::pair<double, std::uint32_t>> scored;
        scored.reserve(terms_.size());
        for (std::uint32_t j : terms_) {
            const double* u = unit(j);
            const double along = g ? dot(u, gc.data(), n_) : 0.0;
            const double rest = 1.0 - along * along;
            if (!(rest > kIndependentPair)) continue;
            const double r = dot(u, tc.data(), n_);
            scored.emplace_back(r * r / rest, j);
        }
        const std::size_t k = std::min(kNumeratorShortlist, scored.size());
        std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(k), scored.end(), by_score);
        double best_sse = std::numeric_limits<double>::infinity();
        bool any = false;
        std::vector<const double*> cols;
        auto attempt = [&](std::initializer_list<std::uint32_t> picked) {
            cols.clear();
            if (g) cols.push_back(g);
            for (std::uint32_t j : picked) cols.push_back(values(j));
            if (cols.empty()) return;
            const ColumnFit fit = fit_columns(cols, t, n_, w);
            if (!fit.ok || !(fit.sse < best_sse)) return;
            best_sse = fit.sse;
            any = true;
            const std::size_t first = g ? 1 : 0;
            f.c = g ? -fit.coefficients[0] : f.c;
            f.terms.assign(picked.begin(), picked.end());
            f.coefficients.assign(fit.coefficients.begin() + static_cast<std::ptrdiff_t>(first), fit.coefficients.end());
            f.intercept = fit.intercept;
            f.monomial = false;
        };
        attempt({});
        for (std::size_t a = 0; a < k; ++a) attempt({scored[a].second});
        // every pair from the Gram matrix of the terms (beside g): a pair's second term may
        // rank low on its own (u·v beside u + v, a small t − u·x/c² beside t)
        std::vector<double> along(terms_.size(), 0.0), with_t(terms_.size());
        for (std::size_t a = 0; a < terms_.size(); ++a) {
            const double* u = unit(terms_[a]);
            if (g) along[a] = dot(u, gc.data(), n_);
            with_t[a] = dot(u, tc.data(), n_);
        }
        const std::size_t m = terms_.size();
        std::vector<std::pair<double, std::uint32_t>> pairs;  // explained share, a·m + b
        for (std::size_t a = 1; a < m; ++a) {
            const double naa = 1.0 - along[a] * along[a];
            if (!(naa > kIndependentPair)) continue;
            for (std::size_t b = 0; b < a; ++b) {
                const double nbb = 1.0 - along[b] * along[b];
                const double gab = gram_[a * m + b] - along[a] * along[b];
                const double det = naa * nbb - gab * gab;
                if (!(nbb > kIndependentPair) || !(det > kIndependentPair * naa * nbb)) continue;
                const double explained =
                    (with_t[a] * with_t[a] * nbb - 2.0 * with_t[a] * with_t[b] * gab + with_t[b] * with_t[b] * naa) / det;
                pairs.emplace_back(explained, static_cast<std::uint32_t>(a * m + b));
            }
        }
        const std::size_t kp = std::min(kBestPairs, pairs.size());
        std::partial_sort(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(kp), pairs.end(), by_score);
        for (std::size_t p = 0; p < kp; ++p)
            attempt({terms_[pairs[p].second / m], terms_[pairs[p].second % m]});
        return any;
    }

    bool numerator_of_powers(const double* t, Found& f, bool finish = true) const {
        std::vector<double> values;
        const MonomialFit m = fit_monomial(sample_, logs_, t, values, finish);
        if (!m.ok) return false;
        f.monomial = true;
        f.powers = m.powers;
        f.amplitude = m.amplitude;
        f.objective = m.log_sse;
        return true;
    }

    // √w·(v − v̄), the weighted mean with weights.
    void centre(const double* v, std::vector<double>& out) const {
        const double* w = sample_.weights();
        double s = 0.0, total = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            s += w ? w[i] * v[i] : v[i];
            total += w ? w[i] : 1.0;
        }
        const double mean = s / total;
        const double* root = sample_.root_weights();
        for (std::size_t i = 0; i < n_; ++i) out[i] = (root ? root[i] : 1.0) * (v[i] - mean);
    }

    // The numerator on row i.
    double numerator(const Found& f, std::size_t i) const {
        if (f.monomial) {
            double v = f.amplitude;
            for (std::size_t k = 0; k < f.powers.size(); ++k)
                if (f.powers[k] != 0) v *= whole_power(sample_.column(k)[i], f.powers[k]);
            return v;
        }
        double v = f.intercept;
        for (std::size_t k = 0; k < f.terms.size(); ++k) v += f.coefficients[k] * values(f.terms[k])[i];
        return v;
    }

    // y's own normalised error of the form, the block's values d given.
    bool judge(Found& f, const std::vector<double>& d) const {
        const double* y = sample_.y();
        const double* w = sample_.weights();
        double sse = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            double p = 0.0;
            switch (f.shape) {
                case Shape::Over: p = numerator(f, i) / (1.0 + f.c * d[i]); break;
                case Shape::OverRoot: p = numerator(f, i) / std::sqrt(1.0 + f.c * d[i]); break;
                case Shape::Times: p = numerator(f, i) * d[i]; break;
                case Shape::Wave: p = f.amplitude * d[i] + f.intercept; break;
                case Shape::Twin: p = numerator(f, i) / (d[i] + f.c / d[i]); break;
            }
            if (f.factor != kNoFactor) p *= sample_.column(f.factor)[i];
            const double r = y[i] - p;
            sse += w ? w[i] * r * r : r * r;
        }
        f.nmse = std::isfinite(sse) && sample_.syy() > 0.0 ? sse / sample_.syy() : 1.0;
        if (!f.monomial) f.objective = f.nmse;
        return true;
    }

    const NodeStore& store_;
    const SearchSample& sample_;
    const LogColumns logs_;
    const std::size_t n_;
    std::vector<std::uint32_t> terms_;
    std::vector<double> gram_;  // of the terms' unit columns, lower triangle: gram_[a·m + c], c < a
    const VariableProducts products_;
};

// The program of a form with its constants as parameters (the kept nodes' own constants
// frozen at their fitted values).
Finalist program_of(const Found& f, const NodeStore& store, const Stage& stage, std::size_t n_vars) {
    Finalist out;
    out.program.n_vars = n_vars;
    std::vector<Token>& tokens = out.program.tokens;
    auto param = [&](double v) {
        tokens.push_back(Token::make_param(out.params.size(), v));
        out.params.push_back(v);
    };
    auto node = [&](std::uint32_t j) {
        if (j >= store.size()) {
            append_product(tokens, stage.powers(j));
            return;
        }
        const Node& n = store[j];
        for (Token t : n.tokens) tokens.push_back(t.kind == Token::Kind::Param ? Token::make_const(n.params[t.index]) : t);
    };
    auto block = [&] {
        node(f.block.node);
        if (f.block.op == Operator::Neg) return;
        param(f.block.k);
        tokens.push_back(Token::make_op(Operator::Mul));
        tokens.push_back(Token::make_op(f.block.op));
    };
    if (f.shape == Shape::Wave) {
        block();
        param(f.amplitude);
        tokens.push_back(Token::make_op(Operator::Mul));
        param(f.intercept);
        tokens.push_back(Token::make_op(Operator::Add));
        return out;
    }
    if (f.monomial) {
        param(f.amplitude);
        append_monomial(tokens, f.powers);
    } else {
        for (std::size_t k = 0; k < f.terms.size(); ++k) {
            node(f.terms[k]);
            param(f.coefficients[k]);
            tokens.push_back(Token::make_op(Operator::Mul));
            if (k > 0) tokens.push_back(Token::make_op(Operator::Add));
        }
        param(f.intercept);
        if (!f.terms.empty()) tokens.push_back(Token::make_op(Operator::Add));
    }
    block();
    if (f.shape == Shape::Times) {
        tokens.push_back(Token::make_op(Operator::Mul));
        return out;
    }
    if (f.shape == Shape::Twin) {
        // b + c·(1/b), each b with its own k: both start at the scanned one
        tokens.push_back(Token::make_const(1.0));
        block();
        tokens.push_back(Token::make_op(Operator::Div));
        param(f.c);
        tokens.push_back(Token::make_op(Operator::Mul));
        tokens.push_back(Token::make_op(Operator::Add));
        tokens.push_back(Token::make_op(Operator::Div));
        return out;
    }
    param(f.c);
    tokens.push_back(Token::make_op(Operator::Mul));
    tokens.push_back(Token::make_const(1.0));
    tokens.push_back(Token::make_op(Operator::Add));
    if (f.shape == Shape::OverRoot) tokens.push_back(Token::make_op(Operator::Sqrt));
    tokens.push_back(Token::make_op(Operator::Div));
    if (f.factor != kNoFactor) {
        tokens.push_back(Token::make_var(f.factor));
        tokens.push_back(Token::make_op(Operator::Mul));
    }
    return out;
}

// Products and ratios of variables to scan constants inside of: most variables first,
// then the smallest.
std::vector<std::uint32_t> scanned_bases(const NodeStore& store) {
    std::vector<std::uint32_t> bases;
    for (std::uint32_t j = 0; j < store.size(); ++j)
        if (store[j].size <= kScannedBaseSize && is_product_of_variables(store[j])) bases.push_back(j);
    std::stable_sort(bases.begin(), bases.end(), [&](std::uint32_t a, std::uint32_t b) {
        const int va = std::popcount(store[a].vars), vb = std::popcount(store[b].vars);
        if (va != vb) return va > vb;
        return store[a].size < store[b].size;
    });
    if (bases.size() > kScannedBases) bases.resize(kScannedBases);
    return bases;
}

// ±2^j, |j| ≤ kScaleOctaves, increasing; the positive half alone for an odd block.
std::vector<double> scale_grid(bool both_signs) {
    std::vector<double> grid;
    for (int j = kScaleOctaves; both_signs && j >= -kScaleOctaves; --j) grid.push_back(-std::ldexp(1.0, j));
    for (int j = -kScaleOctaves; j <= kScaleOctaves; ++j) grid.push_back(std::ldexp(1.0, j));
    return grid;
}

// k·max|m| from one step to kMaxPhase in steps of kPhaseStep.
std::vector<double> phase_grid(const double* v, std::size_t n) {
    double top = 0.0;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, std::fabs(v[i]));
    std::vector<double> grid;
    if (!(top > 0.0) || !std::isfinite(top)) return grid;
    for (double phase = kPhaseStep; phase <= kMaxPhase; phase += kPhaseStep) grid.push_back(phase / top);
    return grid;
}

}  // namespace

SumRatios fit_sum_ratios(const NodeStore& store, const SearchSample& sample, const EngineConfig& config,
                         const StopCondition& stop) {
    SumRatios out;
    if (!allowed(config, Operator::Mul) || !allowed(config, Operator::Add) || store.size() == 0) return out;
    const Stage stage(store, sample);
    const bool divide = allowed(config, Operator::Div);
    // each task one slot: the results do not depend on the number of threads
    std::vector<std::function<Found()>> tasks;
    std::vector<char> tried(store.size(), 0);
    if (divide) {
        std::size_t kept = 0;
        for (std::uint32_t j = 0; j < store.size() && kept < kSumDenominators; ++j)
            if (store[j].size <= kDenominatorSize) {
                ++kept;
                tried[j] = 1;
                tasks.emplace_back([&stage, j] { return stage.over(Block{j}); });
            }
        // a unary operator of one variable (cos θ) under an overall factor: the best few
        const std::span<const std::uint32_t> unary = store.join_order(2);
        for (std::size_t k = 0; k < std::min(unary.size(), kFactoredDenominators); ++k)
            for (std::size_t x = 0; x < sample.vars(); ++x)
                tasks.emplace_back([&stage, j = unary[k], x] { return stage.over(Block{j}, x); });
    }
    // the kept products of variables, then the stage's own: the bases of the scanned blocks
    struct Base {
        std::uint32_t id;
        bool few;   // of few variables: a denominator with terms above it, inside a cosine
        bool root;  // of even powers: under √(1 ± m)
    };
    std::vector<Base> bases;
    for (std::uint32_t m : scanned_bases(store)) bases.push_back({m, true, true});
    for (std::size_t g = 0; g < stage.products(); ++g)
        bases.push_back({stage.product_id(g), stage.product_set().variables(g) <= kProductTermVariables,
                         stage.product_set().all_even(g)});
    const std::vector<double> signed_grid = scale_grid(true), positive_grid = scale_grid(false);
    for (const Base& base : bases) {
        const std::uint32_t m = base.id;
        if (divide && base.few && (m >= store.size() || !tried[m]))
            tasks.emplace_back([&stage, m] { return stage.over(Block{m}); });
        if (divide && allowed(config, Operator::Exp))
            for (double s : {-1.0, 1.0})
                tasks.emplace_back([&, m, s] {
                    return stage.scan(m, Operator::Exp, signed_grid,
                                      [&](const Block& b, bool finish) { return stage.over_powers(b, s, finish); });
                });
        // e^{k·m} ± e^{−k·m} is even or odd in k: the positive half of the grid will do
        if (divide && allowed(config, Operator::Exp))
            for (double s : {-1.0, 1.0})
                tasks.emplace_back([&, m, s] {
                    return stage.scan(m, Operator::Exp, positive_grid,
                                      [&](const Block& b, bool finish) { return stage.over_twin(b, s, finish); });
                });
        if (divide && base.root && allowed(config, Operator::Sqrt))
            tasks.emplace_back([&stage, m] { return stage.over_root(Block{m}); });
        if (allowed(config, Operator::Tanh))
            tasks.emplace_back([&, m] {
                return stage.scan(m, Operator::Tanh, positive_grid, [&](const Block& b, bool finish) { return stage.times(b, finish); });
            });
        if (base.few && allowed(config, Operator::Cos))
            tasks.emplace_back([&, m] {
                return stage.scan(m, Operator::Cos, phase_grid(stage.values(m), store.rows()),
                                  [&](const Block& b, bool) { return stage.wave(b); });
            });
    }
    std::vector<Found> found(tasks.size());
    const double cost = static_cast<double>(store.rows() * (kSumRatioTermsPerSize * kSumRatioTermSize * 3 + kNumeratorShortlist * kNumeratorShortlist * 8));
    pool::for_blocks(tasks.size(), cost, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            if (stop.reached()) return;
            found[k] = tasks[k]();
        }
    });
    if (stop.reached()) return out;
    std::vector<std::size_t> order(found.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return better(found[a], found[b]); });
    for (std::size_t k : order) {
        if (out.finalists.size() == kSumRatiosKept || !(found[k].nmse < 1.0)) break;
        Finalist f = program_of(found[k], store, stage, sample.vars());
        if (f.program.tokens.size() > config.max_complexity || f.params.size() > kMaxLmParams) continue;
        if (out.finalists.empty()) out.best_nmse = found[k].nmse;
        out.finalists.push_back(std::move(f));
    }
    return out;
}

}  // namespace zan::discover::engine
