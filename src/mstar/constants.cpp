#include "constants.hpp"

namespace mstar {

namespace {

bool set(Ref& slot, PyObject* made) noexcept {
    slot = steal(made);
    return static_cast<bool>(slot);
}

bool set_int(Ref& slot, long value) noexcept { return set(slot, PyLong_FromLong(value)); }

}  // namespace

bool build_scalars(Constants& k) noexcept {
    if (!set(k.empty_tuple, PyTuple_New(0)) || !set(k.empty_bytes, PyBytes_FromStringAndSize("", 0)) ||
        !set(k.line_feed, PyBytes_FromStringAndSize("\n", 1)))
        return false;
#define MSTAR_BUILD(member, text) \
    if (!set(k.member, PyUnicode_InternFromString(text))) return false;
    MSTAR_STRINGS(MSTAR_BUILD)
#undef MSTAR_BUILD
    return set_int(k.int_0, 0) && set_int(k.int_minus_1, -1) && set_int(k.int_1, 1) &&
           set_int(k.int_2, 2) && set_int(k.int_121, 121) && set_int(k.int_122, 122) &&
           set_int(k.int_221, 221) && set_int(k.int_222, 222) && set_int(k.int_223, 223) &&
           set_int(k.int_224, 224);
}

bool build_tuples(Constants& k) noexcept {
    PyObject* ellipsis = Py_Ellipsis;
    return set(k.axes_1_2_0, PyTuple_Pack(3, k.int_1.get(), k.int_2.get(), k.int_0.get())) &&
           set(k.index_0_ellipsis, PyTuple_Pack(2, k.int_0.get(), ellipsis)) &&
           set(k.index_1_ellipsis, PyTuple_Pack(2, k.int_1.get(), ellipsis)) &&
           set(k.raw_defaults, PyTuple_Pack(1, k.c.get())) &&
           set(k.index_ellipsis_0, PyTuple_Pack(2, ellipsis, k.int_0.get())) &&
           set(k.index_ellipsis_1, PyTuple_Pack(2, ellipsis, k.int_1.get()));
}

}  // namespace mstar
