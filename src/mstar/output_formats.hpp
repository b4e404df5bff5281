// The last stage of `mstar_raw`: the planes array in the format that `ofmt` names.
#pragma once

#include "core/python.hpp"

namespace mstar {

// Returns the converted array, or None when `ofmt` names no format. On failure returns null
// with the exception set and `line` the source line of the failing test or conversion.
Ref convert_planes(const Namespace& ns, Handle ofmt, Handle planes, int& line) noexcept;

}  // namespace mstar
