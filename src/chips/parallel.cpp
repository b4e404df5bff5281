#include "parallel.hpp"

#include "shared/py_ref.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace chips {

namespace {

constexpr auto tick = std::chrono::milliseconds(50);

struct Workers {
    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;  // guarded by mutex
    std::atomic<bool> failed{false};
};

void run_one(Workers& workers, const Worker& worker, int index, RunState& run) noexcept {
    bool ok = false;
    try {
        ok = worker(index, run);
    } catch (...) {  // memory exhausted
    }
    if (!ok) {
        workers.failed.store(true);
        run.stop.store(true);
    }
    std::lock_guard lock(workers.mutex);
    if (--workers.running == 0) workers.finished.notify_all();
}

bool report(PyObject* progress, const RunState& run) noexcept {
    if (PyErr_CheckSignals() < 0) return false;
    if (!progress) return true;
    py::Ref result = py::steal(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(run.done.load()),
                                                     static_cast<Py_ssize_t>(run.total.load())));
    return static_cast<bool>(result);
}

}  // namespace

int run_workers(int threads, const Worker& worker, RunState& run, PyObject* progress) noexcept {
    Workers workers;
    std::vector<std::thread> started;
    for (int index = 0; index < std::max(threads, 1); ++index) {
        std::lock_guard lock(workers.mutex);
        ++workers.running;
        try {
            started.emplace_back(run_one, std::ref(workers), std::cref(worker), index, std::ref(run));
        } catch (...) {  // no thread to spare: the ones started do the work
            --workers.running;
            break;
        }
    }
    if (started.empty()) {
        PyErr_NoMemory();
        return -1;
    }
    bool raised = false;
    for (;;) {
        bool all_done;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock lock(workers.mutex);
        all_done = workers.finished.wait_for(lock, tick, [&] { return workers.running == 0; });
        Py_END_ALLOW_THREADS
        if (all_done) break;
        if (!raised && !report(progress, run)) {
            raised = true;
            run.stop.store(true);
        }
    }
    for (std::thread& thread : started) thread.join();
    if (raised || !report(progress, run)) return -1;
    return workers.failed.load() ? 0 : 1;
}

int run_parallel(std::size_t count, int threads, const std::function<bool(std::size_t)>& task,
                 PyObject* progress) noexcept {
    RunState run;
    run.total = count;
    std::atomic<std::size_t> next{0};
    const int wanted = static_cast<int>(std::clamp<std::size_t>(count, 1, static_cast<std::size_t>(std::max(threads, 1))));
    return run_workers(
        wanted,
        [&](int, RunState& state) {
            while (!state.stopping()) {
                const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
                if (i >= count) break;
                if (!task(i)) return false;
                state.done.fetch_add(1, std::memory_order_relaxed);
            }
            return true;
        },
        run, progress);
}

}  // namespace chips
