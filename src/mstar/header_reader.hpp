// The Phoenix header: its line rules, which the raw reader shares, and `mstar_header`.
#pragma once

#include "file_start.hpp"
#include "format/phoenix_header.hpp"
#include "reader.hpp"

#include <string_view>

namespace mstar {

// mstar_header(filepath)
extern const Reader header_reader;

// Header line reading: readline(), strip(b"\n"), decode("utf-8"). `at_end` (if given) tells
// whether readline hit the end of the file.
Ref read_header_line(Handle file, bool* at_end = nullptr) noexcept;

// Splits an entry line at "= " into key and value by two-item unpacking.
bool split_entry(Handle text, Ref& key, Ref& value) noexcept;

// Reads the header of an open file from byte 1 through the end-marker line into a new dict, by
// the steps as written. On failure returns null with the exception set and `line` the source line
// of the failing step.
Ref read_header(Handle file, int& line) noexcept;

// The str of UTF-8 text already checked (or of a span of it); null with the exception set.
Ref text_of(std::string_view text) noexcept;
Ref text_of(std::string_view data, phoenix::Span span) noexcept;

// Parses the header held by `start`, reading more while it is cut short; false when the header is
// not sound or cannot be read.
bool parse_header(FileStart& start, phoenix::Header& header) noexcept;

}  // namespace mstar
