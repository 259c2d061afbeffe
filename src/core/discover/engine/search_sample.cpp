#include "core/discover/engine/search_sample.hpp"

namespace zan::discover::engine {

SearchSample::SearchSample(Columns columns, std::span<const double> target)
    : rows_(target.size()), vars_(columns.size()) {
    for (std::size_t c = 0; c < vars_; ++c) columns_.emplace_back(columns[c].begin(), columns[c].begin() + rows_);
    y_.assign(target.begin(), target.end());
    const Moments m = Moments::of(y_.data(), y_.data(), rows_);
    y_mean_ = m.mean_y;
    syy_ = m.m2_y;
    for (double v : y_) centred_.push_back(v - y_mean_);
}

Moments SearchSample::moments(const double* f) const noexcept {
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
