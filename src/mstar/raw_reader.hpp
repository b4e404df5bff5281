// `mstar_raw`: the data block's offset and counts from the header, and its decoding.
#pragma once

#include "function.hpp"

namespace mstar {

// Records `struct.unpack_from`, NumPy and `numpy.array` as imported at load: while a call finds
// the same objects, it decodes the data block natively instead of through a tuple of floats.
void capture_decode_originals(PyObject* struct_module, PyObject* numpy_module) noexcept;

// mstar_raw(filepath, ofmt)
PyObject* mstar_raw_body(const Call& context, PyObject* const* bound) noexcept;

}  // namespace mstar
