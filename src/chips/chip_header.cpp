#include "chip_header.hpp"

#include "chip_file.hpp"
#include "md5.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace chips {

namespace {

ChipHeader skipped(std::string reason) {
    ChipHeader out;
    out.kind = ChipHeader::Kind::skipped;
    out.reason = std::move(reason);
    return out;
}

// A required non-negative whole number: false with `reason` set otherwise.
bool whole_number(std::string_view data, const phoenix::Header& header, std::string_view key, std::int64_t& out,
                  std::string& reason) {
    const auto text = phoenix::find(data, header, key);
    if (!text) {
        reason = "header has no " + std::string(key) + " entry";
        return false;
    }
    const auto value = phoenix::parse_integer(*text);
    if (!value || *value < 0) {
        reason = std::string(key) + "= '" + std::string(*text) + "' is not a count";
        return false;
    }
    out = *value;
    return true;
}

std::string text_of(std::string_view data, const phoenix::Header& header, std::string_view key) {
    return std::string(phoenix::find(data, header, key).value_or(std::string_view{}));
}

std::string_view trimmed(std::string_view text) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// A written checksum in lower case, or empty when it is no 32-digit hexadecimal number.
std::string lower_md5(std::optional<std::string_view> written) {
    const std::string_view text = written ? trimmed(*written) : std::string_view{};
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.size() != 32 || !std::ranges::all_of(text, hex)) return {};
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool same_hex(std::string_view written, std::string_view computed) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!written.empty() && blank(written.front())) written.remove_prefix(1);
    while (!written.empty() && blank(written.back())) written.remove_suffix(1);
    return std::ranges::equal(written, computed, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}

}  // namespace

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
    if (__builtin_mul_overflow(layout.rows, layout.columns, &block) || __builtin_mul_overflow(block, 8, &block) ||
        __builtin_add_overflow(block, layout.data_offset, &block)) {
        reason = "NumberOfRows and NumberOfColumns are too large";
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
    if (!file) return skipped("cannot open: " + error_text(error));
    // Each thread keeps its buffer (it grows to the largest file read and is never filled twice)
    // and its list of entries.
    thread_local std::vector<char> scratch;
    thread_local phoenix::Header header;
    const auto read_more = [&](std::size_t have, std::size_t want) -> ssize_t {
        if (scratch.size() < want) scratch.resize(want);
        return read_at(file.get(), scratch.data() + have, want - have, static_cast<off_t>(have), error);
    };
    const auto size_of_file = [&] { return regular_file_size(file.get(), error); };

    // Most files are no chips (previews, pages): their first page tells, and the size is asked for
    // only of the chips. Verifying reads the whole file at once.
    off_t size = verify ? size_of_file() : -1;
    if (verify && size < 0) return skipped("cannot read: " + error_text(error));
    std::size_t want = verify ? static_cast<std::size_t>(size) : first_read;
    if (scratch.size() < want) scratch.resize(want);
    exact_reads(file.get());  // a page, not the kernel's read-ahead of a whole chip
    ssize_t got = read_at(file.get(), scratch.data(), want, 0, error, cold);
    if (got < 0) return skipped("cannot read: " + error_text(error));
    std::size_t have = static_cast<std::size_t>(got);
    if (!std::string_view(scratch.data(), have).starts_with(phoenix::chip_signature)) return ChipHeader{};
    if (size < 0 && (size = size_of_file()) < 0) return skipped("cannot read: " + error_text(error));
    // Read on only for an unusually long header.
    for (;;) {
        const bool whole = have >= static_cast<std::size_t>(size) || have < want;
        phoenix::parse(std::string_view(scratch.data(), have), whole, header);
        if (header.fault != phoenix::Fault::incomplete) break;
        want = std::min(2 * want, static_cast<std::size_t>(size));
        if ((got = read_more(have, want)) < 0) return skipped("cannot read: " + error_text(error));
        have += static_cast<std::size_t>(got);
    }
    const std::string_view buffer(scratch.data(), have);
    if (header.fault != phoenix::Fault::none) return skipped(fault_reason(header));

    ChipHeader out;
    std::string reason;
    if (!layout_of(buffer, header, out.layout, reason)) return skipped(std::move(reason));
    const std::int64_t expected = out.layout.file_size();
    if (expected != static_cast<std::int64_t>(size)) {
        const char* what = expected > size ? "data block is truncated: " : "counts do not match the file size: ";
        return skipped(what + ("the file has " + std::to_string(size)) +
                       " bytes, PhoenixHeaderLength and the counts make " + std::to_string(expected));
    }
    const auto written = phoenix::find(buffer, header, "Chip_MD5_CheckSum");
    out.checksum = lower_md5(written);
    if (verify) {
        if (!written) return skipped("header has no Chip_MD5_CheckSum to verify");
        const auto* block = reinterpret_cast<const unsigned char*>(buffer.data()) + out.layout.data_offset;
        const std::string computed = md5_hex(block, static_cast<std::size_t>(expected - out.layout.data_offset));
        if (!same_hex(*written, computed))
            return skipped("Chip_MD5_CheckSum " + std::string(*written) + " does not match the data block's MD5 " + computed);
    }
    out.kind = ChipHeader::Kind::chip;
    out.target_type = text_of(buffer, header, "TargetType");
    out.serial = text_of(buffer, header, "TargetSerNum");
    out.depression = text_of(buffer, header, "DesiredDepression");
    out.azimuth = text_of(buffer, header, "TargetAz");
    out.version = text_of(buffer, header, "PhoenixHeaderVer");
    if (out.checksum.empty()) {
        // No checksum to go by: the data block's own MD5 tells copies apart (read only for such chips;
        // this comes last, as the read may move the buffer the fields were read from).
        if (have < static_cast<std::size_t>(size)) {
            if ((got = read_more(have, static_cast<std::size_t>(size))) < 0)
                return skipped("cannot read: " + error_text(error));
            have += static_cast<std::size_t>(got);
            if (have != static_cast<std::size_t>(size)) return skipped("cannot read: the file shrank");
        }
        const auto* block = reinterpret_cast<const unsigned char*>(scratch.data()) + out.layout.data_offset;
        out.checksum = md5_hex(block, static_cast<std::size_t>(expected - out.layout.data_offset));
    }
    return out;
}

}  // namespace chips
