#include "core/discover/engine/front.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/engine/noise_level.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {

double loss_floor(double target_variance, double magnitude) {
    const double rounding = kTargetRounding * magnitude;
    return std::max(kLossFloor * target_variance, std::isfinite(rounding * rounding) ? rounding * rounding : 0.0);
}

std::vector<Formula> build_front(std::vector<Formula> formulas, double target_variance, double magnitude) {
    const double floor = loss_floor(target_variance, magnitude);
    auto floored = [&](const Formula& f) { return std::max(f.loss, floor); };
    std::stable_sort(formulas.begin(), formulas.end(), [&](const Formula& a, const Formula& b) {
        if (a.complexity != b.complexity) return a.complexity < b.complexity;
        return a.loss < b.loss;
    });
    std::vector<Formula> front;
    for (Formula& f : formulas) {
        if (!std::isfinite(f.loss)) continue;
        if (!front.empty() && !(floored(f) < floored(front.back()) * (1.0 - kLossTie))) continue;
        if (!front.empty() && f.complexity == front.back().complexity) continue;
        if (front.empty()) {
            // against the best constant (one token, the target's variance): the simplest
            // formula's own drop, so that it can be chosen when it is near the best loss
            const double baseline = std::max(target_variance, floor);
            f.score = f.complexity > 1 && floored(f) < baseline
                          ? -(std::log(floored(f)) - std::log(baseline)) / static_cast<double>(f.complexity - 1)
                          : 0.0;
        } else {
            const Formula& prev = front.back();
            f.score = -(std::log(floored(f)) - std::log(floored(prev))) /
                      static_cast<double>(f.complexity - prev.complexity);
        }
        front.push_back(std::move(f));
    }
    return front;
}

std::size_t choose(const std::vector<Formula>& front, Selection selection, double target_variance,
                   std::size_t max_constants, std::size_t rows, double noise, double magnitude) {
    if (front.empty()) return 0;
    // Formulas with more constants than the rows can pin down are on the front but are
    // chosen only when no other is.
    std::size_t fewest = static_cast<std::size_t>(-1);
    for (const Formula& f : front) fewest = std::min(fewest, fitted_constants(f));
    const std::size_t allowed = std::max(max_constants, fewest);
    std::vector<char> eligible(front.size(), 0);
    for (std::size_t i = 0; i < front.size(); ++i) eligible[i] = fitted_constants(front[i]) <= allowed;
    std::size_t last = front.size() - 1;
    while (!eligible[last]) --last;
    if (selection == Selection::Accuracy) return last;
    const double floor = loss_floor(target_variance, magnitude);
    const double min_loss = std::max(front[last].loss, floor);
    // "Near the minimum": within 1.5x, widened by twice the relative spread of a mean
    // squared error over `rows` rows (√(2/n)): on few rows, losses differ by chance.
    const double near = 1.5 + 2.0 * std::sqrt(2.0 / static_cast<double>(std::max<std::size_t>(rows, 1)));
    double limit = near * min_loss;
    // A front whose lowest loss is within the data's own estimate of the noise has measured
    // the noise itself: a formula that leaves clearly more than that misses part of a law the
    // data show, however much simpler it is.
    if (noise >= 0.0 && min_loss <= noise)
        limit = std::min(limit, noise_level(noise, min_loss, static_cast<double>(rows)));
    std::size_t best = last;
    double best_score = -1.0;
    for (std::size_t i = 0; i < front.size(); ++i) {
        if (!eligible[i] || std::max(front[i].loss, floor) > limit) continue;
        if (front[i].score > best_score) {
            best_score = front[i].score;
            best = i;
        }
    }
    return best;
}

std::size_t fitted_constants(const Formula& f) {
    // snapped constants count too: each was chosen to fit (the 1 of 1 − x was not)
    return static_cast<std::size_t>(std::count_if(f.program.tokens.begin(), f.program.tokens.end(), [](const Token& t) {
        return t.kind == Token::Kind::Param || (t.kind == Token::Kind::Const && t.value != 1.0);
    }));
}

}  // namespace zan::discover::engine
