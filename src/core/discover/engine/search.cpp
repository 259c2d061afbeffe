// The level-by-level search on the sample rows, the sums of terms, and the finalists.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "core/discover/engine/dot.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/finalize.hpp"
#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/search_state.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

using Clock = std::chrono::steady_clock;

// Starting values of an inner constant, best first after scoring; no randomness.
constexpr double kScaleGrid[] = {-2.0, -1.0, -0.5, 0.5, 1.0, 2.0, 3.141592653589793};
constexpr double kShiftGrid[] = {-2.0, -1.0, 0.5, 1.0, 2.0, 3.0};
// Of the best per set of variables, how many are joined by binary operators: blocks that
// matter only inside a product or a sum rank low against y on their own.
constexpr std::size_t kJoinPerVariableSet = 2;
constexpr std::size_t kMonomialSize = 7;        // largest monomial always kept
// Cost of scoring a candidate with an inner constant, in plain candidates: a grid of
// starts and a short LM fit.
constexpr double kFittedCost = 20.0;
// Pairs of blocks joined per pair of sizes before the sides are cut to their best.
constexpr std::size_t kPairBudget = 12000;
constexpr std::size_t kSmallSide = 40;
// Candidates put in order by error at a level (then, beyond them, only the best this
// many times per_variable_set of each set of variables, and the monomials).
constexpr std::size_t kSortedHead = 4096;
constexpr std::size_t kBeyondPerVariableSet = 4;
// Sorting the scored candidates: pieces of at least this many go to the pool, at about
// this cost per element.
constexpr std::size_t kSortPiece = 8192;
constexpr double kSortRowNs = 60.0;
// Rough cost of one candidate on one sample row, for the pool's serial cut-off.
constexpr double kCandidateRowNs = 4.0;

[[nodiscard]] std::uint64_t mix(std::uint64_t h, std::uint64_t v) noexcept {
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h * 0xff51afd7ed558ccdull;
}

// The values up to scale, offset and sign, rounded: equal for x, 2x + 1 and −x.
[[nodiscard]] std::uint64_t affine_print(const double* f, std::size_t n, const Moments& m) noexcept {
    const double sd = std::sqrt(m.m2_f / m.n);
    if (!(sd > 0.0)) return 0;
    double sign = 0.0;
    std::uint64_t h = 0x12345;
    for (std::size_t i = 0; i < n; ++i) {
        double z = (f[i] - m.mean_f) / sd;
        if (sign == 0.0 && std::fabs(z) > 1e-3) sign = z > 0.0 ? 1.0 : -1.0;
        z *= sign == 0.0 ? 1.0 : sign;
        h = mix(h, static_cast<std::uint64_t>(std::llround(z * 1e6)));
    }
    return h;
}

// Whether a candidate carries a fitted inner constant (and so costs a grid and an LM fit).
[[nodiscard]] bool has_inner_constant(const Candidate& c) noexcept {
    return c.make == Make::Scale || c.make == Make::Shift || c.make == Make::Reflect;
}

// Counts per set of variables used (a bit mask): a flat table while the masks are few.
class VarSetCounts {
public:
    explicit VarSetCounts(std::size_t n_vars) {
        if (n_vars <= kFlatVariables) flat_.assign(std::size_t{1} << n_vars, 0);
    }
    std::size_t& operator[](std::uint32_t vars) { return flat_.empty() ? map_[vars] : flat_[vars]; }

private:
    static constexpr std::size_t kFlatVariables = 16;
    std::vector<std::size_t> flat_;
    std::unordered_map<std::uint32_t, std::size_t> map_;
};

// Sorts v in pieces on the pool, then merges them: the keys are distinct (positions), so
// the result is the one order whatever the pieces.
void sort_on_pool(std::vector<std::pair<double, std::uint32_t>>& v) {
    const std::size_t pieces = std::min<std::size_t>(pool::size(), std::max<std::size_t>(1, v.size() / kSortPiece));
    const std::size_t step = (v.size() + pieces - 1) / std::max<std::size_t>(pieces, 1);
    pool::for_blocks(pieces, static_cast<double>(step) * kSortRowNs, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k)
            std::sort(v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), k * step)),
                      v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), (k + 1) * step)));
    });
    for (std::size_t k = 1; k < pieces; ++k)
        std::inplace_merge(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), k * step)),
                           v.begin() + static_cast<std::ptrdiff_t>(std::min(v.size(), (k + 1) * step)));
}

}  // namespace

