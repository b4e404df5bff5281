// The first bytes of a file opened by the built-in `open`, read from its descriptor with system
// calls: the file object's own position and buffer are left as they were, so that the steps as
// written can still run on it afterwards.
#pragma once

#include "core/ref.hpp"

#include <cstddef>
#include <string_view>
#include <vector>

namespace mstar {

class FileStart {
public:
    // Reads the file's first bytes (from byte 0) when `file` is what the built-in `open` (`open`
    // being it) gives for a file that can be read at an offset; false, with no exception, if not.
    bool read(PyObject* open, Handle file) noexcept;
    // Reads on, to twice what is held (1 MiB at most; for a file that is not a regular file, which
    // nothing bounds, limit bytes); false when there is no more to read.
    bool more() noexcept;
    static constexpr std::size_t limit = 1 << 16;

    std::string_view data() const noexcept { return {bytes_.data(), held_}; }
    // A read came back short: data() is all the file holds.
    bool whole_file() const noexcept { return whole_; }
    // Whether the file object reads on from byte 0 (a descriptor handed to `open` may not).
    bool at_start() const noexcept;
    // A regular file (else a device or the like: it may never end).
    bool regular() const noexcept { return regular_; }
    // Whether the file holds, past what is held, a line that is exactly the end marker. It reads the
    // rest of the file a block at a time: the memory stays bounded whatever the file's size.
    bool end_marker_further() noexcept;

private:
    bool fill(std::size_t size) noexcept;

    int fd_ = -1;
    std::size_t held_ = 0;
    bool whole_ = false;
    bool regular_ = true;
    std::vector<char> bytes_;
};

}  // namespace mstar
