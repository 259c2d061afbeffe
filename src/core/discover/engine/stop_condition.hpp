// When a search stops: at the caller's request or past the time limit.
#pragma once

#include <chrono>

#include "core/discover/engine/engine.hpp"

namespace zan::discover::engine {

class StopCondition {
public:
    using Clock = std::chrono::steady_clock;

    StopCondition(const Control& control, double time_limit, Clock::time_point start)
        : control_(control), time_limit_(time_limit), start_(start) {}

    // Polled often, from any thread.
    [[nodiscard]] bool reached() const {
        if (control_.should_stop && control_.should_stop()) return true;
        return time_limit_ > 0.0 && elapsed() > time_limit_;
    }
    [[nodiscard]] double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    [[nodiscard]] const Control& control() const noexcept { return control_; }

private:
    const Control& control_;
    double time_limit_;
    Clock::time_point start_;
};

}  // namespace zan::discover::engine
