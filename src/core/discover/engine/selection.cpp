#include "core/discover/engine/selection.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "core/discover/engine/affine_print.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/engine/var_set_counts.hpp"
#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {

using Keyed = std::pair<double, std::uint32_t>;  // (error, candidate)

// Sorts v in pieces on the pool, then merges them: the keys are distinct (positions), so
// the result is the one order whatever the pieces.
void sort_on_pool(std::vector<Keyed>& v) {
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

// What a level's selection looks at, shared by its steps.
struct Level {
    const NodeStore& store;
    const SearchSample& sample;
    const EngineConfig& config;
    const std::vector<Candidate>& cands;
    const std::vector<Scored>& scored;
    std::size_t size;
    bool small;  // every distinct candidate is kept

    [[nodiscard]] std::uint32_t vars(std::uint32_t i) const noexcept { return vars_of(store, cands[i]); }
    [[nodiscard]] bool monomial(std::uint32_t i) const noexcept {
        return size <= kMonomialSize && makes_monomial(store, cands[i]);
    }
};

// The candidates ranked by a total order (error, then position), so ties never depend on
// sorting. Only what the quotas can reach is ordered: the best kSortedHead, and beyond
// them the best few of each set of variables and every monomial. That is a sorted part
// of the whole order; sorting the whole would cost more than the rest of the choice.
std::vector<std::uint32_t> rank(const Level& lv) {
    std::vector<Keyed> keyed;
    for (std::size_t i = 0; i < lv.cands.size(); ++i)
        if (lv.scored[i].ok) keyed.emplace_back(lv.scored[i].fit.nmse, static_cast<std::uint32_t>(i));
    std::vector<Keyed> beyond;
    if (!lv.small && keyed.size() > kSortedHead) {
        const auto cut = keyed.begin() + static_cast<std::ptrdiff_t>(kSortedHead);
        std::nth_element(keyed.begin(), cut, keyed.end());
        const std::size_t wanted = kBeyondPerVariableSet * lv.config.per_variable_set;
        // per set of variables its best `wanted`, unsorted, with the worst of them at hand:
        // most candidates are turned away by one comparison
        struct Best {
            std::vector<Keyed> list;
            std::size_t worst = 0;
        };
        VarSetCounts slot_of(lv.sample.vars());
        std::vector<Best> best;
        for (auto it = cut; it != keyed.end(); ++it) {
            if (lv.monomial(it->second)) {
                beyond.push_back(*it);
                continue;
            }
            std::size_t& slot = slot_of[lv.vars(it->second)];
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
    return order;
}

// The heads of the rankings by fit to each residual model (then position), one model a
// thread.
std::vector<std::vector<std::uint32_t>> residual_heads(const Level& lv, std::size_t models) {
    std::size_t scored_ok = 0;
    for (const Scored& sc : lv.scored) scored_ok += sc.ok;
    const std::size_t head = std::min(scored_ok, lv.config.per_residual * kResidualHeadDepth);
    std::vector<std::vector<std::uint32_t>> heads(models);
    pool::for_blocks(models, static_cast<double>(scored_ok) * kSortRowNs, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            std::vector<std::pair<float, std::uint32_t>> ranked;
            ranked.reserve(scored_ok);
            for (std::uint32_t i = 0; i < lv.cands.size(); ++i)
                if (lv.scored[i].ok) ranked.emplace_back(-lv.scored[i].residual_fit[k], i);
            std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(head), ranked.end());
            for (std::size_t j = 0; j < head; ++j) heads[k].push_back(ranked[j].second);
        }
    });
    return heads;
}

// Value prints of the candidates, made only for those the quotas look at.
class Prints {
public:
    explicit Prints(const Level& lv) : lv_(lv), state_(lv.cands.size(), kUnprinted), prints_(lv.cands.size(), 0) {}

