// What the module imported at load. While a call meets exactly these objects, it may take a
// native shortcut that no caller can tell from the Python-level steps it stands for.
#pragma once

#include "core/ref.hpp"

namespace mstar {

// Owned references; a member is null when load found something other than the genuine article
// (the shortcuts it allows are then never taken).
struct Originals {
    Ref struct_module;
    Ref unpack_from;  // struct.unpack_from
    Ref numpy;
    Ref array;        // numpy.array
    Ref empty;        // numpy.empty
    Ref asarray;      // numpy.asarray
    Ref can_cast;     // numpy.can_cast
    Ref ndarray;      // numpy.ndarray
    Ref generic;      // numpy.generic: NumPy's scalar types
    Ref open;         // io.open: the built-in open
    Ref buffered_reader;  // io.BufferedReader: the files of the built-in open
};

// Whether `obj` is of exactly the type `type` (a null `type` matches nothing).
inline bool of_type(PyObject* obj, const Ref& type) noexcept {
    return type && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type.get();
}

// Finds them from the modules bound as `struct` and `np`; never fails.
Originals capture_originals(PyObject* struct_module, PyObject* numpy_module) noexcept;

}  // namespace mstar
