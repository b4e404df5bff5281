// One file's header as a catalog sees it: whether the file is a chip, and if so its fields or
// why it cannot be read as one.
#pragma once

#include "format/phoenix_header.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace chips {

// Where the data block lies and how large it is, taken by name from the header.
struct Layout {
    std::int64_t data_offset = 0, rows = 0, columns = 0;
    std::int64_t file_size() const noexcept { return data_offset + 8 * rows * columns; }
};

// The layout of a parsed header in `data`; false with `reason` set when an entry is missing,
// not a whole number, negative, or points inside the header.
bool layout_of(std::string_view data, const phoenix::Header& header, Layout& layout, std::string& reason);

// "header line 7 is not UTF-8", for a header whose parse reported a fault.
std::string fault_reason(const phoenix::Header& header);

struct ChipHeader {
    enum class Kind : std::uint8_t { not_chip, skipped, chip };
    Kind kind = Kind::not_chip;
    std::string reason;  // why a skipped file was skipped
    Layout layout;
    std::string target_type, serial, depression, azimuth, version;  // as the header writes them
    // The chip's identity for finding copies: Chip_MD5_CheckSum in lower case, or, for a header
    // without a 32-digit one, the MD5 of the data block.
    std::string checksum;
};

// The bytes a scan reads first: a page, which holds every real header.
inline constexpr std::size_t first_read = 4096;

// Reads the file's header (with one read, for a header of usual size) and checks the file's size
// against it; `verify` reads the data block too and checks it against Chip_MD5_CheckSum. `cold`
// becomes true when the first read had to wait for the device.
ChipHeader read_chip_header(const std::string& path, bool verify, bool& cold);

}  // namespace chips
