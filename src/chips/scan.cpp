#include "scan.hpp"

#include "chip_header.hpp"
#include "mstar/core/ref.hpp"
#include "parallel.hpp"
#include "tree_walk.hpp"

#include <array>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

namespace chips {

namespace {

using mstar::Ref;
using mstar::steal;

enum Column { path, target_type, serial, depression, azimuth, rows, columns, header_version, data_offset, column_count };

Ref path_text(const std::string& path) noexcept {
    return steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

// Target types, serials and versions repeat across thousands of chips: one str each.
class Strings {
public:
    Ref get(const std::string& text) noexcept {
        try {
            Ref& slot = cache_[text];
            if (!slot) slot = steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
            return slot;
        } catch (...) {
            PyErr_NoMemory();
            return nullptr;
        }
    }

private:
    std::unordered_map<std::string, Ref> cache_;
};

// float(text) for a header value, NaN for a missing or empty one; null without an exception
// when the text is not a number (the chip is then skipped).
Ref number(const std::string& text) noexcept {
    if (text.empty()) return steal(PyFloat_FromDouble(std::nan("")));
    Ref str = steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    Ref value = str ? steal(PyFloat_FromString(str.get())) : nullptr;
    if (!value && PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return value;
}

bool append(PyObject* list, Ref item) noexcept { return item && PyList_Append(list, item.get()) == 0; }

bool append_skipped(PyObject* skipped, const std::string& path, const std::string& reason) noexcept {
    Ref text = path_text(path);
    Ref why = text ? steal(PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace")) : nullptr;
    return why && append(skipped, steal(PyTuple_Pack(2, text.get(), why.get())));
}

// The catalog's columns and skipped list from what the workers found.
PyObject* gather(const TreeListing& listing, const std::vector<ChipHeader>& found) noexcept {
    std::array<Ref, column_count> lists;
    for (Ref& list : lists)
        if (!(list = steal(PyList_New(0)))) return nullptr;
    Ref skipped = steal(PyList_New(0));
    if (!skipped) return nullptr;
    for (const auto& [folder, reason] : listing.problems)
        if (!append_skipped(skipped.get(), folder, reason)) return nullptr;
    Strings strings;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const ChipHeader& chip = found[i];
        const std::string& file = listing.files[i];
        if (chip.kind == ChipHeader::Kind::not_chip) continue;
        if (chip.kind == ChipHeader::Kind::skipped) {
            if (!append_skipped(skipped.get(), file, chip.reason)) return nullptr;
            continue;
        }
        std::array<Ref, column_count> row;
        row[depression] = number(chip.depression);
        row[azimuth] = number(chip.azimuth);
        if (PyErr_Occurred()) return nullptr;
        if (!row[depression] || !row[azimuth]) {
            const bool bad_depression = !row[depression];
            const std::string reason = (bad_depression ? "DesiredDepression= '" + chip.depression
                                                       : "TargetAz= '" + chip.azimuth) + "' is not a number";
            if (!append_skipped(skipped.get(), file, reason)) return nullptr;
            continue;
        }
        row[path] = path_text(file);
        row[target_type] = strings.get(chip.target_type);
        row[serial] = strings.get(chip.serial);
        row[header_version] = strings.get(chip.version);
        row[rows] = steal(PyLong_FromLongLong(chip.layout.rows));
        row[columns] = steal(PyLong_FromLongLong(chip.layout.columns));
        row[data_offset] = steal(PyLong_FromLongLong(chip.layout.data_offset));
        for (std::size_t c = 0; c < column_count; ++c)
            if (!append(lists[c].get(), std::move(row[c]))) return nullptr;
    }
    Ref table = steal(PyTuple_New(column_count));
    if (!table) return nullptr;
    for (std::size_t c = 0; c < column_count; ++c) PyTuple_SET_ITEM(table.get(), c, lists[c].release());
    return PyTuple_Pack(2, table.get(), skipped.get());
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
        TreeListing listing;
        bool listed = true;
        Py_BEGIN_ALLOW_THREADS
        try {
            listing = list_tree(root);
        } catch (...) {
            listed = false;
        }
        Py_END_ALLOW_THREADS
        if (!listed) return PyErr_NoMemory();
        std::vector<ChipHeader> found(listing.files.size());
        const int done = run_parallel(
            found.size(), threads,
            [&](std::size_t i) {
                found[i] = read_chip_header(listing.files[i], verify != 0);
                return true;
            },
            progress);
        if (done < 0) return nullptr;
        if (done == 0) return PyErr_NoMemory();  // the only way a task fails
        return gather(listing, found);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace chips
