#include "scan.hpp"

#include "chip_header.hpp"
#include "columns.hpp"
#include "parallel.hpp"
#include "shared/file_io.hpp"
#include "shared/py_ref.hpp"
#include "tree_walk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace chips {

namespace {

using py::Ref;
using py::steal;

constexpr std::size_t read_ahead_files = 16;  // per thread

// Files waiting to be read, handed out in small batches so that both the walk and the reading
// keep every thread busy.
struct Batch {
    std::vector<std::string> paths;
    std::vector<ChipHeader> found;
};

class BatchQueue {
public:
    static constexpr std::size_t batch_size = 64;

    void push(std::vector<std::string>&& files, RunState& run) {
        std::vector<std::unique_ptr<Batch>> made;
        for (std::size_t at = 0; at < files.size(); at += batch_size) {
            auto batch = std::make_unique<Batch>();
            const std::size_t end = std::min(files.size(), at + batch_size);
            batch->paths.assign(std::make_move_iterator(files.begin() + static_cast<std::ptrdiff_t>(at)),
                                std::make_move_iterator(files.begin() + static_cast<std::ptrdiff_t>(end)));
            batch->found.resize(batch->paths.size());
            made.push_back(std::move(batch));
        }
        std::lock_guard lock(mutex_);
        for (auto& batch : made) batches_.push_back(std::move(batch));
        run.total += files.size();
        ready_.notify_all();
    }

    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        ready_.notify_all();
    }

    // The next batch to read, or null once the walk is over and every batch handed out.
    Batch* next(const RunState& run) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return next_ < batches_.size() || closed_ || run.stopping(); });
        return next_ < batches_.size() && !run.stopping() ? batches_[next_++].get() : nullptr;
    }

    // Only once the workers have finished.
    const std::vector<std::unique_ptr<Batch>>& batches() const noexcept { return batches_; }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::unique_ptr<Batch>> batches_;
    std::size_t next_ = 0;
    bool closed_ = false;
};

// Target types, serials and versions repeat across thousands of chips: one str each.
class Strings {
public:
    PyObject* get(const std::string& text) {
        Ref& slot = cache_[text];
        if (!slot) slot = steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        return slot.get();
    }

private:
    std::unordered_map<std::string, Ref> cache_;
};

Ref text(const std::string& value) {
    return steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

Ref path_text(const std::string& path) {
    return steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

Ref as_bytes(const std::vector<std::uint64_t>& values) {
    return steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                           static_cast<Py_ssize_t>(values.size() * sizeof(std::uint64_t))));
}

// A number column's value as its 8 bytes, so that every number column is one vector of one type.
template <typename T>
std::uint64_t bits(T value) noexcept {
    static_assert(sizeof(T) == sizeof(std::uint64_t));
    return std::bit_cast<std::uint64_t>(value);
}

