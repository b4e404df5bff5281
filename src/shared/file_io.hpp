// Files read with plain system calls, so that worker threads never need the interpreter: owning
// handles for descriptors and folder listings, and the one loop of positioned reads. No Python in it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include <dirent.h>
#include <sys/types.h>

namespace fileio {

// The bytes read first from a file that may be a chip: a page, which holds every real header
// (about 1.6 KiB).
inline constexpr std::size_t first_read = 4096;

// An open file descriptor, closed on every exit.
class FileHandle {
public:
    FileHandle() noexcept = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~FileHandle();

    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A folder's listing with the descriptor it reads, both closed on every exit.
class Listing {
public:
    Listing() noexcept = default;
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    ~Listing();

    // Takes over `folder` (a descriptor opened with O_DIRECTORY); false, with errno in `error` and
    // the descriptor closed, when it cannot be listed.
    bool open(FileHandle folder, int& error) noexcept;

    // The next entry, or null at the end (error 0) or on a failure (errno in `error`).
    const dirent* next(int& error) noexcept;
    // The folder's descriptor, for calls relative to it (fstatat).
    int fd() const noexcept;

private:
    DIR* dir_ = nullptr;
};

// Opens a regular file for reading (never blocks on a FIFO); `error` takes errno on failure.
FileHandle open_for_reading(const char* path, int& error) noexcept;

// The size of the open file, or -1 (errno in `error`) when it is not a regular file or fstat fails.
off_t regular_file_size(int fd, int& error) noexcept;

// The loop of positioned reads: reads `size` bytes at `offset`, retrying short and interrupted
// reads, until all are read, the file ends, or a read fails (errno in `error`, left alone
// otherwise). Returns the count read either way: fewer than `size` with `error` untouched means the
// file ended. Descriptors that cannot be read at an offset (pipes, sockets) fail at once.
std::size_t read_fully(int fd, void* buffer, std::size_t size, off_t offset, int& error) noexcept;

// read_fully, with -1 for a failed read: the count read (fewer only at the end of the file) or -1
// with errno in `error`.
ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error) noexcept;

// read_at, first asking only for what the page cache holds (RWF_NOWAIT): `cold` becomes true when
// the device had to be waited for, so that callers start reading ahead only on cold files. The POSIX
// fallback (file_io.cpp) cannot ask, and counts every read as cold.
ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error, bool& cold) noexcept;

// Asks the kernel to read these bytes of the file into the page cache without waiting for them:
// reads kept in flight for the device, whatever the number of threads that wait on their own.
// This hint and the next are Linux's; the POSIX fallback gives none.
struct ByteRange {
    off_t offset = 0;
    std::size_t size = 0;
};
void read_ahead(const char* path, const ByteRange* ranges, std::size_t count) noexcept;

// Reads of this file fetch only the bytes asked for (no read-ahead around them).
void exact_reads(int fd) noexcept;

// "No such file or directory", for reasons and messages.
std::string error_text(int error);

}  // namespace fileio
