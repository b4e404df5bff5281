// The Phoenix header's text rules on bytes already in memory, with no Python objects: the same
// lines, keys and values as `mstar_header`, so that native readers of many files and the
// single-chip reader agree. Faults are reported, never raised; callers decide what they mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace phoenix {

// Every chip starts so: byte 0 a line feed, then the version line.
inline constexpr std::string_view chip_signature = "\n[PhoenixHeaderVer";
inline constexpr std::string_view end_marker = "[EndofPhoenixHeader]";
inline constexpr std::string_view separator = "= ";

enum class Fault : std::uint8_t {
    none,
    incomplete,       // the buffer ends before the end marker but is not the whole file: read more
    no_end_marker,    // the file ends before its end-marker line
    not_utf8,         // a line is not valid UTF-8
    no_separator,     // a non-empty line other than the end marker holds no "= "
    many_separators,  // a line holds "= " two or more times
};

// Byte offsets into the parsed buffer.
struct Span {
    std::size_t begin = 0, end = 0;
    std::string_view in(std::string_view data) const noexcept { return data.substr(begin, end - begin); }
};

struct Entry {
    Span key, value;
};

struct Header {
    Span version;                // the version line's text less its first 17 and its last character
    std::vector<Entry> entries;  // the entry lines in file order, repeated keys included
    std::size_t end = 0;         // the first byte after the end-marker line
    Fault fault = Fault::none;
    std::size_t fault_line = 0;  // the faulty line, counted from 1 at byte 0 of the file
};

// Reads the header in `data` (the file from byte 0) as `mstar_header` does: from byte 1, line by
// line up to the end-marker line. `whole_file` says that nothing follows `data` in the file.
void parse(std::string_view data, bool whole_file, Header& out);

// The value of `key` as `mstar_header`'s dict holds it (a repeated key keeps its last value;
// an entry named PhoenixHeaderVer replaces the version), or nothing.
std::optional<std::string_view> find(std::string_view data, const Header& header, std::string_view key) noexcept;

// Whether `text` is valid UTF-8 as Python's strict decoder takes it.
bool is_utf8(std::string_view text) noexcept;

// How many bytes `text` starts with that have no high bit set (ASCII, hence UTF-8). Headers are
// ASCII in practice: eight bytes at a time.
inline std::size_t ascii_prefix(std::string_view text) noexcept {
    std::size_t at = 0;
    for (std::uint64_t word; at + 8 <= text.size(); at += 8) {
        std::memcpy(&word, text.data() + at, 8);
        if (word & 0x8080808080808080u) break;
    }
    while (at < text.size() && static_cast<unsigned char>(text[at]) < 0x80) ++at;
    return at;
}

inline bool is_ascii(std::string_view text) noexcept { return ascii_prefix(text) == text.size(); }

// The blanks a header writer leaves around a value: spaces, tabs, and the carriage return of a line
// ended "\r\n". (int() and float() strip \n, \v and \f as well.)
inline bool value_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r'; }

// `text` less the characters `blank` takes at either end.
inline std::string_view trimmed(std::string_view text, bool (*blank)(char) noexcept = value_blank) noexcept {
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// Where an entry line's text is cut into key and value: the position of its one "= " in `cut`,
// or the fault when it holds "= " not exactly once.
Fault find_separator(std::string_view text, std::size_t& cut) noexcept;

// The first `count` lines of `data` as `readline` gives them from byte 0, each without its line
// feed, into `lines`; returns how many of them `data` holds through their line feed.
std::size_t cut_lines(std::string_view data, Span* lines, std::size_t count) noexcept;

// What int() and float() make of a header value (UTF-8 text), decided without Python.
enum class Number : std::uint8_t {
    value,              // the value
    not_a_number,       // int() or float() refuses the text
    not_representable,  // int() takes it, but it lies outside the 64-bit range: never wrapped
};

struct Integer {
    Number kind = Number::not_a_number;
    std::int64_t value = 0;
};

struct Real {
    Number kind = Number::not_a_number;
    double value = 0;
};

// int(text): blanks around an optionally signed run of decimal digits (any Unicode decimal digit
// and Unicode blank, as str does), single underscores between digits. The text must have passed
// is_utf8.
Integer read_integer(std::string_view text) noexcept;

// float(text): the same blanks and digits, a decimal point, an exponent, "inf", "infinity" and
// "nan" in any letter case, underscores between digits; correctly rounded, overflowing to an
// infinity. Allocates for texts longer than a few hundred bytes (std::bad_alloc).
Real read_float(std::string_view text);

// What `fault` means, for messages: "is not UTF-8", "is not 'Key= value'", ...
const char* describe(Fault fault) noexcept;

}  // namespace phoenix