    // Candidate i's print from its values (scratch of the sample's rows); false without values.
    bool make(std::uint32_t i, double* values) {
        if (!compose(lv_.store, lv_.cands[i], lv_.scored[i].constant, values)) {
            state_[i] = kNoValue;
            return false;
        }
        prints_[i] = affine_print(values, lv_.sample.rows(), lv_.sample.moments(values));
        state_[i] = kPrinted;
        return true;
    }
    // Those the quotas will most likely look at are printed first, in parallel; the
    // choices stay sequential and in order.
    void make_ahead(const std::vector<std::uint32_t>& ahead) {
        const std::size_t n = lv_.sample.rows();
        pool::for_blocks(ahead.size(), static_cast<double>(n) * kCandidateRowNs * kScoringPasses, [&](std::size_t b, std::size_t e) {
            std::vector<double> values(n);
            for (std::size_t k = b; k < e; ++k) make(ahead[k], values.data());
        });
    }
    // The print, made now if need be; false when the candidate has no values.
    bool get(std::uint32_t i, double* scratch, std::uint64_t& print) {
        if (state_[i] == kNoValue || (state_[i] == kUnprinted && !make(i, scratch))) return false;
        print = prints_[i];
        return true;
    }
    [[nodiscard]] std::uint64_t operator[](std::uint32_t i) const noexcept { return prints_[i]; }

private:
    enum : std::uint8_t { kUnprinted, kPrinted, kNoValue };
    const Level& lv_;
    std::vector<std::uint8_t> state_;
    std::vector<std::uint64_t> prints_;
};

// The candidates the quotas will most likely look at, each once.
std::vector<std::uint32_t> likely_looked_at(const Level& lv, const std::vector<std::uint32_t>& order,
                                            const std::vector<std::vector<std::uint32_t>>& heads) {
    std::vector<std::uint32_t> ahead;
    std::vector<char> listed(lv.cands.size(), 0);
    auto list = [&](std::uint32_t i) {
        if (!listed[i]) ahead.push_back(i), listed[i] = 1;
    };
    for (std::size_t k = 0; k < order.size() && (lv.small || k < kPrintAhead * lv.config.beam_per_size); ++k) list(order[k]);
    VarSetCounts listed_vars(lv.sample.vars());
    for (std::uint32_t i : order) {
        std::size_t& count = listed_vars[lv.vars(i)];
        if (count < kPrintAhead * lv.config.per_variable_set) ++count, list(i);
    }
    for (const std::vector<std::uint32_t>& ranked : heads)
        for (std::uint32_t i : ranked) list(i);
    for (std::uint32_t i : order)
        if (lv.monomial(i)) list(i);
    return ahead;
}

// The choice itself: a candidate is taken when new (neither an earlier level nor an
// already taken candidate of this level has its print), and marked as a joiner if asked.
class Choice {
public:
    Choice(const Level& lv, Prints& prints)
        : lv_(lv), prints_(prints), buf_(lv.sample.rows()), keep_(lv.cands.size(), 0), join_(lv.cands.size(), 0),
          dup_(lv.cands.size(), 0) {}

    bool take(std::uint32_t i, bool joined) {
        if (keep_[i]) {
            if (joined) join_[i] = 1;
            return true;
        }
        std::uint64_t p = 0;
        if (dup_[i] || !prints_.get(i, buf_.data(), p)) return false;
        if (lv_.store.seen(p) || !taken_prints_.insert(p).second) {
            dup_[i] = 1;
            return false;
        }
        keep_[i] = 1;
        join_[i] = joined;
        ++kept_;
        return true;
    }
    [[nodiscard]] bool kept(std::uint32_t i) const noexcept { return keep_[i] != 0; }
    [[nodiscard]] bool joined(std::uint32_t i) const noexcept { return join_[i] != 0; }
    [[nodiscard]] std::size_t count() const noexcept { return kept_; }

private:
    const Level& lv_;
    Prints& prints_;
    std::vector<double> buf_;
    std::unordered_set<std::uint64_t> taken_prints_;
    std::vector<char> keep_, join_, dup_;
    std::size_t kept_ = 0;
};

