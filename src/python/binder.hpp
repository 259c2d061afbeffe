// Argument binding: one parameter table per function or method, one binder for all.
// Positional and keyword arguments are matched to the table before any conversion;
// conversions then run in parameter order, and a TypeError from one of them is
// re-raised as "argument '{k}': ..." keeping the original's cause.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace zan::py {

struct Signature {
    const char* display;                     // "ln_n()", "ZANPoint.boost()"
    std::span<const char* const> params;     // in signature order
    std::size_t required;                    // leading parameters without a default
};

class Args {
public:
    static constexpr std::size_t kMaxParams = 8;

    // Binds a fast-call argument vector; raises the binding TypeErrors.
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

    // The bound object of parameter i (borrowed), or nullptr for an omitted optional one.
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

    // Converts parameter i with conv(PyObject*), naming the parameter in a TypeError.
    template <class Conv>
    auto get(std::size_t i, Conv&& conv) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        try {
            return conv(slots_[i]);
        } catch (const PyError&) {
            prefix_type_error(sig_.params[i]);
            throw;
        }
    }

    // As get, with a default for an omitted optional parameter.
    template <class Conv, class T>
    T get_or(std::size_t i, Conv&& conv, T fallback) const {
        if (slots_[i] == nullptr) return fallback;
        return get(i, conv);
    }

private:
    static void prefix_type_error(const char* name) noexcept;

    const Signature& sig_;
    std::array<PyObject*, kMaxParams> slots_{};
};

// Binds a method or function that takes no arguments: refuses any.
void bind_none(const Signature& sig, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace zan::py
