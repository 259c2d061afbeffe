// Closed-form linear scaling: the best a·f + b for a target y, and its normalised error.
// Candidates are scored this way, so no tokens are spent on scale and offset.
#pragma once

#include <cmath>
#include <cstddef>

namespace zan::discover::engine {

// Centred sufficient statistics of (f, y) pairs. They merge exactly as the pairs they
// describe would (pairwise update of means and centred sums), so partial statistics of
// row chunks or data partitions combine in a fixed order into the statistics of all rows.
struct Moments {
    double n = 0.0;
    double mean_f = 0.0, mean_y = 0.0;
    double m2_f = 0.0, m2_y = 0.0, c_fy = 0.0;

    // Two passes over one chunk: means first, then centred sums.
    [[nodiscard]] static Moments of(const double* f, const double* y, std::size_t n) noexcept {
        Moments m;
        if (n == 0) return m;
        double sf = 0.0, sy = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            sf += f[i];
            sy += y[i];
        }
        m.n = static_cast<double>(n);
        m.mean_f = sf / m.n;
        m.mean_y = sy / m.n;
        for (std::size_t i = 0; i < n; ++i) {
            const double df = f[i] - m.mean_f, dy = y[i] - m.mean_y;
            m.m2_f += df * df;
            m.m2_y += dy * dy;
            m.c_fy += df * dy;
        }
        return m;
    }

    // The weighted statistics: n is Σw, the means and centred sums are weighted by w. The
    // fit they give is weighted least squares.
    [[nodiscard]] static Moments of_weighted(const double* f, const double* y, const double* w,
                                             std::size_t n) noexcept {
        Moments m;
        double sw = 0.0, sf = 0.0, sy = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            sw += w[i];
            sf += w[i] * f[i];
            sy += w[i] * y[i];
        }
        if (!(sw > 0.0)) return m;
        m.n = sw;
        m.mean_f = sf / sw;
        m.mean_y = sy / sw;
        for (std::size_t i = 0; i < n; ++i) {
            const double df = f[i] - m.mean_f, dy = y[i] - m.mean_y;
            m.m2_f += w[i] * df * df;
            m.m2_y += w[i] * dy * dy;
            m.c_fy += w[i] * df * dy;
        }
        return m;
    }

    void merge(const Moments& o) noexcept {
        if (o.n == 0.0) return;
        if (n == 0.0) {
            *this = o;
            return;
        }
        const double total = n + o.n;
        const double df = o.mean_f - mean_f, dy = o.mean_y - mean_y;
        const double w = n * o.n / total;
        m2_f += o.m2_f + df * df * w;
        m2_y += o.m2_y + dy * dy * w;
        c_fy += o.c_fy + df * dy * w;
        mean_f += df * (o.n / total);
        mean_y += dy * (o.n / total);
        n = total;
    }
};

struct LinearFit {
    double a = 0.0, b = 0.0;
    double nmse = 1.0;  // SSE / Σ(y − ȳ)²; 1 for a constant f
};

// a and b from the statistics. The NMSE from them loses all precision once it falls
// below ~1e-10 (it is 1 − r², a difference of nearly equal numbers): callers that need
// it there recompute the SSE from residuals.
[[nodiscard]] inline LinearFit linear_fit(const Moments& m) noexcept {
    LinearFit fit;
    fit.b = m.mean_y;
    if (!(m.m2_f > 0.0) || !(m.m2_y > 0.0) || !std::isfinite(m.m2_f)) return fit;
    // a constant f up to rounding: its spread is nothing next to its size
    if (m.m2_f <= 1e-24 * m.n * m.mean_f * m.mean_f) return fit;
    fit.a = m.c_fy / m.m2_f;
    fit.b = m.mean_y - fit.a * m.mean_f;
    const double r2 = (m.c_fy / m.m2_f) * (m.c_fy / m.m2_y);
    fit.nmse = std::fmax(0.0, 1.0 - r2);
    return fit;
}

// Σ(y − a·f − b)², one pass in row order.
[[nodiscard]] inline double residual_sse(const double* f, const double* y, std::size_t n, double a,
                                         double b) noexcept {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = y[i] - (a * f[i] + b);
        s += r * r;
    }
    return s;
}

// Σw·(y − a·f − b)², one pass in row order.
[[nodiscard]] inline double residual_sse(const double* f, const double* y, const double* w, std::size_t n, double a,
                                         double b) noexcept {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = y[i] - (a * f[i] + b);
        s += w[i] * r * r;
    }
    return s;
}

// Below this the NMSE from moments is rounding noise and is recomputed from residuals.
inline constexpr double kRecomputeNmse = 1e-8;

// The linear fit of f to y on n rows, from their moments m, with the NMSE exact to
// rounding at every size.
[[nodiscard]] inline LinearFit fit_column(const Moments& m, const double* f, const double* y, std::size_t n,
                                          double syy) noexcept {
    LinearFit fit = linear_fit(m);
    if (fit.nmse < kRecomputeNmse && syy > 0.0) fit.nmse = residual_sse(f, y, n, fit.a, fit.b) / syy;
    return fit;
}

[[nodiscard]] inline LinearFit fit_column(const double* f, const double* y, std::size_t n, double syy) noexcept {
    return fit_column(Moments::of(f, y, n), f, y, n, syy);
}

}  // namespace zan::discover::engine
