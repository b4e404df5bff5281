#include "raw_reader.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "header_reader.hpp"
#include "output_formats.hpp"
#include "source.hpp"

#include <cstdint>
#include <cstring>

namespace mstar {

namespace {

// What the module imported at load; never released.
struct Originals {
    PyObject* struct_module = nullptr;
    PyObject* unpack_from = nullptr;
    PyObject* numpy = nullptr;
    PyObject* array = nullptr;
    PyObject* empty = nullptr;
};
Originals g_originals;

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

// Big-endian binary32 to float64, exact. NaNs go through PyFloat_Unpack4 so that their bits are
// those struct.unpack_from gives.
void decode_be_float32(const unsigned char* src, double* dst, Py_ssize_t count) noexcept {
    std::uint32_t nan_seen = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, src + 4 * i, 4);
        bits = __builtin_bswap32(bits);
        nan_seen |= static_cast<std::uint32_t>((bits & 0x7fffffffu) > 0x7f800000u);
        float value;
        std::memcpy(&value, &bits, 4);
        dst[i] = static_cast<double>(value);
    }
    if (!nan_seen) return;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (dst[i] != dst[i]) dst[i] = PyFloat_Unpack4(reinterpret_cast<const char*>(src + 4 * i), 0);
    }
}

// The one-dimensional float64 array that np.array(struct.unpack_from(fmt, data, 0)) would give,
// or null without an exception when only struct itself can answer (a short block, a negative or
// huge count, data that is not bytes, a replaced struct module or function).
Ref decode_natively(PyObject* struct_module, PyObject* unpack_from, PyObject* count, PyObject* data) noexcept {
    if (!g_originals.empty || struct_module != g_originals.struct_module ||
        unpack_from != g_originals.unpack_from || !PyBytes_CheckExact(data))
        return nullptr;
    Py_ssize_t n = PyLong_AsSsize_t(count);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    if (n < 0 || n > PyBytes_GET_SIZE(data) / 4) return nullptr;
    Ref size = steal(PyLong_FromSsize_t(n));
    Ref array = size ? call(g_originals.empty, size.get()) : nullptr;
    Buffer target;
    if (!array || !target.acquire(array.get(), PyBUF_WRITABLE)) {
        PyErr_Clear();  // let the literal path meet the failure itself
        return nullptr;
    }
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

}  // namespace

void capture_decode_originals(PyObject* struct_module, PyObject* numpy_module) noexcept {
    Ref unpack_from = get_attr(struct_module, K().unpack_from.get());
    Ref array = get_attr(numpy_module, K().array.get());
    Ref empty = get_attr(numpy_module, K().empty.get());
    // Only the genuine built-in functions allow the native path.
    if (!unpack_from || !array || !empty || !PyCFunction_Check(unpack_from.get()) ||
        !PyCFunction_Check(array.get()) || !PyCFunction_Check(empty.get())) {
        PyErr_Clear();
        return;
    }
    g_originals = Originals{Py_NewRef(struct_module), unpack_from.release(), Py_NewRef(numpy_module),
                            array.release(), empty.release()};
}

PyObject* mstar_raw_body(const Call& context, PyObject* const* bound) noexcept {
    Constants& k = K();
    PyObject* const globals = context.globals;
    auto fail = [&](int line) { return add_traceback(raw_origin, line, globals); };

    Ref f = call(context.open, bound[0], k.rb.get());
    if (!f) return fail(174);
    if (!call_method(f.get(), k.readline.get())) return fail(175);
    if (!call_method(f.get(), k.readline.get())) return fail(176);

    Ref text, key, value;
    text = read_header_line(f.get());
    if (!text || !split_entry(text.get(), key, value)) return fail(178);
    Ref offsets = steal(PyNumber_Long(value.get()));
    if (!offsets) return fail(179);

    for (int i = 0; i < 9; ++i)
        if (!call_method(f.get(), k.readline.get())) return fail(181);

    Ref ncols, nrows;
    text = read_header_line(f.get());
    if (!text || !split_entry(text.get(), key, value)) return fail(182);
    ncols = steal(PyNumber_Long(value.get()));
    if (!ncols) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) || !counts_by_name(f.get(), ncols, nrows)) return fail(183);
    } else {
        text = read_header_line(f.get());
        if (!text || !split_entry(text.get(), key, value)) return fail(184);
        nrows = steal(PyNumber_Long(value.get()));
        if (!nrows &&
            (!PyErr_ExceptionMatches(PyExc_ValueError) || !counts_by_name(f.get(), ncols, nrows)))
            return fail(185);
    }

    if (!call_method(f.get(), k.seek.get(), offsets.get())) return fail(187);

    Ref struct_module = load_global(globals, k.struct_.get());
    if (!struct_module) return fail(189);
    Ref unpack_from = get_attr(struct_module.get(), k.unpack_from.get());
    if (!unpack_from) return fail(189);
    Ref count = steal(PyNumber_Multiply(ncols.get(), nrows.get()));
    if (count) count = steal(PyNumber_Multiply(count.get(), k.int_2.get()));
    if (!count) return fail(189);
    Ref data = call_method(f.get(), k.read.get());
    if (!data) return fail(189);
    Ref x = decode_natively(struct_module.get(), unpack_from.get(), count.get(), data.get());
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
    if (!native || np.get() != g_originals.numpy || array.get() != g_originals.array) {
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
