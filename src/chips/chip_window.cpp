#include "chip_window.hpp"

#include "decibels.hpp"
#include "format/samples.hpp"
#include "shared/file_io.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace chips {

using fileio::ByteRange;
using fileio::FileHandle;
using fileio::exact_reads;
using fileio::open_for_reading;
using fileio::read_at;
using fileio::regular_file_size;

namespace {

// Python's floor division by two: a chip larger than the window loses its extra row at the top.
std::ptrdiff_t half_floor(std::ptrdiff_t difference) noexcept {
    return difference >= 0 ? difference / 2 : -((1 - difference) / 2);
}

// Each plane decoded a stretch at a time by the vectorised routine (the amplitude in decibels when
// asked), then interleaved: a loop that byte-swaps two planes into alternate slots does not vectorise.
template <typename Out>
void pairs(const Window& window, const unsigned char* magnitude, const unsigned char* phase, Out* out,
           std::size_t count) noexcept {
    constexpr std::size_t stretch = 256;
    Out a[stretch], p[stretch];
    for (std::size_t at = 0; at < count; at += stretch) {
        const std::size_t n = std::min(stretch, count - at);
        if (window.decibels) decibel_samples(magnitude + 4 * at, a, n, 1, window.floor);
        else phoenix::decode_samples(magnitude + 4 * at, a, n);
        phoenix::decode_samples(phase + 4 * at, p, n);
        Out* to = out + 2 * at;
        for (std::size_t i = 0; i < n; ++i) {
            to[2 * i] = a[i];
            to[2 * i + 1] = p[i];
        }
    }
}

template <typename Out>
void real_imaginary(const unsigned char* magnitude, const unsigned char* phase, Out* out, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double a = phoenix::load_be_float32(magnitude + 4 * i);
        double sine, cosine;
        ::sincos(static_cast<double>(phoenix::load_be_float32(phase + 4 * i)), &sine, &cosine);
        out[2 * i] = static_cast<Out>(a * cosine);
        out[2 * i + 1] = static_cast<Out>(a * sine);
    }
}

template <typename Out>
void decode_row(const Window& window, const unsigned char* magnitude, const unsigned char* phase, Out* out,
                std::size_t count) noexcept {
    switch (window.planes) {
        case Planes::amplitude:
            if (window.decibels) return decibel_samples(magnitude, out, count, 1, window.floor);
            return phoenix::decode_samples(magnitude, out, count);
        case Planes::amplitude_phase: return pairs(window, magnitude, phase, out, count);
        case Planes::real_imaginary: return real_imaginary(magnitude, phase, out, count);
    }
}

// Rows [row_begin, row_end) of the chip lie under the window.
struct WindowRows {
    std::ptrdiff_t top, row_begin, row_end;
};

WindowRows window_rows(const Layout& layout, const Window& window) noexcept {
    const std::ptrdiff_t rows = layout.rows, top = half_floor(rows - window.height);
    const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(0, top), end = std::min(window.height + top, rows);
    return {top, begin, std::max(begin, end)};
}

// In decibels, the frame around a smaller chip is zero amplitude, whose decibels are the floor's.
template <typename Out>
void fill_frame(const Layout& layout, const Window& window, Out* slot) noexcept {
    if (!window.decibels || (layout.rows >= window.height && layout.columns >= window.width)) return;
    const unsigned char zero[4] = {};
    Out floor;
    decibel_samples(zero, &floor, 1, 1, window.floor);
    const std::ptrdiff_t per_value = window.planes == Planes::amplitude ? 1 : 2;
    for (std::ptrdiff_t i = 0; i < window.height * window.width; ++i) slot[per_value * i] = floor;
}

