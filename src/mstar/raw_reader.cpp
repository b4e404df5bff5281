#include "raw_reader.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "file_start.hpp"
#include "format/phoenix_header.hpp"
#include "header_reader.hpp"
#include "originals.hpp"
#include "output_formats.hpp"
#include "source.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace mstar {

namespace {

// Some layouts keep the counts elsewhere than on lines 13 and 14 (real 01.04 chips have
// NumberOfRows on line 13): when the positional conversion fails, take them by name instead.
// On any failure the exception of the positional reading stands.
bool counts_by_name(PyObject* file, Ref& ncols, Ref& nrows) noexcept {
    Ref original = steal(PyErr_GetRaisedException());
    int line = 0;
    Ref header = read_header(file, line);
    Ref columns, rows;
    if (header) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(header.get(), K().number_of_columns.get(), &found) > 0) {
            columns = steal(PyNumber_Long(Ref::steal(found).get()));
        }
        if (columns && PyDict_GetItemRef(header.get(), K().number_of_rows.get(), &found) > 0) {
            rows = steal(PyNumber_Long(Ref::steal(found).get()));
        }
    }
    if (!columns || !rows) {
        PyErr_Clear();
        PyErr_SetRaisedException(original.release());
        return false;
    }
    ncols = std::move(columns);
    nrows = std::move(rows);
    return true;
}

// Big-endian binary32 to float64, exact; returns whether a NaN was seen. Compiled for AVX2 too,
// where the byte swap and the widening vectorise.
__attribute__((target_clones("avx2", "default")))
bool widen_be_float32(const unsigned char* __restrict src, double* __restrict dst, Py_ssize_t count) noexcept {
    std::uint32_t nan_seen = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, src + 4 * i, 4);
        bits = __builtin_bswap32(bits);
        nan_seen |= static_cast<std::uint32_t>((bits & 0x7fffffffu) > 0x7f800000u);
        dst[i] = static_cast<double>(std::bit_cast<float>(bits));
    }
    return nan_seen != 0;
}

// NaNs go through PyFloat_Unpack4, so that their bits are those struct.unpack_from gives.
void decode_be_float32(const unsigned char* src, double* dst, Py_ssize_t count) noexcept {
    if (!widen_be_float32(src, dst, count)) return;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (std::isnan(dst[i])) dst[i] = PyFloat_Unpack4(reinterpret_cast<const char*>(src + 4 * i), 0);
}

// Decodes the samples stored in the upper half of `values` into all of it. Each chunk is copied
// out before its doubles are written, and no chunk's doubles reach a later chunk's samples.
void decode_in_place(double* values, Py_ssize_t count) noexcept {
    constexpr Py_ssize_t chunk = 2048;
    unsigned char samples[4 * chunk];
    const unsigned char* stored = reinterpret_cast<const unsigned char*>(values) + 4 * count;
    for (Py_ssize_t i = 0; i < count; i += chunk) {
        Py_ssize_t n = std::min(chunk, count - i);
        std::memcpy(samples, stored + 4 * i, static_cast<std::size_t>(4 * n));
        decode_be_float32(samples, values + i, n);
    }
}

// The sample count when the original struct.unpack_from is in place and the count is one that
// a native decode can serve, else -1 (struct itself must then answer, errors included).
Py_ssize_t native_count(PyObject* struct_module, PyObject* unpack_from, PyObject* count) noexcept {
    if (!originals().empty || struct_module != originals().struct_module || unpack_from != originals().unpack_from)
        return -1;
    Py_ssize_t n = PyLong_AsSsize_t(count);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n >= 0 && n <= PY_SSIZE_T_MAX / 8 ? n : -1;
}

// numpy.empty(n), with its memory held writable in `target`; null without an exception when
// either fails (the steps as written then meet the failure themselves).
Ref new_float64_array(Py_ssize_t n, Buffer& target) noexcept {
    Ref size = steal(PyLong_FromSsize_t(n));
    Ref array = size ? call(originals().empty, size.get()) : nullptr;
    if (!array || !target.acquire(array.get(), PyBUF_WRITABLE)) {
        PyErr_Clear();
        return nullptr;
    }
    return array;
}

// Bytes left in the regular file behind `file` from `position` on, or -1 when unknown.
Py_ssize_t bytes_left(PyObject* file, PyObject* position) noexcept {
    Py_ssize_t at = PyLong_AsSsize_t(position);
    int fd = at < 0 ? -1 : PyObject_AsFileDescriptor(file);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        PyErr_Clear();
        return -1;
    }
    return info.st_size > at ? static_cast<Py_ssize_t>(info.st_size - at) : 0;
}

