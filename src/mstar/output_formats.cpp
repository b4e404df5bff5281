#include "output_formats.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "originals.hpp"

namespace mstar {

namespace {

using Spelling = Ref Constants::*;

constexpr Spelling amplitude_phase[] = {&Constants::ap, &Constants::amppha, &Constants::AP, &Constants::AMPPHA};
constexpr Spelling real_imaginary[] = {&Constants::r, &Constants::real, &Constants::REAL};
constexpr Spelling complex_valued[] = {&Constants::c, &Constants::cplx, &Constants::complex,
                                       &Constants::C, &Constants::CPLX, &Constants::COMPLEX};

// 1 when `ofmt` equals one of `spellings` (compared in order, as `==` and truth), 0 when none
// does, -1 with an exception set.
template <std::size_t N>
int matches(PyObject* ofmt, const Spelling (&spellings)[N]) noexcept {
    for (Spelling spelling : spellings) {
        int equal = equals(ofmt, (K().*spelling).get());
        if (equal != 0) return equal;
    }
    return 0;
}

// np.<name>, with `np` looked up as a global at each use.
Ref numpy_function(PyObject* globals, PyObject* name) noexcept {
    Ref np = load_global(globals, K().np.get());
    return np ? get_attr(np.get(), name) : nullptr;
}

// np.<name>(P), P read anew from the planes array and released after the call.
Ref of_phase(PyObject* globals, PyObject* x, PyObject* name) noexcept {
    Ref fn = numpy_function(globals, name);
    Ref p = fn ? steal(PyObject_GetItem(x, K().index_1_ellipsis.get())) : nullptr;
    return p ? call(fn.get(), p.get()) : nullptr;
}

// --- the operators as Python code evaluates them -----------------------------------------------
// When the interpreter evaluates `a + b` or `a * b` and an operand is a temporary array of at least
// 256 KiB that nothing else references, NumPy computes the result into that array (temporary
// elision). It never does so for a caller outside the interpreter loop, so the conversions do it
// here, under NumPy's own conditions: the same values, NaN bits included, and the same memory.

constexpr Py_ssize_t elision_min_bytes = 256 * 1024;
constexpr long owndata_flag = 0x0004, writeable_flag = 0x0400, writebackifcopy_flag = 0x2000;

// obj.<name>.<attribute> as a C long, or -1 (exact arrays and dtypes only: nothing here can fail
// but memory).
long long_attribute(PyObject* obj, PyObject* name, PyObject* attribute = nullptr) noexcept {
    Ref value = get_attr(obj, name);
    if (value && attribute) value = get_attr(value.get(), attribute);
    long result = value ? PyLong_AsLong(value.get()) : -1;
    PyErr_Clear();
    return result;
}

// NumPy's scalars and the Python ones it treats alike, and arrays without dimensions.
bool any_scalar(PyObject* obj) noexcept {
    const Originals& o = originals();
    return PyFloat_Check(obj) || PyComplex_Check(obj) || PyLong_Check(obj) || PyBytes_Check(obj) ||
           PyUnicode_Check(obj) || PyObject_TypeCheck(obj, o.generic) ||
           (PyObject_TypeCheck(obj, o.ndarray) && long_attribute(obj, K().ndim.get()) == 0);
}

// Whether NumPy would compute `temp <op> other` into `temp`.
bool reusable(PyObject* temp, PyObject* other) noexcept {
    const Originals& o = originals();
    Constants& k = K();
    if (!o.ndarray || !o.generic || !o.asarray || !o.can_cast) return false;
    if (Py_REFCNT(temp) != 1 || Py_TYPE(temp) != o.ndarray) return false;
    if (long_attribute(temp, k.nbytes.get()) < elision_min_bytes) return false;
    const long flags = long_attribute(temp, k.flags.get(), k.num.get());
    if (flags < 0 || !(flags & owndata_flag) || !(flags & writeable_flag) || (flags & writebackifcopy_flag))
        return false;
    const long type_num = long_attribute(temp, k.dtype.get(), k.num.get());
    if (type_num < 0 || (type_num > 16 && type_num != 23)) return false;  // bool to clongdouble, half
    if (Py_TYPE(other) != o.ndarray && !any_scalar(other)) return false;
    // The other operand as NumPy sees it: without dimensions or of the same shape, and safely cast.
    Ref operand = call(o.asarray, other);
    Ref shape = operand ? get_attr(operand.get(), k.shape.get()) : nullptr;
    Ref own_shape = shape ? get_attr(temp, k.shape.get()) : nullptr;
    int fits = !own_shape                             ? -1
               : PyTuple_GET_SIZE(shape.get()) == 0 ? 1
                                                    : PyObject_RichCompareBool(shape.get(), own_shape.get(), Py_EQ);
    Ref dtype = fits == 1 ? get_attr(temp, k.dtype.get()) : nullptr;
    Ref safe = dtype ? call(o.can_cast, operand.get(), dtype.get(), k.safe.get()) : nullptr;
    int cast = safe ? PyObject_IsTrue(safe.get()) : 0;
    PyErr_Clear();
    return cast == 1;
}

// lhs <op> rhs, consuming both operands as the interpreter's stack does.
Ref evaluate(Ref lhs, Ref rhs, binaryfunc op, binaryfunc inplace_op) noexcept {
    if (!lhs || !rhs) return nullptr;
    if (reusable(lhs.get(), rhs.get())) return steal(inplace_op(lhs.get(), rhs.get()));
    if (reusable(rhs.get(), lhs.get())) return steal(inplace_op(rhs.get(), lhs.get()));
    return steal(op(lhs.get(), rhs.get()));
}

Ref add(Ref lhs, Ref rhs) noexcept {
    return evaluate(std::move(lhs), std::move(rhs), PyNumber_Add, PyNumber_InPlaceAdd);
}
Ref multiply(Ref lhs, Ref rhs) noexcept {
    return evaluate(std::move(lhs), std::move(rhs), PyNumber_Multiply, PyNumber_InPlaceMultiply);
}

// --- the three conversions ---------------------------------------------------------------------

// np.transpose(x, (1, 2, 0))
Ref amplitude_phase_of(PyObject* globals, PyObject* x) noexcept {
    Ref transpose = numpy_function(globals, K().transpose.get());
    return transpose ? call(transpose.get(), x, K().axes_1_2_0.get()) : nullptr;
}

// A * np.<fn>(P)
Ref magnitude_times(PyObject* globals, PyObject* x, PyObject* fn_name) noexcept {
    Ref a = steal(PyObject_GetItem(x, K().index_0_ellipsis.get()));
    if (!a) return nullptr;
    Ref wave = of_phase(globals, x, fn_name);
    return multiply(std::move(a), std::move(wave));
}

// np.stack((A * np.cos(P), A * np.sin(P)), axis=-1)
Ref real_imaginary_of(PyObject* globals, PyObject* x) noexcept {
    Constants& k = K();
    Ref stack = numpy_function(globals, k.stack.get());
    if (!stack) return nullptr;
    Ref re = magnitude_times(globals, x, k.cos.get());
    if (!re) return nullptr;
    Ref im = magnitude_times(globals, x, k.sin.get());
    if (!im) return nullptr;
    Ref parts = steal(PyTuple_Pack(2, re.get(), im.get()));
    Ref kwnames = steal(PyTuple_Pack(1, k.axis.get()));
    if (!parts || !kwnames) return nullptr;
    PyObject* args[] = {parts.get(), k.int_minus_1.get()};
    return steal(PyObject_Vectorcall(stack.get(), args, 1, kwnames.get()));
}

// A * (np.cos(P) + 1j * np.sin(P))
Ref complex_of(PyObject* globals, PyObject* x) noexcept {
    Constants& k = K();
    Ref a = steal(PyObject_GetItem(x, k.index_0_ellipsis.get()));
    if (!a) return nullptr;
    Ref cosine = of_phase(globals, x, k.cos.get());
    if (!cosine) return nullptr;
    Ref unit = steal(PyComplex_FromDoubles(0.0, 1.0));
    if (!unit) return nullptr;
    Ref sine = of_phase(globals, x, k.sin.get());
    if (!sine) return nullptr;
    Ref imaginary = multiply(std::move(unit), std::move(sine));
    Ref sum = add(std::move(cosine), std::move(imaginary));
    return multiply(std::move(a), std::move(sum));
}

}  // namespace

Ref convert_planes(PyObject* globals, PyObject* ofmt, PyObject* planes, int& line) noexcept {
    struct Format {
        int test_line;
        int (*test)(PyObject*);
        Ref (*convert)(PyObject*, PyObject*);
    };
    static constexpr Format formats[] = {
        {193, [](PyObject* o) { return matches(o, amplitude_phase); }, amplitude_phase_of},
        {195, [](PyObject* o) { return matches(o, real_imaginary); }, real_imaginary_of},
        {197, [](PyObject* o) { return matches(o, complex_valued); }, complex_of},
    };
    for (const Format& format : formats) {
        line = format.test_line;
        int selected = format.test(ofmt);
        if (selected < 0) return nullptr;
        if (selected) {
            line = format.test_line + 1;
            return format.convert(globals, planes);
        }
    }
    return borrow(Py_None);
}

}  // namespace mstar
