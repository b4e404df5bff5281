// load(paths, layouts, out, height, width, planes, wide, threads, progress): chips into the slots
// of a preallocated array, for Catalog.load.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace chips {

// `paths` a list of str; `layouts` native int64 triples (data offset, rows, columns), one per path;
// `out` a writable C-contiguous buffer of one zeroed slot per path; `planes` 0 amplitude,
// 1 amplitude and phase, 2 real and imaginary; `wide` float64 values (else float32).
// Returns None, or raises OSError or ValueError naming the first chip that could not be loaded.
PyObject* load(PyObject* module, PyObject* args) noexcept;

}  // namespace chips
