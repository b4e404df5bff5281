// `a + b` and `a * b` on NumPy arrays as the interpreter evaluates them, temporary elision included.
#pragma once

#include "core/ref.hpp"

namespace mstar {

// lhs + rhs and lhs * rhs, taking both operands as the interpreter's stack hands them over (so an
// operand nothing else references may become the result); null with the exception set.
Ref add(Ref lhs, Ref rhs) noexcept;
Ref multiply(Ref lhs, Ref rhs) noexcept;

}  // namespace mstar