// The reader's steps read the whole rest of the file into bytes and unpack it. For a buffered
// file of the built-in type, read only the samples, straight into the array that receives them.
// Returns null without an exception when those steps must run as written instead.
Ref read_samples_in_place(PyObject* file, PyObject* offsets, Py_ssize_t n, PyObject* unpack_from,
                          PyObject* count, bool& failed) noexcept {
    failed = false;
    if (!originals().buffered_reader || Py_TYPE(file) != originals().buffered_reader ||
        bytes_left(file, offsets) < 4 * n)
        return nullptr;
    Buffer target;
    Ref array = new_float64_array(n, target);
    if (!array) return nullptr;
    char* upper = static_cast<char*>(target.data()) + 4 * n;
    Ref view = steal(PyMemoryView_FromMemory(upper, 4 * n, PyBUF_WRITE));
    Ref got = view ? call_method(file, K().readinto.get(), view.get()) : nullptr;
    Py_ssize_t read = got ? PyLong_AsSsize_t(got.get()) : -1;
    view.reset();
    if (read < 4 * n) {
        failed = true;
        if (read >= 0) {
            // The file shrank under us: struct gives the error the steps as written would give.
            Ref rest = steal(PyBytes_FromStringAndSize(upper, read));
            Ref format = rest ? steal(PyNumber_Remainder(K().float_format.get(), count)) : nullptr;
            Ref unpacked = format ? call(unpack_from, format.get(), rest.get(), K().int_0.get()) : nullptr;
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, "the file changed while it was read");
        }
        return nullptr;
    }
    decode_in_place(static_cast<double*>(target.data()), n);
    return array;
}

// np.array(struct.unpack_from(fmt, data, 0)) for data already read, or null without an
// exception when only struct can answer (a short block, data that is not bytes).
Ref decode_bytes(PyObject* data, Py_ssize_t n) noexcept {
    if (n < 0 || !PyBytes_CheckExact(data) || n > PyBytes_GET_SIZE(data) / 4) return nullptr;
    Buffer target;
    Ref array = new_float64_array(n, target);
    if (!array) return nullptr;
    decode_be_float32(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                      static_cast<double*>(target.data()), n);
    return array;
}

// The tuple of floats that struct.unpack_from would have given, for a replaced np.array.
Ref as_float_tuple(PyObject* array) noexcept {
    Buffer source;
    if (!source.acquire(array, PyBUF_SIMPLE)) return nullptr;
    const double* values = static_cast<const double*>(source.data());
    Py_ssize_t n = source.size() / static_cast<Py_ssize_t>(sizeof(double));
    Ref tuple = steal(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple;
}

// int() of a header value (UTF-8 text already checked), as far as it can be told here.
enum class Converted { number, not_a_number, unknown };

Converted convert(std::string_view text, Ref& out) noexcept {
    if (const auto value = phoenix::parse_integer(text)) {
        out = steal(PyLong_FromLongLong(*value));
        return out ? Converted::number : Converted::unknown;
    }
    // ASCII text with anything but blanks, signs, digits and underscores: int() refuses it.
    const bool ascii = std::none_of(text.begin(), text.end(), [](char c) { return c & 0x80; });
    if (ascii && text.find_first_not_of(" \t\n\r\v\f+-_0123456789") != std::string_view::npos)
        return Converted::not_a_number;
    Ref str = text_of(text);
    out = str ? steal(PyNumber_Long(str.get())) : nullptr;
    const bool value_error = !out && PyErr_ExceptionMatches(PyExc_ValueError);
    PyErr_Clear();
    return out ? Converted::number : value_error ? Converted::not_a_number : Converted::unknown;
}

// The value of a header line by header line reading and two-item unpacking, then int().
Converted positional(std::string_view data, phoenix::Span line, Ref& out) noexcept {
    const std::string_view text = line.in(data);  // its line feed stripped
    std::size_t cut = 0;
    if (!phoenix::is_utf8(text) || phoenix::find_separator(text, cut) != phoenix::Fault::none)
        return Converted::unknown;
    return convert(text.substr(cut + phoenix::separator.size()), out);
}

// Both counts by name, from a sound header.
Converted by_name(FileStart& start, Ref& ncols, Ref& nrows) noexcept {
    phoenix::Header header;
    header.entries.reserve(64);  // real headers hold about 60 entries
    if (!parse_header(start, header)) return Converted::unknown;
    const auto columns = phoenix::find(start.data(), header, "NumberOfColumns");
    const auto rows = phoenix::find(start.data(), header, "NumberOfRows");
    if (!columns || !rows || convert(*columns, ncols) != Converted::number) return Converted::unknown;
    return convert(*rows, nrows) == Converted::number ? Converted::number : Converted::unknown;
}

// Steps 2 to 7 on the header read in one go: the same offset and counts, by position or, where
// a count does not convert, by name. False when the steps as written must run instead (the file
// cannot be read so, or a step would fail: they then raise as written).
bool counts_in_memory(PyObject* open, PyObject* file, Ref& offsets, Ref& ncols, Ref& nrows) noexcept {
    FileStart start;
    phoenix::Span lines[14];
    if (!start.read(open, file) || !start.at_start()) return false;
    while (phoenix::cut_lines(start.data(), lines, 14) < 14)
        if (!start.more()) return false;
    const std::string_view data = start.data();
    if (positional(data, lines[2], offsets) != Converted::number) return false;
    Converted counts = positional(data, lines[12], ncols);
    if (counts == Converted::number) counts = positional(data, lines[13], nrows);
    if (counts == Converted::not_a_number) counts = by_name(start, ncols, nrows);
    return counts == Converted::number;
}

// Steps 2 to 7 as written. On failure returns false with the exception set and `line` the
// source line of the failing step.
bool counts_as_written(PyObject* f, Ref& offsets, Ref& ncols, Ref& nrows, int& line) noexcept {
    Constants& k = K();
    auto fail = [&](int at) {
        line = at;
        return false;
    };
    if (!call_method(f, k.readline.get())) return fail(175);
    if (!call_method(f, k.readline.get())) return fail(176);

    Ref text, key, value;
    text = read_header_line(f);
    if (!text || !split_entry(text.get(), key, value)) return fail(178);
    offsets = steal(PyNumber_Long(value.get()));
    if (!offsets) return fail(179);

    for (int i = 0; i < 9; ++i)
        if (!call_method(f, k.readline.get())) return fail(181);

    text = read_header_line(f);
    if (!text || !split_entry(text.get(), key, value)) return fail(182);
    ncols = steal(PyNumber_Long(value.get()));
    if (!ncols) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) || !counts_by_name(f, ncols, nrows)) return fail(183);
        return true;
    }
    text = read_header_line(f);
    if (!text || !split_entry(text.get(), key, value)) return fail(184);
    nrows = steal(PyNumber_Long(value.get()));
    if (!nrows && (!PyErr_ExceptionMatches(PyExc_ValueError) || !counts_by_name(f, ncols, nrows))) return fail(185);
    return true;
}

}  // namespace

