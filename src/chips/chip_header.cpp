#include "chip_header.hpp"

#include "md5.hpp"
#include "shared/file_io.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include <sys/stat.h>

namespace chips {

using fileio::FileHandle;
using fileio::error_text;
using fileio::exact_reads;
using fileio::first_read;
using fileio::open_for_reading;
using fileio::read_at;

namespace {

constexpr std::size_t md5_block = 1 << 16;  // verify streams the data block in blocks of this size

ChipHeader skipped(std::string reason) {
    ChipHeader out;
    out.kind = ChipHeader::Kind::skipped;
    out.reason = std::move(reason);
    return out;
}

// A required non-negative whole number as int() reads it: false with `reason` set otherwise.
bool whole_number(std::string_view data, const phoenix::Header& header, std::string_view key, std::int64_t& out,
                  std::string& reason) {
    const auto text = phoenix::find(data, header, key);
    if (!text) {
        reason = "header has no " + std::string(key) + " entry";
        return false;
    }
    const phoenix::Integer value = phoenix::read_integer(*text);
    if (value.kind == phoenix::Number::not_representable) {
        reason = std::string(key) + " is too large";
        return false;
    }
    if (value.kind != phoenix::Number::value || value.value < 0) {
        reason = std::string(key) + "= '" + std::string(*text) + "' is not a count";
        return false;
    }
    out = value.value;
    return true;
}

// float() of an entry, NaN when the header has none or leaves it blank (a value not given, which is
// no damage); false with `reason` set when float() refuses it.
bool real_number(std::string_view data, const phoenix::Header& header, std::string_view key, double& out,
                 std::string& reason) {
    const auto text = phoenix::find(data, header, key);
    if (!text || phoenix::trimmed(*text).empty()) {
        out = std::nan("");
        return true;
    }
    const phoenix::Real value = phoenix::read_float(*text);
    if (value.kind != phoenix::Number::value) {
        reason = std::string(key) + "= '" + std::string(*text) + "' is not a number";
        return false;
    }
    out = value.value;
    return true;
}

std::string text_of(std::string_view data, const phoenix::Header& header, std::string_view key) {
    return std::string(phoenix::find(data, header, key).value_or(std::string_view{}));
}

// The number after `word` in `text` ("MSTAR Collection 2 Scene 3": 2 for "collection"), letter
// case ignored; -1 when `word` is not followed by a number of at most 9 digits.
std::int64_t numbered(std::string_view text, std::string_view word) {
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (!std::equal(word.begin(), word.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                        [&](char a, char b) { return a == lower(b); }))
            continue;
        std::size_t digit = at + word.size();
        while (digit < text.size() && text[digit] == ' ') ++digit;
        std::size_t end = digit;
        while (end < text.size() && end - digit < 10 && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end == digit || end - digit > 9) continue;
        std::int64_t value = 0;
        for (std::size_t i = digit; i < end; ++i) value = 10 * value + (text[i] - '0');
        return value;
    }
    return -1;
}

// A full scene or a clutter image: a native header after the Phoenix header, then one 16-bit
// magnitude sample per pixel, and the file exactly that long. Named here, as it is no damage.
std::optional<std::string> scene_image(std::string_view data, const phoenix::Header& header, const Layout& layout,
                                       off_t size) {
    std::int64_t native = 0, end = 0;
    std::string ignored;
    if (!whole_number(data, header, "native_header_length", native, ignored) || native == 0 ||
        __builtin_add_overflow(layout.data_offset, native, &end) ||
        __builtin_add_overflow(end, 2 * layout.rows * layout.columns, &end) || end != static_cast<std::int64_t>(size))
        return std::nullopt;
    return "not a target chip: full scene or clutter image (a native header of " + std::to_string(native) +
           " bytes, then " + std::to_string(layout.rows) + " x " + std::to_string(layout.columns) +
           " 16-bit magnitude samples)";
}

// A written checksum in lower case, or empty when it is no 32-digit hexadecimal number.
std::string lower_md5(std::optional<std::string_view> written) {
    const std::string_view text = written ? phoenix::trimmed(*written) : std::string_view{};
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.size() != 32 || !std::ranges::all_of(text, hex)) return {};
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The data block through MD5, a block at a time; nothing when the file cannot be read whole.
std::optional<std::string> block_md5(int fd, const Layout& layout, int& error) {
    thread_local std::vector<unsigned char> block(md5_block);
    Md5 hash;
    const std::int64_t end = layout.file_size();
    for (std::int64_t at = layout.data_offset; at < end;) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(end - at, md5_block));
        const ssize_t got = read_at(fd, block.data(), want, static_cast<off_t>(at), error);
        if (got < 0) return std::nullopt;
        if (static_cast<std::size_t>(got) < want) {
            error = EIO;  // the file shrank while it was read
            return std::nullopt;
        }
        hash.update(block.data(), want);
        at += static_cast<std::int64_t>(want);
    }
    return hex(hash.finish());
}

}  // namespace

