// scan(root, verify, threads, progress): the chips below a root and the files that could not be
// read as chips, for vantrel.catalog.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace chips {

// Returns (columns, skipped), one item per chip in path order:
//   columns: a dict from column name to its values, as columns.hpp lists them: a list of str for
//            a text column, bytes of native 8-byte values for a number column;
//   skipped: a list of (path, reason).
PyObject* scan(PyObject* module, PyObject* args) noexcept;

}  // namespace chips
