#include "output_formats.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"

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

// np.transpose(x, (1, 2, 0))
Ref amplitude_phase_of(PyObject* globals, PyObject* x) noexcept {
    Ref transpose = numpy_function(globals, K().transpose.get());
    return transpose ? call(transpose.get(), x, K().axes_1_2_0.get()) : nullptr;
}

// A * np.<fn>(P), reading A and P anew from the planes array.
Ref magnitude_times(PyObject* globals, PyObject* x, PyObject* fn_name) noexcept {
    Constants& k = K();
    Ref a = steal(PyObject_GetItem(x, k.index_0_ellipsis.get()));
    if (!a) return nullptr;
    Ref fn = numpy_function(globals, fn_name);
    if (!fn) return nullptr;
    Ref p = steal(PyObject_GetItem(x, k.index_1_ellipsis.get()));
    if (!p) return nullptr;
    Ref wave = call(fn.get(), p.get());
    p.reset();
    if (!wave) return nullptr;
    return steal(PyNumber_Multiply(a.get(), wave.get()));
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

// A * (np.cos(P) + 1j * np.sin(P)); each temporary goes as soon as it is used, as in Python.
Ref complex_of(PyObject* globals, PyObject* x) noexcept {
    Constants& k = K();
    Ref a = steal(PyObject_GetItem(x, k.index_0_ellipsis.get()));
    if (!a) return nullptr;
    Ref cos = numpy_function(globals, k.cos.get());
    if (!cos) return nullptr;
    Ref p = steal(PyObject_GetItem(x, k.index_1_ellipsis.get()));
    if (!p) return nullptr;
    Ref cosine = call(cos.get(), p.get());
    if (!cosine) return nullptr;
    Ref unit = steal(PyComplex_FromDoubles(0.0, 1.0));
    if (!unit) return nullptr;
    Ref sin = numpy_function(globals, k.sin.get());
    if (!sin) return nullptr;
    p = steal(PyObject_GetItem(x, k.index_1_ellipsis.get()));
    if (!p) return nullptr;
    Ref sine = call(sin.get(), p.get());
    p.reset();
    if (!sine) return nullptr;
    Ref imaginary = steal(PyNumber_Multiply(unit.get(), sine.get()));
    sine.reset();
    if (!imaginary) return nullptr;
    Ref sum = steal(PyNumber_Add(cosine.get(), imaginary.get()));
    cosine.reset();
    imaginary.reset();
    return sum ? steal(PyNumber_Multiply(a.get(), sum.get())) : nullptr;
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
