"""The portable readers (vantrel.portable, what vantrel.mstar_header and vantrel.mstar_raw are on
versions other than 3.13) against the reader module: in-process on 3.13, and through the results
it saved (tools/mstar_reference.py, directory in VANTREL_MSTAR_REFERENCE) elsewhere."""

import json
import os
import pathlib
import stat
import sys
import zipfile

import numpy as np
import pytest
from conftest import READER_PYTHON, REAL, REAL_CHIPS, READER_MODULE, chip_bytes

from vantrel import portable

REFERENCE = os.environ.get("VANTREL_MSTAR_REFERENCE")


def reference(name):
    """The reader module's header items and 'ap' array for a real chip."""
    if READER_MODULE:
        from vantrel.datasets.mstar import mstar_header, mstar_raw

        path = str(REAL / name)
        return list(mstar_header(path).items()), mstar_raw(path, "ap")
    if not REFERENCE:
        pytest.skip("no reader module here; make test-compat gives its saved results")
    folder = pathlib.Path(REFERENCE)
    return [tuple(item) for item in json.loads((folder / f"{name}.json").read_text())], np.load(folder / f"{name}.npy")


def bits(array):
    return array.dtype, array.shape, np.ascontiguousarray(array).view(np.uint8).tobytes()


@pytest.mark.parametrize("name", REAL_CHIPS)
def test_values_are_the_reader_modules(name):
    header, ap = reference(name)
    path = str(REAL / name)
    assert list(portable.mstar_header(path).items()) == header
    got = portable.mstar_raw(path, "ap")
    assert bits(got) == bits(ap) and not got.flags.c_contiguous
    a, p = ap[..., 0], ap[..., 1]  # the NumPy expressions, as this interpreter's NumPy evaluates them
    assert bits(portable.mstar_raw(path, "r")) == bits(np.stack((a * np.cos(p), a * np.sin(p)), axis=-1))
    assert bits(portable.mstar_raw(path)) == bits(a * (np.cos(p) + 1j * np.sin(p)))
    assert portable.mstar_raw(path, "x") is None


@pytest.mark.skipif(not REFERENCE, reason="make test-compat and make test-aarch64 give the saved loads")
def test_loads_are_the_reference_builds():
    """The dataset layer's loads on this build (another architecture, interpreter or file reads)
    against those of the build that saved the reference, bit for bit."""
    from vantrel import scan

    catalog = scan(REAL)
    saved = np.load(pathlib.Path(REFERENCE) / "loads.npz")
    differ = []
    for key in saved.files:
        ofmt, dtype, db = key.split(",")
        got = catalog.load(ofmt=ofmt, dtype=dtype, db=db == "True", progress=False)
        if bits(got) != bits(saved[key]):
            differ.append(f"{key}: {np.count_nonzero(got.view(np.uint8) != saved[key].view(np.uint8))} bytes")
    assert saved.files
    assert differ == []


@pytest.mark.skipif(not READER_MODULE, reason="compares with the reader module")
@pytest.mark.parametrize("kwargs", [
    {"magnitude": np.array([[np.nan, 1.0, -0.0], [np.inf, 2.5, 3.0]]), "phase": np.full((2, 3), 7.0)},
    {"entries": [("PhoenixHeaderLength", "{offset}")] + [(f"K{i}", "x") for i in range(9)]
                + [("NumberOfRows", "2"), ("TargetType", "t"), ("NumberOfColumns", "3")]},  # 01.04 order
    {"rows": 0, "cols": 0},
    {"trailing": b"more bytes"},
])
def test_made_chips_read_as_the_reader_module_reads_them(make_chip, kwargs):
    from vantrel.datasets.mstar import mstar_header, mstar_raw

    path = make_chip(**kwargs)
    assert list(portable.mstar_header(path).items()) == list(mstar_header(path).items())
    for ofmt in ("ap", "AMPPHA", "real", "c", "COMPLEX"):
        assert bits(portable.mstar_raw(path, ofmt)) == bits(mstar_raw(path, ofmt))


OLD_LAYOUT = [("PhoenixHeaderLength", "{offset}")] + [(f"K{i}", "x") for i in range(9)] + [
    ("NumberOfRows", "2"), ("TargetType", "t"), ("NumberOfColumns", "3")]  # the counts on lines 12 and 13


@pytest.mark.parametrize("reader, content, reason", [
    ("mstar_header", chip_bytes(rows=0, cols=0, end=b""), "no \\[EndofPhoenixHeader\\] line"),
    ("mstar_header", chip_bytes(entries=[("PhoenixHeaderLength", "{offset}"), ("A= b", "c")]),
     "line 4 is not 'Key= value'"),
    ("mstar_header", chip_bytes(version=b"[PhoenixHeaderVer\xff]"), "line 2 is not UTF-8"),
    ("mstar_raw", chip_bytes()[:-1], "holds 47 bytes, the header's counts need 48"),
    ("mstar_raw", chip_bytes(entries=[("PhoenixHeaderLength", "x")]), "line 3 holds the data offset 'x'"),
    # The 01.04 layout (a name on line 14), read by name: the header's own damage is the cause.
    ("mstar_raw", chip_bytes(OLD_LAYOUT, rows=0, cols=0, end=b""), "no \\[EndofPhoenixHeader\\] line"),
    ("mstar_raw", chip_bytes(OLD_LAYOUT + [("Z", "x")]).replace(b"Z= x", b"\xff= x"), "line 16 is not UTF-8"),
])
def test_damaged_chips_raise_value_error_naming_the_file(make_chip, reader, content, reason):
    path = make_chip(content)
    with pytest.raises(ValueError, match=f"^{path}: .*{reason}") as caught:
        getattr(portable, reader)(path)
    assert type(caught.value) is ValueError  # no private class in what the caller sees


@pytest.mark.skipif(os.geteuid() != 0, reason="making a device node needs root")
@pytest.mark.parametrize("reader", ["mstar_header", "mstar_raw"])
def test_a_device_that_never_ends_is_refused_within_64_kib(tmp_path, reader):
    zero = tmp_path / "zero"  # /dev/zero's numbers, in the test's own folder
    os.mknod(zero, 0o444 | stat.S_IFCHR, os.makedev(1, 5))
    with pytest.raises(ValueError, match=f"^{zero}: no header within the first 65536 bytes of a file that is not"):
        getattr(portable, reader)(str(zero))


def test_reader_module_import_says_it_needs_313():
    if READER_MODULE or sys.version_info[:2] == READER_PYTHON:
        pytest.skip("the reader module is importable on CPython 3.13")
    with pytest.raises(ImportError, match=r"vantrel.datasets.mstar needs CPython 3.13 .* vantrel.mstar_raw"):
        import vantrel.datasets.mstar  # noqa: F401


@pytest.mark.skipif(not os.environ.get("VANTREL_WHEEL"), reason="make test-compat names the abi3 wheel")
def test_abi3_wheel_holds_the_dataset_layer_only():
    wheel = pathlib.Path(os.environ["VANTREL_WHEEL"])
    assert "-cp311-abi3-manylinux" in wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    assert "vantrel/_chips.abi3.so" in names and "vantrel/portable.py" in names
    assert not [name for name in names if name.startswith("vantrel/datasets/mstar") and name.endswith(".so")]
