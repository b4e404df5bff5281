// vantrel._chips: the dataset layer's native work over many chip files at once (reading headers,
// loading data blocks into one array) on worker threads, with the interpreter's lock released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "load.hpp"
#include "scan.hpp"

#include <cstdint>

namespace chips {

namespace {

PyMethodDef methods[] = {
    {"scan", scan, METH_VARARGS,
     "scan(root: bytes, verify: bool, threads: int, progress) -> (texts, numbers, skipped)\n\n"
     "The chips below root, by content, and the files that start like a chip but cannot be read."},
    {"load", load, METH_VARARGS,
     "load(paths, layouts, out, height, width, planes, wide, threads, progress) -> None\n\n"
     "Each chip's centred window, decoded into its slot of the zeroed array `out`."},
    {nullptr, nullptr, 0, nullptr},
};

// Built on the limited API of 3.11, which does not name the slot that declares support for
// interpreters with their own GIL (3.12 on): it is offered by number where the running
// interpreter knows it, as 3.11 refuses slots it does not know.
constexpr int multiple_interpreters_slot = 3;     // Py_mod_multiple_interpreters
constexpr std::intptr_t per_interpreter_gil = 2;  // Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
PyModuleDef_Slot slots[] = {
    {0, nullptr},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vantrel._chips",
    "Native work over many MSTAR chip files; used by vantrel.catalog.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace chips

PyMODINIT_FUNC PyInit__chips() {
    if (Py_Version >= 0x030C0000)
        chips::slots[0] = {chips::multiple_interpreters_slot, reinterpret_cast<void*>(chips::per_interpreter_gil)};
    return PyModuleDef_Init(&chips::definition);
}