// ---- the search state -----------------------------------------------------------------

SearchState::SearchState(Columns sample, std::span<const double> target, const EngineConfig& config,
                         const Control& control, Clock::time_point start)
    : config_(config), control_(control), start_(start), ns_(target.size()), nv_(sample.size()) {
    for (std::size_t c = 0; c < nv_; ++c) cols_.emplace_back(sample[c].begin(), sample[c].begin() + ns_);
    y_.assign(target.begin(), target.end());
    Moments m = Moments::of(y_.data(), y_.data(), ns_);
    y_mean_ = m.mean_y;
    syy_ = m.m2_y;
    for (double v : y_) yc_.push_back(v - y_mean_);
    unary_ = search_operators(config.operators, 1);
    binary_ = search_operators(config.operators, 2);
}

bool SearchState::stopped() const {
    if (control_.should_stop && control_.should_stop()) return true;
    if (config_.time_limit > 0.0 &&
        std::chrono::duration<double>(Clock::now() - start_).count() > config_.time_limit)
        return true;
    return false;
}

Moments SearchState::moments(const double* f) const noexcept {
    // Moments::of's two passes, with the target's half known already and four running
    // sums per quantity: this is every candidate's scoring
    const std::size_t n = ns_;
    Moments m;
    m.n = static_cast<double>(n);
    m.mean_y = y_mean_;
    m.m2_y = syy_;
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k) s[k] += f[i + k];
    for (; i < n; ++i) s[0] += f[i];
    m.mean_f = ((s[0] + s[1]) + (s[2] + s[3])) / m.n;
    double ff[4] = {0.0, 0.0, 0.0, 0.0}, fy[4] = {0.0, 0.0, 0.0, 0.0};
    const double* yc = yc_.data();
    for (i = 0; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k) {
            const double d = f[i + k] - m.mean_f;
            ff[k] += d * d;
            fy[k] += d * yc[i + k];
        }
    for (; i < n; ++i) {
        const double d = f[i] - m.mean_f;
        ff[0] += d * d;
        fy[0] += d * yc[i];
    }
    m.m2_f = (ff[0] + ff[1]) + (ff[2] + ff[3]);
    m.c_fy = (fy[0] + fy[1]) + (fy[2] + fy[3]);
    return m;
}

bool SearchState::makes_monomial(const Candidate& c) const noexcept {
    return nodes_[c.left].monomial && ((c.make == Make::Unary && c.op == Operator::Square) ||
                                       (c.make == Make::Binary && c.op == Operator::Mul && nodes_[c.right].monomial));
}

double SearchState::elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

// Predictions of a candidate on the sample into out; false when some row has none.
bool SearchState::compose(const Candidate& c, double constant, double* out) const {
    const double* a = pred(c.left);
    switch (c.make) {
        case Make::Unary: return apply_block(c.op, a, nullptr, out, ns_);
        case Make::Binary: return apply_block(c.op, a, pred(c.right), out, ns_);
        case Make::Scale:
            for (std::size_t i = 0; i < ns_; ++i) out[i] = constant * a[i];
            break;
        case Make::Shift:
            for (std::size_t i = 0; i < ns_; ++i) out[i] = a[i] + constant;
            break;
        case Make::Reflect:
            for (std::size_t i = 0; i < ns_; ++i) out[i] = constant - a[i];
            break;
        case Make::AddOne:
            for (std::size_t i = 0; i < ns_; ++i) out[i] = a[i] + 1.0;
            break;
        case Make::OneMinus:
            for (std::size_t i = 0; i < ns_; ++i) out[i] = 1.0 - a[i];
            break;
    }
    return apply_block(c.op, out, nullptr, out, ns_);
}

