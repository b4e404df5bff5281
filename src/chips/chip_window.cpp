#include "chip_window.hpp"

#include "chip_file.hpp"
#include "decibels.hpp"
#include "format/samples.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace chips {

namespace {

// Python's floor division by two: a chip larger than the window loses its extra row at the top.
std::ptrdiff_t half_floor(std::ptrdiff_t difference) noexcept {
    return difference >= 0 ? difference / 2 : -((1 - difference) / 2);
}

template <typename Out>
void pairs(const unsigned char* magnitude, const unsigned char* phase, Out* out, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<Out>(phoenix::load_be_float32(magnitude + 4 * i));
        out[2 * i + 1] = static_cast<Out>(phoenix::load_be_float32(phase + 4 * i));
    }
}

template <typename Out>
void phases(const unsigned char* phase, Out* out, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) out[2 * i] = static_cast<Out>(phoenix::load_be_float32(phase + 4 * i));
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
        case Planes::amplitude_phase:
            if (!window.decibels) return pairs(magnitude, phase, out, count);
            decibel_samples(magnitude, out, count, 2, window.floor);
            return phases(phase, out + 1, count);
        case Planes::real_imaginary: return real_imaginary(magnitude, phase, out, count);
    }
}

template <typename Out>
void decode_window(const unsigned char* block, const Layout& layout, const Window& window, Out* slot) noexcept {
    const std::ptrdiff_t rows = layout.rows, columns = layout.columns;
    const std::ptrdiff_t top = half_floor(rows - window.height), left = half_floor(columns - window.width);
    const std::ptrdiff_t first = std::max<std::ptrdiff_t>(0, -left), last = std::min(window.width, columns - left);
    const std::ptrdiff_t per_value = window.planes == Planes::amplitude ? 1 : 2;
    if (window.decibels && (rows < window.height || columns < window.width)) {
        // The frame around a smaller chip is zero amplitude, whose decibels are the floor's.
        const unsigned char zero[4] = {};
        Out floor;
        decibel_samples(zero, &floor, 1, 1, window.floor);
        for (std::ptrdiff_t i = 0; i < window.height * window.width; ++i) slot[per_value * i] = floor;
    }
    if (first >= last) return;
    const unsigned char* phase_plane = block + 4 * rows * columns;
    for (std::ptrdiff_t r = std::max<std::ptrdiff_t>(0, -top); r < std::min(window.height, rows - top); ++r) {
        const std::ptrdiff_t at = 4 * ((r + top) * columns + first + left);
        decode_row(window, block + at, phase_plane + at, slot + per_value * (r * window.width + first),
                   static_cast<std::size_t>(last - first));
    }
}

bool fail(LoadFault& fault, int error, std::string message) {
    fault.error = error;
    fault.message = std::move(message);
    return false;
}

}  // namespace

bool load_chip(const std::string& path, const Layout& layout, const Recorded& recorded, const Window& window,
               void* slot, LoadFault& fault) {
    int error = 0;
    FileHandle file = open_for_reading(path.c_str(), error);
    if (!file) return fail(fault, error, "");
    // The header and the data block in one read, into a buffer each thread keeps; one byte more
    // tells a file that grew.
    thread_local std::vector<char> buffer;
    thread_local phoenix::Header header;
    const auto expected = static_cast<std::size_t>(layout.file_size());
    if (buffer.size() < expected + 1) buffer.resize(expected + 1);
    const ssize_t got = read_at(file.get(), buffer.data(), expected + 1, 0, error);
    if (got < 0) return fail(fault, error, "");
    const std::string_view data(buffer.data(), std::min(static_cast<std::size_t>(got), expected));
    if (!data.starts_with(phoenix::chip_signature)) return fail(fault, 0, "is no longer a chip");
    phoenix::parse(data, data.size() < expected, header);
    if (header.fault == phoenix::Fault::incomplete)
        return fail(fault, 0, "changed since the scan: its header now runs past the data block's offset");
    if (header.fault != phoenix::Fault::none) return fail(fault, 0, "changed since the scan: " + fault_reason(header));
    Layout found;
    std::string reason;
    if (!layout_of(data, header, found, reason)) return fail(fault, 0, "changed since the scan: " + reason);
    if (found.data_offset != layout.data_offset || found.rows != layout.rows || found.columns != layout.columns)
        return fail(fault, 0, "changed since the scan: its PhoenixHeaderLength, NumberOfRows or NumberOfColumns differ");
    if (data.size() < expected)
        return fail(fault, 0, "data block is truncated: the file has " + std::to_string(data.size()) +
                                  " bytes, PhoenixHeaderLength and the counts make " + std::to_string(expected));
    if (recorded.file_size >= 0) {
        if (static_cast<std::size_t>(got) > expected || recorded.file_size != layout.file_size()) {
            const off_t now = regular_file_size(file.get(), error);
            return fail(fault, 0, "changed since the scan: the file now has " + std::to_string(now) +
                                      " bytes, the scan found " + std::to_string(recorded.file_size));
        }
        if (header_digest(data.substr(0, header.end)) != recorded.header_digest)
            return fail(fault, 0, "changed since the scan: its header bytes differ from those the scan read");
    }
    const auto* block = reinterpret_cast<const unsigned char*>(buffer.data()) + layout.data_offset;
    if (window.wide) decode_window(block, layout, window, static_cast<double*>(slot));
    else decode_window(block, layout, window, static_cast<float*>(slot));
    return true;
}

}  // namespace chips
