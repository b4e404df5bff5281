// The function objects `mstar_header` and `mstar_raw`: their type, code objects and binding.
#pragma once

#include "core/ref.hpp"

namespace mstar {

// What a reader gets once a call's arguments are bound.
struct Call {
    PyObject* globals;  // the module namespace
    PyObject* open;     // the built-in `open` captured at load
};

// A reader: `bound` holds one value per parameter. Returns a new reference, or null with the
// exception set and the reader's traceback entry added.
using Body = PyObject* (*)(const Call& call, PyObject* const* bound);

// Creates the type of the function objects (once per process).
bool prepare_function_type() noexcept;
// Builds the code objects of both functions (once per process).
bool build_code_objects() noexcept;

Ref make_header_function(PyObject* globals, PyObject* open) noexcept;
Ref make_raw_function(PyObject* globals, PyObject* open) noexcept;

}  // namespace mstar
