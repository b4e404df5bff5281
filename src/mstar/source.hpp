// The Python-level source that the module's behaviour is told in: its file, its code names and
// the lines that traceback entries and code objects report.
#pragma once

#include "core/traceback.hpp"

namespace mstar {

inline constexpr const char* source_file = "vantrel/datasets/mstar.py";

inline constexpr Origin init_origin{source_file, "init vantrel.datasets.mstar"};
inline constexpr Origin header_origin{source_file, "vantrel.datasets.mstar.mstar_header"};
inline constexpr Origin raw_origin{source_file, "vantrel.datasets.mstar.mstar_raw"};

inline constexpr int header_def_line = 34;
inline constexpr int raw_def_line = 83;

}  // namespace mstar
