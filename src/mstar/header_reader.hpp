// The Phoenix header: its line rules, shared with the raw reader, and `mstar_header`.
#pragma once

#include "file_start.hpp"
#include "format/phoenix_header.hpp"
#include "function.hpp"

namespace mstar {

// Header line reading: readline(), strip(b"\n"), decode("utf-8"). `at_end` (if given) tells
// whether readline hit the end of the file.
Ref read_header_line(PyObject* file, bool* at_end = nullptr) noexcept;

// Two-item unpacking of `items` into `first` and `second`, with the module's own messages.
bool unpack_two(PyObject* items, Ref& first, Ref& second) noexcept;

// Splits an entry line at "= " into key and value by two-item unpacking.
bool split_entry(PyObject* text, Ref& key, Ref& value) noexcept;

// Reads the header of an open file from byte 1 through the end-marker line into a new dict.
// On failure returns null with the exception set and `line` the source line of the failing step.
Ref read_header(PyObject* file, int& line) noexcept;

// The str of UTF-8 text already checked (or of a span of it); null with the exception set.
Ref text_of(std::string_view text) noexcept;
Ref text_of(std::string_view data, phoenix::Span span) noexcept;

// Parses the header held by `start`, reading more while it is cut short; false when the header is
// not sound or cannot be read.
bool parse_header(FileStart& start, phoenix::Header& header) noexcept;

// mstar_header(filepath)
PyObject* mstar_header_body(const Call& context, PyObject* const* bound) noexcept;

}  // namespace mstar
