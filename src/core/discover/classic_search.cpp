#include "core/discover/classic_search.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>

#include "core/discover/fingerprint.hpp"
#include "core/pool.hpp"

namespace zan::discover {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// rmse over the first min(rows, targets) pairs, summed in row order from -0.0 and
// divided by the number of targets, times (tokens * penalty + 1.0).
double penalised_error(const double* preds, std::size_t rows, std::span<const double> targets,
                       std::size_t tokens, double penalty) {
    const std::size_t m = std::min(rows, targets.size());
    double sum = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double d = preds[i] - targets[i];
        sum = sum + d * d;
    }
    const double rmse = std::sqrt(sum / static_cast<double>(targets.size()));
    const double factor = static_cast<double>(tokens) * penalty + 1.0;
    return rmse * factor;
}

// Per-thread scratch of the scoring step.
struct Scratch {
    EvalWorkspace ws;
    std::vector<double> preds;
    Expr expr;
};

// Rough cost of evaluating one token over one row, for the pool's serial cut-off.
constexpr double kTokenRowNs = 3.0;

// The data as the search reads it: one span per column, all of the same length.
struct Data {
    std::vector<std::span<const double>> cols;
    std::size_t rows = 0;

    explicit Data(Columns columns) {
        if (columns.empty()) {
            cols.emplace_back();  // zero rows: nothing is ever read
            return;
        }
        rows = columns[0].size();
        for (const auto& c : columns) rows = std::min(rows, c.size());
        for (const auto& c : columns) cols.push_back(c.first(rows));
    }
    [[nodiscard]] Columns columns() const { return Columns(cols); }
};

}  // namespace

std::vector<SearchResult> score_level(std::span<const Expr> candidates, Columns columns_in,
                                      std::span<const double> targets, const SearchConfig& config) {
    const Data data(columns_in);
    const Columns columns = data.columns();
    const std::size_t rows = data.rows;
    std::vector<std::optional<SearchResult>> slots(candidates.size());
    const double cost = static_cast<double>(rows) * 8.0 * kTokenRowNs + 300.0;
    pool::for_blocks(candidates.size(), cost, [&](std::size_t b, std::size_t e) {
        EvalWorkspace ws;
        std::vector<double> preds(rows);
        for (std::size_t i = b; i < e; ++i) {
            const Expr& c = candidates[i];
            if (!eval_batch_into(c, columns, {}, preds.data(), ws)) continue;
            const double error = penalised_error(preds.data(), rows, targets, c.size(), config.complexity_penalty);
            slots[i] = SearchResult{to_string(c), {}, c, error, c.size()};
        }
    });
    std::vector<SearchResult> out;
    for (auto& s : slots)
        if (s) out.push_back(std::move(*s));
    return out;
}

void update_best(std::optional<SearchResult>& best, std::span<const SearchResult> results) {
    for (const SearchResult& r : results)
        if (!best || best->error > r.error) best = r;
}

namespace {

constexpr std::uint32_t kNoOperand = std::numeric_limits<std::uint32_t>::max();

// A generated candidate, named by its operands in the beam: op(beam[left]) for a unary
// operator, op(beam[left], beam[right]) for a binary one.
struct Candidate {
    std::uint32_t left;
    std::uint32_t right;
    Operator op;
};

// Predictions of a beam entry on the data.
enum class Cache : std::uint8_t {
    Stored,  // all rows evaluated, kept at `offset` in the prediction store
    Absent,  // not kept (over the memory budget): candidates on it are evaluated in full
    Fails,   // the entry has no value on the data, so every candidate built on it fails
};

struct Entry {
    Expr expr;
    ProbeBits probes;  // its (finite) values at the five probes
    Cache cache = Cache::Absent;
    std::size_t offset = 0;
};

// Predictions kept for beam entries, at most this many values in all (64 MiB).
constexpr std::size_t kDefaultPredictionBudget = std::size_t{8} << 20;
std::size_t g_prediction_budget = kDefaultPredictionBudget;

struct Scored {
    double error;
    std::uint32_t index;  // into the level's kept candidates
};

// The classic search's operators in its enumeration order, fixed here rather than read
// from the operator table: results depend on this order, and operators added to the
// table (Square) are not part of this search.
constexpr Operator kUnary[] = {Operator::Neg, Operator::Inv, Operator::Exp, Operator::Ln, Operator::Sqrt};
constexpr Operator kTrig[] = {Operator::Sin, Operator::Cos};
constexpr Operator kBinary[] = {Operator::Add, Operator::Sub, Operator::Mul, Operator::Div};
constexpr Operator kZan = Operator::Zan;

// Both operand orders are generated for these.
bool order_sensitive(Operator op) { return !info(op).commutative; }

// Stable bottom-up merge sort whose only comparison is a.error < b.error: it is
// well-defined (and deterministic) even when NaN errors make that order inconsistent.
void stable_sort_by_error(std::vector<Scored>& v) {
    std::vector<Scored> tmp(v.size());
    for (std::size_t width = 1; width < v.size(); width *= 2) {
        for (std::size_t lo = 0; lo < v.size(); lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, v.size());
            const std::size_t hi = std::min(lo + 2 * width, v.size());
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) tmp[k++] = (v[j].error < v[i].error) ? v[j++] : v[i++];
            while (i < mid) tmp[k++] = v[i++];
            while (j < hi) tmp[k++] = v[j++];
        }
        v.swap(tmp);
    }
}

