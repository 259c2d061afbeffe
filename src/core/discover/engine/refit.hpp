// A program's constants refitted by Levenberg–Marquardt on a data source, or measured as
// they are when it has none.
#pragma once

#include <span>
#include <vector>

#include "core/discover/engine/data_source.hpp"
#include "core/discover/expr.hpp"

namespace zan::discover::engine {

struct Fitted {
    Expr program;
    std::vector<double> params;
    double cost = 0.0;  // Σr² over the source's rows
    bool ok = false;
};

[[nodiscard]] Fitted refit(const Expr& program, std::span<const double> start, DataSource& source);

// refit, or for a program without parameters its cost as it stands.
[[nodiscard]] Fitted measure(const Expr& program, std::span<const double> params, DataSource& source);

}  // namespace zan::discover::engine
