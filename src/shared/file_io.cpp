#include "file_io.hpp"

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

// The one seam between Linux and the rest: Linux reads first from the page cache alone
// (preadv2 with RWF_NOWAIT) and hints at what it will read (posix_fadvise); the POSIX fallback,
// which macOS and the BSDs take, reads with plain pread and gives no hints. The CMake option
// VANTREL_PORTABLE_IO builds the fallback on Linux too, so that its path is tested.
#if defined(__linux__) && !defined(VANTREL_PORTABLE_IO)
#define VANTREL_LINUX_IO 1
#else
#define VANTREL_LINUX_IO 0
#endif

namespace fileio {

namespace {

// GNU's strerror_r returns the text, which need not be in the buffer; POSIX's fills the buffer.
[[maybe_unused]] const char* error_message(const char* text, const char*) noexcept { return text; }
[[maybe_unused]] const char* error_message(int failed, const char* buffer) noexcept {
    return failed == 0 ? buffer : "Unknown error";
}

}  // namespace

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

bool Listing::open(FileHandle folder, int& error) noexcept {
    dir_ = ::fdopendir(folder.get());
    if (!dir_) {
        error = errno;
        return false;
    }
    folder.release();  // closed with the listing
    return true;
}

Listing::~Listing() {
    if (dir_) ::closedir(dir_);
}

const dirent* Listing::next(int& error) noexcept {
    errno = 0;
    const dirent* entry = ::readdir(dir_);
    error = entry ? 0 : errno;
    return entry;
}

int Listing::fd() const noexcept { return ::dirfd(dir_); }

FileHandle open_for_reading(const char* path, int& error) noexcept {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) error = errno;
    return FileHandle(fd);
}

off_t regular_file_size(int fd, int& error) noexcept {
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        error = errno;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = EINVAL;
        return -1;
    }
    return info.st_size;
}

std::size_t read_fully(int fd, void* buffer, std::size_t size, off_t offset, int& error) noexcept {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, static_cast<char*>(buffer) + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error) noexcept {
    int failed = 0;
    const std::size_t done = read_fully(fd, buffer, size, offset, failed);
    if (failed != 0) {
        error = failed;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error, bool& cold) noexcept {
    std::size_t done = 0;
#if VANTREL_LINUX_IO && defined(RWF_NOWAIT)
    for (;;) {
        iovec part{static_cast<char*>(buffer) + done, size - done};
        const ssize_t got = ::preadv2(fd, &part, 1, offset + static_cast<off_t>(done), RWF_NOWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // EAGAIN: not cached; EOPNOTSUPP and the like: read as usual below
        done += static_cast<std::size_t>(got);
        if (done == size) return static_cast<ssize_t>(done);
    }
#endif
    const ssize_t rest = read_at(fd, static_cast<char*>(buffer) + done, size - done, offset + static_cast<off_t>(done), error);
    if (rest < 0) return -1;
    if (rest > 0) cold = true;
    return static_cast<ssize_t>(done) + rest;
}

#if VANTREL_LINUX_IO
void read_ahead(const char* path, const ByteRange* ranges, std::size_t count) noexcept {
    int error = 0;
    FileHandle file = open_for_reading(path, error);
    if (!file) return;  // the read proper reports it
    for (std::size_t i = 0; i < count; ++i)
        if (ranges[i].size > 0)
            ::posix_fadvise(file.get(), ranges[i].offset, static_cast<off_t>(ranges[i].size), POSIX_FADV_WILLNEED);
}

void exact_reads(int fd) noexcept { ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); }
#else
// No hints: the system's own read-ahead decides.
void read_ahead(const char*, const ByteRange*, std::size_t) noexcept {}

void exact_reads(int) noexcept {}
#endif

std::string error_text(int error) {
    char text[256];
    return error_message(strerror_r(error, text, sizeof text), text);
}

}  // namespace fileio
