"""mstar_header and mstar_raw's offset and counts give the same results, exceptions, messages and traceback
lines whether the header is read in one go and cut natively or by the Python-level steps. The steps run in
a fresh interpreter whose built-in `open` was replaced before the import, which rules the native reading out."""

import hashlib
import json
import os
import traceback

import numpy as np
import pytest

from conftest import REAL, REAL_CHIPS, SOURCE_FILE, TESTS, chip_bytes, run_python
from test_hostile_corpus import HOSTILE, TOOL

ENTRIES = [("PhoenixHeaderLength", "{offset}"), ("PhoenixSigSize", "0"), ("PhoenixSigNum", "0001"),
           ("PhoenixHeaderCallingSequence", ""), ("HeaderVersionNumber", "8CM"), ("PhoenixLines", "0020"),
           ("native_header_length", "0"), ("Filename", "t"), ("Chip_MD5_CheckSum", "0"), ("ParentScene", "t"),
           ("NumberOfColumns", "3"), ("NumberOfRows", "2"), ("TargetType", "t")]
OLD_LAYOUT = ENTRIES[:9] + ENTRIES[10:]  # counts on lines 12 and 13, TargetType on 14
CRAFTED = {
    "long_header.bin": chip_bytes(ENTRIES + [(f"Key{i:04d}", "v" * 40) for i in range(300)]),  # > 8 KiB
    "non_ascii.bin": chip_bytes(ENTRIES + [("A", "\u00e9t\u00e9"), ("\u00c5", "x"), ("B", "1"), ("C", "")]),
    "version_non_ascii.bin": chip_bytes(version="[PhoenixHeaderVer\u00e9\u00e901.05\u00e9]".encode()),
    "layout_0104_digits.bin": chip_bytes(OLD_LAYOUT[:10] + [("NumberOfRows", "\u0662")] + OLD_LAYOUT[11:]),
    "layout_0104_named_twice.bin": chip_bytes(OLD_LAYOUT + [("NumberOfColumns", "3_0"), ("NumberOfRows", " 0 ")],
                                              rows=0, cols=30),
    "only_lf.bin": b"\n",
    "empty.bin": b"",
}
# Counts as int() reads them or refuses them, on line 14 of the 01.05 layout and by name in the 01.04 one.
for i, count in enumerate([" \x1c2\x1f", "\u00a02", "\u0662", "+0_0_2", "2" + "0" * 24, "--2", "0x2", "2.0", " ", "2e0"]):
    CRAFTED[f"count{i}.bin"] = chip_bytes(ENTRIES[:11] + [("NumberOfRows", count)] + ENTRIES[12:])
    CRAFTED[f"count{i}_0104.bin"] = chip_bytes(OLD_LAYOUT[:10] + [("NumberOfRows", count)] + OLD_LAYOUT[11:])
# Past 64 bits: int() takes them, the native side cannot hold them and must never wrap them (2**64 + 158 once
# read as 158); on line 14, by name, and as the offset on line 3.
for i, big in enumerate([2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**64 + 158, 10**39 + 2]):
    CRAFTED[f"big{i}.bin"] = chip_bytes(ENTRIES[:11] + [("NumberOfRows", str(big))] + ENTRIES[12:])
    CRAFTED[f"big{i}_0104.bin"] = chip_bytes(OLD_LAYOUT[:10] + [("NumberOfRows", "x")] + OLD_LAYOUT[11:] +
                                             [("NumberOfRows", str(big))])
    CRAFTED[f"big{i}_offset.bin"] = chip_bytes([("PhoenixHeaderLength", str(big + 1621 - 2**64))] + ENTRIES[1:])


def outcome(function, *args):
    """A JSON-able summary of a call: its result, or its exception with the module's traceback lines."""
    try:
        with np.errstate(all="ignore"):
            got = function(*args)
    except Exception as exc:
        lines = [f.lineno for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE_FILE]
        return [type(exc).__name__, str(exc), lines]
    if isinstance(got, np.ndarray):
        return [str(got.dtype), got.shape, hashlib.sha256(np.ascontiguousarray(got).tobytes()).hexdigest()]
    return None if got is None else list(got.items())


def outcomes(paths):
    from vantrel.datasets.mstar import mstar_header, mstar_raw

    return {path: [outcome(mstar_header, path), outcome(mstar_raw, path, "ap")] for path in paths}


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("native_header")
    made = [(name, content) for name, content, _ in TOOL["generated"]()] + list(CRAFTED.items())
    for name, content in made:
        (tmp / name).write_bytes(content)
    files = sorted(HOSTILE.glob("*.bin")) + [tmp / name for name, _ in made] + [REAL / n for n in REAL_CHIPS]
    return [str(p) for p in files]


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
def test_native_reading_agrees_with_the_steps(paths):
    native = json.loads(json.dumps(outcomes(paths)))
    proc = run_python(f"""
        import builtins, io, json, sys, warnings
        warnings.simplefilter("ignore")
        builtins.open = lambda *args: io.open(*args)  # not the built-in open: the steps as written
        sys.path.insert(0, {str(TESTS)!r})
        from test_native_header import outcomes
        print(json.dumps(outcomes({paths!r})))
        """)
    literal = json.loads(proc.stdout)
    assert [path for path in paths if native[path] != literal[path]] == []
    assert native[str(REAL / "HB14931.001")][1][:2] == ["float64", [129, 128, 2]]  # the counts by name


def test_header_read_without_moving_the_file_position(make_chip):
    # The native reading reads at an offset, the steps as written through the file object: a descriptor
    # sharing the file's position tells which ran.
    fd = os.open(make_chip(chip_bytes()), os.O_RDONLY)
    try:
        from vantrel.datasets.mstar import mstar_header

        assert list(mstar_header(os.dup(fd)))[0] == "PhoenixHeaderVer" and os.lseek(fd, 0, os.SEEK_CUR) == 0
    finally:
        os.close(fd)
