"""mstar_raw's output formats: dispatch on ofmt and the three conversions of the planes."""

import struct
import traceback

import numpy as np
import pytest

import vantrel.datasets.mstar as mstar
from conftest import LINES, chip_bytes
from vantrel.datasets.mstar import mstar_raw
from vantrel.defaults import READER_OFMTS

# The reader's traceback lines (tools/source_lines.py).
R = LINES["raw"]

SPELLINGS = {name: list(spellings) for name, (_, spellings) in READER_OFMTS.items()}
ORDER = [s for group in SPELLINGS.values() for s in group]
RNG = np.random.default_rng(7)
MAG, PHA = RNG.uniform(0, 50, (3, 4)).astype(np.float32), RNG.uniform(0, 2 * np.pi, (3, 4)).astype(np.float32)


@pytest.fixture(scope="module")
def chip(tmp_path_factory):
    path = tmp_path_factory.mktemp("formats") / "chip"
    path.write_bytes(chip_bytes(rows=3, cols=4, magnitude=MAG, phase=PHA))
    return str(path)


def raw_lines(exc):
    """Lines of mstar_raw's traceback entries (the raising Python code lies deeper)."""
    return [f.lineno for f in traceback.extract_tb(exc.__traceback__) if f.name == "vantrel.datasets.mstar.mstar_raw"]


@pytest.mark.parametrize("fmt", SPELLINGS)
def test_spellings_agree(chip, fmt):
    first, *others = [mstar_raw(chip, s) for s in SPELLINGS[fmt]] + ([mstar_raw(chip)] if fmt == "c" else [])
    for other in others:
        assert other.dtype == first.dtype and other.shape == first.shape
        np.testing.assert_array_equal(other, first)


@pytest.mark.parametrize("ofmt", ["R", "Real", "Ap", "ap ", " c", "", None, b"ap", "c\x00", 0])
def test_no_format(chip, make_chip, ofmt):
    assert mstar_raw(chip, ofmt) is None
    with pytest.raises(struct.error):  # the file is read before ofmt is looked at
        mstar_raw(make_chip(chip_bytes()[:-1]), ofmt)


def test_conversions(chip, make_chip):
    a, p = MAG.astype(np.float64), PHA.astype(np.float64)
    ap, r, c = mstar_raw(chip, "ap"), mstar_raw(chip, "r"), mstar_raw(chip)
    assert [(x.shape, x.dtype) for x in (ap, r, c)] == [((3, 4, 2), np.float64)] * 2 + [((3, 4), np.complex128)]
    np.testing.assert_array_equal(ap, np.stack([a, p], axis=-1))
    assert not ap.flags.c_contiguous and not ap.flags.owndata and ap.base.shape == (24,) and ap.base.flags.owndata
    assert np.shares_memory(ap, ap.base) and r.flags.owndata and c.flags.owndata
    np.testing.assert_array_equal(r, np.stack([a * np.cos(p), a * np.sin(p)], axis=-1))
    np.testing.assert_array_equal(c, a * (np.cos(p) + 1j * np.sin(p)))
    np.testing.assert_array_equal(np.stack([c.real, c.imag], axis=-1), r)
    one = make_chip(rows=1, cols=1, magnitude=[2.0], phase=[0.0])
    assert mstar_raw(one, "r").tolist() == [[[2.0, 0.0]]] and mstar_raw(one).tolist() == [[2 + 0j]]


class Probe:
    """An ofmt that logs what it is compared with; it equals `equal` and raises on `boom`."""

    def __init__(self, equal=(), boom=None):
        self.equal, self.boom, self.seen = equal, boom, []

    def __eq__(self, other):
        self.seen.append(other)
        if other == self.boom:
            raise LookupError(other)
        return other in self.equal


@pytest.mark.parametrize("equal, boom, fmt", [((), None, None), (("r",), None, "r"), (("c", "REAL"), None, "r"),
                                               (("AMPPHA", "r"), None, "ap"), (("COMPLEX",), None, "c"), ((), "ap", R["test_ap"]),
                                               ((), "AMPPHA", R["test_ap"]), ((), "r", R["test_r"]), ((), "c", R["test_c"]), ((), "COMPLEX", R["test_c"])])
def test_dispatch_order(chip, equal, boom, fmt):
    probe = Probe(equal, boom)
    if boom:
        with pytest.raises(LookupError, match=boom) as info:
            mstar_raw(chip, probe)
        assert raw_lines(info.value) == [fmt] and probe.seen == ORDER[:ORDER.index(boom) + 1]
    else:
        out = mstar_raw(chip, probe)
        assert probe.seen == (ORDER if fmt is None else ORDER[:min(map(ORDER.index, equal)) + 1])
        assert out is None if fmt is None else np.array_equal(out, mstar_raw(chip, fmt))


class Spy:
    """Stands in for the module's `np`: logs attribute look-ups, can break one NumPy function."""

    def __init__(self, broken=None):
        self.log, self.broken = [], broken

    def __getattr__(self, name):
        self.log.append(name)
        if name == self.broken:
            raise RuntimeError(name)
        return getattr(np, name)


@pytest.mark.parametrize("ofmt, names, line", [("ap", ["array", "transpose"], R["ap"]), ("none", ["array"], None),
                                               ("r", ["array", "stack", "cos", "sin"], R["r"]), ("c", ["array", "cos", "sin"], R["c"])])
def test_np_looked_up_at_use(chip, monkeypatch, ofmt, names, line):
    expected = mstar_raw(chip, ofmt)
    monkeypatch.setattr(mstar, "np", spy := Spy())
    np.testing.assert_array_equal(mstar_raw(chip, ofmt), expected)
    assert spy.log == names
    for broken in names[1:]:
        monkeypatch.setattr(mstar, "np", Spy(broken))
        with pytest.raises(RuntimeError, match=broken) as info:
            mstar_raw(chip, ofmt)
        assert raw_lines(info.value) == [line]


SPECIAL = np.array([0x00000000, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC12345, 0x7F800001, 0xFFBFFFFF,
                    0x00000001, 0x807FFFFF, 0x3F800000, 0x40490FDB], np.uint32)


@pytest.mark.parametrize("rows, cols", [(127, 128), (128, 128), (255, 128), (256, 128)])  # around 256 KiB complex, float
def test_bits_equal_python_statements(make_chip, rows, cols):
    n = rows * cols
    rng = np.random.default_rng(n)
    words = np.where(rng.random(2 * n) < 0.5, rng.choice(SPECIAL, 2 * n), rng.random(2 * n).astype(np.float32).view(np.uint32))
    path = make_chip(chip_bytes(rows=rows, cols=cols, magnitude=[], phase=[]) + words.astype(">u4").tobytes())
    x = np.array(struct.unpack_from(">%df" % (2 * n), words.astype(">u4").tobytes(), 0)).reshape(2, rows, cols)
    with np.errstate(all="ignore"):
        A, P = x[0, ...], x[1, ...]  # NumPy computes into temporaries of 256 KiB or more here, in its own operand order
        expected = {"c": A * (np.cos(P) + 1j * np.sin(P)), "r": np.stack((A * np.cos(P), A * np.sin(P)), axis=-1)}
        for ofmt, want in expected.items():
            assert np.array_equal(mstar_raw(path, ofmt).view(np.uint64), want.view(np.uint64)), ofmt
