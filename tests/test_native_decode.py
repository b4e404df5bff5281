"""mstar_raw gives the same arrays and errors whether it decodes natively or through struct and NumPy."""

import builtins
import math
import struct
import traceback
import types

import numpy as np
import pytest

import vantrel.datasets.mstar as mstar
from conftest import LINES, REAL, REAL_CHIPS, chip_bytes

# The reader's traceback lines (tools/source_lines.py).
R = LINES["raw"]

ODD_VALUES = [0x7FC00000, 0x7F800001, 0x7FBFFFFF, 0xFF800001, 0xFFC12345, 0x7FFFFFFF, 0x7F800000, 0xFF800000,
           0x00000001, 0x807FFFFF, 0x00000000, 0x80000000, 0x3F800000, 0x7F7FFFFF]
RNG = np.random.default_rng(20240531)


def chip(rows, cols, words, trailing=b""):
    return chip_bytes(rows=rows, cols=cols, magnitude=[], phase=[]) + np.asarray(words, ">u4").tobytes() + trailing


def literal_path(monkeypatch, how, calls):
    """Replaces `struct` or `np` in the module namespace, or their function, so only the literal path may run."""
    real, attr = (struct, "unpack_from") if how in ("struct", "unpack_from") else (np, "array")
    original = getattr(real, attr)
    wrapped = lambda *args: calls.append(args) or original(*args)  # noqa: E731
    if how in ("struct", "np"):
        fake = types.ModuleType(real.__name__)
        fake.__dict__.update(vars(real), **{attr: wrapped})
        monkeypatch.setattr(mstar, how, fake)
    else:
        monkeypatch.setattr(real, attr, wrapped)


def structure(a):
    """All a caller sees of an array but its values, down its .base chain."""
    chain = []
    while isinstance(a, np.ndarray):
        flags = [a.flags[f] for f in ("C_CONTIGUOUS", "F_CONTIGUOUS", "OWNDATA", "WRITEABLE", "ALIGNED")]
        chain, a = chain + [(type(a), a.dtype, a.shape, a.strides, flags)], a.base
    return chain + [a]


def outputs(path):
    with np.errstate(invalid="ignore"):
        found = [mstar.mstar_raw(path, ofmt) for ofmt in ("ap", "r", "c", "none")]
    return [(None if a is None else np.ascontiguousarray(a).view(np.uint64).tolist(), structure(a)) for a in found]


def raw_error(path):
    with pytest.raises(Exception) as info:
        mstar.mstar_raw(path)
    lines = [f.lineno for f in traceback.extract_tb(info.value.__traceback__) if f.name == "vantrel.datasets.mstar.mstar_raw"]
    return type(info.value), str(info.value), lines


@pytest.mark.parametrize("how", ["struct", "unpack_from", "np", "array"])
@pytest.mark.parametrize("content", [
    chip(5, 7, np.r_[ODD_VALUES, RNG.integers(0, 2**32, 70 - len(ODD_VALUES))], b"tail"),
    chip(64, 33, RNG.integers(0, 2**32, 2 * 64 * 33)),
    chip(3, 4, RNG.integers(0x7F800001, 0x80000000, 24) | RNG.integers(0, 2, 24) << 31),  # NaN payloads
    chip(0, 5, []), (REAL / REAL_CHIPS[-1]).read_bytes()], ids=["odd", "random", "nans", "empty", "real"])
def test_paths_agree(make_chip, monkeypatch, how, content):
    path = make_chip(content)
    native, calls = outputs(path), []
    literal_path(monkeypatch, how, calls)
    assert outputs(path) == native and len(calls) == 4
    if how in ("struct", "unpack_from"):
        fmt, data, offset = calls[0]
        assert fmt == ">%df" % math.prod(native[0][1][0][2]) and type(data) is bytes and offset == 0


@pytest.mark.parametrize("rows, cols, cut, line", [(3, 4, 1, R["samples"]), (3, 4, 24, R["samples"]), (-3, 4, 0, R["samples"]), (-3, -4, 0, R["planes"]),
                                                   (10**10, 10**10, 0, R["samples"]), (2**61, 1, 0, R["samples"]), (2**62, 8, 0, R["samples"]), (1, 2**40, 0, R["samples"])])
def test_errors_agree(make_chip, monkeypatch, rows, cols, cut, line):
    content = chip(3, 4, range(24)).replace(b"Columns= 4\n", b"Columns= %d\n" % cols).replace(b"Rows= 3\n", b"Rows= %d\n" % rows)
    path = make_chip(content[:len(content) - cut])
    native = raw_error(path)
    assert native[2] == [line]
    for how in ("struct", "array"):
        literal_path(monkeypatch, how, [])
        assert raw_error(path) == native
        monkeypatch.undo()


@pytest.mark.parametrize("name, line", [("struct", R["samples"]), ("np", R["planes"])])
def test_global_lookup(make_chip, monkeypatch, name, line):
    path = make_chip(chip(2, 3, ODD_VALUES[:12]))
    expected = outputs(path)
    monkeypatch.delattr(mstar, name)
    assert raw_error(path) == (NameError, f"name '{name}' is not defined", [line])
    monkeypatch.undo()
    literal_path(monkeypatch, name, calls := [])  # the stand-in, moved to builtins, is found there
    monkeypatch.setattr(builtins, name, getattr(mstar, name), raising=False)
    monkeypatch.delattr(mstar, name)
    assert outputs(path) == expected and len(calls) == 4