// Leaves the first `keep` elements of v in the order a stable sort by error gives them.
void sort_prefix(std::vector<Scored>& v, std::size_t keep) {
    const bool any_nan = std::any_of(v.begin(), v.end(), [](const Scored& s) { return std::isnan(s.error); });
    if (any_nan) {
        stable_sort_by_error(v);
        return;
    }
    // Without NaN, (error, index) is a strict total order equal to the stable order.
    auto less = [](const Scored& a, const Scored& b) {
        if (a.error < b.error) return true;
        if (b.error < a.error) return false;
        return a.index < b.index;
    };
    if (keep < v.size()) std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(keep), v.end(), less);
    std::sort(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(keep), less);
}

class Searcher {
public:
    Searcher(Columns columns, std::span<const double> targets, std::size_t n_vars, const SearchConfig& config,
             SearchStats* stats)
        : data_(columns), targets_(targets), n_vars_(n_vars), config_(config), stats_(stats) {
        unary_.assign(std::begin(kUnary), std::end(kUnary));
        if (config.use_trig) unary_.insert(unary_.end(), std::begin(kTrig), std::end(kTrig));
        binary_.assign(std::begin(kBinary), std::end(kBinary));
        if (config.use_zan) binary_.push_back(kZan);
    }

    std::optional<SearchResult> run() {
        if (!leaf_step()) return std::move(best_);
        // Entries [fresh_begin, beam size) were appended by the previous step. Every
        // extension and pair of older entries was generated at an earlier level and then
        // either had no fingerprint or had it inserted into the seen-set, so generating it
        // again could only discard it: only candidates involving a fresh entry are formed.
        // With j <= i that is every pair whose i is fresh.
        std::size_t fresh_begin = 0;
        for (std::uint64_t level = 1; level < config_.max_complexity; ++level) {
            if (beam_.empty()) break;
            const std::size_t beam_len = beam_.size();
            if (!run_level(level, fresh_begin, beam_len)) break;
            fresh_begin = beam_len;
        }
        return std::move(best_);
    }

private:
    // The leaf step; false when the search ends with it.
    bool leaf_step() {
        const auto t0 = Clock::now();
        LevelStats st;
        std::vector<Expr> leaves;
        auto consider = [&](Expr e) {
            ++st.generated;
            const std::optional<ProbeBits> fp = probe_bits(e, n_vars_);
            if (!fp) return;
            ++st.with_fingerprint;
            if (!seen_.insert(*fp)) return;
            add_to_beam(Entry{e, *fp});
            leaves.push_back(std::move(e));
        };
        consider(Expr{{Token::make_const(0.0)}, 0});
        consider(Expr{{Token::make_const(1.0)}, 0});
        for (std::size_t j = 0; j < n_vars_; ++j) consider(Expr{{Token::make_var(j)}, j + 1});
        st.kept = leaves.size();

        const std::vector<SearchResult> results = score_level(leaves, data_.columns(), targets_, config_);
        st.scored = results.size();
        for (Entry& e : beam_) store_leaf_predictions(e);
        update_best(best_, results);
        st.beam_size = beam_.size();
        st.seconds = seconds_since(t0);
        record(st);
        if (goal_met()) return false;
        return config_.max_complexity >= 2;
    }

    bool goal_met() const { return best_ && config_.precision_goal >= best_->error; }

    void record(const LevelStats& st) {
        if (stats_) stats_->levels.push_back(st);
    }

