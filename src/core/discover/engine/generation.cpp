#include "core/discover/engine/generation.hpp"

#include <algorithm>
#include <span>

#include "core/discover/engine/operator_use.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {

AllowedOperators allowed_operators(const EngineConfig& config) {
    return {search_operators(config.operators, 1), search_operators(config.operators, 2)};
}

std::vector<Candidate> generate_candidates(const NodeStore& store, const AllowedOperators& operators,
                                           const EngineConfig& config, std::size_t size) {
    std::vector<Candidate> out;
    for (std::uint32_t i : store.of_size(size - 1))
        for (Operator op : operators.unary) out.push_back({i, kNone, op, Make::Unary});
    // binary joins of the join sets; add and mul once per unordered pair
    for (std::size_t sl = 1; sl + 2 <= size; ++sl) {
        const std::size_t sr = size - 1 - sl;
        const std::span<const std::uint32_t> all_left = store.join_order(sl);
        const std::span<const std::uint32_t> all_right = store.join_order(sr);
        // Every pair while they are few; past the budget a small side still meets the whole
        // of the other, and two large sides meet by their best.
        std::size_t nl = all_left.size(), nr = all_right.size();
        if (nl * nr > kPairBudget) {
            const std::size_t small = std::min(nl, nr);
            if (small <= kSmallSide) {
                (nl == small ? nr : nl) = std::max(config.join_per_size, kPairBudget / small);
            } else {
                nl = std::min(nl, config.join_per_size);
                nr = std::min(nr, config.join_per_size);
            }
        }
        const std::span<const std::uint32_t> left = all_left.first(std::min(nl, all_left.size()));
        const std::span<const std::uint32_t> right = all_right.first(std::min(nr, all_right.size()));
        for (std::uint32_t l : left) {
            for (std::uint32_t r : right) {
                if (store[l].params.size() + store[r].params.size() > config.max_inner_constants) continue;
                for (Operator op : operators.binary) {
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
        for (std::uint32_t i : store.of_size(size - 3))
            for (Operator op : {Operator::Ln, Operator::Sqrt, Operator::Inv}) {
                if (!function_allowed(config.operators, op)) continue;
                out.push_back({i, kNone, op, Make::AddOne});
                out.push_back({i, kNone, op, Make::OneMinus});
            }
    }
    // inner constants, as the operator's row says: u(c·e) (exp, sin, cos), u(e + c) and
    // u(c − e) (ln, sqrt, inv), u(e + c) (square)
    if (size >= 4 && size - 3 <= config.max_constant_block) {
        // over the blocks in join order (the joiners, then the rest, each best first), at
        // most a beam of them: every distinct small block is kept, and an LM fit for each
        // of those would cost more than all the rest of the level
        const std::span<const std::uint32_t> blocks = store.join_order(size - 3);
        for (std::uint32_t i : blocks.first(std::min(blocks.size(), config.beam_per_size))) {
            if (store[i].params.size() >= config.max_inner_constants) continue;
            for (Operator op : operators.unary) {
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

}  // namespace zan::discover::engine
