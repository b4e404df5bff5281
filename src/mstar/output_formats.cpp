#include "output_formats.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "elision.hpp"

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
