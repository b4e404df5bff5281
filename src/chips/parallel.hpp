// Work over many files on worker threads with the interpreter's lock released, while the calling
// thread stays responsive: it wakes a few times a second to run signal handlers (Ctrl-C) and to
// report progress.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <functional>

namespace chips {

// What the workers of one run share: how far they are, and whether to stop.
struct RunState {
    std::atomic<std::size_t> done{0}, total{0};
    std::atomic<bool> stop{false};  // no new work: a worker failed or the caller was interrupted

    bool stopping() const noexcept { return stop.load(std::memory_order_relaxed); }
};

// A worker's body, given its index (0 to threads - 1). It returns false when it failed (after
// recording why); the others are then asked to stop.
using Worker = std::function<bool(int index, RunState& run)>;

// Runs `worker` on `threads` threads (at least one) with the interpreter's lock released.
// `progress` (a Python callable or null) is called as progress(done, total) now and then and once
// at the end. Returns 1 when every worker succeeded, 0 when one failed, -1 with a Python exception
// set when a signal handler or `progress` raised (the workers are stopped first).
int run_workers(int threads, const Worker& worker, RunState& run, PyObject* progress) noexcept;

// Calls `task(i)` once for each i in [0, count) on `threads` threads; a task returns false to stop
// the run. Returns as run_workers does.
int run_parallel(std::size_t count, int threads, const std::function<bool(std::size_t)>& task,
                 PyObject* progress) noexcept;

}  // namespace chips
