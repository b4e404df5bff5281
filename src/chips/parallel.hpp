// Work over many files on worker threads with the interpreter's lock released, while the calling
// thread stays responsive: it wakes a few times a second to run signal handlers (Ctrl-C) and to
// report progress.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <functional>

namespace chips {

// Calls `task(i)` once for each i in [0, count), on `threads` threads (at least one), with the
// interpreter's lock released. A task returns false to stop the run: no new task starts, the
// running ones finish. `progress` (a Python callable or null) is called as progress(done, count)
// now and then and once at the end.
// Returns 1 when every task ran, 0 when a task stopped the run, -1 with a Python exception set
// when a signal handler or `progress` raised (the run is stopped first).
int run_parallel(std::size_t count, int threads, const std::function<bool(std::size_t)>& task,
                 PyObject* progress) noexcept;

}  // namespace chips
