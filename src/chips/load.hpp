// load(*, paths, layouts, out, height, width, ofmt, wide, threads, progress, decibels, floor): chips
// into the slots of a preallocated array, for Catalog.load.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace chips {

// By keyword: `paths` a list of str; `layouts` native int64 rows of columns.hpp's layout_columns,
// one per path; `out` a writable C-contiguous buffer of one zeroed slot per path; `ofmt` 'a'
// amplitude, 'ap' amplitude and phase, 'r' or 'c' real and imaginary; `wide` float64 values (else
// float32); `decibels` the amplitude in dB above `floor`.
// Returns None, or raises OSError or ValueError naming the first chip that could not be loaded.
PyObject* load(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace chips
