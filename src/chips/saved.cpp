#include "saved.hpp"

#include "crc32.hpp"
#include "parallel.hpp"
#include "shared/file_io.hpp"
#include "shared/py_ref.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

namespace chips {

namespace {

// Small enough that a block is still in the core's cache when its CRC is computed.
constexpr std::size_t block = std::size_t{1} << 20;

std::size_t length_of(std::size_t i, std::size_t size) noexcept { return std::min(block, size - i * block); }

// The CRC of the bytes that gave `crc` followed by the blocks whose CRCs are `crcs`.
PyObject* combined(unsigned long crc, const std::vector<std::uint32_t>& crcs, std::size_t size) noexcept {
    auto total = static_cast<std::uint32_t>(crc);
    for (std::size_t i = 0; i < crcs.size(); ++i) total = crc32_combine(total, crcs[i], length_of(i, size));
    return PyLong_FromUnsignedLong(total);
}

}  // namespace

PyObject* read_checked(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"fd", "offset", "out", "crc", "threads", nullptr};
    int fd = -1, threads = 1;
    long long offset = -1;
    unsigned long crc = 0;
    PyObject* out_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$iLOki:read_checked", const_cast<char**>(keywords), &fd, &offset,
                                     &out_object, &crc, &threads))
        return nullptr;
    if (fd < 0 || offset < 0 || !out_object || crc > 0xffffffffu) {
        PyErr_SetString(PyExc_TypeError, "read_checked() needs fd, offset and out, and a crc of 32 bits");
        return nullptr;
    }
    py::Buffer out;
    if (!out.acquire(out_object, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
    auto* bytes = static_cast<unsigned char*>(out.data());
    const auto size = static_cast<std::size_t>(out.size());
    const std::size_t count = (size + block - 1) / block;
    try {
        std::vector<std::uint32_t> crcs(count);
        std::atomic<int> error{0};
        std::atomic<bool> short_read{false};
        const int done = run_parallel(
            count, threads,
            [&](std::size_t i) {
                const std::size_t length = length_of(i, size);
                int failure = 0;
                const auto at = static_cast<off_t>(offset) + static_cast<off_t>(i * block);
                const ssize_t got = fileio::read_at(fd, bytes + i * block, length, at, failure);
                if (got < 0) {
                    error.store(failure);
                    return false;
                }
                if (static_cast<std::size_t>(got) < length) {
                    short_read.store(true);
                    return false;
                }
                crcs[i] = crc32(0, bytes + i * block, length);
                return true;
            },
            nullptr);
        if (done < 0) return nullptr;
        if (done == 0) {
            if (short_read.load()) {
                PyErr_SetString(PyExc_EOFError, "the file ends before the array does");
                return nullptr;
            }
            errno = error.load();
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        return combined(crc, crcs, size);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* checksum(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"data", "crc", "threads", nullptr};
    int threads = 1;
    unsigned long crc = 0;
    PyObject* data_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$Oki:checksum", const_cast<char**>(keywords), &data_object, &crc,
                                     &threads))
        return nullptr;
    if (!data_object || crc > 0xffffffffu) {
        PyErr_SetString(PyExc_TypeError, "checksum() needs data, and a crc of 32 bits");
        return nullptr;
    }
    py::Buffer data;
    if (!data.acquire(data_object, PyBUF_C_CONTIGUOUS)) return nullptr;
    const auto* bytes = static_cast<const unsigned char*>(data.data());
    const auto size = static_cast<std::size_t>(data.size());
    try {
        std::vector<std::uint32_t> crcs((size + block - 1) / block);
        const int done = run_parallel(
            crcs.size(), threads,
            [&](std::size_t i) {
                crcs[i] = crc32(0, bytes + i * block, length_of(i, size));
                return true;
            },
            nullptr);
        if (done < 0) return nullptr;
        return combined(crc, crcs, size);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace chips
