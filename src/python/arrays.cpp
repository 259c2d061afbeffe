// The array forms of the parallel batch functions, in the package's private native module;
// zan_math.arrays exposes them.
#include "python/batch_decls.hpp"
#include "python/native_registry.hpp"

namespace zan::py::native {
namespace {

template <class... D>
constexpr std::size_t count(batch::List<D...>) {
    return sizeof...(D);
}

constexpr std::size_t kCount = count(batch::AllBatches{});

template <class... D>
bool fill(PyMethodDef* table, batch::List<D...>) {
    std::size_t i = 0;
    ((table[i++] = batch::array_def<D>()), ...);
    return true;
}

}  // namespace

// One entry per declared batch function; the last stays zero, the terminator.
PyMethodDef kArrayMethods[kCount + 1];

namespace {
[[maybe_unused]] const bool g_filled = fill(kArrayMethods, batch::AllBatches{});
}

}  // namespace zan::py::native
