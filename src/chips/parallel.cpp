#include "parallel.hpp"

#include "mstar/core/ref.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace chips {

namespace {

constexpr auto tick = std::chrono::milliseconds(50);

struct Run {
    std::atomic<std::size_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped_by_task{false};
    std::mutex mutex;
    std::condition_variable finished;
    int running = 0;  // guarded by mutex
};

void work(Run& run, std::size_t count, const std::function<bool(std::size_t)>& task) noexcept {
    while (!run.stop.load(std::memory_order_relaxed)) {
        const std::size_t i = run.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= count) break;
        bool ok = false;
        try {
            ok = task(i);
        } catch (...) {  // memory exhausted: the task has recorded nothing, so say so here
            ok = false;
        }
        if (!ok) {
            run.stopped_by_task.store(true);
            run.stop.store(true);
        }
        run.done.fetch_add(1, std::memory_order_relaxed);
    }
    std::lock_guard lock(run.mutex);
    if (--run.running == 0) run.finished.notify_all();
}

bool report(PyObject* progress, std::size_t done, std::size_t count) noexcept {
    if (PyErr_CheckSignals() < 0) return false;
    if (!progress) return true;
    mstar::Ref result = mstar::steal(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                                           static_cast<Py_ssize_t>(count)));
    return static_cast<bool>(result);
}

}  // namespace

int run_parallel(std::size_t count, int threads, const std::function<bool(std::size_t)>& task,
                 PyObject* progress) noexcept {
    Run run;
    std::vector<std::thread> workers;
    const std::size_t wanted = std::clamp<std::size_t>(count, 1, static_cast<std::size_t>(std::max(threads, 1)));
    for (std::size_t t = 0; t < wanted; ++t) {
        std::lock_guard lock(run.mutex);
        ++run.running;
        try {
            workers.emplace_back(work, std::ref(run), count, std::cref(task));
        } catch (...) {  // no thread to spare: the ones started do the work
            --run.running;
            break;
        }
    }
    if (workers.empty()) {
        PyErr_NoMemory();
        return -1;
    }
    bool raised = false;
    for (;;) {
        bool all_done;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock lock(run.mutex);
        all_done = run.finished.wait_for(lock, tick, [&] { return run.running == 0; });
        Py_END_ALLOW_THREADS
        if (all_done) break;
        if (!raised && !report(progress, run.done.load(), count)) {
            raised = true;
            run.stop.store(true);
        }
    }
    for (std::thread& worker : workers) worker.join();
    if (raised) return -1;
    if (!report(progress, run.done.load(), count)) return -1;
    return run.stopped_by_task.load() ? 0 : 1;
}

}  // namespace chips
