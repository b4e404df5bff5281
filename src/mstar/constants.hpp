// Objects built at load and read-only afterwards: interned strings, small integers, tuples.
#pragma once

#include "core/ref.hpp"
#include "source.hpp"

namespace mstar {

// X(member, text): every string the module uses as a name or literal.
#define MSTAR_STRINGS(X)                                                       \
    /* module namespace and import */                                          \
    X(dunder_name, "__name__") X(dunder_main, "__main__")                      \
    X(dunder_test, "__test__") X(name, "name")                                 \
    X(print, "print") X(open, "open")                                          \
    X(os, "os") X(struct_, "struct") X(numpy, "numpy") X(np, "np")             \
    X(module_name, source::module_name)                                        \
    X(mstar_header, source::header_name) X(mstar_raw, source::raw_name)        \
    /* parameters and locals */                                                \
    X(filepath, "filepath") X(ofmt, "ofmt") X(f, "f") X(header, "header")      \
    X(version, "version") X(data, "data") X(value, "value") X(underscore, "_") \
    X(v, "v") X(offsets, "offsets") X(k, "k") X(ncols, "ncols")                \
    X(nrows, "nrows") X(x, "x")                                                \
    /* file, bytes and str methods */                                          \
    X(readline, "readline") X(strip, "strip") X(decode, "decode")              \
    X(split, "split") X(seek, "seek") X(read, "read") X(readinto, "readinto")  \
    X(close, "close")                                                          \
    /* header literals */                                                      \
    X(rb, "rb") X(phoenix_header_ver, "PhoenixHeaderVer") X(utf_8, "utf-8")    \
    X(end_marker, "[EndofPhoenixHeader]") X(separator, "= ")                   \
    X(number_of_columns, "NumberOfColumns") X(number_of_rows, "NumberOfRows")  \
    /* struct and NumPy */                                                     \
    X(unpack_from, "unpack_from") X(float_format, ">%df") X(array, "array")    \
    X(reshape, "reshape")                                                      \
    X(transpose, "transpose") X(stack, "stack") X(axis, "axis")                \
    X(cos, "cos") X(sin, "sin")                                                \
    X(flags, "flags") X(num, "num") X(dtype, "dtype") X(nbytes, "nbytes")      \
    X(ndim, "ndim") X(safe, "safe")                                            \
    /* output format spellings */                                              \
    X(ap, "ap") X(amppha, "amppha") X(AP, "AP") X(AMPPHA, "AMPPHA")            \
    X(r, "r") X(real, "real") X(REAL, "REAL")                                  \
    X(c, "c") X(cplx, "cplx") X(complex, "complex") X(C, "C") X(CPLX, "CPLX")  \
    X(COMPLEX, "COMPLEX")                                                      \
    /* demonstration */                                                        \
    X(vantrel, "vantrel") X(vt, "vt") X(matplotlib_pyplot, "matplotlib.pyplot") \
    X(pyplot, "pyplot") X(plt, "plt") X(data_path, "data_path")                \
    X(mstar, "mstar") X(datapath, "datapath") X(sample_file, "BTR70_HB03787.004") \
    X(items, "items") X(shape, "shape") X(max, "max") X(min, "min")            \
    X(abs, "abs") X(angle, "angle") X(imag, "imag") X(figure, "figure")        \
    X(subplot, "subplot") X(imshow, "imshow") X(title, "title") X(show, "show") \
    X(amplitude, "amplitude") X(phase, "phase") X(real_part, "real part")      \
    X(imaginary_part, "imaginary part")

struct Constants {
#define MSTAR_DECLARE(member, text) Ref member;
    MSTAR_STRINGS(MSTAR_DECLARE)
#undef MSTAR_DECLARE

    Ref empty_tuple, empty_bytes;
    Ref line_feed;  // b"\n"

    Ref int_0, int_minus_1, int_1, int_2;
    Ref int_121, int_122, int_221, int_222, int_223, int_224;

    Ref axes_1_2_0;       // (1, 2, 0): planes last
    Ref index_0_ellipsis; // (0, ...): magnitude plane
    Ref index_1_ellipsis; // (1, ...): phase plane
    Ref raw_defaults;     // ("c",)
    Ref index_ellipsis_0; // (..., 0)
    Ref index_ellipsis_1; // (..., 1)
};

// Empty objects, strings and integers. False with an exception set on failure.
bool build_scalars(Constants& k) noexcept;
// The six tuples (they use the integers and strings).
bool build_tuples(Constants& k) noexcept;

}  // namespace mstar
