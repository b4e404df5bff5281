"""mstar_raw's reading: offset and counts from header lines 3, 13 and 14, the big-endian data block."""

import gc
import struct
import warnings

import numpy as np
import pytest

from conftest import LINES, REAL, REAL_CHIPS, chip_bytes, innermost_entry
from vantrel.datasets.mstar import mstar_header, mstar_raw

# The reader's traceback lines (tools/source_lines.py).
R = LINES["raw"]

NEED, MANY = "^need more than 1 value to unpack$", r"^too many values to unpack \(expected 2\)$"
CHIP = chip_bytes()  # 2 rows, 3 columns; counts on lines 13 and 14


def edit(changes, content=CHIP):
    """Replaces header lines (1-based; a text may hold several lines), re-pointing line 3 at the block."""
    offset = int(content.split(b"\n")[2].split(b"= ")[1])
    lines = content[:offset].split(b"\n")
    for n, text in changes.items():
        lines[n - 1] = text
    if 3 not in changes:
        lines[2] = b"PhoenixHeaderLength= %05d" % len(b"\n".join(lines))
    return b"\n".join(lines) + content[offset:]


def ap_planes(path):
    return np.moveaxis(mstar_raw(path, "ap"), 2, 0)


@pytest.mark.parametrize("name", REAL_CHIPS)
def test_real_chips(name):
    header = mstar_header(REAL / name)
    rows, cols = int(header["NumberOfRows"]), int(header["NumberOfColumns"])
    samples = np.fromfile(REAL / name, ">f4", offset=int(header["PhoenixHeaderLength"])).reshape(2, rows, cols)
    np.testing.assert_array_equal(ap_planes(str(REAL / name)), samples)
    assert mstar_raw(REAL / name).shape == (rows, cols)


ODD_VALUES = chip_bytes(magnitude=[[1.0, np.nan, np.inf], [-np.inf, -0.0, 2.0 ** -149]])  # block opens 3F 80 00 00
SHIFTED = edit({2: b"V= 00000", 12: b"X= 5"})  # one line more in front: offset 0, 5 columns, 3 rows


@pytest.mark.parametrize("content, rows, cols, offset", [
    (chip_bytes(trailing=b"\x00\xff trailing bytes"), 2, 3, None),
    (chip_bytes(end=b"[EndofPhoenixHeader]\n" + bytes(range(256))), 2, 3, None),  # junk before the block
    (chip_bytes(end=b"\xff\xfe no end marker\n"), 2, 3, None),
    (chip_bytes(eol=b"\r\n"), 2, 3, None),
    (edit({13: b"NumberOfColumns= 0_0_3\r", 14: b"NumberOfRows=  +0002 "}), 2, 3, None),
    (edit({n: b"\xfe= \xff" for n in range(4, 13)}, chip_bytes(first=b"\xff\xc0\n", version=b"\x80")), 2, 3, None),
    (edit({12: b"NumberOfColumns= 7", 15: b"NumberOfRows= 9"}), 2, 3, None),  # names elsewhere unused
    (edit({13: b"NumberOfRows= 2", 14: b"NumberOfColumns= 3"}), 3, 2, None),  # positions, not names
    (ODD_VALUES, 2, 3, len(ODD_VALUES) - 48), (SHIFTED, 2, 3, None), (b"\n" + SHIFTED, 3, 5, 0),
    *[(edit({3: b"PhoenixHeaderLength= %05d" % off}), 2, 3, off) for off in (0, 7, 44)],  # into the header
    # counts by name when line 13 or 14 does not convert
    (edit({12: b"NumberOfColumns= 3", 13: b"NumberOfRows= 2", 14: b"TargetType= t"}), 2, 3, None),
    (edit({13: b"Cols= three", 14: b"Rows= x", 15: b"NumberOfRows= 2\nNumberOfColumns= 3"}), 2, 3, None),
    (edit({13: b"NumberOfColumns= 6", 14: b"NumberOfRows= 1.0", 15: b"NumberOfRows= 1"}), 1, 6, None),
])
def test_decodes(make_chip, content, rows, cols, offset):
    block = CHIP[-48:] if offset is None else content[offset:]  # the samples of chip_bytes() by default
    expected = np.frombuffer(block, ">f4", 2 * rows * cols).astype(np.float64).reshape(2, rows, cols)
    np.testing.assert_array_equal(ap_planes(make_chip(content)), expected)


