// The module's state, all of it process-wide (one interpreter per process, as the create step
// enforces) and in one place. The module is never unloaded: this is static storage that is never
// destroyed, and every reference in it is owned. Each set-up done once per process says so with
// its own flag.
#pragma once

#include "constants.hpp"
#include "originals.hpp"

#include <cstdint>

namespace mstar {

struct Process {
    // The create step records the first interpreter that creates the module and refuses others.
    std::int64_t interpreter = -1;
    // Held from the execution step on; emptied only when it fails, so that the next import starts over.
    Ref module;

    // Set again by every execution step.
    Ref builtins;          // the `builtins` module, where global names are looked up last
    Ref print, open;       // the built-ins as they were at load, whatever `builtins` holds later
    Originals originals;   // what the imports gave

    // Built once per process: a failed import keeps them for the next attempt, so that a function
    // object left in an abandoned namespace never sees its constants or its type go away.
    Constants constants;
    bool scalars_built = false;  // the empty objects, the strings and the integers
    bool tuples_built = false;
    Ref function_type;           // the type of mstar_header and mstar_raw
    // Whether NumPy elides temporaries for the interpreter here: found at the first need, then kept.
    bool elision_known = false, elision = false;
};

Process& process() noexcept;

// The constants, as every reader and step uses them.
inline Constants& K() noexcept { return process().constants; }
inline const Originals& originals() noexcept { return process().originals; }

}  // namespace mstar
