// The function objects `mstar_header` and `mstar_raw`: one type, generic over the reader each
// carries (its signature, code object and body).
#pragma once

#include "reader.hpp"

namespace mstar {

// Makes the type of the function objects, once per process (process().function_type).
bool prepare_function_type() noexcept;

// The code object that a reader's parameters, locals and lines describe.
Ref make_code(const Reader& reader) noexcept;

// A function object for `reader` with the module namespace `globals` and the built-in `open`.
Ref make_function(const Reader& reader, PyObject* code, PyObject* globals, PyObject* open) noexcept;

}  // namespace mstar
