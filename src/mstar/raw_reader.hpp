// `mstar_raw`: the data block's offset and counts from the header, and its decoding.
#pragma once

#include "reader.hpp"

namespace mstar {

// mstar_raw(filepath, ofmt='c')
extern const Reader raw_reader;

}  // namespace mstar