// The inner constant of a Scale/Shift/Reflect candidate: the best grid point, then LM on
// (constant, a, b) over the sample (scratch: 4 × the sample's rows). False when no grid
// point gives values.
bool SearchState::fit_constant(const Candidate& c, double* buf, double* scratch, double& constant,
                               LinearFit& fit) const {
    std::span<const double> grid = c.make == Make::Scale ? std::span<const double>(kScaleGrid)
                                                         : std::span<const double>(kShiftGrid);
    bool any = false;
    for (double g : grid) {
        if (!compose(c, g, buf)) continue;
        LinearFit f = fit_column(moments(buf), buf, y_.data(), ns_, syy_);
        if (!any || f.nmse < fit.nmse) {
            fit = f;
            constant = g;
            any = true;
        }
    }
    if (!any || fit.a == 0.0) return any;
    VariantProblem problem(*this, c, scratch);
    const double start[3] = {constant, fit.a, fit.b};
    // a screening fit: the constant is refitted with the whole formula if it gets that far
    LmOptions options;
    options.max_iterations = 6;
    options.relative_cost_tolerance = 1e-8;
    LmResult r = levenberg_marquardt(problem, start, options);
    if (r.ok && compose(c, r.theta[0], buf)) {
        LinearFit f = fit_column(moments(buf), buf, y_.data(), ns_, syy_);
        if (f.nmse < fit.nmse) {
            fit = f;
            constant = r.theta[0];
        }
    }
    return compose(c, constant, buf);
}

NormalEquations SearchState::VariantProblem::normal(std::span<const double> theta) {
    // model a·u(z(c)) + b; z = c·e, e + c or c − e
    NormalEquations ne;
    ne.params = 3;
    const double c = theta[0], a = theta[1], b = theta[2];
    const std::size_t n = s_.ns_;
    const double* e = s_.pred(cand_.left);
    double* z = buf_;
    double* dz = buf_ + n;
    double* f = buf_ + 2 * n;
    double* df = buf_ + 3 * n;
    for (std::size_t i = 0; i < n; ++i) {
        switch (cand_.make) {
            case Make::Scale: z[i] = c * e[i]; dz[i] = e[i]; break;
            case Make::Shift: z[i] = e[i] + c; dz[i] = 1.0; break;
            default: z[i] = c - e[i]; dz[i] = 1.0; break;
        }
    }
    // the values as compose gives them, with ∂u/∂c beside them
    if (!apply_block_dual(cand_.op, z, dz, nullptr, nullptr, f, df, n, 1)) return ne;
    double s00 = 0.0, s01 = 0.0, s02 = 0.0, s11 = 0.0, s12 = 0.0, r0 = 0.0, r1 = 0.0, r2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double j0 = a * df[i];
        const double r = a * f[i] + b - s_.y_[i];
        ne.cost += r * r;
        r0 += j0 * r;
        r1 += f[i] * r;
        r2 += r;
        s00 += j0 * j0;
        s01 += j0 * f[i];
        s02 += j0;
        s11 += f[i] * f[i];
        s12 += f[i];
    }
    const double sums[3][3] = {{s00, s01, s02}, {s01, s11, s12}, {s02, s12, static_cast<double>(n)}};
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) ne.jtj[p * kMaxLmParams + q] = sums[p][q];
    ne.jtr[0] = r0;
    ne.jtr[1] = r1;
    ne.jtr[2] = r2;
    ne.ok = std::isfinite(ne.cost) && std::isfinite(ne.jtj[0]);
    return ne;
}

void SearchState::add_node(Node node, const double* values) {
    node.offset = preds_.size();
    preds_.insert(preds_.end(), values, values + ns_);
    const Moments m = Moments::of(values, values, ns_);
    const double norm = std::sqrt(m.m2_f);
    for (std::size_t i = 0; i < ns_; ++i) units_.push_back(norm > 0.0 ? (values[i] - m.mean_f) / norm : 0.0);
    if (by_size_.size() <= node.size) by_size_.resize(node.size + 1);
    by_size_[node.size].push_back(static_cast<std::uint32_t>(nodes_.size()));
    nodes_.push_back(std::move(node));
}

