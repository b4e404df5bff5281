// One chip read into its slot of a stacked array: the file read once, its header checked against
// what the catalog recorded, and the window of its planes decoded straight into place.
#pragma once

#include "shared/file_io.hpp"
#include "chip_header.hpp"

#include <cstddef>
#include <string>

namespace chips {

enum class Planes : unsigned char {
    amplitude,        // (H, W): the magnitude plane
    amplitude_phase,  // (H, W, 2): magnitude, phase
    real_imaginary,   // (H, W, 2) or complex (H, W): A cos P, A sin P, computed in double precision
};

struct Window {
    std::ptrdiff_t height, width;  // of the output; each chip is centred in it, cropped or padded
    Planes planes;
    bool wide;  // float64 (else float32) values
    bool decibels = false;  // the amplitude as 20 log10(max(A, floor))
    double floor = 0;
    std::size_t slot_bytes() const noexcept {
        const std::size_t values = static_cast<std::size_t>(height * width) * (planes == Planes::amplitude ? 1 : 2);
        return values * (wide ? 8 : 4);
    }
};

// Why a chip could not be loaded: an OS error (errno) or a message.
struct LoadFault {
    int error = 0;
    std::string message;
};

// The bytes of the file a load needs, in file order: the header (never past header_limit, whatever
// lies between its end marker and the data block), then the window's rows of the
// magnitude plane and, unless `planes` is amplitude, of the phase plane. Returns how many ranges
// (up to 3) are in `ranges`; ranges that touch or lie within a page of each other are joined.
std::size_t needed_bytes(const Layout& layout, const Window& window, fileio::ByteRange ranges[3]) noexcept;

// Reads the chip at `path`, whose header the catalog recorded as `layout` and `recorded`, into
// `slot` (zeroed beforehand: the padding stays zero), reading only needed_bytes. False with
// `fault` set when the file cannot be read, is shorter than the layout, or differs from what the
// scan recorded (size, header bytes). `cold` becomes true when a read had to wait for the device.
bool load_chip(const std::string& path, const Layout& layout, const Recorded& recorded, const Window& window,
               void* slot, LoadFault& fault, bool& cold);

}  // namespace chips
