// One file's header as a catalog sees it: whether the file is a chip, and if so its fields or
// why it cannot be read as one.
#pragma once

#include "format/phoenix_header.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace chips {

// No real header is longer than a few KB: a file that starts like a chip but has no end marker
// within this many bytes is skipped, so that no single file can take the scan's memory.
inline constexpr std::size_t header_limit = 65536;

// Where the data block lies and how large it is, taken by name from the header.
struct Layout {
    std::int64_t data_offset = 0, rows = 0, columns = 0;
    std::int64_t file_size() const noexcept { return data_offset + 8 * rows * columns; }
};

// What a record must still match when its chip is loaded: the file's size and a 64-bit digest of
// its header bytes (byte 0 up to the end of the [EndofPhoenixHeader] line). A file_size of -1 means
// nothing was recorded.
struct Recorded {
    std::int64_t file_size = -1;
    std::uint64_t header_digest = 0;
};

// The digest of a header's bytes; not cryptographic, but any edit changes it in practice.
std::uint64_t header_digest(std::string_view bytes) noexcept;

// The layout of a parsed header in `data`; false with `reason` set when an entry is missing,
// not a whole number, negative, too large, or points inside the header.
bool layout_of(std::string_view data, const phoenix::Header& header, Layout& layout, std::string& reason);

// "header line 7 is not UTF-8", for a header whose parse reported a fault.
std::string fault_reason(const phoenix::Header& header);

struct ChipHeader {
    enum class Kind : std::uint8_t { not_chip, skipped, chip };
    Kind kind = Kind::not_chip;
    std::string reason;  // why a skipped file was skipped
    Layout layout;
    Recorded recorded;
    double depression = 0, azimuth = 0;         // float() of the entries, NaN when missing
    std::string target_type, serial, version;  // as the header writes them
    // Where the chip was taken: CollectionName's "Collection N" and "Scene N" (-1 where it names
    // none), and the TargetArticulation text, trimmed (empty where there is none).
    std::int64_t collection = -1, scene = -1;
    std::string articulation;
    bool identified = false;                   // device and inode hold the file's identity
    dev_t device = 0;
    ino_t inode = 0;
    // The chip's identity for finding copies: Chip_MD5_CheckSum in lower case, or, for a header
    // without a 32-digit one, the MD5 of the data block.
    std::string checksum;
};

// Reads the file's header (one read of a page for a header of usual size, never more than
// header_limit bytes) and checks the file's size against it; `verify` also streams the data block
// through MD5 in fixed-size blocks and checks it against Chip_MD5_CheckSum. A file the user may not
// open is skipped ("cannot open: Permission denied"); one that cannot be opened otherwise (gone,
// a dangling link) or read before it shows a chip's first bytes is passed over as no chip. `cold` becomes
// true when the first read had to wait for the device.
ChipHeader read_chip_header(const std::string& path, bool verify, bool& cold);

}  // namespace chips
