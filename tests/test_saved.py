"""Saved sets: what save records and load_saved gives back, read or mapped, and damaged files refused."""

import zlib

import numpy as np
import pytest

from conftest import RELEASE
from vantrel import _chips, load_saved, scan


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    split = scan(RELEASE).split({"gun": ["b01", "d08"], "truck": ["E-71", "E12"]}, depression=15)
    path = tmp_path_factory.mktemp("saved") / "set.npz"
    split.save(path, size=(40, 48), ofmt="ap", db=True, floor_db=-60)
    return path, split


@pytest.mark.parametrize("mmap", [False, True])
def test_saved_set_gives_back_its_array_and_how_it_was_loaded(saved, mmap):
    path, split = saved
    got = load_saved(path, mmap=mmap)
    assert np.array_equal(got["x"], split.load((40, 48), "ap", db=True, floor_db=-60))
    assert isinstance(got["x"], np.memmap) == mmap and (not mmap or got["x"].ctypes.data % 64 == 0)  # aligned in the file
    assert (got["ofmt"], got["db"], got["floor_db"], got["size"], got["channels_first"], got["split"]) == (
        "ap", True, -60.0, (40, 48), False, split.split_name)
    assert got["classes"] == split.classes and got["labels"].tolist() == split.labels.tolist()


def test_a_set_numpy_wrote_reads_and_maps(tmp_path):
    x = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    np.savez(tmp_path / "old.npz", x=x, classes=np.array(["a", "b"]))
    for mmap in (False, True):
        got = load_saved(tmp_path / "old.npz", mmap=mmap)
        assert np.array_equal(got["x"], x) and got["classes"] == ("a", "b") and "ofmt" not in got
    np.savez_compressed(tmp_path / "packed.npz", x=x)
    assert np.array_equal(load_saved(tmp_path / "packed.npz")["x"], x)
    with pytest.raises(ValueError, match="cannot be mapped"):
        load_saved(tmp_path / "packed.npz", mmap=True)


@pytest.mark.parametrize("mmap, verify", [(False, None), (True, True)])
@pytest.mark.parametrize("damage", ["x's data", "a label", "cut in x", "cut at the end", "x's .npy header"])
def test_a_damaged_or_cut_saved_set_is_an_error_naming_it(saved, tmp_path, damage, mmap, verify):
    data = bytearray(saved[0].read_bytes())
    x_at = data.index(b"\x93NUMPY")  # x is the first member
    if damage == "x's data":
        data[x_at + 5000] ^= 1
    elif damage == "a label":
        data[data.index(b"\x93NUMPY", data.index(b"labels.npy")) + 130] ^= 4
    elif damage == "x's .npy header":
        data[x_at + 20:x_at + 25] = b"'<f8'"  # the shape no longer fills the member
    else:
        data = data[:x_at + 1000] if damage == "cut in x" else data[:-30]
    path = tmp_path / "bad.npz"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=f"^{path} is damaged or cut short: "):
        load_saved(path, mmap=mmap, verify=verify)


def test_the_native_crc32_is_zlibs():
    data = np.random.default_rng(5).integers(0, 256, (3 << 20) + 77, dtype=np.uint8)
    for start, stop in ((0, 0), (3, 4), (1, 64), (5, 300), (7, 1 << 20), (0, data.size)):  # tails, blocks, unaligned
        assert _chips.checksum(data=data[start:stop], crc=123, threads=2) == zlib.crc32(data[start:stop], 123)
