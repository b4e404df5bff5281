#include "phoenix_header.hpp"

#include <cstring>
#include <limits>

namespace phoenix {

namespace {

// Strict UTF-8 as Python's decoder takes it: no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    // Headers are ASCII in practice: eight bytes at a time while no high bit is set.
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080u) break;
        p += 8;
    }
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (end - p <= extra || p[1] < lo || p[1] > hi) return false;
        for (int i = 2; i <= extra; ++i)
            if ((p[i] & 0xC0) != 0x80) return false;
        p += extra + 1;
    }
    return true;
}

// Where the first byte with its high bit set is: every line before it is ASCII, hence UTF-8.
std::size_t ascii_run(std::string_view data) noexcept {
    std::size_t at = 0;
    for (std::uint64_t word; at + 8 <= data.size(); at += 8) {
        std::memcpy(&word, data.data() + at, 8);
        if (word & 0x8080808080808080u) break;
    }
    while (at < data.size() && static_cast<unsigned char>(data[at]) < 0x80) ++at;
    return at;
}

bool is_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// text[17:-1] by characters, as a span of `line`.
Span version_value(std::string_view data, Span line) noexcept {
    std::size_t begin = line.begin;
    for (int chars = 0; begin < line.end && chars < 17; ++chars) {
        ++begin;
        while (begin < line.end && is_continuation(data[begin])) ++begin;
    }
    std::size_t end = line.end;
    if (end > line.begin) {
        --end;
        while (end > line.begin && is_continuation(data[end])) --end;
    }
    return begin < end ? Span{begin, end} : Span{end, end};
}

}  // namespace

void parse(std::string_view data, bool whole_file, Header& out) {
    out.version = {};
    out.entries.clear();  // keeps its capacity for the next header
    out.end = 0;
    out.fault = Fault::none;
    out.fault_line = 0;
    std::size_t line_number = !data.empty() && data[0] == '\n' ? 1 : 0;
    auto fail = [&](Fault fault) {
        out.fault = fault;
        out.fault_line = line_number;
    };
    // Reading starts at byte 1; each line runs through its line feed, which is not part of its text.
    std::size_t at = data.empty() ? 0 : 1;
    const std::size_t ascii_end = ascii_run(data);
    bool first = true;
    for (;;) {
        ++line_number;
        if (at >= data.size()) {
            if (!whole_file) return fail(Fault::incomplete);
            if (!first) return fail(Fault::no_end_marker);
        }
        std::size_t feed = data.find('\n', at);
        if (feed == std::string_view::npos) {
            if (!whole_file) return fail(Fault::incomplete);
            feed = data.size();
        }
        const Span line{at, feed};
        const std::string_view text = line.in(data);
        at = feed < data.size() ? feed + 1 : feed;
        if (line.end > ascii_end && !valid_utf8(text)) return fail(Fault::not_utf8);
        if (first) {
            out.version = version_value(data, line);
            first = false;
            continue;
        }
        if (text == end_marker) break;
        if (text.empty()) continue;
        std::size_t cut = 0;
        if (const Fault fault = find_separator(text, cut); fault != Fault::none) return fail(fault);
        const std::size_t value_begin = line.begin + cut + separator.size();
        out.entries.push_back({{line.begin, line.begin + cut}, {value_begin, line.end}});
    }
    out.end = at;
}

std::optional<std::string_view> find(std::string_view data, const Header& header, std::string_view key) noexcept {
    for (auto entry = header.entries.rbegin(); entry != header.entries.rend(); ++entry)
        if (entry->key.in(data) == key) return entry->value.in(data);
    if (key == "PhoenixHeaderVer") return header.version.in(data);
    return std::nullopt;
}

bool is_utf8(std::string_view text) noexcept { return valid_utf8(text); }

Fault find_separator(std::string_view text, std::size_t& cut) noexcept {
    cut = text.find(separator);
    if (cut == std::string_view::npos) return Fault::no_separator;
    if (text.find(separator, cut + separator.size()) != std::string_view::npos) return Fault::many_separators;
    return Fault::none;
}

std::size_t cut_lines(std::string_view data, Span* lines, std::size_t count) noexcept {
    std::size_t at = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t feed = data.find('\n', at);
        if (feed == std::string_view::npos) return n;
        lines[n] = {at, feed};
        at = feed + 1;
    }
    return count;
}

std::optional<std::int64_t> parse_integer(std::string_view text) noexcept {
    // The blanks int() strips, as far as they are ASCII (not \x1c to \x1f, though str.isspace()
    // counts them).
    constexpr std::string_view blanks = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    const bool negative = text[0] == '-';
    if (text[0] == '-' || text[0] == '+') text.remove_prefix(1);
    std::uint64_t value = 0;
    bool digit_before = false;  // an underscore may stand only between two digits
    for (char c : text) {
        if (c == '_' && digit_before) {
            digit_before = false;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        digit_before = true;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    }
    if (!digit_before) return std::nullopt;
    return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

const char* describe(Fault fault) noexcept {
    switch (fault) {
        case Fault::none: return "is sound";
        case Fault::incomplete: return "is cut short";
        case Fault::no_end_marker: return "has no [EndofPhoenixHeader] line before the end of the file";
        case Fault::not_utf8: return "is not UTF-8";
        case Fault::no_separator: return "is not 'Key= value'";
        case Fault::many_separators: return "holds '= ' more than once";
    }
    return "is unreadable";
}

}  // namespace phoenix