def invalid(text):
    return f"^invalid literal for int\\(\\) with base 10: '{text}'$"


@pytest.mark.parametrize("content, exc, line, match", [
    *[(edit({n: text}), ValueError, line, match) for n, line in ((3, R["line_3"]), (13, R["line_13"]), (14, R["line_14"]))
      for text, match in ((b"Key=5", NEED), (b"", NEED), (b"K= 1= 2", MANY))],
    *[(b"".join(CHIP.splitlines(True)[:n]), ValueError, line, NEED) for n, line in ((0, R["line_3"]), (2, R["line_3"]), (12, R["line_13"]), (13, R["line_14"]))],
    (b"\n" + CHIP, ValueError, R["line_3"], NEED),  # the version line lands on line 3
    # a failed conversion stands when the named counts are missing, do not convert or cannot be read
    (edit({13: b"Cols= x1", 14: b"Rows= 2"}), ValueError, R["ncols"], invalid("x1")),
    (edit({13: b"Cols= 3", 14: b"Rows= 2.5"}), ValueError, R["nrows"], invalid("2.5")),
    (edit({13: b"NumberOfColumns= x", 14: b"NumberOfRows= 2"}), ValueError, R["ncols"], invalid("x")),
    (edit({13: b"Cols= 3", 14: b"NumberOfRows= y", 15: b"T= t"}), ValueError, R["nrows"], invalid("y")),
    (edit({13: b"NumberOfColumns= 3", 14: b"Rows= z", 16: b"no separator"}), ValueError, R["nrows"], invalid("z")),
    (edit({13: b"NumberOfColumns= 3", 14: b"Rows= z", 16: b"\xff= \xff"}), ValueError, R["nrows"], invalid("z")),
    (edit({13: b"C= q", 14: b"R= 2", 17: b"[EndofPhoenixHeader]\nNumberOfColumns= 3\nNumberOfRows= 2"}), ValueError, R["ncols"], invalid("q")),
    (CHIP[:-1], struct.error, R["samples"], "^unpack_from requires a buffer of at least 48 bytes"),
    (edit({3: b"PhoenixHeaderLength= 99999"}), struct.error, R["samples"], None),
    (edit({3: b"PhoenixHeaderLength= -1"}), (ValueError, OSError), R["seek"], None),
    (edit({13: b"NumberOfColumns= -3"}), struct.error, R["samples"], None),
])
def test_errors(make_chip, content, exc, line, match):
    with pytest.raises(exc, match=match) as info:
        mstar_raw(make_chip(content), "ap")
    assert innermost_entry(info.value) == ("vantrel.datasets.mstar.mstar_raw", "vantrel/datasets/mstar.py", line)
    assert info.value.__context__ is None


@pytest.mark.parametrize("rows, cols", [(0, 3), (2, 0), (0, 0)])
def test_zero_counts(make_chip, rows, cols):
    path = make_chip(rows=rows, cols=cols)
    shapes = [mstar_raw(path, f).shape + (mstar_raw(path, f).dtype,) for f in ("ap", "r", "c")]
    assert shapes == [(rows, cols, 2, np.float64), (rows, cols, 2, np.float64), (rows, cols, np.complex128)]


@pytest.mark.parametrize("content, ofmt, unclosed", [
    (CHIP, "c", False), (CHIP, "no format", False), (CHIP[:-1], "c", True), (edit({13: b"C= x"}), "c", True)])
def test_file_closed_only_on_success(make_chip, content, ofmt, unclosed):
    path = make_chip(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            mstar_raw(path, ofmt)
        except (ValueError, struct.error):
            assert unclosed
        gc.collect()
    assert [w.category for w in caught] == [ResourceWarning] * unclosed
