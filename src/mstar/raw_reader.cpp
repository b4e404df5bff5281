#include "raw_reader.hpp"

#include "format/samples.hpp"
#include "header_reader.hpp"
#include "help_texts.hpp"
#include "output_formats.hpp"
#include "process.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mstar {

namespace {

namespace line = source::raw;

// --- steps 2 to 7: the data block's offset and the counts ------------------------------------
// One algorithm over two ways of reading the header lines: in memory, from the header read in one
// go, which may decline (then nothing has happened that a caller could see), and by the steps as
// written, which raise.

struct Counts {
    Ref offsets, ncols, nrows;
};

// What reading a value gave.
enum class Read {
    value,         // the int
    not_a_number,  // int() refuses the text: ValueError (set for the steps as written only)
    failed,        // an exception is set
    declined,      // only the steps as written can tell; no exception is set
};

// A value taken from a header line: the line, and the statements that read it and convert it.
struct Field {
    int header_line;  // counted from 1 at byte 0
    int read_at, convert_at;
};

constexpr Field offset_field{3, line::line_3, line::offsets};
constexpr Field columns_field{13, line::line_13, line::ncols};
constexpr Field rows_field{14, line::line_14, line::nrows};

// Offset from line 3, counts from lines 13 and 14; where a count does not convert, both counts by
// name (the 01.04 layout keeps NumberOfRows on line 13 and TargetType on line 14).
template <class Lines>
Read read_counts(Lines& lines, Counts& out) noexcept {
    Read got = lines.value(offset_field, out.offsets);
    if (got == Read::not_a_number) got = lines.refused();
    if (got != Read::value) return got;
    got = lines.value(columns_field, out.ncols);
    if (got == Read::value) got = lines.value(rows_field, out.nrows);
    if (got == Read::not_a_number) got = lines.by_name(out);
    return got;
}

// int() of a header value (UTF-8 text already checked), as far as it can be told without raising.
Read convert(std::string_view text, Ref& out) noexcept {
    // A value the native side cannot hold is left to int() itself, never wrapped.
    if (const phoenix::Integer value = phoenix::read_integer(text); value.kind == phoenix::Number::value) {
        out = steal(PyLong_FromLongLong(value.value));
        return out ? Read::value : Read::declined;
    }
    // ASCII text with anything but blanks, signs, digits and underscores: int() refuses it.
    if (phoenix::is_ascii(text) && text.find_first_not_of(" \t\n\r\v\f+-_0123456789") != std::string_view::npos)
        return Read::not_a_number;
    Ref str = text_of(text);
    out = str ? steal(PyNumber_Long(str.get())) : nullptr;
    const bool value_error = !out && PyErr_ExceptionMatches(PyExc_ValueError);
    PyErr_Clear();
    return out ? Read::value : value_error ? Read::not_a_number : Read::declined;
}

// The header lines in memory.
class LinesInMemory {
public:
    explicit LinesInMemory(FileStart& start) noexcept : start_(start) {}

    // Whether lines 1 to 14 are all held.
    bool cut() noexcept {
        while (phoenix::cut_lines(start_.data(), lines_, 14) < 14)
            if (!start_.more()) return false;
        return true;
    }

    // Header line reading (its line feed is already off), two-item unpacking, int().
    Read value(const Field& field, Ref& out) noexcept {
        const std::string_view text = lines_[field.header_line - 1].in(start_.data());
        std::size_t cut = 0;
        if (!phoenix::is_utf8(text) || phoenix::find_separator(text, cut) != phoenix::Fault::none)
            return Read::declined;
        return convert(text.substr(cut + phoenix::separator.size()), out);
    }

    Read refused() noexcept { return Read::declined; }

    Read by_name(Counts& out) noexcept {
        phoenix::Header header;
        header.entries.reserve(64);  // real headers hold about 60 entries
        if (!parse_header(start_, header)) return Read::declined;
        const auto columns = phoenix::find(start_.data(), header, "NumberOfColumns");
        const auto rows = phoenix::find(start_.data(), header, "NumberOfRows");
        if (!columns || !rows || convert(*columns, out.ncols) != Read::value) return Read::declined;
        return convert(*rows, out.nrows) == Read::value ? Read::value : Read::declined;
    }

private:
    FileStart& start_;
    phoenix::Span lines_[14];
};

// The header lines as the steps as written read them; `at` follows the step being taken.
class LinesAsWritten {
public:
    explicit LinesAsWritten(Handle file) noexcept : file_(file.get()) {}

    Read value(const Field& field, Ref& out) noexcept {
        Constants& k = K();
        for (; next_ < field.header_line; ++next_) {
            at = next_ == 1 ? line::line_1 : next_ == 2 ? line::line_2 : line::lines_4_to_12;
            if (!call_method(file_, k.readline)) return Read::failed;
        }
        ++next_;
        at = field.read_at;
        Ref text = read_header_line(file_);
        Ref key, value;
        if (!text || !split_entry(text, key, value)) return Read::failed;
        at = field.convert_at;
        out = steal(PyNumber_Long(value.get()));
        if (out) return Read::value;
        return PyErr_ExceptionMatches(PyExc_ValueError) ? Read::not_a_number : Read::failed;
    }

