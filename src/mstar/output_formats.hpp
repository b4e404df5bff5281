// The last stage of `mstar_raw`: the planes array in the format that `ofmt` names.
#pragma once

#include "core/ref.hpp"

namespace mstar {

// Returns the converted array, or None when `ofmt` names no format. On failure returns null
// with the exception set and `line` the source line of the failing test or conversion.
// `float64_planes` tells that `planes` is a float64 ndarray made by this module, whose
// temporaries have known dtypes.
Ref convert_planes(PyObject* globals, PyObject* ofmt, PyObject* planes, bool float64_planes, int& line) noexcept;

}  // namespace mstar