// `magnitude` and `phase` hold the chip's rows from row_begin on, each plane's rows whole.
template <typename Out>
void decode_window(const unsigned char* magnitude, const unsigned char* phase, const Layout& layout,
                   const Window& window, Out* slot) noexcept {
    const std::ptrdiff_t columns = layout.columns;
    const auto [top, row_begin, row_end] = window_rows(layout, window);
    const std::ptrdiff_t left = half_floor(columns - window.width);
    const std::ptrdiff_t first = std::max<std::ptrdiff_t>(0, -left), last = std::min(window.width, columns - left);
    const std::ptrdiff_t per_value = window.planes == Planes::amplitude ? 1 : 2;
    if (first >= last) return;
    for (std::ptrdiff_t row = row_begin; row < row_end; ++row) {
        const std::ptrdiff_t at = 4 * ((row - row_begin) * columns + first + left);
        decode_row(window, magnitude + at, phase + at, slot + per_value * ((row - top) * window.width + first),
                   static_cast<std::size_t>(last - first));
    }
}

bool fail(LoadFault& fault, int error, std::string message) {
    fault.error = error;
    fault.message = std::move(message);
    return false;
}

std::string truncated(std::int64_t size, const Layout& layout) {
    return "data block is truncated: the file has " + std::to_string(size) +
           " bytes, PhoenixHeaderLength and the counts make " + std::to_string(layout.file_size());
}

// The bytes read for the header: up to the data block, but never more than a scan reads (the header
// must end within them), whatever lies between the end marker and the data block.
std::size_t header_bytes(const Layout& layout) noexcept {
    return static_cast<std::size_t>(std::min<std::int64_t>(layout.data_offset, header_limit));
}

// Step 1: the file's size and its header bytes [0, header_bytes), checked against what the scan
// recorded. One read fills `bytes` with the first `length` bytes of the file (at least the header;
// also the rows when they follow it closely).
bool check_header(int fd, const Layout& layout, const Recorded& recorded, char* bytes, std::size_t length,
                  LoadFault& fault, bool& cold) {
    int error = 0;
    const off_t size = regular_file_size(fd, error);
    if (size < 0 && error == EINVAL) return fail(fault, 0, "is no longer a regular file (now a folder, FIFO or device)");
    if (size < 0) return fail(fault, error, "");
    thread_local phoenix::Header header;
    const ssize_t got = read_at(fd, bytes, length, 0, error, cold);
    if (got < 0) return fail(fault, error, "");
    const std::size_t header_length = header_bytes(layout);
    const std::string_view data(bytes, std::min(static_cast<std::size_t>(got), header_length));
    if (!data.starts_with(phoenix::chip_signature)) return fail(fault, 0, "is no longer a chip");
    phoenix::parse(data, data.size() < header_length, header);
    if (header.fault == phoenix::Fault::incomplete && header_length < static_cast<std::size_t>(layout.data_offset))
        return fail(fault, 0, "changed since the scan: its header has no end marker within " +
                                  std::to_string(header_limit) + " bytes");
    if (header.fault == phoenix::Fault::incomplete)
        return fail(fault, 0, "changed since the scan: its header now runs past the data block's offset");
    if (header.fault != phoenix::Fault::none) return fail(fault, 0, "changed since the scan: " + fault_reason(header));
    Layout found;
    std::string reason;
    if (!layout_of(data, header, found, reason)) return fail(fault, 0, "changed since the scan: " + reason);
    if (found.data_offset != layout.data_offset || found.rows != layout.rows || found.columns != layout.columns)
        return fail(fault, 0, "changed since the scan: its PhoenixHeaderLength, NumberOfRows or NumberOfColumns differ");
    if (size < layout.file_size()) return fail(fault, 0, truncated(size, layout));
    if (static_cast<std::size_t>(got) < length) return fail(fault, 0, truncated(got, layout));  // cut since fstat
    if (recorded.file_size < 0) return true;  // nothing recorded to compare with
    if (size != recorded.file_size || recorded.file_size != layout.file_size())
        return fail(fault, 0, "changed since the scan: the file now has " + std::to_string(size) +
                                  " bytes, the scan found " + std::to_string(recorded.file_size));
    if (header_digest(data.substr(0, header.end)) != recorded.header_digest)
        return fail(fault, 0, "changed since the scan: its header bytes differ from those the scan read");
    return true;
}

}  // namespace

