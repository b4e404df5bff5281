#include "load.hpp"

#include "chip_window.hpp"
#include "columns.hpp"
#include "parallel.hpp"
#include "shared/py_ref.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chips {

namespace {

using py::Buffer;
using py::Ref;
using py::steal;

// The first chip that failed; the others stop as soon as they see it.
struct FirstFault {
    std::mutex mutex;
    bool set = false;
    std::size_t index = 0;
    LoadFault fault;

    void record(std::size_t i, LoadFault&& found) {
        std::lock_guard lock(mutex);
        if (set) return;
        set = true;
        index = i;
        fault = std::move(found);
    }
};

// Per chip, the layout columns of columns.hpp (header_digest's bits as int64).
constexpr std::size_t fields = layout_columns.size();

// The planes of an output format, by the name the Python side uses: 'a', 'ap', 'r' or 'c', the keys
// of OFMTS in vantrel/defaults.py (tests/test_loading.py loads every one of them).
std::optional<Planes> planes_of(std::string_view ofmt) noexcept {
    if (ofmt == "a") return Planes::amplitude;
    if (ofmt == "ap") return Planes::amplitude_phase;
    if (ofmt == "r" || ofmt == "c") return Planes::real_imaginary;  // 'c' is the same values, viewed as complex
    return std::nullopt;
}

// Once a read has waited for the device, the workers ask the kernel for the needed bytes of the
// next `depth` chips before reading their own: the device then has many reads in flight, however
// few threads decode. Warm files never start it.
class ReadAhead {
public:
    static constexpr std::size_t depth = 32;

    ReadAhead(const std::vector<std::string>& paths, const std::int64_t* layouts, const Window& window)
        : paths_(paths), layouts_(layouts), window_(window) {}

    void before(std::size_t i) noexcept {
        if (!cold_.load(std::memory_order_relaxed)) return;
        const std::size_t limit = std::min(paths_.size(), i + 1 + depth);
        std::size_t next = next_.load(std::memory_order_relaxed);
        while (next < limit) {
            const std::size_t chip = std::max(next, i + 1);  // those before are being read already
            if (!next_.compare_exchange_weak(next, chip + 1, std::memory_order_relaxed)) continue;
            fileio::ByteRange ranges[3];
            const std::size_t count = needed_bytes(layout(chip), window_, ranges);
            fileio::read_ahead(paths_[chip].c_str(), ranges, count);
            next = chip + 1;
        }
    }

    void after(bool cold) noexcept {
        if (cold) cold_.store(true, std::memory_order_relaxed);
    }

    Layout layout(std::size_t i) const noexcept {
        const std::int64_t* row = layouts_ + fields * i;
        return {row[0], row[1], row[2]};
    }
    Recorded recorded(std::size_t i) const noexcept {
        const std::int64_t* row = layouts_ + fields * i;
        return {row[3], static_cast<std::uint64_t>(row[4])};
    }

private:
    const std::vector<std::string>& paths_;
    const std::int64_t* layouts_;
    const Window& window_;
    std::atomic<bool> cold_{false};
    std::atomic<std::size_t> next_{0};
};

PyObject* raise(const FirstFault& first, PyObject* path) noexcept {
    if (first.fault.error != 0) {
        Ref args = steal(Py_BuildValue("(isO)", first.fault.error, std::strerror(first.fault.error), path));
        if (args) PyErr_SetObject(PyExc_OSError, args.get());
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "%S: %s", path, first.fault.message.c_str());
    return nullptr;
}

}  // namespace

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    // All by keyword; the ones without a default are checked below, as the parser takes a
    // keyword-only argument as optional.
    static const char* keywords[] = {"paths", "layouts", "out",      "height",   "width", "ofmt",
                                     "wide",  "threads", "progress", "decibels", "floor", nullptr};
    PyObject *path_list = nullptr, *layout_object = nullptr, *out_object = nullptr, *progress = Py_None;
    Py_ssize_t height = -1, width = -1;
    const char* ofmt = nullptr;
    int wide = 0, threads = 1, decibels = 0;
    double floor = 0;  // of the amplitude in dB: 10 ** (floor_db / 20), computed by the caller
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O!OOnnspiOpd:load", const_cast<char**>(keywords), &PyList_Type,
                                     &path_list, &layout_object, &out_object, &height, &width, &ofmt, &wide, &threads,
                                     &progress, &decibels, &floor))
        return nullptr;
    if (!path_list || !layout_object || !out_object || !ofmt || height < 0 || width < 0) {
        PyErr_SetString(PyExc_TypeError, "load() needs paths, layouts, out, height, width and ofmt");
        return nullptr;
    }
    if (progress == Py_None) progress = nullptr;
    const std::optional<Planes> planes = planes_of(ofmt);
    if (!planes || (decibels && *planes == Planes::real_imaginary)) {
        PyErr_SetString(PyExc_ValueError, "bad window");
        return nullptr;
    }
    const Window window{height, width, *planes, wide != 0, decibels != 0, floor};
    const auto count = static_cast<std::size_t>(PyList_Size(path_list));
    Buffer layouts, out;
    if (!layouts.acquire(layout_object, PyBUF_C_CONTIGUOUS) ||
        !out.acquire(out_object, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS))
        return nullptr;
    if (static_cast<std::size_t>(layouts.size()) != count * fields * sizeof(std::int64_t) ||
        static_cast<std::size_t>(out.size()) != count * window.slot_bytes()) {
        PyErr_SetString(PyExc_ValueError, "the layouts and the output do not fit the paths");
        return nullptr;
    }
    try {
        std::vector<std::string> paths;
        paths.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            Ref encoded = steal(PyUnicode_EncodeFSDefault(PyList_GetItem(path_list, static_cast<Py_ssize_t>(i))));
            if (!encoded) return nullptr;
            paths.emplace_back(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
        }
        const auto* numbers = static_cast<const std::int64_t*>(layouts.data());
        auto* slots = static_cast<char*>(out.data());
        FirstFault first;
        ReadAhead ahead(paths, numbers, window);
        const int done = run_parallel(
            count, threads,
            [&](std::size_t i) {
                ahead.before(i);
                LoadFault fault;
                bool cold = false;
                const bool loaded = load_chip(paths[i], ahead.layout(i), ahead.recorded(i), window,
                                              slots + i * window.slot_bytes(), fault, cold);
                ahead.after(cold);
                if (loaded) return true;
                first.record(i, std::move(fault));
                return false;
            },
            progress);
        if (done < 0) return nullptr;
        if (done == 0) {
            if (!first.set) return PyErr_NoMemory();  // a worker ran out of memory
            return raise(first, PyList_GetItem(path_list, static_cast<Py_ssize_t>(first.index)));
        }
        Py_RETURN_NONE;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace chips
