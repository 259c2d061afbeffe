#include "core/discover/engine/predict.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/pool.hpp"

namespace zan::discover::engine {
namespace {
constexpr std::size_t kRowsPerTask = 4096;
}

void predict(const Expr& program, Columns columns, std::span<const double> params, double* out) {
    if (columns.empty()) return;
    const std::size_t rows = columns[0].size();
    const std::size_t tasks = (rows + kRowsPerTask - 1) / kRowsPerTask;
    const double cost = static_cast<double>(kRowsPerTask * program.size()) * 3.0;
    pool::for_blocks(tasks, cost, [&](std::size_t b, std::size_t e) {
        EvalWorkspace ws;
        std::vector<std::span<const double>> cut(columns.size());
        std::vector<double> row(columns.size());
        for (std::size_t t = b; t < e; ++t) {
            const std::size_t begin = t * kRowsPerTask, n = std::min(kRowsPerTask, rows - begin);
            for (std::size_t c = 0; c < columns.size(); ++c) cut[c] = columns[c].subspan(begin, n);
            if (eval_batch_into(program, Columns(cut), params, out + begin, ws)) continue;
            // some row has no value: settle the chunk row by row
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t c = 0; c < columns.size(); ++c) row[c] = cut[c][i];
                const auto v = eval(program, row, params);
                out[begin + i] = v ? *v : std::numeric_limits<double>::quiet_NaN();
            }
        }
    });
}

}  // namespace zan::discover::engine