std::uint64_t header_digest(std::string_view bytes) noexcept {
    // Eight bytes at a time, each word multiplied in; the length and a final mix close it.
    constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15u, k2 = 0xC2B2AE3D27D4EB4Fu;
    std::uint64_t h = 0x27D4EB2F165667C5u ^ bytes.size();
    std::size_t at = 0;
    for (std::uint64_t word; at + 8 <= bytes.size(); at += 8) {
        std::memcpy(&word, bytes.data() + at, 8);
        h = std::rotl((h ^ word) * k1, 31) * k2;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    h = std::rotl((h ^ tail) * k1, 31) * k2;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDu;
    h ^= h >> 33;
    return h;
}

bool layout_of(std::string_view data, const phoenix::Header& header, Layout& layout, std::string& reason) {
    if (!whole_number(data, header, "PhoenixHeaderLength", layout.data_offset, reason) ||
        !whole_number(data, header, "NumberOfColumns", layout.columns, reason) ||
        !whole_number(data, header, "NumberOfRows", layout.rows, reason))
        return false;
    if (static_cast<std::size_t>(layout.data_offset) < header.end) {
        reason = "PhoenixHeaderLength= " + std::to_string(layout.data_offset) + " points inside the header";
        return false;
    }
    std::int64_t block;
    if (__builtin_mul_overflow(layout.rows, layout.columns, &block) || __builtin_mul_overflow(block, 8, &block)) {
        reason = "NumberOfRows and NumberOfColumns are too large";
        return false;
    }
    if (__builtin_add_overflow(block, layout.data_offset, &block)) {  // the counts alone would fit
        reason = "PhoenixHeaderLength= " + std::to_string(layout.data_offset) + " is too large for a file";
        return false;
    }
    return true;
}

std::string fault_reason(const phoenix::Header& header) {
    if (header.fault == phoenix::Fault::no_end_marker) return std::string("header ") + phoenix::describe(header.fault);
    return "header line " + std::to_string(header.fault_line) + " " + phoenix::describe(header.fault);
}

ChipHeader read_chip_header(const std::string& path, bool verify, bool& cold) {
    int error = 0;
    FileHandle file = open_for_reading(path.c_str(), error);
    // A file the user may not read is told, as an unreadable folder is; one gone since the listing
    // (or a dangling link) is passed over.
    if (!file) return error == EACCES || error == EPERM ? skipped("cannot open: " + error_text(error)) : ChipHeader{};
    // Each thread keeps its buffer (never larger than header_limit) and its list of entries.
    thread_local std::vector<char> scratch;
    thread_local phoenix::Header header;
    const auto read_more = [&](std::size_t have, std::size_t want) -> ssize_t {
        if (scratch.size() < want) scratch.resize(want);
        return read_at(file.get(), scratch.data() + have, want - have, static_cast<off_t>(have), error);
    };

    // Most files are no chips (previews, pages): their first page tells, and only chips are asked
    // for their size.
    std::size_t want = first_read;
    if (!verify) exact_reads(file.get());  // a page, not the kernel's read-ahead of a whole chip
    if (scratch.size() < want) scratch.resize(want);
    ssize_t got = read_at(file.get(), scratch.data(), want, 0, error, cold);
    if (got < 0) return ChipHeader{};
    std::size_t have = static_cast<std::size_t>(got);
    if (!std::string_view(scratch.data(), have).starts_with(phoenix::chip_signature)) return ChipHeader{};
    struct stat info;
    if (::fstat(file.get(), &info) != 0) return skipped("cannot read: " + error_text(errno));
    if (!S_ISREG(info.st_mode)) return ChipHeader{};
    const off_t size = info.st_size;
    // From here on the file is known by its device and inode: links to it are one chip.
    const auto skipped = [&](std::string reason) {
        ChipHeader out = chips::skipped(std::move(reason));
        out.identified = true;
        out.device = info.st_dev;
        out.inode = info.st_ino;
        return out;
    };
    // Read on only for an unusually long header, and never past the limit.
    for (;;) {
        const bool whole = have >= static_cast<std::size_t>(size) || have < want;
        phoenix::parse(std::string_view(scratch.data(), have), whole, header);
        if (header.fault != phoenix::Fault::incomplete) break;
        if (want >= header_limit)
            return skipped("header has no end marker within " + std::to_string(header_limit) + " bytes");
        want = std::min(2 * want, header_limit);
        if ((got = read_more(have, want)) < 0) return skipped("cannot read: " + error_text(error));
        have += static_cast<std::size_t>(got);
    }
    const std::string_view buffer(scratch.data(), have);
    if (header.fault != phoenix::Fault::none) return skipped(fault_reason(header));

    ChipHeader out = skipped("");
    std::string reason;
    if (!layout_of(buffer, header, out.layout, reason)) return skipped(std::move(reason));
    const std::int64_t expected = out.layout.file_size();
    if (expected != static_cast<std::int64_t>(size)) {
        if (auto image = scene_image(buffer, header, out.layout, size)) return skipped(std::move(*image));
        const char* what = expected > size ? "data block is truncated: " : "counts do not match the file size: ";
        return skipped(what + ("the file has " + std::to_string(size)) +
                       " bytes, PhoenixHeaderLength and the counts make " + std::to_string(expected));
    }
    if (!real_number(buffer, header, "DesiredDepression", out.depression, reason) ||
        !real_number(buffer, header, "TargetAz", out.azimuth, reason))
        return skipped(std::move(reason));
    const auto written = phoenix::find(buffer, header, "Chip_MD5_CheckSum");
    out.checksum = lower_md5(written);
    if (verify) {
        if (!written) return skipped("header has no Chip_MD5_CheckSum to verify");
        if (phoenix::trimmed(*written).empty()) return skipped("header's Chip_MD5_CheckSum is empty: nothing to verify");
        const auto computed = block_md5(file.get(), out.layout, error);
        if (!computed) return skipped("cannot read: " + error_text(error));
        if (out.checksum != *computed)  // the written one in lower case, empty when it is no MD5 at all
            return skipped("Chip_MD5_CheckSum " + std::string(phoenix::trimmed(*written)) +
                           " does not match the data block's MD5 " + *computed);
    }
    out.kind = ChipHeader::Kind::chip;
    out.recorded = {static_cast<std::int64_t>(size), header_digest(buffer.substr(0, header.end))};
    out.target_type = text_of(buffer, header, "TargetType");
    out.serial = text_of(buffer, header, "TargetSerNum");
    out.version = text_of(buffer, header, "PhoenixHeaderVer");
    const std::string collection = text_of(buffer, header, "CollectionName");
    out.collection = numbered(collection, "collection");
    out.scene = numbered(collection, "scene");
    out.articulation = std::string(phoenix::trimmed(text_of(buffer, header, "TargetArticulation")));
    if (out.checksum.empty()) {
        // No checksum to go by: the data block's own MD5 tells copies apart (read only for such chips).
        const auto computed = block_md5(file.get(), out.layout, error);
        if (!computed) return skipped("cannot read: " + error_text(error));
        out.checksum = *computed;
    }
    return out;
}

}  // namespace chips