std::size_t needed_bytes(const Layout& layout, const Window& window, ByteRange ranges[3]) noexcept {
    constexpr off_t close_enough = 4096;  // a gap this small costs less to read than another read
    const auto [top, row_begin, row_end] = window_rows(layout, window);
    const off_t row_bytes = 4 * layout.columns, plane = row_bytes * layout.rows;
    const auto rows_bytes = static_cast<std::size_t>(row_bytes * (row_end - row_begin));
    const off_t rows_at = layout.data_offset + row_bytes * row_begin;
    const ByteRange wanted[3] = {{0, header_bytes(layout)},
                                 {rows_at, rows_bytes},
                                 {rows_at + plane, window.planes == Planes::amplitude ? 0 : rows_bytes}};
    std::size_t count = 0;
    for (const ByteRange& range : wanted) {
        if (range.size == 0) continue;
        if (count > 0) {
            ByteRange& last = ranges[count - 1];
            const off_t end = last.offset + static_cast<off_t>(last.size);
            if (range.offset - end <= close_enough) {
                last.size = static_cast<std::size_t>(range.offset + static_cast<off_t>(range.size) - last.offset);
                continue;
            }
        }
        ranges[count++] = range;
    }
    return count;
}

bool load_chip(const std::string& path, const Layout& layout, const Recorded& recorded, const Window& window,
               void* slot, LoadFault& fault, bool& cold) {
    int error = 0;
    FileHandle file = open_for_reading(path.c_str(), error);
    if (!file) return fail(fault, error, "");
    exact_reads(file.get());
    // The ranges land one after another in a buffer each thread keeps; the first starts with the header.
    ByteRange ranges[3];
    const std::size_t count = needed_bytes(layout, window, ranges);
    std::size_t placed[3] = {0, 0, 0}, total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        placed[i] = total;
        total += ranges[i].size;
    }
    thread_local std::vector<char> bytes;
    if (bytes.size() < total) bytes.resize(total);
    // Step 1, with the first range's read.
    if (!check_header(file.get(), layout, recorded, bytes.data(), ranges[0].size, fault, cold)) return false;
    // Step 2: the other ranges.
    for (std::size_t i = 1; i < count; ++i) {
        const ssize_t got = read_at(file.get(), bytes.data() + placed[i], ranges[i].size, ranges[i].offset, error, cold);
        if (got < 0) return fail(fault, error, "");
        if (static_cast<std::size_t>(got) < ranges[i].size)  // cut short since the size was asked
            return fail(fault, 0, truncated(ranges[i].offset + got, layout));
    }
    // Step 3: decode from where each plane's rows landed.
    if (window.wide) fill_frame(layout, window, static_cast<double*>(slot));
    else fill_frame(layout, window, static_cast<float*>(slot));
    const auto [top, row_begin, row_end] = window_rows(layout, window);
    if (row_begin >= row_end) return true;
    const off_t magnitude_at = layout.data_offset + 4 * layout.columns * row_begin;
    const off_t phase_at = magnitude_at + 4 * layout.columns * layout.rows;
    const auto locate = [&](off_t at) {
        std::size_t i = count - 1;
        while (i > 0 && at < ranges[i].offset) --i;
        return reinterpret_cast<const unsigned char*>(bytes.data()) + placed[i] + (at - ranges[i].offset);
    };
    const unsigned char* magnitude = locate(magnitude_at);
    const unsigned char* phase = window.planes == Planes::amplitude ? magnitude : locate(phase_at);
    if (window.wide) decode_window(magnitude, phase, layout, window, static_cast<double*>(slot));
    else decode_window(magnitude, phase, layout, window, static_cast<float*>(slot));
    return true;
}

}  // namespace chips