void take_by_quotas(const Level& lv, const std::vector<std::uint32_t>& order,
                    const std::vector<std::vector<std::uint32_t>>& heads, Choice& choice) {
    const EngineConfig& config = lv.config;
    // the best, with at most a share of the beam per set of variables
    std::size_t taken = 0;
    VarSetCounts beam_vars(lv.sample.vars());
    const std::size_t per_vars_cap =
        lv.sample.vars() > 1 ? std::max<std::size_t>(1, config.beam_per_size / kBeamShares) : config.beam_per_size;
    for (std::uint32_t i : order) {
        if (!lv.small && taken >= config.beam_per_size) break;
        std::size_t& count = beam_vars[lv.vars(i)];
        if (!lv.small && count >= per_vars_cap) continue;
        if (choice.take(i, taken < config.join_per_size)) {
            ++taken;
            ++count;
        }
    }
    // the best few per set of variables used
    VarSetCounts per_vars(lv.sample.vars());
    for (std::uint32_t i : order) {
        std::size_t& count = per_vars[lv.vars(i)];
        if (count < config.per_variable_set && choice.take(i, count < kJoinPerVariableSet)) ++count;
    }
    // the best few per residual model
    for (const std::vector<std::uint32_t>& ranked : heads) {
        std::size_t got = 0;
        for (std::size_t j = 0; j < ranked.size() && got < config.per_residual; ++j)
            if (choice.take(ranked[j], got < config.per_residual / 2)) ++got;
    }
    // every new small monomial: a polynomial's sum needs every power
    for (std::uint32_t i : order)
        if (lv.monomial(i)) choice.take(i, false);
}

// Materialises the taken candidates in candidate order, so that the node layout is fixed
// by the candidates alone; then the join order of this size: the chosen joiners, then
// every other kept node, each part best first.
void keep_taken(NodeStore& store, const Level& lv, const std::vector<std::uint32_t>& order, const Choice& choice,
                const Prints& prints) {
    const std::size_t n = lv.sample.rows();
    std::vector<std::uint32_t> node_of(lv.cands.size(), kNone), chosen;
    for (std::uint32_t i = 0; i < lv.cands.size(); ++i)
        if (choice.kept(i)) chosen.push_back(i);
    std::vector<double> values(chosen.size() * n);
    std::vector<char> valued(chosen.size(), 0);
    pool::for_blocks(chosen.size(), static_cast<double>(n) * kCandidateRowNs, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k)
            valued[k] = compose(store, lv.cands[chosen[k]], lv.scored[chosen[k]].constant, values.data() + k * n);
    });
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        if (!valued[k]) continue;
        const std::uint32_t i = chosen[k];
        store.mark_seen(prints[i]);
        node_of[i] = store.add(materialise(store, lv.cands[i], lv.scored[i].constant, lv.scored[i].fit),
                               values.data() + k * n);
    }
    for (int pass = 0; pass < 2; ++pass)
        for (std::uint32_t i : order)
            if (node_of[i] != kNone && choice.joined(i) == (pass == 0)) store.append_to_join_order(lv.size, node_of[i]);
}

}  // namespace

std::size_t select_level(NodeStore& store, const SearchSample& sample, const ResidualModels& residuals,
                         const EngineConfig& config, const std::vector<Candidate>& cands,
                         const std::vector<Scored>& scored, std::size_t size) {
    const Level lv{store, sample, config, cands, scored, size, size <= config.small_size};
    const std::vector<std::uint32_t> order = rank(lv);
    const std::vector<std::vector<std::uint32_t>> heads = residual_heads(lv, residuals.size());
    Prints prints(lv);
    prints.make_ahead(likely_looked_at(lv, order, heads));
    Choice choice(lv, prints);
    take_by_quotas(lv, order, heads, choice);
    keep_taken(store, lv, order, choice, prints);
    return choice.count();
}

}  // namespace zan::discover::engine