// The result from what the workers found, in path order: ({column name: values}, skipped), the
// columns as columns.hpp lists them. A file reached by several paths (hard or symbolic links) is
// listed once, under the first of them.
PyObject* gather(std::vector<std::pair<std::string, std::string>>& problems, const BatchQueue& queue) {
    std::vector<std::pair<const std::string*, const ChipHeader*>> files;
    for (const auto& batch : queue.batches())
        for (std::size_t i = 0; i < batch->paths.size(); ++i) files.emplace_back(&batch->paths[i], &batch->found[i]);
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return *a.first < *b.first; });

    std::array<Ref, text_columns> lists;
    for (Ref& list : lists)
        if (!(list = steal(PyList_New(0)))) return nullptr;
    std::array<std::vector<std::uint64_t>, columns.size() - text_columns> numbers;
    std::set<std::pair<dev_t, ino_t>> seen;
    Strings strings;
    for (const auto& [file, chip] : files) {
        if (chip->kind == ChipHeader::Kind::not_chip) continue;
        if (chip->identified && !seen.insert({chip->device, chip->inode}).second) continue;
        if (chip->kind == ChipHeader::Kind::skipped) {
            problems.emplace_back(*file, chip->reason);
            continue;
        }
        Ref path = path_text(*file);
        Ref checksum = text(chip->checksum);
        const std::array<PyObject*, text_columns> row{path.get(), strings.get(chip->target_type),
                                                      strings.get(chip->serial), strings.get(chip->version),
                                                      checksum.get(), strings.get(chip->articulation)};
        for (std::size_t c = 0; c < row.size(); ++c)
            if (!row[c] || PyList_Append(lists[c].get(), row[c]) < 0) return nullptr;
        const std::array<std::uint64_t, numbers.size()> values{
            bits(chip->depression),       bits(chip->azimuth),     bits(chip->layout.rows),
            bits(chip->layout.columns),   bits(chip->layout.data_offset), bits(chip->recorded.file_size),
            bits(chip->recorded.header_digest), bits(chip->collection), bits(chip->scene)};
        for (std::size_t c = 0; c < values.size(); ++c) numbers[c].push_back(values[c]);
    }
    std::sort(problems.begin(), problems.end());
    Ref skipped = steal(PyList_New(0));
    if (!skipped) return nullptr;
    for (const auto& [path, reason] : problems) {
        Ref pair = steal(Py_BuildValue("(NN)", path_text(path).release(), text(reason).release()));
        if (!pair || PyList_Append(skipped.get(), pair.get()) < 0) return nullptr;
    }
    Ref found = steal(PyDict_New());
    if (!found) return nullptr;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const Ref values = c < text_columns ? lists[c] : as_bytes(numbers[c - text_columns]);
        const std::string name(columns[c].name);
        if (!values || PyDict_SetItemString(found.get(), name.c_str(), values.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, found.get(), skipped.get());
}

}  // namespace

PyObject* scan(PyObject*, PyObject* args) noexcept {
    const char* root_bytes = nullptr;
    Py_ssize_t root_size = 0;
    int verify = 0, threads = 1;
    PyObject* progress = nullptr;
    if (!PyArg_ParseTuple(args, "y#piO:scan", &root_bytes, &root_size, &verify, &threads, &progress)) return nullptr;
    if (progress == Py_None) progress = nullptr;
    try {
        const std::string root(root_bytes, static_cast<std::size_t>(root_size));
        BatchQueue queue;
        std::vector<std::pair<std::string, std::string>> problems;
        RunState run;
        // Worker 0 walks the tree first; every worker reads the batches as they come.
        const int done = run_workers(
            threads,
            [&](int index, RunState& state) {
                if (index == 0) {
                    try {
                        problems = walk_tree(root, [&](std::vector<std::string>&& files) {
                            queue.push(std::move(files), state);
                            return !state.stopping();
                        });
                    } catch (...) {
                        queue.close();  // the readers must not wait for batches that never come
                        throw;
                    }
                    queue.close();
                }
                // Once a first page had to wait for the device, the next files' first pages are
                // asked for ahead, so that many reads are in flight whatever the thread count.
                bool cold = false;
                while (Batch* batch = queue.next(state)) {
                    const std::size_t size = batch->paths.size();
                    std::size_t hinted = 0;
                    for (std::size_t i = 0; i < size; ++i) {
                        for (hinted = std::max(hinted, i + 1); cold && hinted < std::min(size, i + 1 + read_ahead_files);
                             ++hinted) {
                            const fileio::ByteRange page{0, fileio::first_read};
                            fileio::read_ahead(batch->paths[hinted].c_str(), &page, 1);
                        }
                        // Whatever goes wrong with one file is that file's reason, never the scan's.
                        try {
                            batch->found[i] = read_chip_header(batch->paths[i], verify != 0, cold);
                        } catch (const std::bad_alloc&) {
                            batch->found[i].kind = ChipHeader::Kind::skipped;
                            batch->found[i].reason = "out of memory";  // short enough to need no allocation
                        }
                    }
                    state.done += size;
                }
                return true;
            },
            run, progress);
        if (done < 0) return nullptr;
        if (done == 0) return PyErr_NoMemory();  // the only way a worker fails
        return gather(problems, queue);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace chips
