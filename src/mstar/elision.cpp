// When the interpreter evaluates `a + b` or `a * b` and an operand is a temporary array of at least
// 256 KiB that nothing else references, NumPy computes the result into that array (temporary
// elision), swapping the operands when the temporary is on the right. It never does so for a
// caller outside the interpreter loop, so the readers do it here, under NumPy's own conditions:
// the same values, NaN bits included, and the same memory as the statements evaluated by Python.
#include "elision.hpp"

#include "core/python.hpp"
#include "process.hpp"

#include <opcode.h>

#include <cstdint>
#include <cstring>

namespace mstar {

namespace {

constexpr Py_ssize_t elision_min_bytes = 256 * 1024;
constexpr long owndata_flag = 0x0004, writeable_flag = 0x0400, writebackifcopy_flag = 0x2000;

// --- whether NumPy elides for the interpreter in this process ------------------------------------
// NumPy elides only where it can tell from the native stack that the interpreter's evaluation
// loop called it, which fails where `backtrace` is intercepted (under AddressSanitizer, for one).
// It is found once, by letting the interpreter evaluate `y + x * one` on NaNs of distinct
// payloads: elided, the sum is computed into the temporary `x * one` with the operands swapped,
// and its NaN is x's.

// numpy.empty(n) with every element holding `bits`.
Ref filled(Py_ssize_t n, std::uint64_t bits) noexcept {
    Ref size = steal(PyLong_FromSsize_t(n));
    Ref array = size ? call(originals().empty, size) : nullptr;
    Buffer memory;
    if (!array || !memory.acquire(array.get(), PyBUF_WRITABLE)) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(static_cast<char*>(memory.data()) + 8 * i, &bits, 8);
    return array;
}

// def probe(x, y, one): return y + x * one
Ref probe_function() noexcept {
    static constexpr unsigned char code[] = {
        RESUME,    0,           LOAD_FAST, 1, LOAD_FAST, 0,      LOAD_FAST, 2,           BINARY_OP,
        NB_MULTIPLY, CACHE,     0,         BINARY_OP, NB_ADD, CACHE,     0, RETURN_VALUE, 0};
    Constants& k = K();
    Ref bytecode = steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(code), sizeof code));
    Ref names = steal(Py_BuildValue("(sss)", "x", "y", "one"));
    Ref name = steal(PyUnicode_FromString("probe"));
    Ref globals = steal(PyDict_New());
    if (!bytecode || !names || !name || !globals) return nullptr;
    Ref function_code = steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        3, 0, 0, 3, 3, CO_OPTIMIZED | CO_NEWLOCALS, bytecode.get(), k.empty_tuple.get(), k.empty_tuple.get(),
        names.get(), k.empty_tuple.get(), k.empty_tuple.get(), name.get(), name.get(), name.get(), 1,
        k.empty_bytes.get(), k.empty_bytes.get())));
    return function_code ? steal(PyFunction_New(function_code.get(), globals.get())) : nullptr;
}

// The bits of a float64 array's first element, or 0.
std::uint64_t first_bits(PyObject* array) noexcept {
    Buffer memory;
    std::uint64_t bits = 0;
    if (array && memory.acquire(array, PyBUF_SIMPLE) && memory.size() >= 8) std::memcpy(&bits, memory.data(), 8);
    return bits;
}

bool elides_for_interpreter() noexcept {
    Process& p = process();
    if (p.elision_known) return p.elision;
    Ref x = filled(elision_min_bytes / 8, 0x7ff8000000000001), y = filled(elision_min_bytes / 8, 0x7ff8000000000002);
    Ref one = steal(PyFloat_FromDouble(1.0));
    Ref probe = x && y && one ? probe_function() : nullptr;
    Ref by_interpreter, from_here;
    if (probe) {
        // Trace and profile functions are not shown the probe.
        PyThreadState* thread = PyThreadState_Get();
        PyThreadState_EnterTracing(thread);
        by_interpreter = call(probe, x, y, one);
        PyThreadState_LeaveTracing(thread);
        Ref product = by_interpreter ? steal(PyNumber_Multiply(x.get(), one.get())) : nullptr;
        from_here = product ? steal(PyNumber_Add(y.get(), product.get())) : nullptr;
    }
    // Without an answer nothing is elided: the values can then differ in NaN bits only.
    p.elision = from_here && first_bits(by_interpreter.get()) != first_bits(from_here.get());
    p.elision_known = true;
    PyErr_Clear();
    return p.elision;
}

