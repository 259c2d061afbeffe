// A candidate of a level: how it is made from kept nodes, its values on the sample, and
// the node it becomes when kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/discover/engine/config.hpp"
#include "core/discover/engine/linear_fit.hpp"
#include "core/discover/engine/node_store.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/operators.hpp"

namespace zan::discover::engine {

// How a candidate is made from kept nodes: an operator over one or two of them, or a
// unary operator over a node with a fitted constant (c·e, e + c, c − e) inside.
// u(e + 1) and u(1 − e) are the fixed-constant forms physics is full of (ln(1 + x),
// √(1 − v²/c²), 1/(1 + x)): exact without any fitting.
enum class Make : std::uint8_t { Unary, Binary, Scale, Shift, Reflect, AddOne, OneMinus };

struct Candidate {
    std::uint32_t left = kNone, right = kNone;
    Operator op = Operator::Add;
    Make make = Make::Unary;
};

// A candidate's score on the sample.
struct Scored {
    LinearFit fit;
    double constant = 0.0;                             // the fitted inner constant of Scale/Shift/Reflect
    std::array<float, kMaxResidualModels> residual_fit{};  // r² against each residual model
    bool ok = false;
};

// Whether a candidate carries a fitted inner constant (and so costs a grid and an LM fit).
[[nodiscard]] inline bool has_inner_constant(const Candidate& c) noexcept {
    return c.make == Make::Scale || c.make == Make::Shift || c.make == Make::Reflect;
}

// Whether the candidate is a product of variables (its node's `monomial`).
[[nodiscard]] bool makes_monomial(const NodeStore& store, const Candidate& c) noexcept;

// The variables the candidate uses, as a bit mask.
[[nodiscard]] inline std::uint32_t vars_of(const NodeStore& store, const Candidate& c) noexcept {
    return store[c.left].vars | (c.right != kNone ? store[c.right].vars : 0u);
}

// Values of a candidate on the sample into out (the store's rows); false when some row
// has none. `constant` is the inner constant of Scale/Shift/Reflect.
bool compose(const NodeStore& store, const Candidate& c, double constant, double* out);

// The node a kept candidate becomes.
[[nodiscard]] Node materialise(const NodeStore& store, const Candidate& c, double constant, const LinearFit& fit);

}  // namespace zan::discover::engine
