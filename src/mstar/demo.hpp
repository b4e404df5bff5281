// The routine run when the module is executed as the main module: reads the sample chip,
// prints its header and value ranges, and plots it.
#pragma once

#include "core/python.hpp"

namespace mstar {

// Runs the routine in the module namespace `ns`, printing with `print`. On failure returns
// false with the exception set and `line` the source line of the failing step.
bool run_demo(const Namespace& ns, PyObject* print, int& line) noexcept;

}  // namespace mstar
