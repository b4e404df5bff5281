// `mstar_raw`: the data block's offset and counts from the header, and its decoding.
#pragma once

#include "function.hpp"

namespace mstar {

// mstar_raw(filepath, ofmt)
PyObject* mstar_raw_body(const Call& context, PyObject* const* bound) noexcept;

}  // namespace mstar
