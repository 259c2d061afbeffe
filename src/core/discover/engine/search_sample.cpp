#include "core/discover/engine/search_sample.hpp"

#include <cmath>

namespace zan::discover::engine {

SearchSample::SearchSample(Columns columns, std::span<const double> target, std::span<const double> weights)
    : rows_(target.size()), vars_(columns.size()) {
    for (std::size_t c = 0; c < vars_; ++c) columns_.emplace_back(columns[c].begin(), columns[c].begin() + rows_);
    y_.assign(target.begin(), target.end());
    if (weights.empty()) {
        const Moments m = Moments::of(y_.data(), y_.data(), rows_);
        y_mean_ = m.mean_y;
        syy_ = m.m2_y;
        for (double v : y_) centred_.push_back(v - y_mean_);
        return;
    }
    w_.assign(weights.begin(), weights.end());
    for (double w : w_) root_w_.push_back(std::sqrt(w));
    const Moments m = Moments::of_weighted(y_.data(), y_.data(), w_.data(), rows_);
    y_mean_ = m.mean_y;
    syy_ = m.m2_y;
    for (std::size_t i = 0; i < rows_; ++i) centred_.push_back(w_[i] * (y_[i] - y_mean_));
}

LinearFit SearchSample::fit(const Moments& m, const double* f) const noexcept {
    if (w_.empty()) return fit_column(m, f, y_.data(), rows_, syy_);
    LinearFit fit = linear_fit(m);
    if (fit.nmse < kRecomputeNmse && syy_ > 0.0) fit.nmse = residual_sse(f, y_.data(), w_.data(), rows_, fit.a, fit.b) / syy_;
    return fit;
}

Moments SearchSample::weighted_moments(const double* f) const noexcept {
    Moments m;
    m.mean_y = y_mean_;
    m.m2_y = syy_;
    double sw = 0.0, sf = 0.0;
    for (std::size_t i = 0; i < rows_; ++i) {
        sw += w_[i];
        sf += w_[i] * f[i];
    }
    m.n = sw;
    m.mean_f = sf / sw;
    for (std::size_t i = 0; i < rows_; ++i) {
        const double d = f[i] - m.mean_f;
        m.m2_f += w_[i] * d * d;
        m.c_fy += d * centred_[i];
    }
    return m;
}

Moments SearchSample::moments(const double* f) const noexcept {
    if (!w_.empty()) return weighted_moments(f);
    // Moments::of's two passes, with four running sums per quantity: this is every
    // candidate's scoring
    const std::size_t n = rows_;
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
    const double* yc = centred_.data();
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

}  // namespace zan::discover::engine
