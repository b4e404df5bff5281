"""Shared helpers: paths of the test data, chip files built to order, fresh interpreters."""

import os
import pathlib
import runpy
import subprocess
import sys
import textwrap

import pytest

from vantrel._reader import READER_PYTHON, READER_PYTHON_NAME

TESTS = pathlib.Path(__file__).resolve().parent
REPO = TESTS.parent
DATA = TESTS / "data"
REAL = DATA / "real_mstar"
REAL_CHIPS = sorted(p.name for p in REAL.glob("HB*"))
RELEASE = DATA / "release"  # a trimmed slice of a release CD, in its own layout
SOURCE_FILE = "vantrel/datasets/mstar.py"
# The reader's traceback lines by namespace and name, from their one home, src/mstar/source.hpp.
LINES = runpy.run_path(str(REPO / "tools" / "source_lines.py"))["LINES"]
# The reader module vantrel.datasets.mstar is built for one version only.
READER_MODULE = sys.version_info[:2] == READER_PYTHON
needs_reader_module = pytest.mark.skipif(not READER_MODULE, reason=f"the reader module is built for {READER_PYTHON_NAME} only")


def chip_bytes(entries=None, *, rows=2, cols=3, magnitude=None, phase=None, first=b"\n",
               version=b"[PhoenixHeaderVer01.05]", end=b"[EndofPhoenixHeader]\n", eol=b"\n",
               trailing=b""):
    """A chip in the 01.05 layout: header lines 1-14 put PhoenixHeaderLength on line 3 and the
    counts on lines 13 and 14. `entries` (a list of (key, value) strings) replaces the default
    entry lines; PhoenixHeaderLength is filled in when its value is "{offset}"."""
    import numpy as np

    if entries is None:
        entries = [("PhoenixHeaderLength", "{offset}"), ("PhoenixSigSize", "0"), ("PhoenixSigNum", "0001"),
                   ("PhoenixHeaderCallingSequence", ""), ("HeaderVersionNumber", "8CM"),
                   ("PhoenixLines", "0020"), ("native_header_length", "0"), ("Filename", "test"),
                   ("Chip_MD5_CheckSum", "0"), ("ParentScene", "test"),
                   ("NumberOfColumns", str(cols)), ("NumberOfRows", str(rows)),
                   ("TargetType", "test_target")]
    if magnitude is None:
        magnitude = np.arange(rows * cols, dtype=np.float64).reshape(rows, cols) + 1
    if phase is None:
        phase = np.linspace(0, 6, rows * cols).reshape(rows, cols)
    block = np.concatenate([np.ravel(magnitude), np.ravel(phase)]).astype(">f4").tobytes()

    def header(offset):
        lines = [version] + [f"{k}= {v}".format(offset=f"{offset:05d}").encode() for k, v in entries]
        return first + eol.join(lines) + eol + end

    offset = len(header(0))
    return header(offset) + block + trailing


@pytest.fixture
def make_chip(tmp_path):
    """Writes chip_bytes(...) (or given bytes) to a new file and returns its path as str."""
    counter = iter(range(10**6))

    def make(content=None, **kwargs):
        path = tmp_path / f"chip{next(counter)}.bin"
        path.write_bytes(content if content is not None else chip_bytes(**kwargs))
        return str(path)

    return make


def run_python(code, *, check=True, cwd=None, env=None):
    """Runs `code` in a fresh interpreter of this venv; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=cwd or REPO, env=full_env, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def innermost_entry(exc):
    """(code name, file name, line) of the innermost traceback entry of an exception."""
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    return code.co_name, code.co_filename, tb.tb_lineno


def retagged(name, **fields):
    """The bytes of real chip `name` with header entries set to new values (TargetSerNum="A64",
    DesiredDepression="30", ...). ParentScene takes up any change of length, so the header keeps
    its length and the data block stays valid."""
    chip = original = (REAL / name).read_bytes()

    def value_span(key):
        start = chip.index(b"\n" + key.encode() + b"= ") + len(key) + 3
        return start, chip.index(b"\n", start)

    for key, value in fields.items():
        start, end = value_span(key)
        chip = chip[:start] + value.encode() + chip[end:]
    start, end = value_span("ParentScene")
    scene = chip[start:end] + b"x" * (len(original) - len(chip))
    chip = chip[:start] + scene[:len(scene) - max(0, len(chip) - len(original))] + chip[end:]
    return chip


def distinct(name, tag, **fields):
    """retagged(name, **fields) with a Chip_MD5_CheckSum made from `tag`: a chip of its own for
    duplicate checks (which go by that checksum), though its data block is the source's."""
    import hashlib

    return retagged(name, Chip_MD5_CheckSum=hashlib.md5(str(tag).encode()).hexdigest(), **fields)


# Root reads every file: a child that must meet permissions drops CAP_DAC_OVERRIDE and
# CAP_DAC_READ_SEARCH from its effective set first (a user's own files stay readable to it).
DROP_OVERRIDE = """
import ctypes, os
if os.geteuid() == 0:
    class Header(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]
    class Data(ctypes.Structure):
        _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]
    libc = ctypes.CDLL(None, use_errno=True)
    header, data = Header(0x20080522, 0), (Data * 2)()
    assert libc.capget(ctypes.byref(header), data) == 0
    data[0].effective &= ~0b110
    assert libc.capset(ctypes.byref(header), data) == 0, os.strerror(ctypes.get_errno())
"""


def run_without_override(code, **kwargs):
    """run_python(code) in a child that meets file permissions even when run as root."""
    return run_python(DROP_OVERRIDE + textwrap.dedent(code), **kwargs)
