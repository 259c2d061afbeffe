// The discovery engine's native entries (private to the package).
#include "python/native_registry.hpp"

namespace zan::py::native {

PyMethodDef kDiscoverMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zan::py::native
