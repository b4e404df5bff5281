#include "phoenix_header.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>

namespace phoenix {

namespace {

// Strict UTF-8 as Python's decoder takes it: no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + ascii_prefix(text);
    const auto* end = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
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
    const std::size_t ascii_end = ascii_prefix(data);  // every line before it is UTF-8
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

namespace {

// The first code point of each run of ten Unicode decimal digits (zero to nine), as str's
// methods know them (Unicode 15.1), past ASCII.
constexpr char32_t decimal_zeros[] = {
    0x660,   0x6f0,   0x7c0,   0x966,   0x9e6,   0xa66,   0xae6,   0xb66,   0xbe6,   0xc66,   0xce6,   0xd66,
    0xde6,   0xe50,   0xed0,   0xf20,   0x1040,  0x1090,  0x17e0,  0x1810,  0x1946,  0x19d0,  0x1a80,  0x1a90,
    0x1b50,  0x1bb0,  0x1c40,  0x1c50,  0xa620,  0xa8d0,  0xa900,  0xa9d0,  0xa9f0,  0xaa50,  0xabf0,  0xff10,
    0x104a0, 0x10d30, 0x11066, 0x110f0, 0x11136, 0x111d0, 0x112f0, 0x11450, 0x114d0, 0x11650, 0x116c0, 0x11730,
    0x118e0, 0x11950, 0x11c50, 0x11d50, 0x11da0, 0x11f50, 0x16a60, 0x16ac0, 0x16b50, 0x1d7ce, 0x1d7d8, 0x1d7e2,
    0x1d7ec, 0x1d7f6, 0x1e140, 0x1e2f0, 0x1e4f0, 0x1e950, 0x1fbf0};
// The blanks of str.isspace() past ASCII.
constexpr char32_t unicode_blanks[] = {0x85,   0xa0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
                                       0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200a,
                                       0x2028, 0x2029, 0x202f, 0x205f, 0x3000};

// The next code point of valid UTF-8 text as int() and float() see it: ASCII as it is, a Unicode
// blank as ' ', a Unicode digit as its ASCII digit, anything else as '?' (which neither takes).
char next_ascii(std::string_view text, std::size_t& at) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int i = 1; i <= extra && at + 1 < text.size(); ++i)
        code = code << 6 | (static_cast<unsigned char>(text[++at]) & 0x3Fu);
    ++at;
    if (code < 0x7F) return static_cast<char>(code);
    if (std::binary_search(std::begin(unicode_blanks), std::end(unicode_blanks), code)) return ' ';
    const auto* run = std::upper_bound(std::begin(decimal_zeros), std::end(decimal_zeros), code);
    if (run != std::begin(decimal_zeros) && code - run[-1] < 10) return static_cast<char>('0' + (code - run[-1]));
    return '?';
}

// The blanks int() and float() strip once the text is ASCII (not \x1c to \x1f).
bool is_blank(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// int() refuses strings of more digits than this (sys.get_int_max_str_digits() by default).
constexpr std::size_t max_int_digits = 4300;

}  // namespace

Integer read_integer(std::string_view text) noexcept {
    enum { before, after_sign, in_digits, after_underscore, after } state = before;
    bool negative = false, too_large = false;
    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;  // the magnitude of INT64_MIN
    for (std::size_t at = 0; at < text.size();) {
        const char c = next_ascii(text, at);
        if (state == before && is_blank(c)) continue;
        if (state == before && (c == '+' || c == '-')) {
            negative = c == '-';
            state = after_sign;
            continue;
        }
        if (state == in_digits && c == '_') {
            state = after_underscore;
            continue;
        }
        if ((state == in_digits || state == after) && is_blank(c)) {
            state = after;
            continue;
        }
        if (state == after || !is_digit(c)) return {};
        state = in_digits;
        ++digits;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) too_large = true;  // never wrapped
        else magnitude = magnitude * 10 + digit;
    }
    if ((state != in_digits && state != after) || digits > max_int_digits) return {};
    if (too_large || (!negative && magnitude == limit)) return {Number::not_representable, 0};
    const std::int64_t value = magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                                                  : static_cast<std::int64_t>(magnitude);
    return {Number::value, negative && magnitude != limit ? -value : value};
}

Real read_float(std::string_view text) {
    std::string ascii;
    ascii.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) ascii += next_ascii(text, at);
    const std::string_view bare = trimmed(ascii, is_blank);
    // An underscore only between two digits; then it is dropped.
    std::string number;
    for (std::size_t i = 0; i < bare.size(); ++i) {
        if (bare[i] != '_') {
            number += bare[i];
            continue;
        }
        if (i == 0 || i + 1 == bare.size() || !is_digit(bare[i - 1]) || !is_digit(bare[i + 1])) return {};
    }
    std::string_view rest = number;
    const bool negative = rest.starts_with('-');
    if (negative || rest.starts_with('+')) rest.remove_prefix(1);
    const double sign = negative ? -1.0 : 1.0;
    const auto named = [&](std::string_view name) {
        return std::ranges::equal(rest, name, [](char a, char b) { return (a | 0x20) == b; });
    };
    if (named("inf") || named("infinity")) return {Number::value, sign * std::numeric_limits<double>::infinity()};
    if (named("nan")) return {Number::value, std::copysign(std::numeric_limits<double>::quiet_NaN(), sign)};
    // Digits, an optional point and digits (one digit at least), an optional exponent.
    std::size_t i = 0, mantissa_digits = 0;
    long magnitude = 0;  // the power of ten of the leading nonzero digit, before the exponent
    bool nonzero = false, point = false;
    for (; i < rest.size() && (is_digit(rest[i]) || (rest[i] == '.' && !point)); ++i) {
        if (rest[i] == '.') {
            point = true;
            continue;
        }
        ++mantissa_digits;
        if (rest[i] != '0') nonzero = true;
        if (nonzero && !point) ++magnitude;
        if (!nonzero && point) --magnitude;
    }
    if (mantissa_digits == 0) return {};
    long exponent = 0;
    if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
        std::size_t e = i + 1;
        const bool down = e < rest.size() && rest[e] == '-';
        if (e < rest.size() && (rest[e] == '-' || rest[e] == '+')) ++e;
        if (e == rest.size()) return {};
        for (; e < rest.size() && is_digit(rest[e]); ++e) exponent = std::min(exponent * 10 + (rest[e] - '0'), 1L << 40);
        if (e != rest.size()) return {};
        if (down) exponent = -exponent;
    } else if (i != rest.size()) {
        return {};
    }
    double value = 0;
    const auto [stop, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (stop != rest.data() + rest.size()) return {};
    if (error == std::errc::result_out_of_range)  // beyond the doubles: an infinity, or zero
        value = nonzero && magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    else if (error != std::errc()) return {};
    return {Number::value, sign * value};
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
