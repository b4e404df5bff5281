// A file read with plain system calls, so that worker threads never need the interpreter.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include <sys/types.h>

namespace chips {

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

// Opens a regular file for reading (never blocks on a FIFO); `error` takes errno on failure.
FileHandle open_for_reading(const char* path, int& error) noexcept;

// The size of the open file, or -1 (errno in `error`) when it is not a regular file or fstat fails.
off_t regular_file_size(int fd, int& error) noexcept;

// Reads up to `size` bytes at `offset`, retrying short reads; returns the count read (fewer only
// at the end of the file) or -1 with errno in `error`.
ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error) noexcept;

// read_at, first asking only for what the page cache holds (RWF_NOWAIT): `cold` becomes true when
// the device had to be waited for, so that callers start reading ahead only on cold files.
ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error, bool& cold) noexcept;

// Asks the kernel to read these bytes of the file into the page cache without waiting for them:
// reads kept in flight for the device, whatever the number of threads that wait on their own.
struct ByteRange {
    off_t offset = 0;
    std::size_t size = 0;
};
void read_ahead(const char* path, const ByteRange* ranges, std::size_t count) noexcept;

// Reads of this file fetch only the bytes asked for (no read-ahead around them).
void exact_reads(int fd) noexcept;

// "No such file or directory", for reasons and messages.
std::string error_text(int error);

}  // namespace chips
