"""The committed synthetic MSTAR sample chip: reproducible, well-formed header, sane data.

Parsed with plain Python/numpy so it runs before the extension is built.
"""

import hashlib
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
GENERATOR = ROOT / "tools" / "make_sample_chip.py"
CHIP = ROOT / "vantrel" / "data" / "mstar" / "BTR70_HB03787.004"
END = b"[EndofPhoenixHeader]\n"
SIZE = 128


@pytest.fixture(scope="module")
def raw():
    return CHIP.read_bytes()


@pytest.fixture(scope="module")
def header(raw):
    offset = raw.index(END) + len(END)
    lines = raw[:offset].decode("ascii").split("\n")[:-1]
    entries = dict(line.split("= ", 1) for line in lines if "= " in line)
    return offset, lines, entries


@pytest.fixture(scope="module")
def planes(raw, header):
    data = np.frombuffer(raw, dtype=">f4", offset=header[0]).astype(np.float64)
    return data[: SIZE * SIZE], data[SIZE * SIZE:]


def test_generator_reproduces_committed_file(tmp_path, raw):
    out = tmp_path / "chip.004"
    subprocess.run([sys.executable, str(GENERATOR), str(out)], check=True, timeout=60)
    assert out.read_bytes() == raw


@pytest.mark.parametrize("line_no, expected", [
    (1, ""),
    (2, "[PhoenixHeaderVer01.05]"),
    (13, f"NumberOfColumns= {SIZE}"),
    (14, f"NumberOfRows= {SIZE}"),
])
def test_fixed_header_lines(header, line_no, expected):
    assert header[1][line_no - 1] == expected


def test_header_describes_the_file(raw, header):
    offset, lines, entries = header
    assert lines[2] == f"PhoenixHeaderLength= {offset:05d}"
    assert lines[-1] == END.decode().strip()
    assert len(raw) == offset + 8 * SIZE * SIZE
    assert entries["PhoenixSigSize"] == f"{len(raw):08d}"
    assert int(entries["PhoenixLines"]) == raw[:offset].count(b"\n")
    assert entries["Chip_MD5_CheckSum"] == hashlib.md5(raw[offset:]).hexdigest()
    # every entry line is "Key= value"; only the version and end markers differ
    assert sum(1 for line in lines if "= " not in line) == 3


def test_magnitudes_finite_non_negative_and_on_real_scale(planes):
    mag = planes[0]
    assert np.all(np.isfinite(mag)) and np.all(mag >= 0.0)
    # real chips: clutter median a few hundredths, brightest returns around 1
    assert 0.005 < np.median(mag) < 0.5 and 0.2 < mag.max() < 10.0


def test_phases_in_zero_two_pi(planes):
    phase = planes[1]
    assert np.all(phase >= 0.0) and np.all(phase < 2.0 * np.pi)