    // One level; false when the search ends with it.
    bool run_level(std::uint64_t level, std::size_t fresh_begin, std::size_t beam_len) {
        const auto t0 = Clock::now();
        LevelStats st;
        st.level = static_cast<std::size_t>(level);
        kept_.clear();
        generate(fresh_begin, beam_len, st);
        st.kept = kept_.size();
        st.generate_seconds = seconds_since(t0);
        if (kept_.empty()) {
            st.beam_size = beam_.size();
            st.seconds = seconds_since(t0);
            record(st);
            return false;
        }

        const auto t1 = Clock::now();
        std::vector<Scored> scored = score_kept();
        st.scored = scored.size();
        st.score_seconds = seconds_since(t1);

        // update_best over the level's results in candidate order
        std::optional<std::uint32_t> new_best;
        bool have = best_.has_value();
        double best_error = have ? best_->error : 0.0;
        for (const Scored& s : scored) {
            if (!have || best_error > s.error) {
                have = true;
                best_error = s.error;
                new_best = s.index;
            }
        }
        if (new_best) {
            Expr e = materialise(kept_[*new_best]);
            std::string formula = to_string(e);
            const std::uint64_t k = e.size();
            best_ = SearchResult{std::move(formula), {}, std::move(e), best_error, k};
        }
        if (goal_met()) {
            st.beam_size = beam_.size();
            st.seconds = seconds_since(t0);
            record(st);
            return false;
        }

        const std::uint64_t quarter = config_.beam_width / 4;
        const std::size_t append =
            static_cast<std::size_t>(std::min<std::uint64_t>(quarter, static_cast<std::uint64_t>(scored.size())));
        if (append > 0) {
            sort_prefix(scored, append);
            beam_.reserve(beam_.size() + append);
            for (std::size_t r = 0; r < append; ++r) {
                const Candidate c = kept_[scored[r].index];
                Entry entry{materialise(c), {}};
                (void)compose_probes(c, entry.probes);  // succeeds again: it did when c was kept
                store_predictions(entry, c);
                add_to_beam(std::move(entry));
            }
        }
        st.beam_size = beam_.size();
        st.seconds = seconds_since(t0);
        record(st);
        return true;
    }

    // Candidates of one level in generation order, fingerprinted in parallel by chunks
    // and tested against the seen-set on this thread in that order.
    void generate(std::size_t fresh_begin, std::size_t beam_len, LevelStats& st) {
        chunk_.clear();
        for (std::size_t i = fresh_begin; i < beam_len; ++i) {
            for (Operator u : unary_) chunk_.push_back({static_cast<std::uint32_t>(i), kNoOperand, u});
            if (chunk_.size() >= kChunk) flush(st);
        }
        const std::uint64_t bound = config_.max_complexity;
        auto join = [&](std::size_t i, std::size_t j) {
            const auto a = static_cast<std::uint32_t>(i), b = static_cast<std::uint32_t>(j);
            for (Operator o : binary_) {
                chunk_.push_back({a, b, o});
                if (order_sensitive(o)) chunk_.push_back({b, a, o});
            }
        };
        for (std::size_t i = fresh_begin; i < beam_len; ++i) {
            // partners j <= i with size(i) + size(j) < bound, i.e. size(j) <= t
            const std::uint64_t size_i = beam_[i].expr.size();
            if (size_i + 1 >= bound) continue;
            const std::uint64_t t = bound - 1 - size_i;
            if (t >= up_to_size_.size()) {
                for (std::size_t j = 0; j <= i; ++j) join(i, j);
            } else {
                for (std::uint32_t j : up_to_size_[t - 1]) {
                    if (j > i) break;
                    join(i, j);
                }
            }
            if (chunk_.size() >= kChunk) flush(st);
        }
        flush(st);
    }

    // Appends to the beam and to the index of entries by size.
    void add_to_beam(Entry e) {
        const std::size_t size = e.expr.size();
        const auto index = static_cast<std::uint32_t>(beam_.size());
        beam_.push_back(std::move(e));
        // New thresholds above every size so far hold every earlier entry.
        while (up_to_size_.size() < size)
            up_to_size_.push_back(up_to_size_.empty() ? std::vector<std::uint32_t>{} : up_to_size_.back());
        for (std::size_t t = size; t <= up_to_size_.size(); ++t) up_to_size_[t - 1].push_back(index);
    }

