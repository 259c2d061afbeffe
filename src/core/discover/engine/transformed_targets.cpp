#include "core/discover/engine/transformed_targets.hpp"

#include <algorithm>
#include <cmath>

#include "core/discover/engine/operator_use.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {
namespace {

// g = t(y) where valid(y) on every row; y = inverse(g)
struct Transform {
    bool (*valid)(double y);
    double (*apply)(double y);
    Operator inverse;
};

const Transform kTransforms[] = {
    {[](double y) { return y > 0.0; }, [](double y) { return std::log(y); }, Operator::Exp},
    {[](double y) { return y >= 0.0; }, [](double y) { return y * y; }, Operator::Sqrt},
    {[](double y) { return std::fabs(y) > 1e-150; }, [](double y) { return 1.0 / y; }, Operator::Inv},
};

}  // namespace

std::vector<Finalist> transformed_finalists(const RowCopy& search, const LevelSearch& plain, const EngineConfig& config,
                                            const Control& control, std::chrono::steady_clock::time_point start) {
    std::vector<Finalist> out;
    Control quiet;
    quiet.should_stop = control.should_stop;
    struct Tried {
        const Transform* transform;
        std::vector<double> target;
        double nearest;
    };
    std::vector<Tried> tries;
    for (const Transform& t : kTransforms) {
        if (!function_allowed(config.operators, t.inverse)) continue;  // its formulas could not be offered
        if (!std::all_of(search.target.begin(), search.target.end(), t.valid)) continue;
        std::vector<double> target(search.target.size());
        std::transform(search.target.begin(), search.target.end(), target.begin(), t.apply);
        if (!std::all_of(target.begin(), target.end(), [](double v) { return std::isfinite(v); })) continue;
        const double nearest = plain.nearest(target);
        tries.push_back({&t, std::move(target), nearest});
    }
    std::stable_sort(tries.begin(), tries.end(), [](const Tried& a, const Tried& b) { return a.nearest < b.nearest; });
    for (Tried& tried : tries) {
        const Transform& t = *tried.transform;
        const std::vector<double>& target = tried.target;
        EngineConfig shallow = config;
        shallow.search_size = std::min<std::size_t>(config.search_size, kTransformedSearchSize);
        shallow.fit_ratios = false;
        LevelSearch state(search.view(), target, search.weights, shallow, quiet, start);
        std::vector<LevelReport> levels;
        state.run(levels);
        for (Finalist& f : finalists(state, search.columns.size())) {
            f.program.tokens.push_back(Token::make_op(t.inverse));
            out.push_back(std::move(f));
        }
        if (state.interrupted() || state.best_nmse() <= kExactNmse) break;
    }
    return out;
}

}  // namespace zan::discover::engine
