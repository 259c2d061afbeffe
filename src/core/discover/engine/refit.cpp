#include "core/discover/engine/refit.hpp"

#include "core/discover/engine/lm.hpp"

namespace zan::discover::engine {

Fitted refit(const Expr& program, std::span<const double> start, DataSource& source) {
    Fitted out;
    out.program = program;
    ProgramProblem problem(out.program, source, start.size());
    LmResult r = levenberg_marquardt(problem, start);
    out.params = r.theta;
    out.cost = r.cost;
    out.ok = r.ok;
    return out;
}

Fitted measure(const Expr& program, std::span<const double> params, DataSource& source) {
    if (!params.empty()) return refit(program, params, source);
    Fitted out;
    out.program = program;
    const NormalEquations ne = source.normal(program, {});
    out.cost = ne.cost;
    out.ok = ne.ok;
    return out;
}

}  // namespace zan::discover::engine
