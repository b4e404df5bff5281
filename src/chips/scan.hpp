// scan(root, verify, threads, progress): the chips below a root and the files that could not be
// read as chips, for vantrel.catalog.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace chips {

// Returns (texts, numbers, skipped), one item per chip in path order:
//   texts: a tuple of lists (path, target_type, serial, header_version);
//   numbers: a tuple of bytes holding native float64 (depression, azimuth) and int64 (rows,
//            columns, data_offset) values;
//   skipped: a list of (path, reason).
PyObject* scan(PyObject* module, PyObject* args) noexcept;

}  // namespace chips
