// Traceback entries for failures that leave the module: one entry per failure, naming a
// Python-level source line rather than a line of C++.
#pragma once

#include "ref.hpp"

namespace mstar {

// Where a native routine claims to run: its source file and its code name.
struct Origin {
    const char* file;
    const char* name;
};

// Adds one traceback entry at `line` to the exception being raised, with `globals` as the
// frame's globals and no locals. The exception stays set; returns null so that callers can
// write `return fail(...)`.
std::nullptr_t add_traceback(const Origin& origin, int line, PyObject* globals) noexcept;

}  // namespace mstar
