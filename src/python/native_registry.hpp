// Everything the package's private native module registers: the entries that the
// package's Python API (discovery engine, array forms) calls. Not public API.
#pragma once

#include "python/ref.hpp"

namespace zan::py::native {

// A null-terminated table; each Python-facing piece contributes its rows in its own file.
extern PyMethodDef kDiscoverMethods[];
extern PyMethodDef kArrayMethods[];
extern PyMethodDef kOperatorMethods[];

}  // namespace zan::py::native