Node SearchState::materialise(const Candidate& c, double constant, const LinearFit& fit) const {
    Node n;
    const Node& a = nodes_[c.left];
    n.fit = fit;
    n.vars = a.vars;
    n.params = a.params;
    n.algebraic = a.algebraic &&
                  (c.make == Make::Unary || c.make == Make::Binary || c.make == Make::AddOne ||
                   c.make == Make::OneMinus) &&
                  (c.op == Operator::Add || c.op == Operator::Sub || c.op == Operator::Mul ||
                   c.op == Operator::Div || c.op == Operator::Inv || c.op == Operator::Square);
    n.monomial = makes_monomial(c);
    switch (c.make) {
        case Make::Unary:
            n.tokens = a.tokens;
            break;
        case Make::Binary: {
            const Node& b = nodes_[c.right];
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

// Every candidate of formula size `size`, in a fixed order.
std::vector<Candidate> SearchState::generate(std::size_t size) const {
    std::vector<Candidate> out;
    auto kept = [&](std::size_t s) -> const std::vector<std::uint32_t>& {
        static const std::vector<std::uint32_t> kEmpty;
        return s < by_size_.size() ? by_size_[s] : kEmpty;
    };
    for (std::uint32_t i : kept(size - 1))
        for (Operator op : unary_) out.push_back({i, kNone, op, Make::Unary});
    // binary joins of the join sets; add and mul once per unordered pair
    for (std::size_t sl = 1; sl + 2 <= size; ++sl) {
        const std::size_t sr = size - 1 - sl;
        const auto& all_left = sl < join_.size() ? join_[sl] : std::vector<std::uint32_t>{};
        const auto& all_right = sr < join_.size() ? join_[sr] : std::vector<std::uint32_t>{};
        // Every pair while they are few; past the budget a small side still meets the whole
        // of the other (small blocks are what products and sums are made of), and two
        // large sides meet by their best.
        std::size_t nl = all_left.size(), nr = all_right.size();
        if (nl * nr > kPairBudget) {
            const std::size_t small = std::min(nl, nr);
            if (small <= kSmallSide) {
                (nl == small ? nr : nl) = std::max(config_.join_per_size, kPairBudget / small);
            } else {
                nl = std::min(nl, config_.join_per_size);
                nr = std::min(nr, config_.join_per_size);
            }
        }
        const std::span<const std::uint32_t> left(all_left.data(), std::min(nl, all_left.size()));
        const std::span<const std::uint32_t> right(all_right.data(), std::min(nr, all_right.size()));
        for (std::uint32_t l : left) {
            for (std::uint32_t r : right) {
                if (nodes_[l].params.size() + nodes_[r].params.size() > config_.max_inner_constants) continue;
                for (Operator op : binary_) {
                    const bool symmetric = op == Operator::Add || op == Operator::Mul;
                    if (symmetric && (sl > sr || (sl == sr && l > r))) continue;
                    if (l == r && op != Operator::Mul) continue;  // x − x, x/x, x + x
                    out.push_back({l, r, op, Make::Binary});
                }
            }
        }
    }
    // the fixed-constant forms u(e + 1) and u(1 − e)
    if (size >= 4) {
        for (std::uint32_t i : kept(size - 3))
            for (Operator op : {Operator::Ln, Operator::Sqrt, Operator::Inv}) {
                out.push_back({i, kNone, op, Make::AddOne});
                out.push_back({i, kNone, op, Make::OneMinus});
            }
    }
    // inner constants, as the operator's row says: u(c·e) (exp, sin, cos), u(e + c) and
    // u(c − e) (ln, sqrt, inv), u(e + c) (square)
    if (size >= 4 && size - 3 <= config_.max_constant_block) {
        // over the blocks in join order (the joiners, then the rest, each best first), at
        // most a beam of them: every distinct small block is kept, and an LM fit for each
        // of those would cost more than all the rest of the level
        const std::vector<std::uint32_t>& blocks = size - 3 < join_.size() ? join_[size - 3] : kept(0);
        for (std::uint32_t i : std::span(blocks).first(std::min(blocks.size(), config_.beam_per_size))) {
            if (nodes_[i].params.size() >= config_.max_inner_constants) continue;
            for (Operator op : unary_) {
                const InnerConstant inner = info(op).inner;
                if (inner == InnerConstant::Scale) out.push_back({i, kNone, op, Make::Scale});
                if (inner == InnerConstant::Shift || inner == InnerConstant::ShiftReflect)
                    out.push_back({i, kNone, op, Make::Shift});
                if (inner == InnerConstant::ShiftReflect) out.push_back({i, kNone, op, Make::Reflect});
            }
        }
    }
    return out;
}

// Scores every candidate on the sample, in parallel; slot i belongs to candidate i.
std::vector<Scored> SearchState::score(const std::vector<Candidate>& cands) const {
    std::vector<Scored> out(cands.size());
    auto score_range = [&](std::size_t b, std::size_t e) {
        std::vector<double> buf(ns_), scratch(4 * ns_);
        for (std::size_t i = b; i < e; ++i) {
            if ((i - b) % 256 == 0 && stopped()) return;
            const Candidate& c = cands[i];
            Scored& s = out[i];
            double constant = 0.0;
            const bool fitted_inside = has_inner_constant(c);
            if (fitted_inside ? !fit_constant(c, buf.data(), scratch.data(), constant, s.fit) : !compose(c, 0.0, buf.data()))
                continue;
            // one pass of moments serves the fit and the residual models
            const Moments m = moments(buf.data());
            if (!fitted_inside) s.fit = fit_column(m, buf.data(), y_.data(), ns_, syy_);
            if (s.fit.a == 0.0 || !(s.fit.nmse < 1.0)) continue;  // constant on the sample
            s.ok = true;
            s.constant = constant;
            for (std::size_t k = 0; k < residuals_.size(); ++k) {
                const std::vector<double>& r = residuals_[k];
                const double c_fr = dot(buf.data(), r.data(), ns_);
                s.residual_fit[k] = static_cast<float>(c_fr * c_fr / (m.m2_f * residual_norms_[k]));
            }
        }
    };
    // The candidates with an inner constant, which come last, cost a grid and an LM fit
    // each: shared out on their own, they spread over the threads instead of falling to
    // whichever takes the list's last blocks.
    const auto first_fitted = std::find_if(cands.begin(), cands.end(), has_inner_constant);
    const std::size_t split = static_cast<std::size_t>(first_fitted - cands.begin());
    const double cost = static_cast<double>(ns_) * kCandidateRowNs * 3.0;
    pool::for_blocks(split, cost, score_range);
    pool::for_blocks(cands.size() - split, cost * kFittedCost, [&](std::size_t b, std::size_t e) {
        score_range(split + b, split + e);
    });
    return out;
}

// The residuals of the best few models so far pick building blocks that explain what
// they miss; the blocks of a law often fit y poorly on their own.
void SearchState::update_residual_models() {
    residuals_.clear();
    residual_norms_.clear();
    const std::size_t wanted = std::min<std::size_t>(config_.residual_models, 4);
    // centred, so that a candidate's covariance with one is a plain dot product
    auto add = [&](std::vector<double> r) {
        const double mean = std::accumulate(r.begin(), r.end(), 0.0) / static_cast<double>(r.size());
        for (double& v : r) v -= mean;
        const double norm = dot(r.data(), r.data(), r.size());
        if (!(norm > 0.0) || !std::isfinite(norm)) return;
        residuals_.push_back(std::move(r));
        residual_norms_.push_back(norm);
    };
    // the best sums of two and of three terms: what a short sum misses is what the law's
    // remaining term must supply (longer sums fit their residual away with stray terms)
    for (std::size_t terms = 2; terms <= 3 && residuals_.size() < wanted / 2; ++terms) {
        const SumFit* best = nullptr;
        for (const SumFit& s : sums_)
            if (s.terms.size() == terms && s.denominator == kNone && s.nmse > kExactNmse &&
                (best == nullptr || s.nmse < best->nmse))
                best = &s;
        if (best == nullptr) continue;
        const SumFit& s = *best;
        std::vector<double> r(ns_);
        for (std::size_t j = 0; j < ns_; ++j) {
            double fit = s.intercept;
            for (std::size_t t = 0; t < s.terms.size(); ++t) fit += s.coefficients[t] * pred(s.terms[t])[j];
            r[j] = y_[j] - fit;
        }
        add(std::move(r));
    }
    // then the best simple node (up to three tokens) and the best node of all: the residual
    // of a law's main effect is its other terms
    auto residual_of = [&](std::uint32_t i) {
        const Node& n = nodes_[i];
        std::vector<double> r(ns_);
        const double* f = pred(i);
        for (std::size_t j = 0; j < ns_; ++j) r[j] = y_[j] - (n.fit.a * f[j] + n.fit.b);
        add(std::move(r));
    };
    std::uint32_t best_small = kNone, best_any = kNone;
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
        const Node& n = nodes_[i];
        if (n.fit.nmse <= kExactNmse) continue;
        if (n.size <= 3 && (best_small == kNone || n.fit.nmse < nodes_[best_small].fit.nmse)) best_small = i;
        if (best_any == kNone || n.fit.nmse < nodes_[best_any].fit.nmse) best_any = i;
    }
    if (best_small != kNone && residuals_.size() < wanted) residual_of(best_small);
    if (best_any != kNone && best_any != best_small && residuals_.size() < wanted) residual_of(best_any);
}

std::size_t SearchState::select(const std::vector<Candidate>& cands, const std::vector<Scored>& scored,
                                std::size_t size) {
    const bool small = size <= config_.small_size;
    auto vars_of = [&](std::uint32_t i) {
        const Candidate& c = cands[i];
        return nodes_[c.left].vars | (c.right != kNone ? nodes_[c.right].vars : 0u);
    };
    auto is_monomial = [&](std::uint32_t i) { return size <= kMonomialSize && makes_monomial(cands[i]); };
    // Ranked by a total order (error, then position), so ties never depend on sorting.
    // Only what the quotas below can reach is ordered: the best kSortedHead, and beyond
    // them the best few of each set of variables and every monomial. That is a sorted
    // part of the whole order; sorting the whole would cost more than the rest of the
    // choice.
    std::vector<std::pair<double, std::uint32_t>> keyed;
    for (std::size_t i = 0; i < cands.size(); ++i)
        if (scored[i].ok) keyed.emplace_back(scored[i].fit.nmse, static_cast<std::uint32_t>(i));
    std::vector<std::pair<double, std::uint32_t>> beyond;
    if (!small && keyed.size() > kSortedHead) {
        const auto cut = keyed.begin() + static_cast<std::ptrdiff_t>(kSortedHead);
        std::nth_element(keyed.begin(), cut, keyed.end());
        const std::size_t wanted = kBeyondPerVariableSet * config_.per_variable_set;
        // per set of variables its best `wanted`, unsorted, with the worst of them at hand:
        // most candidates are turned away by one comparison
        struct Best {
            std::vector<std::pair<double, std::uint32_t>> list;
            std::size_t worst = 0;
        };
        VarSetCounts slot_of(nv_);
        std::vector<Best> best;
        for (auto it = cut; it != keyed.end(); ++it) {
            if (is_monomial(it->second)) {
                beyond.push_back(*it);
                continue;
            }
            std::size_t& slot = slot_of[vars_of(it->second)];
            if (slot == 0) {
                best.emplace_back();
                slot = best.size();
            }
            Best& b = best[slot - 1];
            if (b.list.size() == wanted && !(*it < b.list[b.worst])) continue;
            if (b.list.size() < wanted) b.list.push_back(*it);
            else b.list[b.worst] = *it;
            if (b.list.size() == wanted)
                b.worst = static_cast<std::size_t>(std::max_element(b.list.begin(), b.list.end()) - b.list.begin());
        }
        for (const Best& b : best) beyond.insert(beyond.end(), b.list.begin(), b.list.end());
        std::sort(beyond.begin(), beyond.end());
        keyed.resize(kSortedHead);
    }
    sort_on_pool(keyed);
    keyed.insert(keyed.end(), beyond.begin(), beyond.end());
    std::vector<std::uint32_t> order(keyed.size());
    for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].second;

    // the heads of the rankings by fit to each residual model (then position), one model
    // a thread
    std::size_t scored_ok = 0;
    for (const Scored& sc : scored) scored_ok += sc.ok;
    const std::size_t head = std::min(scored_ok, config_.per_residual * 4);
    std::vector<std::vector<std::uint32_t>> heads(residuals_.size());
    pool::for_blocks(residuals_.size(), static_cast<double>(scored_ok) * kSortRowNs, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            std::vector<std::pair<float, std::uint32_t>> ranked;
            ranked.reserve(scored_ok);
            for (std::uint32_t i = 0; i < cands.size(); ++i)
                if (scored[i].ok) ranked.emplace_back(-scored[i].residual_fit[k], i);
            std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(head), ranked.end());
            for (std::size_t j = 0; j < head; ++j) heads[k].push_back(ranked[j].second);
        }
    });

    // Fingerprints only for the candidates the quotas look at; a candidate is new when
    // neither an earlier level nor an already taken candidate of this level has its print.
    // Those the quotas will most likely look at are printed first, in parallel; the
    // choices below stay sequential and in order.
    enum : std::uint8_t { kUnprinted, kPrinted, kNoValue };
    std::vector<std::uint8_t> state(cands.size(), kUnprinted);
    std::vector<std::uint64_t> prints(cands.size(), 0);
    // candidate i's print from its values (scratch of the sample's rows); false without values
    auto print = [&](std::uint32_t i, double* values) {
        if (!compose(cands[i], scored[i].constant, values)) {
            state[i] = kNoValue;
            return false;
        }
        prints[i] = affine_print(values, ns_, moments(values));
        state[i] = kPrinted;
        return true;
    };
    {
        std::vector<std::uint32_t> ahead;
        std::vector<char> listed(cands.size(), 0);
        auto list = [&](std::uint32_t i) {
            if (!listed[i]) ahead.push_back(i), listed[i] = 1;
        };
        for (std::size_t k = 0; k < order.size() && (small || k < 2 * config_.beam_per_size); ++k) list(order[k]);
        VarSetCounts listed_vars(nv_);
        for (std::uint32_t i : order) {
            std::size_t& count = listed_vars[vars_of(i)];
            if (count < 2 * config_.per_variable_set) ++count, list(i);
        }
        for (const std::vector<std::uint32_t>& ranked : heads)
            for (std::uint32_t i : ranked) list(i);
        for (std::uint32_t i : order)
            if (is_monomial(i)) list(i);
        pool::for_blocks(ahead.size(), static_cast<double>(ns_) * kCandidateRowNs * 3.0, [&](std::size_t b, std::size_t e) {
            std::vector<double> values(ns_);
            for (std::size_t k = b; k < e; ++k) print(ahead[k], values.data());
        });
    }
    std::vector<double> buf(ns_);
    std::unordered_set<std::uint64_t> taken_prints;
    std::vector<char> keep(cands.size(), 0), join(cands.size(), 0), dup(cands.size(), 0);
    std::size_t kept = 0;
    auto take = [&](std::uint32_t i, bool joined) -> bool {
        if (keep[i]) {
            if (joined) join[i] = 1;
            return true;
        }
        if (dup[i] || state[i] == kNoValue || (state[i] == kUnprinted && !print(i, buf.data()))) return false;
        const std::uint64_t p = prints[i];
        if (seen_.count(p) || !taken_prints.insert(p).second) {
            dup[i] = 1;
            return false;
        }
        keep[i] = 1;
        join[i] = joined;
        ++kept;
        return true;
    };
    // the best, with at most a quarter of the beam per set of variables: chains of unary
    // operators over one variable all fit alike and would otherwise crowd out the rest
    std::size_t taken = 0;
    VarSetCounts beam_vars(nv_);
    const std::size_t per_vars_cap = nv_ > 1 ? std::max<std::size_t>(1, config_.beam_per_size / 4) : config_.beam_per_size;
    for (std::uint32_t i : order) {
        if (!small && taken >= config_.beam_per_size) break;
        std::size_t& count = beam_vars[vars_of(i)];
        if (!small && count >= per_vars_cap) continue;
        if (take(i, taken < config_.join_per_size)) {
            ++taken;
            ++count;
        }
    }
    // the best few per set of variables used
    VarSetCounts per_vars(nv_);
    for (std::uint32_t i : order) {
        std::size_t& count = per_vars[vars_of(i)];
        if (count < config_.per_variable_set && take(i, count < kJoinPerVariableSet)) ++count;
    }
    // the best few per residual model
    for (const std::vector<std::uint32_t>& ranked : heads) {
        std::size_t got = 0;
        for (std::size_t j = 0; j < ranked.size() && got < config_.per_residual; ++j)
            if (take(ranked[j], got < config_.per_residual / 2)) ++got;
    }
    // every new monomial up to kMonomialSize: a polynomial's high powers fit the target
    // poorly on their own, yet its sum needs every one of them
    for (std::uint32_t i : order)
        if (is_monomial(i)) take(i, false);
    // materialise in candidate order: the node layout is then fixed by the candidates alone
    if (join_.size() <= size) join_.resize(size + 1);
    std::vector<std::uint32_t> node_of(cands.size(), kNone), chosen;
    for (std::uint32_t i = 0; i < cands.size(); ++i)
        if (keep[i]) chosen.push_back(i);
    std::vector<double> values(chosen.size() * ns_);
    std::vector<char> valued(chosen.size(), 0);
    pool::for_blocks(chosen.size(), static_cast<double>(ns_) * kCandidateRowNs, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k)
            valued[k] = compose(cands[chosen[k]], scored[chosen[k]].constant, values.data() + k * ns_);
    });
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        if (!valued[k]) continue;
        const std::uint32_t i = chosen[k];
        seen_.insert(prints[i]);
        node_of[i] = static_cast<std::uint32_t>(nodes_.size());
        add_node(materialise(cands[i], scored[i].constant, scored[i].fit), values.data() + k * ns_);
    }
    // the join order of this size: the chosen joiners, then every other kept node, each
    // part best first
    for (int pass = 0; pass < 2; ++pass)
        for (std::uint32_t i : order)
            if (node_of[i] != kNone && (join[i] != 0) == (pass == 0)) join_[size].push_back(node_of[i]);
    return kept;
}

