// scan(root, verify, threads, progress): the chips below a root and the files that could not be
// read as chips, for vantrel.catalog.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace chips {

// Returns (columns, skipped): columns is a tuple of lists (path, target_type, serial, depression,
// azimuth, rows, columns, header_version, data_offset), one item per chip in path order; skipped
// is a list of (path, reason).
PyObject* scan(PyObject* module, PyObject* args) noexcept;

}  // namespace chips