    // A candidate's probe values follow from its operands' probe values: the program
    // runs its operands' tokens (each leaving its value) and then the operator.
    bool compose_probes(const Candidate& c, ProbeBits& out) const {
        static constexpr ProbeBits kUnused{};  // a unary operator ignores its second operand
        const ProbeBits& a = beam_[c.left].probes;
        const ProbeBits& b = c.right == kNoOperand ? kUnused : beam_[c.right].probes;
        for (std::size_t k = 0; k < kProbeCount; ++k) {
            const double r = apply(c.op, std::bit_cast<double>(a[k]), std::bit_cast<double>(b[k]));
            if (!is_finite(r)) return false;
            out[k] = std::bit_cast<std::uint64_t>(r);
        }
        return true;
    }

    void flush(LevelStats& st) {
        const std::size_t n = chunk_.size();
        if (n == 0) return;
        st.generated += n;
        probes_.resize(n);
        hashes_.resize(n);
        has_fp_.resize(n);
        pool::for_blocks(n, 40.0, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                const bool ok = compose_probes(chunk_[i], probes_[i]);
                has_fp_[i] = ok;
                if (ok) hashes_[i] = hash_bits(probes_[i]);
            }
        });
        for (std::size_t i = 0; i < n; ++i) {
            if (!has_fp_[i]) continue;
            ++st.with_fingerprint;
            if (seen_.insert(probes_[i], hashes_[i])) kept_.push_back(chunk_[i]);
        }
        chunk_.clear();
    }

    void materialise_into(const Candidate& c, Expr& e) const {
        const std::vector<Token>& a = beam_[c.left].expr.tokens;
        e.tokens.assign(a.begin(), a.end());
        if (c.right != kNoOperand) {
            const std::vector<Token>& b = beam_[c.right].expr.tokens;
            e.tokens.insert(e.tokens.end(), b.begin(), b.end());
        }
        e.tokens.push_back(Token::make_op(c.op));
        e.n_vars = n_vars_;
    }

    Expr materialise(const Candidate& c) const {
        Expr e;
        std::size_t n = beam_[c.left].expr.size() + 1;
        if (c.right != kNoOperand) n += beam_[c.right].expr.size();
        e.tokens.reserve(n);
        materialise_into(c, e);
        return e;
    }

    // Penalised errors of the kept candidates, in candidate order, without those that
    // fail on the data.
    std::vector<Scored> score_kept() {
        const std::size_t n = kept_.size();
        const std::size_t rows = data_.rows;
        errors_.resize(n);
        scored_ok_.resize(n);
        const double cost = static_cast<double>(rows) * 6.0 * kTokenRowNs + 50.0;
        const std::size_t m = std::min(rows, targets_.size());
        const double n_targets = static_cast<double>(targets_.size());
        const double penalty = config_.complexity_penalty;
        pool::for_blocks(n, cost, [&](std::size_t b, std::size_t e) {
            // Scratch per block: a block is many candidates, so this costs one allocation
            // per block and needs no per-thread storage.
            Scratch s;
            s.preds.resize(kGroup * rows);
            for (std::size_t g0 = b; g0 < e; g0 += kGroup) {
                // Candidates in groups: their sums are independent chains, run side by
                // side, each still adding its rows one at a time in row order.
                const std::size_t count = std::min(kGroup, e - g0);
                double* const base = s.preds.data();
                for (std::size_t g = 0; g < count; ++g)
                    scored_ok_[g0 + g] = predict(kept_[g0 + g], s, base + g * rows);
                // a short group repeats its first candidate's predictions, unused
                const double* p0 = base;
                const double* p1 = count > 1 ? base + rows : base;
                const double* p2 = count > 2 ? base + 2 * rows : base;
                const double* p3 = count > 3 ? base + 3 * rows : base;
                double s0 = -0.0, s1 = -0.0, s2 = -0.0, s3 = -0.0;
                for (std::size_t r = 0; r < m; ++r) {
                    const double t = targets_[r];
                    const double d0 = p0[r] - t, d1 = p1[r] - t, d2 = p2[r] - t, d3 = p3[r] - t;
                    s0 = s0 + d0 * d0;
                    s1 = s1 + d1 * d1;
                    s2 = s2 + d2 * d2;
                    s3 = s3 + d3 * d3;
                }
                const double sum[kGroup] = {s0, s1, s2, s3};
                for (std::size_t g = 0; g < count; ++g) {
                    if (!scored_ok_[g0 + g]) continue;
                    const double rmse = std::sqrt(sum[g] / n_targets);
                    const double factor = static_cast<double>(tokens(kept_[g0 + g])) * penalty + 1.0;
                    errors_[g0 + g] = rmse * factor;
                }
            }
        });
        std::vector<Scored> out;
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i)
            if (scored_ok_[i]) out.push_back(Scored{errors_[i], static_cast<std::uint32_t>(i)});
        return out;
    }

    std::size_t tokens(const Candidate& c) const {
        std::size_t n = beam_[c.left].expr.size() + 1;
        if (c.right != kNoOperand) n += beam_[c.right].expr.size();
        return n;
    }

    // Predictions of a candidate on every row into out; false when some row has no
    // value. Beam entries evaluated on every row, so the program (its operands' tokens,
    // then the operator) gives on each row the operator applied to the operands' stored
    // predictions, with the same failures; without stored operands it is run in full.
    bool predict(const Candidate& c, Scratch& s, double* out) const {
        const Entry& a = beam_[c.left];
        const Entry* b = c.right == kNoOperand ? nullptr : &beam_[c.right];
        if (data_.rows == 0) return true;
        if (a.cache == Cache::Fails || (b && b->cache == Cache::Fails)) return false;
        if (a.cache == Cache::Stored && (!b || b->cache == Cache::Stored)) {
            return apply_block(c.op, preds_.data() + a.offset, b ? preds_.data() + b->offset : nullptr,
                               out, data_.rows);
        }
        materialise_into(c, s.expr);
        return eval_batch_into(s.expr, data_.columns(), {}, out, s.ws);
    }

    // Keeps the entry's predictions while the budget allows.
    bool reserve_store(Entry& e) {
        if (preds_.size() + data_.rows > budget_) return false;
        e.offset = preds_.size();
        preds_.resize(preds_.size() + data_.rows);
        return true;
    }

    void store_leaf_predictions(Entry& e) {
        Scratch& s = local_scratch_;
        s.preds.resize(data_.rows);
        if (!eval_batch_into(e.expr, data_.columns(), {}, s.preds.data(), s.ws)) {
            e.cache = Cache::Fails;
            return;
        }
        if (!reserve_store(e)) return;
        std::copy(s.preds.begin(), s.preds.end(), preds_.begin() + static_cast<std::ptrdiff_t>(e.offset));
        e.cache = Cache::Stored;
    }

    // An appended entry was scored, so it evaluates on every row.
    void store_predictions(Entry& e, const Candidate& c) {
        Scratch& s = local_scratch_;
        s.preds.resize(data_.rows);
        if (!predict(c, s, s.preds.data()) || !reserve_store(e)) return;
        std::copy(s.preds.begin(), s.preds.end(), preds_.begin() + static_cast<std::ptrdiff_t>(e.offset));
        e.cache = Cache::Stored;
    }

    static constexpr std::size_t kChunk = 1 << 15;
    static constexpr std::size_t kGroup = 4;

    Data data_;
    std::span<const double> targets_;
    std::size_t n_vars_;
    SearchConfig config_;
    SearchStats* stats_;
    std::vector<Operator> unary_, binary_;

    FingerprintSet seen_;
    std::vector<Entry> beam_;
    // up_to_size_[t - 1]: indices of the beam entries of at most t tokens, increasing, for
    // t up to the largest entry (every entry is at most that large).
    std::vector<std::vector<std::uint32_t>> up_to_size_;
    std::optional<SearchResult> best_;
    std::vector<double> preds_;  // stored predictions of beam entries
    std::size_t budget_ = g_prediction_budget;
    Scratch local_scratch_;

    // level state, reused between levels
    std::vector<Candidate> chunk_;
    std::vector<ProbeBits> probes_;
    std::vector<std::uint64_t> hashes_;
    std::vector<std::uint8_t> has_fp_;
    std::vector<Candidate> kept_;
    std::vector<double> errors_;
    std::vector<std::uint8_t> scored_ok_;
};

}  // namespace

namespace detail {
void set_prediction_budget(std::size_t values) { g_prediction_budget = values; }
std::size_t prediction_budget() { return g_prediction_budget; }
}  // namespace detail

std::optional<SearchResult> search(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                   const SearchConfig& config, SearchStats* stats) {
    const auto t0 = Clock::now();
    if (stats) *stats = SearchStats{};
    Searcher searcher(columns, targets, n_vars, config, stats);
    std::optional<SearchResult> best = searcher.run();
    if (stats) stats->seconds = seconds_since(t0);
    return best;
}

std::optional<SearchResult> search(const std::vector<std::vector<double>>& columns, std::span<const double> targets,
                                   std::size_t n_vars, const SearchConfig& config, SearchStats* stats) {
    std::vector<std::span<const double>> spans(columns.begin(), columns.end());
    return search(Columns(spans), targets, n_vars, config, stats);
}

}  // namespace zan::discover
