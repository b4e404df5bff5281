// The shared reference types under the names this module's code uses.
#pragma once

#include "shared/py_ref.hpp"

namespace mstar {

using py::Buffer;
using py::Handle;
using py::Ref;
using py::borrow;
using py::steal;

}  // namespace mstar