void SearchState::add_leaves() {
    join_.resize(2);
    for (std::size_t v = 0; v < nv_; ++v) {
        Node n;
        n.tokens = {Token::make_var(v)};
        n.size = 1;
        n.vars = 1u << std::min<std::size_t>(v, 31);
        const Moments m = Moments::of(cols_[v].data(), y_.data(), ns_);
        n.fit = fit_column(m, cols_[v].data(), y_.data(), ns_, syy_);
        seen_.insert(affine_print(cols_[v].data(), ns_, m));
        join_[1].push_back(static_cast<std::uint32_t>(nodes_.size()));
        add_node(std::move(n), cols_[v].data());
    }
}

void SearchState::run(std::vector<LevelReport>& reports) {
    add_leaves();
    report(1, nv_, nv_, reports);
    std::size_t exact_level = 0;
    for (std::size_t size = 2; size <= config_.search_size; ++size) {
        if (stopped()) {
            interrupted_ = true;
            break;
        }
        update_residual_models();
        const std::vector<Candidate> cands = generate(size);
        const std::vector<Scored> scored = score(cands);
        if (stopped()) {
            interrupted_ = true;
            break;
        }
        const std::size_t kept = select(cands, scored, size);
        fit_sums(size);
        if (!report(size, cands.size(), kept, reports)) {
            interrupted_ = true;
            break;
        }
        // once an exact fit is known, a couple more levels may still find a shorter one
        if (exact_level == 0 && best_nmse() <= kExactNmse) exact_level = size;
        if (exact_level != 0 && (size >= best_exact_size() || size >= exact_level + 2)) break;
    }
    if (!interrupted_ && !stopped()) fit_ratios();
}

bool SearchState::report(std::size_t size, std::size_t candidates, std::size_t kept,
                         std::vector<LevelReport>& reports) {
    LevelReport r;
    r.level = size;
    r.candidates = candidates;
    r.kept = kept;
    r.best_nmse = best_nmse();
    r.best_complexity = best_exact_size();
    r.seconds = elapsed();
    reports.push_back(r);
    return !control_.on_level || control_.on_level(r);
}

double SearchState::best_nmse() const {
    double best = 1.0;
    for (const Node& n : nodes_) best = std::min(best, n.fit.nmse);
    for (const SumFit& s : sums_) best = std::min(best, s.nmse);
    return best;
}

std::size_t SearchState::best_exact_size() const {
    std::size_t best = static_cast<std::size_t>(-1);
    for (const Node& n : nodes_)
        if (n.fit.nmse <= kExactNmse) best = std::min<std::size_t>(best, n.size);
    for (const SumFit& s : sums_)
        if (s.nmse <= kExactNmse) best = std::min(best, s.size);
    return best;
}

}  // namespace zan::discover::engine