PyObject* mstar_raw_body(const Call& context, PyObject* const* bound) noexcept {
    Constants& k = K();
    PyObject* const globals = context.globals;
    auto fail = [&](int line) { return add_traceback(raw_origin, line, globals); };

    Ref f = call(context.open, bound[0], k.rb.get());
    if (!f) return fail(174);
    Ref offsets, ncols, nrows;
    if (!counts_in_memory(context.open, f.get(), offsets, ncols, nrows)) {
        int line = 0;
        if (!counts_as_written(f.get(), offsets, ncols, nrows, line)) return fail(line);
    }

    if (!call_method(f.get(), k.seek.get(), offsets.get())) return fail(187);

    Ref struct_module = load_global(globals, k.struct_.get());
    if (!struct_module) return fail(189);
    Ref unpack_from = get_attr(struct_module.get(), k.unpack_from.get());
    if (!unpack_from) return fail(189);
    Ref count = steal(PyNumber_Multiply(ncols.get(), nrows.get()));
    if (count) count = steal(PyNumber_Multiply(count.get(), k.int_2.get()));
    if (!count) return fail(189);
    // x: the decoded samples, natively as a float64 array or by struct as a tuple of floats.
    const Py_ssize_t n = native_count(struct_module.get(), unpack_from.get(), count.get());
    bool failed = false;
    Ref x = n < 0 ? nullptr : read_samples_in_place(f.get(), offsets.get(), n, unpack_from.get(), count.get(), failed);
    if (failed) return fail(189);
    Ref data;
    if (!x) {
        data = call_method(f.get(), k.read.get());
        if (!data) return fail(189);
        x = decode_bytes(data.get(), n);
    }
    const bool native = static_cast<bool>(x);
    if (!native) {
        Ref format = steal(PyNumber_Remainder(k.float_format.get(), count.get()));
        if (format) x = call(unpack_from.get(), format.get(), data.get(), k.int_0.get());
        if (!x) return fail(189);
    }
    data.reset();

    Ref np = load_global(globals, k.np.get());
    if (!np) return fail(190);
    Ref array = get_attr(np.get(), k.array.get());
    if (!array) return fail(190);
    if (!native || np.get() != originals().numpy || array.get() != originals().array) {
        if (native) x = as_float_tuple(x.get());
        if (x) x = call(array.get(), x.get());
        if (!x) return fail(190);
    }
    x = call_method(x.get(), k.reshape.get(), k.int_2.get(), nrows.get(), ncols.get());
    if (!x) return fail(190);

    if (!call_method(f.get(), k.close.get())) return fail(191);
    f.reset();

    int line = 0;
    Ref result = convert_planes(globals, bound[1], x.get(), line);
    if (!result) return fail(line);
    return result.release();
}

}  // namespace mstar
