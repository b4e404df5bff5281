// The module told as Python source, the one place for what tracebacks and code objects show of
// it: the module's name (spelled here only), the source file, the code names, and every line,
// named by function and step. A function's list of statement lines, its `def` line first, is
// what its code object's location table holds.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

namespace mstar::source {

// The concatenation of string literals, as a NUL-terminated array.
template <std::size_t... N>
constexpr auto join(const char (&... parts)[N]) noexcept {
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts, N - 1, out.begin() + static_cast<std::ptrdiff_t>(at)), at += N - 1), ...);
    return out;
}

namespace detail {

// The file of a dotted module name: dots become slashes, and the source suffix follows.
template <std::size_t N>
constexpr auto path_of(const char (&dotted)[N]) noexcept {
    auto out = source::join(dotted, ".py");
    for (std::size_t i = 0; i + 1 < N; ++i)
        if (out[i] == '.') out[i] = '/';
    return out;
}

constexpr const char* last_part(const char* dotted) noexcept {
    const char* part = dotted;
    for (; *dotted; ++dotted)
        if (*dotted == '.') part = dotted + 1;
    return part;
}

}  // namespace detail

inline constexpr char module_name[] = "vantrel.datasets.mstar";
inline constexpr const char* module_short_name = detail::last_part(module_name);  // "mstar"
inline constexpr auto file = detail::path_of(module_name);                         // ".../mstar.py"
inline constexpr auto init_code_name = join("init ", module_name);

inline constexpr char header_name[] = "mstar_header";
inline constexpr char raw_name[] = "mstar_raw";
inline constexpr auto header_code_name = join(module_name, ".", header_name);
inline constexpr auto raw_code_name = join(module_name, ".", raw_name);

// The execution step.
namespace init {
inline constexpr int module = 1;  // what precedes the imports, and `__test__`
inline constexpr int import_os = 29, import_struct = 30, import_numpy = 31;
inline constexpr int main_test = 204;  // `if __name__ == "__main__":`
}  // namespace init

// mstar_header: binding failures report the `def` line.
namespace header {
inline constexpr int def = 34;
inline constexpr int open = 65, seek = 66, new_dict = 67, version = 68, version_value = 69;
inline constexpr int loop = 71, read_line = 72, end_test = 73, leave = 74, empty_test = 75;
inline constexpr int split = 76, store = 77, close = 78, result = 80;
inline constexpr int statements[] = {def,       open,     seek,       new_dict, version, version_value,
                                     loop,      read_line, end_test,  leave,    empty_test, split,
                                     store,     close,    result};
}  // namespace header

// mstar_raw: the reading, then the output formats' tests and conversions.
namespace raw {
inline constexpr int def = 83;
inline constexpr int open = 174, line_1 = 175, line_2 = 176, line_3 = 178, offsets = 179;
inline constexpr int skip_loop = 180, lines_4_to_12 = 181, line_13 = 182, ncols = 183, line_14 = 184, nrows = 185;
inline constexpr int seek = 187, samples = 189, planes = 190, close = 191;
inline constexpr int test_ap = 193, ap = 194, test_r = 195, r = 196, test_c = 197, c = 198;
inline constexpr int statements[] = {def,    open,    line_1,  line_2,  line_3, offsets, skip_loop, lines_4_to_12,
                                     line_13, ncols,  line_14, nrows,   seek,   samples, planes,    close,
                                     test_ap, ap,     test_r,  r,       test_c, c};
}  // namespace raw

// The demonstration routine, run by the execution step under `if __name__ == "__main__":`.
namespace demo {
inline constexpr int import_vantrel = 206, import_pyplot = 207, datapath = 209, filepath = 211;
inline constexpr int read_header = 214, header_loop = 215, print_entry = 216;
inline constexpr int read_ap = 218, print_ap = 219, figure_1 = 221, subplot_121 = 222, show_amplitude = 223,
                     title_amplitude = 224, subplot_122 = 225, show_phase = 226, title_phase = 227, show_1 = 228;
inline constexpr int read_c = 230, print_c = 231, figure_2 = 233, subplot_221 = 234, show_real = 235,
                     title_real = 236, subplot_222 = 237, show_imag = 238, title_imag = 239, subplot_223 = 240,
                     show_abs = 241, title_abs = 242, subplot_224 = 243, show_angle = 244, title_angle = 245,
                     show_2 = 246;
}  // namespace demo

}  // namespace mstar::source
