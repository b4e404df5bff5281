#include "chip_file.hpp"

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace chips {

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

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

ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset, int& error) noexcept {
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = ::pread(fd, static_cast<char*>(buffer) + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

std::string error_text(int error) {
    char text[256];
    return strerror_r(error, text, sizeof text);
}

}  // namespace chips