    Read refused() noexcept { return Read::failed; }

    // On any failure the exception of the positional conversion stands.
    Read by_name(Counts& out) noexcept {
        Constants& k = K();
        Ref original = steal(PyErr_GetRaisedException());
        int ignored = 0;
        Ref header = read_header(file_, ignored);
        Ref columns, rows;
        if (header) {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(header.get(), k.number_of_columns.get(), &found) > 0)
                columns = steal(PyNumber_Long(Ref::steal(found).get()));
            if (columns && PyDict_GetItemRef(header.get(), k.number_of_rows.get(), &found) > 0)
                rows = steal(PyNumber_Long(Ref::steal(found).get()));
        }
        if (!columns || !rows) {
            PyErr_Clear();
            PyErr_SetRaisedException(original.release());
            return Read::failed;
        }
        out.ncols = std::move(columns);
        out.nrows = std::move(rows);
        return Read::value;
    }

    int at = 0;

private:
    PyObject* file_;
    int next_ = 1;  // the header line read next
};

// A file that is not a regular file (a device) may never end, nor may a line of it (/dev/zero):
// its header lines must end within FileStart::limit bytes, or the line that does not is refused
// (ValueError, at the statement that reads it) before readline would hold all of it.
Read unbounded_line(const FileStart& start, int& at) noexcept {
    if (start.regular() || start.whole_file()) return Read::declined;  // the steps as written meet its end
    phoenix::Span held[14];
    const std::size_t line = phoenix::cut_lines(start.data(), held, 14) + 1;
    at = line == 1 ? line::line_1 : line == 2 ? line::line_2 : line == 3 ? line::line_3
         : line <= 12 ? line::lines_4_to_12 : line == 13 ? line::line_13 : line::line_14;
    PyErr_Format(PyExc_ValueError, "header line %zu does not end within the first %zu bytes of a file that is not "
                 "a regular file", line, FileStart::limit);
    return Read::failed;
}

// Where the file allows, the header lines are read in one go.
Read counts_in_memory(PyObject* open, Handle file, Counts& out, int& at) noexcept {
    FileStart start;
    LinesInMemory lines(start);
    if (!start.read(open, file) || !start.at_start()) return Read::declined;
    return lines.cut() ? read_counts(lines, out) : unbounded_line(start, at);
}

// --- steps 9 and 10: the samples and the planes array ----------------------------------------
// Natively the samples are read into and widened in a float64 array; the steps as written read
// the rest of the file and unpack it with struct into a tuple of floats.

// What a native shortcut gave.
enum class Native {
    done,      // its result
    failed,    // an exception is set
    declined,  // the steps as written must run instead; no exception is set
};

// NaNs go through PyFloat_Unpack4, so that their bits are those struct.unpack_from gives.
void decode(const unsigned char* src, double* dst, Py_ssize_t count) noexcept {
    const auto n = static_cast<std::size_t>(count);
    if (!phoenix::decode_samples_seeing_nan(src, dst, n)) return;
    for (std::size_t i = 0; i < n; ++i)
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
        decode(samples, values + i, n);
    }
}

// The sample count when the original struct.unpack_from is in place and the count is one that
// a native decode can serve, else -1 (struct itself must then answer, errors included).
Py_ssize_t native_count(PyObject* struct_module, PyObject* unpack_from, PyObject* count) noexcept {
    const Originals& o = originals();
    if (!o.empty || !o.struct_module || struct_module != o.struct_module.get() || !o.unpack_from ||
        unpack_from != o.unpack_from.get())
        return -1;
    Py_ssize_t n = PyLong_AsSsize_t(count);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n >= 0 && n <= PY_SSIZE_T_MAX / 8 ? n : -1;
}

