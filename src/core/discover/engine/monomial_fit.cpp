#include "core/discover/engine/monomial_fit.hpp"

#include <cmath>

#include "core/discover/engine/column_fit.hpp"

namespace zan::discover::engine {

LogColumns::LogColumns(const SearchSample& sample) {
    if (sample.vars() + 1 > kMaxFitColumns) return;
    const std::size_t n = sample.rows();
    logs_.resize(sample.vars());
    for (std::size_t v = 0; v < sample.vars(); ++v) {
        const std::vector<double>& c = sample.column(v);
        logs_[v].resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (!(c[i] > 0.0) || !std::isfinite(c[i])) return;
            logs_[v][i] = std::log(c[i]);
        }
    }
    usable_ = true;
}

MonomialFit fit_monomial(const SearchSample& sample, const LogColumns& logs, const double* t,
                         std::vector<double>& values, bool finish) {
    MonomialFit out;
    if (!logs.usable()) return out;
    const std::size_t n = sample.rows(), vars = logs.vars();
    std::vector<double> lt(n);
    const bool positive = t[0] > 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(std::fabs(t[i]) > 0.0) || (t[i] > 0.0) != positive || !std::isfinite(t[i])) return out;
        lt[i] = std::log(std::fabs(t[i]));
    }
    std::vector<const double*> cols(vars);
    for (std::size_t v = 0; v < vars; ++v) cols[v] = logs.column(v);
    // a variable that does not vary on the sample has no exponent to find
    const ColumnFit f = fit_columns(cols, lt.data(), n, sample.weights());
    if (!f.ok) return out;
    out.log_sse = f.sse;
    if (!finish) {
        out.ok = true;
        return out;
    }
    out.powers.resize(vars);
    for (std::size_t v = 0; v < vars; ++v) {
        const double p = std::round(f.coefficients[v]);
        if (std::fabs(p) > kMaxMonomialPower) return out;
        out.powers[v] = static_cast<int>(p);
    }
    values.assign(n, 1.0);
    for (std::size_t v = 0; v < vars; ++v)
        if (out.powers[v] != 0)
            for (std::size_t i = 0; i < n; ++i) values[i] *= whole_power(sample.column(v)[i], out.powers[v]);
    const double* w = sample.weights();
    double tm = 0.0, mm = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        tm += (w ? w[i] : 1.0) * t[i] * values[i];
        mm += (w ? w[i] : 1.0) * values[i] * values[i];
    }
    if (!(mm > 0.0) || !std::isfinite(mm) || !std::isfinite(tm)) return out;
    out.amplitude = tm / mm;
    out.ok = out.amplitude != 0.0;
    return out;
}

namespace {

void append_power(std::vector<Token>& tokens, std::size_t v, int p) {
    const Token x = Token::make_var(v);
    tokens.push_back(x);
    if (p == 1) return;
    tokens.push_back(Token::make_op(Operator::Square));
    if (p == 3) {
        tokens.push_back(x);
        tokens.push_back(Token::make_op(Operator::Mul));
    }
}

}  // namespace

void append_monomial(std::vector<Token>& tokens, const std::vector<int>& powers) {
    for (std::size_t v = 0; v < powers.size(); ++v) {
        if (powers[v] == 0) continue;
        append_power(tokens, v, std::abs(powers[v]));
        tokens.push_back(Token::make_op(powers[v] > 0 ? Operator::Mul : Operator::Div));
    }
}

void append_product(std::vector<Token>& tokens, const std::vector<int>& powers) {
    bool first = true;
    for (std::size_t v = 0; v < powers.size(); ++v) {
        if (powers[v] <= 0) continue;
        append_power(tokens, v, powers[v]);
        if (!first) tokens.push_back(Token::make_op(Operator::Mul));
        first = false;
    }
    if (first) tokens.push_back(Token::make_const(1.0));
    for (std::size_t v = 0; v < powers.size(); ++v) {
        if (powers[v] >= 0) continue;
        append_power(tokens, v, -powers[v]);
        tokens.push_back(Token::make_op(Operator::Div));
    }
}

}  // namespace zan::discover::engine
