#include "core/discover/engine/inner_constant.hpp"

#include <cmath>
#include <span>

#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/tuning.hpp"

namespace zan::discover::engine {
namespace {

// model a·u(z(c)) + b; z = c·e, e + c or c − e
class InnerConstantProblem final : public LmProblem {
public:
    InnerConstantProblem(const NodeStore& store, const SearchSample& sample, const Candidate& c, double* scratch)
        : store_(store), sample_(sample), cand_(c), buf_(scratch) {}
    [[nodiscard]] std::size_t params() const override { return 3; }
    NormalEquations normal(std::span<const double> theta) override;

private:
    const NodeStore& store_;
    const SearchSample& sample_;
    const Candidate& cand_;
    double* buf_;
};

NormalEquations InnerConstantProblem::normal(std::span<const double> theta) {
    NormalEquations ne;
    ne.params = 3;
    const double c = theta[0], a = theta[1], b = theta[2];
    const std::size_t n = sample_.rows();
    const double* e = store_.values(cand_.left);
    const double* y = sample_.y();
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
    double s00 = 0.0, s01 = 0.0, s02 = 0.0, s11 = 0.0, s12 = 0.0, s22 = 0.0, r0 = 0.0, r1 = 0.0, r2 = 0.0;
    // JᵀWJ and JᵀWr, each row's residual and Jacobian row counted w times; a weight of exactly 1
    // leaves every product as it is, so the unweighted sums are the plain ones, bit for bit
    const double* w = sample_.weights();
    auto accumulate = [&]<bool kWeighted>() {
        for (std::size_t i = 0; i < n; ++i) {
            const double wi = kWeighted ? w[i] : 1.0;
            const double j0 = a * df[i];
            const double r = a * f[i] + b - y[i];
            const double wr = wi * r, wj0 = wi * j0, wf = wi * f[i];
            ne.cost += wr * r;
            r0 += j0 * wr;
            r1 += f[i] * wr;
            r2 += wr;
            s00 += wj0 * j0;
            s01 += wj0 * f[i];
            s02 += wj0;
            s11 += wf * f[i];
            s12 += wf;
            s22 += wi;
        }
    };
    if (w != nullptr) accumulate.operator()<true>();
    else accumulate.operator()<false>();
    const double sums[3][3] = {{s00, s01, s02}, {s01, s11, s12}, {s02, s12, s22}};
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) ne.jtj[p * kMaxLmParams + q] = sums[p][q];
    ne.jtr[0] = r0;
    ne.jtr[1] = r1;
    ne.jtr[2] = r2;
    ne.ok = std::isfinite(ne.cost) && std::isfinite(ne.jtj[0]);
    return ne;
}

}  // namespace

bool fit_inner_constant(const NodeStore& store, const SearchSample& sample, const Candidate& c, double* buf,
                        double* scratch, double& constant, LinearFit& fit) {
    const std::span<const double> grid =
        c.make == Make::Scale ? std::span<const double>(kScaleGrid) : std::span<const double>(kShiftGrid);
    bool any = false;
    for (double g : grid) {
        if (!compose(store, c, g, buf)) continue;
        LinearFit f = sample.fit(sample.moments(buf), buf);
        if (!any || f.nmse < fit.nmse) {
            fit = f;
            constant = g;
            any = true;
        }
    }
    if (!any || fit.a == 0.0) return any;
    InnerConstantProblem problem(store, sample, c, scratch);
    const double start[3] = {constant, fit.a, fit.b};
    LmOptions options;
    options.max_iterations = kScreeningIterations;
    options.relative_cost_tolerance = kScreeningTolerance;
    LmResult r = levenberg_marquardt(problem, start, options);
    if (r.ok && compose(store, c, r.theta[0], buf)) {
        LinearFit f = sample.fit(sample.moments(buf), buf);
        if (f.nmse < fit.nmse) {
            fit = f;
            constant = r.theta[0];
        }
    }
    return compose(store, c, constant, buf);
}

}  // namespace zan::discover::engine