// numpy.empty(n), with its memory held writable in `target`; null without an exception when
// either fails (the steps as written then meet the failure themselves).
Ref new_float64_array(Py_ssize_t n, Buffer& target) noexcept {
    Ref size = steal(PyLong_FromSsize_t(n));
    Ref array = size ? call(originals().empty, size) : nullptr;
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

// For a buffered file of the built-in type, only the samples are read, straight into the array.
Native read_samples(Handle file, Handle offsets, Py_ssize_t n, Handle unpack_from, Handle count, Ref& array) noexcept {
    if (!of_type(file.get(), originals().buffered_reader) || bytes_left(file.get(), offsets.get()) < 4 * n)
        return Native::declined;
    Buffer target;
    array = new_float64_array(n, target);
    if (!array) return Native::declined;
    char* upper = static_cast<char*>(target.data()) + 4 * n;
    Ref view = steal(PyMemoryView_FromMemory(upper, 4 * n, PyBUF_WRITE));
    Ref got = view ? call_method(file, K().readinto, view) : nullptr;
    Py_ssize_t read = got ? PyLong_AsSsize_t(got.get()) : -1;
    view.reset();
    if (read < 4 * n) {
        if (read >= 0) {
            // The file shrank under us: struct gives the error the steps as written would give.
            Ref rest = steal(PyBytes_FromStringAndSize(upper, read));
            Ref format = rest ? steal(PyNumber_Remainder(K().float_format.get(), count.get())) : nullptr;
            Ref unpacked = format ? call(unpack_from, format, rest, K().int_0) : nullptr;
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, "the file changed while it was read");
        }
        return Native::failed;
    }
    decode_in_place(static_cast<double*>(target.data()), n);
    return Native::done;
}

// The samples of data already read, when they are bytes that hold them all (else only struct can
// answer).
Native decode_bytes(PyObject* data, Py_ssize_t n, Ref& array) noexcept {
    if (n < 0 || !PyBytes_CheckExact(data) || n > PyBytes_GET_SIZE(data) / 4) return Native::declined;
    Buffer target;
    array = new_float64_array(n, target);
    if (!array) return Native::declined;
    decode(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)), static_cast<double*>(target.data()), n);
    return Native::done;
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

// --- mstar_raw ---------------------------------------------------------------------------------

PyObject* mstar_raw_body(const Call& context, PyObject* const* bound) noexcept {
    Constants& k = K();
    Ref f = call(context.open, bound[0], k.rb);
    if (!f) return context.fail(line::open);

    Counts counts;
    int refused_at = 0;
    const Read in_memory = counts_in_memory(context.open, f, counts, refused_at);
    if (in_memory == Read::failed) return context.fail(refused_at);
    if (in_memory == Read::declined) {
        LinesAsWritten lines(f);
        if (read_counts(lines, counts) != Read::value) return context.fail(lines.at);
    }

    if (!call_method(f, k.seek, counts.offsets)) return context.fail(line::seek);

    Ref struct_module = load_global(context.ns, k.struct_);
    if (!struct_module) return context.fail(line::samples);
    Ref unpack_from = get_attr(struct_module, k.unpack_from);
    if (!unpack_from) return context.fail(line::samples);
    Ref count = steal(PyNumber_Multiply(counts.ncols.get(), counts.nrows.get()));
    if (count) count = steal(PyNumber_Multiply(count.get(), k.int_2.get()));
    if (!count) return context.fail(line::samples);
    const Py_ssize_t n = native_count(struct_module.get(), unpack_from.get(), count.get());
    Ref x;  // the samples: a float64 array when decoded natively, else struct's tuple of floats
    Native decoded = n < 0 ? Native::declined : read_samples(f, counts.offsets, n, unpack_from, count, x);
    if (decoded == Native::failed) return context.fail(line::samples);
    if (decoded == Native::declined) {
        Ref data = call_method(f, k.read);
        if (!data) return context.fail(line::samples);
        decoded = decode_bytes(data.get(), n, x);
        if (decoded == Native::declined) {
            Ref format = steal(PyNumber_Remainder(k.float_format.get(), count.get()));
            x = format ? call(unpack_from, format, data, k.int_0) : nullptr;
            if (!x) return context.fail(line::samples);
        }
    }

    Ref np = load_global(context.ns, k.np);
    if (!np) return context.fail(line::planes);
    Ref array = get_attr(np, k.array);
    if (!array) return context.fail(line::planes);
    if (decoded != Native::done || np.get() != originals().numpy.get() || array.get() != originals().array.get()) {
        if (decoded == Native::done) x = as_float_tuple(x.get());
        if (x) x = call(array, x);
        if (!x) return context.fail(line::planes);
    }
    x = call_method(x, k.reshape, k.int_2, counts.nrows, counts.ncols);
    if (!x) return context.fail(line::planes);

    if (!call_method(f, k.close)) return context.fail(line::close);
    f.reset();

    int at = 0;
    Ref result = convert_planes(context.ns, bound[1], x, at);
    if (!result) return context.fail(at);
    return result.release();
}

constexpr Name parameters[] = {&Constants::filepath, &Constants::ofmt};
static_assert(std::size(parameters) <= max_parameters);
constexpr Name locals[] = {&Constants::f,  &Constants::data,  &Constants::underscore, &Constants::v,
                           &Constants::offsets, &Constants::k, &Constants::ncols, &Constants::nrows, &Constants::x};

}  // namespace

const Reader raw_reader{source::raw_name, parameters, &Constants::raw_defaults, locals,
                        {source::file.data(), source::raw_code_name.data()}, line::statements,
                        mstar_raw_body, mstar_raw_doc};

}  // namespace mstar
