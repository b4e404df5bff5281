// The columns of a catalog as they cross the boundary to Python: their names, their order and
// their types. vantrel/_table.py's FIELDS, CHECKS, SCENES and NUMBERS are the Python side of this table,
// and vantrel/_chips.pyi describes both.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace chips {

enum class Kind : unsigned char { text, float64, int64, uint64 };

struct Column {
    std::string_view name;
    Kind kind;
};

// scan's result: the text columns (lists of str) first, then the numbers (bytes of native-endian
// 8-byte values), each filled in this order.
inline constexpr std::size_t text_columns = 6;
inline constexpr std::array<Column, 15> columns{{
    {"path", Kind::text},
    {"target_type", Kind::text},
    {"serial", Kind::text},
    {"header_version", Kind::text},
    {"checksum", Kind::text},
    {"articulation", Kind::text},
    {"depression", Kind::float64},
    {"azimuth", Kind::float64},
    {"rows", Kind::int64},
    {"columns", Kind::int64},
    {"data_offset", Kind::int64},
    {"file_size", Kind::int64},
    {"header_digest", Kind::uint64},
    {"collection", Kind::int64},  // -1: the header names none
    {"scene", Kind::int64},
}};

// load's layouts: per chip these columns, in this order, each as an int64 (header_digest's bits).
inline constexpr std::array<std::string_view, 5> layout_columns{"data_offset", "rows", "columns", "file_size",
                                                                "header_digest"};

constexpr std::string_view dtype_name(Kind kind) noexcept {
    switch (kind) {
        case Kind::text: return "str";
        case Kind::float64: return "float64";
        case Kind::int64: return "int64";
        case Kind::uint64: return "uint64";
    }
    return "";
}

}  // namespace chips
