"""``mstar_header`` and ``mstar_raw`` for interpreters without the reader module (it is built for
CPython 3.13 only): the same values, read in Python and NumPy, with the dataset layer's errors
(``OSError`` from ``open``, ``ValueError`` naming the file for a damaged chip)."""

from __future__ import annotations

import os
import stat
from typing import Any, BinaryIO

import numpy as np

from .defaults import READER_OFMTS

END_MARKER = "[EndofPhoenixHeader]"
LINE_LIMIT = 1 << 16
AMPLITUDE_PHASE, REAL_IMAGINARY, COMPLEX = (READER_OFMTS[name][1] for name in ("ap", "r", "c"))


def _name(filepath: Any) -> str:
    if isinstance(filepath, int):
        return f"file descriptor {filepath}"
    try:
        return os.fsdecode(filepath)
    except TypeError:
        return repr(filepath)


class _Lines:
    """A chip's header lines, read one at a time, numbered from 1 at the position reading starts."""

    def __init__(self, file: BinaryIO, name: str) -> None:
        self.file = file
        self.name = name
        self.number = 0
        self.raw = b""
        # A file that is not a regular file (a device) may never end, nor may a line of it.
        self.limit = -1 if stat.S_ISREG(os.fstat(file.fileno()).st_mode) else LINE_LIMIT
        self.held = 0

    def fail(self, reason: str) -> ValueError:
        return ValueError(f"{self.name}: header line {self.number} {reason}")

    def skip(self) -> None:
        self.raw = self.file.readline(self.limit)
        self.number += 1
        self.held += len(self.raw)
        if self.limit > 0 and self.held >= self.limit:
            raise ValueError(f"{self.name}: no header within the first {self.limit} bytes of a file that is not "
                             "a regular file")

    def text(self) -> str:
        self.skip()
        try:
            return self.raw.strip(b"\n").decode("utf-8")
        except UnicodeDecodeError:
            raise self.fail("is not UTF-8") from None

    def split(self, text: str) -> tuple[str, str]:
        parts = text.split("= ")
        if len(parts) != 2:
            raise self.fail("is not 'Key= value'")
        return parts[0], parts[1]

    def number_in(self, what: str) -> int:
        _, value = self.split(self.text())
        try:
            return int(value)
        except ValueError:
            raise _NotANumber(f"{self.name}: header line {self.number} holds {what} {value!r}, "
                              "not a whole number") from None


class _NotANumber(ValueError):
    pass


def _read_header(file: BinaryIO, name: str) -> dict[str, str]:
    # As mstar_header reads it: from byte 1, the version line, then entries up to the end marker.
    file.seek(1)
    lines = _Lines(file, name)
    lines.number = 1
    header = {"PhoenixHeaderVer": lines.text()[17:-1]}
    while True:
        text = lines.text()
        if not lines.raw:
            raise ValueError(f"{name}: no {END_MARKER} line before the end of the file")
        if text == END_MARKER:
            return header
        if text:
            key, value = lines.split(text)
            header[key] = value


def mstar_header(filepath: Any) -> dict[str, str]:
    """The chip's header entries as strings, ``"PhoenixHeaderVer"`` first, then in file order."""
    with open(filepath, "rb") as file:
        return _read_header(file, _name(filepath))


def _counts(file: BinaryIO, name: str) -> tuple[int, int, int]:
    try:
        return _counts_in(file, name)
    except _NotANumber as error:  # a ValueError like any other to the caller, under its public name
        raise ValueError(str(error)) from None


def _counts_in(file: BinaryIO, name: str) -> tuple[int, int, int]:
    # The offset from line 3, the counts from lines 13 and 14; where a count is no whole number
    # (the 01.04 layout keeps NumberOfRows on line 13), both counts by name.
    lines = _Lines(file, name)
    lines.skip()
    lines.skip()
    offset = lines.number_in("the data offset")
    while lines.number < 12:
        lines.skip()
    try:
        columns = lines.number_in("the column count")
        rows = lines.number_in("the row count")
    except _NotANumber as positional:
        header = _read_header(file, name)  # a damaged header (no end marker, a line not UTF-8) tells its own cause
        try:
            columns = int(header["NumberOfColumns"])
            rows = int(header["NumberOfRows"])
        except (KeyError, ValueError):
            raise positional from None
    return offset, columns, rows


def _planes(file: BinaryIO, name: str) -> np.ndarray:
    offset, columns, rows = _counts(file, name)
    if offset < 0 or columns < 0 or rows < 0:
        raise ValueError(f"{name}: negative data offset or count in the header ({offset}, {columns}, {rows})")
    file.seek(offset)
    data = file.read()
    count = 2 * rows * columns
    if len(data) < 4 * count:
        raise ValueError(f"{name}: the data block holds {len(data)} bytes, the header's counts need {4 * count}")
    return np.frombuffer(data, ">f4", count).astype(np.float64).reshape(2, rows, columns)


def _any_equal(ofmt: object, spellings: tuple[str, ...]) -> bool:
    return any(ofmt == spelling for spelling in spellings)


def mstar_raw(filepath: Any, ofmt: Any = "c") -> np.ndarray | None:
    """The chip's samples: complex for ``"c"``, amplitude and phase side by side for ``"ap"``,
    real and imaginary parts for ``"r"``, ``None`` for any other ``ofmt``."""
    with open(filepath, "rb") as file:
        x = _planes(file, _name(filepath))
    if _any_equal(ofmt, AMPLITUDE_PHASE):
        return np.transpose(x, (1, 2, 0))
    if _any_equal(ofmt, REAL_IMAGINARY):
        return np.stack((x[0, ...] * np.cos(x[1, ...]), x[0, ...] * np.sin(x[1, ...])), axis=-1)
    if _any_equal(ofmt, COMPLEX):
        return x[0, ...] * (np.cos(x[1, ...]) + 1j * np.sin(x[1, ...]))
    return None
