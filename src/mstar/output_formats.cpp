#include "output_formats.hpp"

#include "elision.hpp"
#include "process.hpp"

namespace mstar {

namespace {

namespace line = source::raw;

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
        int equal = equals(ofmt, K().*spelling);
        if (equal != 0) return equal;
    }
    return 0;
}

// np.<name>, with `np` looked up as a global at each use.
Ref numpy_function(const Namespace& ns, Handle name) noexcept {
    Ref np = load_global(ns, K().np);
    return np ? get_attr(np, name) : nullptr;
}

// np.<name>(P), P read anew from the planes array and released after the call.
Ref of_phase(const Namespace& ns, PyObject* x, Handle name) noexcept {
    Ref fn = numpy_function(ns, name);
    Ref p = fn ? get_item(x, K().index_1_ellipsis) : nullptr;
    return p ? call(fn, p) : nullptr;
}

// np.transpose(x, (1, 2, 0))
Ref amplitude_phase_of(const Namespace& ns, PyObject* x) noexcept {
    Ref transpose = numpy_function(ns, K().transpose);
    return transpose ? call(transpose, x, K().axes_1_2_0) : nullptr;
}

// A * np.<fn>(P)
Ref magnitude_times(const Namespace& ns, PyObject* x, Handle fn_name) noexcept {
    Ref a = get_item(x, K().index_0_ellipsis);
    Ref wave = a ? of_phase(ns, x, fn_name) : nullptr;
    return multiply(std::move(a), std::move(wave));
}

// np.stack((A * np.cos(P), A * np.sin(P)), axis=-1)
Ref real_imaginary_of(const Namespace& ns, PyObject* x) noexcept {
    Constants& k = K();
    Ref stack = numpy_function(ns, k.stack);
    Ref re = stack ? magnitude_times(ns, x, k.cos) : nullptr;
    Ref im = re ? magnitude_times(ns, x, k.sin) : nullptr;
    Ref parts = im ? steal(PyTuple_Pack(2, re.get(), im.get())) : nullptr;
    return parts ? call_with_keyword(stack, k.axis, k.int_minus_1, parts) : nullptr;
}

// A * (np.cos(P) + 1j * np.sin(P)); add and multiply pass a failure on.
Ref complex_of(const Namespace& ns, PyObject* x) noexcept {
    Constants& k = K();
    Ref a = get_item(x, k.index_0_ellipsis);
    Ref cosine = a ? of_phase(ns, x, k.cos) : nullptr;
    Ref unit = cosine ? steal(PyComplex_FromDoubles(0.0, 1.0)) : nullptr;
    Ref sine = unit ? of_phase(ns, x, k.sin) : nullptr;
    Ref imaginary = multiply(std::move(unit), std::move(sine));
    Ref sum = add(std::move(cosine), std::move(imaginary));
    return multiply(std::move(a), std::move(sum));
}

}  // namespace

Ref convert_planes(const Namespace& ns, Handle ofmt, Handle planes, int& at) noexcept {
    struct Format {
        int test_line, convert_line;
        int (*test)(PyObject*);
        Ref (*convert)(const Namespace&, PyObject*);
    };
    static constexpr Format formats[] = {
        {line::test_ap, line::ap, [](PyObject* o) { return matches(o, amplitude_phase); }, amplitude_phase_of},
        {line::test_r, line::r, [](PyObject* o) { return matches(o, real_imaginary); }, real_imaginary_of},
        {line::test_c, line::c, [](PyObject* o) { return matches(o, complex_valued); }, complex_of},
    };
    for (const Format& format : formats) {
        at = format.test_line;
        int selected = format.test(ofmt.get());
        if (selected < 0) return nullptr;
        if (selected) {
            at = format.convert_line;
            return format.convert(ns, planes.get());
        }
    }
    return borrow(Py_None);
}

}  // namespace mstar
