// What the module imported at load. While a call meets exactly these objects, it may take a
// native shortcut that no caller can tell from the Python-level steps it stands for.
#pragma once

#include "core/ref.hpp"

namespace mstar {

// Borrowed from references held for the life of the process; a member is null when load found
// something else than the genuine article (the shortcuts it allows are then never taken).
struct Originals {
    PyObject* struct_module = nullptr;
    PyObject* unpack_from = nullptr;  // struct.unpack_from
    PyObject* numpy = nullptr;
    PyObject* array = nullptr;        // numpy.array
    PyObject* empty = nullptr;        // numpy.empty
    PyObject* asarray = nullptr;      // numpy.asarray
    PyObject* can_cast = nullptr;     // numpy.can_cast
    PyTypeObject* ndarray = nullptr;  // numpy.ndarray
    PyTypeObject* generic = nullptr;  // numpy.generic: NumPy's scalar types
    PyObject* open = nullptr;                 // io.open: the built-in open
    PyTypeObject* buffered_reader = nullptr;  // io.BufferedReader: the files of the built-in open
};

const Originals& originals() noexcept;

// Records them from the modules bound as `struct` and `np`; never fails.
void capture_originals(PyObject* struct_module, PyObject* numpy_module) noexcept;

}  // namespace mstar
