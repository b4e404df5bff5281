#include "process.hpp"

namespace mstar {

// Never destroyed: the interpreter is gone by the time static destructors would run.
Process& process() noexcept {
    static Process* const instance = new Process();
    return *instance;
}

}  // namespace mstar
