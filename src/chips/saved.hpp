// read_checked(*, fd, offset, out, crc, threads): a saved set's array read from its file straight
// into its place, with the CRC-32 the zip file records for it, for vantrel.loading.load_saved;
// checksum(*, data, crc, threads): the CRC-32 of an array in memory (a mapped one).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace chips {

// Fills the writable C-contiguous buffer `out` with the bytes of the open file `fd` from `offset`
// on, in blocks read and checked on `threads` threads (each block's CRC computed while it is still
// in the cache). Returns the CRC-32 of the bytes that gave `crc` followed by those read; raises
// EOFError when the file ends before `out` is full, OSError when a read fails.
PyObject* read_checked(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

// The CRC-32 of the bytes that gave `crc` followed by those of the C-contiguous buffer `data`,
// computed in blocks on `threads` threads.
PyObject* checksum(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace chips
