// The operator table as the binding reads and shows it.
#pragma once

#include <cstdint>

#include "python/ref.hpp"

namespace zan::py {

// A list or tuple of operator names as a set (bit i: operator code i). ValueError names an
// unknown operator and lists the valid names; TypeError for anything but a list or tuple
// of str.
[[nodiscard]] std::uint32_t to_operator_set(PyObject* names);

}  // namespace zan::py
