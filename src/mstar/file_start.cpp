#include "file_start.hpp"

#include "process.hpp"
#include "shared/file_io.hpp"

#include <unistd.h>

#include <new>

namespace mstar {

namespace {

// A header that needs more than 1 MiB is left to the steps as written.
constexpr std::size_t most = 1 << 20;

}  // namespace

bool FileStart::read(PyObject* open, Handle file) noexcept {
    const Originals& o = originals();
    if (!o.open || open != o.open.get() || !of_type(file.get(), o.buffered_reader)) return false;
    fd_ = PyObject_AsFileDescriptor(file.get());
    if (fd_ < 0) {
        PyErr_Clear();
        return false;
    }
    return fill(fileio::first_read);
}

bool FileStart::more() noexcept { return !whole_ && bytes_.size() < most && fill(2 * bytes_.size()); }

bool FileStart::at_start() const noexcept { return lseek(fd_, 0, SEEK_CUR) == 0; }

bool FileStart::fill(std::size_t size) noexcept {
    try {
        bytes_.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // pread fails on pipes and sockets: the steps as written then meet what they meet.
    int error = 0;
    held_ += fileio::read_fully(fd_, bytes_.data() + held_, size - held_, static_cast<off_t>(held_), error);
    if (error != 0) return false;
    if (held_ < size) whole_ = true;  // the file ended
    return true;
}

}  // namespace mstar
