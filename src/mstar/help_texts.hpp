// The help texts of `mstar_header` and `mstar_raw` (numpydoc layout, plain ASCII).
#pragma once

namespace mstar {

extern const char* const mstar_header_doc;
extern const char* const mstar_raw_doc;

}  // namespace mstar