// --- NumPy's conditions ----------------------------------------------------------------------

// obj.<name>.<attribute> as a C long, or -1 (exact arrays and dtypes only: nothing here can fail
// but memory).
long long_attribute(PyObject* obj, Handle name, Handle attribute = nullptr) noexcept {
    Ref value = get_attr(obj, name);
    if (value && attribute.get()) value = get_attr(value, attribute);
    long result = value ? PyLong_AsLong(value.get()) : -1;
    PyErr_Clear();
    return result;
}

// NumPy's scalars and the Python ones it treats alike, and arrays without dimensions.
bool any_scalar(PyObject* obj) noexcept {
    const Originals& o = originals();
    auto instance = [&](const Ref& type) {
        return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type.get())) != 0;
    };
    return PyFloat_Check(obj) || PyComplex_Check(obj) || PyLong_Check(obj) || PyBytes_Check(obj) ||
           PyUnicode_Check(obj) || instance(o.generic) ||
           (instance(o.ndarray) && long_attribute(obj, K().ndim) == 0);
}

// Whether NumPy, called by the interpreter, would compute `temp <op> other` into `temp`.
bool reusable(PyObject* temp, PyObject* other) noexcept {
    const Originals& o = originals();
    Constants& k = K();
    if (!o.ndarray || !o.generic || !o.asarray || !o.can_cast || !o.empty) return false;
    if (Py_REFCNT(temp) != 1 || !of_type(temp, o.ndarray)) return false;
    if (long_attribute(temp, k.nbytes) < elision_min_bytes) return false;
    const long flags = long_attribute(temp, k.flags, k.num);
    if (flags < 0 || !(flags & owndata_flag) || !(flags & writeable_flag) || (flags & writebackifcopy_flag))
        return false;
    const long type_num = long_attribute(temp, k.dtype, k.num);
    if (type_num < 0 || (type_num > 16 && type_num != 23)) return false;  // bool to clongdouble, half
    if (!of_type(other, o.ndarray) && !any_scalar(other)) return false;
    // The other operand as NumPy sees it: without dimensions or of the same shape, and safely cast.
    Ref operand = call(o.asarray, other);
    Ref shape = operand ? get_attr(operand, k.shape) : nullptr;
    Ref own_shape = shape ? get_attr(temp, k.shape) : nullptr;
    int fits = !own_shape                             ? -1
               : PyTuple_GET_SIZE(shape.get()) == 0 ? 1
                                                    : PyObject_RichCompareBool(shape.get(), own_shape.get(), Py_EQ);
    Ref dtype = fits == 1 ? get_attr(temp, k.dtype) : nullptr;
    Ref safe = dtype ? call(o.can_cast, operand, dtype, k.safe) : nullptr;
    int cast = safe ? PyObject_IsTrue(safe.get()) : 0;
    PyErr_Clear();
    return cast == 1 && elides_for_interpreter();
}

// lhs <op> rhs, consuming both operands as the interpreter's stack does.
Ref evaluate(Ref lhs, Ref rhs, binaryfunc op, binaryfunc inplace_op) noexcept {
    if (!lhs || !rhs) return nullptr;
    if (reusable(lhs.get(), rhs.get())) return steal(inplace_op(lhs.get(), rhs.get()));
    if (reusable(rhs.get(), lhs.get())) return steal(inplace_op(rhs.get(), lhs.get()));
    return steal(op(lhs.get(), rhs.get()));
}

}  // namespace

Ref add(Ref lhs, Ref rhs) noexcept {
    return evaluate(std::move(lhs), std::move(rhs), PyNumber_Add, PyNumber_InPlaceAdd);
}

Ref multiply(Ref lhs, Ref rhs) noexcept {
    return evaluate(std::move(lhs), std::move(rhs), PyNumber_Multiply, PyNumber_InPlaceMultiply);
}

}  // namespace mstar
