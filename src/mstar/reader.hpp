// What a reader declares to become a function object of the module (its signature, code object
// lines, body and help text), and what its body is handed when called.
#pragma once

#include "constants.hpp"
#include "core/python.hpp"
#include "core/traceback.hpp"

#include <cstddef>
#include <span>

namespace mstar {

// What a body gets besides its bound arguments.
struct Call {
    Namespace ns;    // the module namespace and the builtins module
    PyObject* open;  // the built-in `open` captured at load
    Origin origin;   // the source file and code name of the reader's traceback entries

    // Adds the reader's traceback entry at `line` to the exception being raised; gives null.
    std::nullptr_t fail(int line) const noexcept { return add_traceback(origin, line, ns.globals); }
};

// `bound` holds one value per parameter. Returns a new reference, or null with the exception set
// and the reader's traceback entry added.
using Body = PyObject* (*)(const Call& call, PyObject* const* bound);

using Name = Ref Constants::*;

inline constexpr std::size_t max_parameters = 2;

struct Reader {
    const char* name;              // as messages give it
    std::span<const Name> parameters;
    Name defaults;                 // the tuple of the last parameters' defaults, or null
    std::span<const Name> locals;  // the code object's local names after the parameters
    Origin origin;                 // source file and code name of its traceback entries
    std::span<const int> lines;    // its `def` line, then its statements' lines
    Body body;
    const char* doc;

    int def_line() const noexcept { return lines.front(); }
};

}  // namespace mstar
