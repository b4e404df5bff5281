#include "file_start.hpp"

#include "process.hpp"
#include "shared/file_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string_view>

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
    struct stat info;
    regular_ = ::fstat(fd_, &info) != 0 || S_ISREG(info.st_mode);
    return fill(fileio::first_read);
}

bool FileStart::more() noexcept {
    return !whole_ && bytes_.size() < (regular_ ? most : limit) && fill(2 * bytes_.size());
}

bool FileStart::end_marker_further() noexcept {
    // An end-marker line: a line feed, the marker, then a line feed or the end of the file. The
    // search starts far enough back to find one that began in what is held.
    constexpr std::string_view marker = "\n[EndofPhoenixHeader]";
    constexpr std::size_t block = 1 << 20;
    std::vector<char> buffer;
    try {
        buffer.resize(block + marker.size() + 1);
    } catch (const std::bad_alloc&) {
        return true;  // cannot tell: the steps as written decide
    }
    off_t at = static_cast<off_t>(held_ > marker.size() + 1 ? held_ - marker.size() - 1 : 1);
    for (std::size_t kept = 0;;) {
        int error = 0;
        const std::size_t got = fileio::read_fully(fd_, buffer.data() + kept, block, at, error);
        if (error != 0) return true;
        const std::string_view text(buffer.data(), kept + got);
        for (std::size_t found = text.find(marker); found != std::string_view::npos;
             found = text.find(marker, found + 1)) {
            const std::size_t after = found + marker.size();
            if (after < text.size() ? text[after] == '\n' : got < block) return true;
        }
        if (got < block) return false;
        // The last bytes again at the start of the next block: a marker cut by the block boundary.
        kept = std::min(text.size(), marker.size() + 1);
        std::copy(text.end() - static_cast<std::ptrdiff_t>(kept), text.end(), buffer.begin());
        at += static_cast<off_t>(got);
    }
}

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
