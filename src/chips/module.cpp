// vantrel._chips: the dataset layer's native work over many chip files at once (reading headers,
// loading data blocks into one array) on worker threads, with the interpreter's lock released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "columns.hpp"
#include "format/phoenix_header.hpp"
#include "load.hpp"
#include "saved.hpp"
#include "scan.hpp"
#include "shared/py_ref.hpp"

#include <cstdint>
#include <string>

namespace chips {

namespace {

PyMethodDef methods[] = {
    {"scan", scan, METH_VARARGS,
     "scan(root: bytes, verify: bool, threads: int, progress) -> (columns, skipped)\n\n"
     "The chips below root, by content, and the files that start like a chip but cannot be read."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)), METH_VARARGS | METH_KEYWORDS,
     "load(*, paths, layouts, out, height, width, ofmt, wide, threads, progress, decibels=False, floor=0.0)"
     " -> None\n\n"
     "Each chip's centred window, decoded into its slot of the zeroed array `out`."},
    {"read_checked", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_checked)),
     METH_VARARGS | METH_KEYWORDS,
     "read_checked(*, fd, offset, out, crc=0, threads=1) -> int\n\n"
     "`out` filled from the file at `offset`; the CRC-32 of the bytes that gave `crc` followed by those read."},
    {"checksum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checksum)), METH_VARARGS | METH_KEYWORDS,
     "checksum(*, data, crc=0, threads=1) -> int\n\n"
     "The CRC-32 of the bytes that gave `crc` followed by those of `data`."},
    {nullptr, nullptr, 0, nullptr},
};

using py::Ref;
using py::steal;

Ref text(std::string_view value) {
    return steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// The facts the Python side takes from here rather than writing them again: CHIP_SIGNATURE, the
// bytes a chip starts with; COLUMNS, scan's columns in order with their dtypes; LAYOUT, the
// columns of load's layouts in order.
int add_constants(PyObject* module) noexcept {
    Ref signature = steal(PyBytes_FromStringAndSize(phoenix::chip_signature.data(),
                                                    static_cast<Py_ssize_t>(phoenix::chip_signature.size())));
    Ref types = steal(PyDict_New());
    Ref layout = steal(PyTuple_New(static_cast<Py_ssize_t>(layout_columns.size())));
    if (!signature || !types || !layout) return -1;
    for (const Column& column : columns) {
        Ref name = text(column.name), dtype = text(dtype_name(column.kind));
        if (!name || !dtype || PyDict_SetItem(types.get(), name.get(), dtype.get()) < 0) return -1;
    }
    for (std::size_t i = 0; i < layout_columns.size(); ++i) {
        Ref name = text(layout_columns[i]);
        if (!name) return -1;
        PyTuple_SetItem(layout.get(), static_cast<Py_ssize_t>(i), name.release());  // steals it
    }
    if (PyModule_AddObjectRef(module, "CHIP_SIGNATURE", signature.get()) < 0 ||
        PyModule_AddObjectRef(module, "COLUMNS", types.get()) < 0 ||
        PyModule_AddObjectRef(module, "LAYOUT", layout.get()) < 0)
        return -1;
    return 0;
}

// Built on the limited API of 3.11, which does not name the slot that declares support for
// interpreters with their own GIL (3.12 on): it is offered by number where the running
// interpreter knows it, as 3.11 refuses slots it does not know.
constexpr int multiple_interpreters_slot = 3;     // Py_mod_multiple_interpreters
constexpr std::intptr_t per_interpreter_gil = 2;  // Py_MOD_PER_INTERPRETER_GIL_SUPPORTED
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
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
        chips::slots[1] = {chips::multiple_interpreters_slot, reinterpret_cast<void*>(chips::per_interpreter_gil)};
    return PyModuleDef_Init(&chips::definition);
}
