"""Repeated calls over every success and failure path of both functions leave nothing behind."""

import ctypes
import gc
import hashlib
import os
import pathlib
import re
import struct
import sys
import tracemalloc
import types
from functools import partial
from unittest.mock import patch

import numpy as np
import pytest

from conftest import REAL, REPO, chip_bytes, run_python
from vantrel import Catalog, scan
from vantrel.datasets import mstar
from vantrel.datasets.mstar import mstar_header as H, mstar_raw as R

SAMPLE = str(REPO / "vantrel" / "data" / "mstar" / "BTR70_HB03787.004")
OLD = str(REAL / "HB14931.015")  # 01.04 layout: the counts are found by name
MISSING = str(REPO / "tests" / "no-such-chip")
GOOD = chip_bytes()
N = 30


class FailingEq:
    def __eq__(self, other):
        raise ArithmeticError("no comparison")


def edit(pattern, replacement, **kw):
    return re.sub(pattern, replacement, chip_bytes(**kw), count=1)


def writer(directory):
    def mk(content):
        (path := pathlib.Path(directory) / hashlib.sha1(content).hexdigest()).write_bytes(content)
        return str(path)
    return mk


py_numpy = types.SimpleNamespace(**{k: getattr(np, k) for k in ("transpose", "stack", "cos", "sin")},
                                 array=lambda x: np.array(x))  # not NumPy's own: no native decoding
py_struct = types.SimpleNamespace(unpack_from=lambda *a: struct.unpack_from(*a))
NS = vars(mstar)


def case(fn, *args, **kw):
    """maker(mk) -> the call fn(*args, **kw), with each bytes argument written to a chip file first."""
    chip = lambda mk, v: mk(v) if isinstance(v, bytes) else v  # noqa: E731
    return lambda mk: partial(fn, *(chip(mk, v) for v in args), **{k: chip(mk, v) for k, v in kw.items()})


# id -> (maker(mk) -> zero-argument call, type of its result or exception)
CASES = {
    "header": (case(H, SAMPLE), dict),
    "header-no-args": (case(H), TypeError),
    "header-twice": (case(H, SAMPLE, filepath=SAMPLE), TypeError),
    "header-bad-keyword": (case(H, path=SAMPLE), TypeError),
    "header-missing": (case(H, MISSING), FileNotFoundError),
    "header-no-end": (case(H, chip_bytes(end=b"")), ValueError),
    "header-no-separator": (case(H, edit(b"SigSize= ", b"SigSize=_")), ValueError),
    "header-not-utf8": (case(H, edit(b"test_target", b"\xfftarget")), UnicodeDecodeError),
    "raw-no-args": (case(R, ofmt="c"), TypeError),
    "raw-twice": (case(R, SAMPLE, filepath=SAMPLE), TypeError),
    "raw-bad-keyword": (case(R, ofmt="c", fmt="c"), TypeError),
    "raw-missing": (case(R, MISSING), FileNotFoundError),
    "raw-line3-not-int": (case(R, edit(rb"Length= \d", b"Length= x")), ValueError),
    "raw-line13-two-separators": (case(R, edit(b"Columns= ", b"Columns= = ")), ValueError),
    "raw-line13-not-int": (case(R, edit(b"Columns= 3", b"Columns= x")), ValueError),
    "raw-line13-not-int-no-end": (case(R, edit(b"Columns= 3", b"Columns= x", end=b"")), ValueError),
    "raw-line14-not-int": (case(R, edit(b"Rows= 2", b"Rows= x")), ValueError),
    "raw-line14-not-utf8": (case(R, edit(b"Rows= 2", b"Rows= \xff")), UnicodeDecodeError),
    "raw-ends-before-line14": (case(R, b"\n\nA= 1\n"), ValueError),
    "raw-short-block": (case(R, GOOD[:-1]), struct.error),
    "raw-negative-rows": (case(R, edit(b"Rows= 2", b"Rows= -2")), struct.error),
    "raw-failing-ofmt-comparison": (case(R, GOOD, FailingEq()), ArithmeticError),
    "raw-unknown-ofmt": (case(R, GOOD, "R"), type(None)),
    "raw-ap": (case(R, GOOD, "ap"), np.ndarray),
    "raw-r": (case(R, GOOD, ofmt="REAL"), np.ndarray),
    "raw-c-keywords": (case(R, ofmt="cplx", filepath=GOOD), np.ndarray),
    "raw-default-sample": (case(R, SAMPLE), np.ndarray),
    "raw-0104-fallback": (case(R, OLD, "r"), np.ndarray),
    "raw-zero-rows": (case(R, chip_bytes(rows=0)), np.ndarray),
    "raw-python-struct-numpy": (lambda mk: patch.dict(NS, struct=py_struct, np=py_numpy)(partial(R, mk(GOOD))),
                                np.ndarray),
    "raw-no-np": (lambda mk: patch.dict(NS, {k: v for k, v in NS.items() if k != "np"}, clear=True)(
        partial(R, mk(GOOD))), NameError),
    "scan-verify": (lambda mk: partial(scan, pathlib.Path(mk(GOOD)).parent, verify=True, threads=2), Catalog),
    "scan-missing": (lambda mk: partial(scan, MISSING), FileNotFoundError),
    "load-ap": (lambda mk: partial(scan(mk(GOOD)).load, 4, "ap", threads=2), np.ndarray),
    "load-c": (lambda mk: partial(scan(mk(GOOD)).load, (1, 5), "c", np.complex128), np.ndarray),
    "load-bad-dtype": (lambda mk: partial(scan(mk(GOOD)).load, 4, "a", np.int8), ValueError),
    "load-changed": (lambda mk: partial(changed(mk, GOOD[:-1]).load, 4), ValueError),
    "load-vanished": (lambda mk: partial(changed(mk, None).load, 4), FileNotFoundError),
}


def changed(mk, content):
    """The catalog of a chip whose file is then cut short (or removed, for None)."""
    path = pathlib.Path(mk(GOOD))
    copy = path.with_name(path.name + ".changed")
    copy.write_bytes(GOOD)
    catalog = scan(copy)
    if content is None:
        copy.unlink()
    else:
        copy.write_bytes(content)
    return catalog


def outcome(call):
    try:
        return call()
    except Exception as exc:  # the failure paths are measured too
        return exc


def usage():
    gc.collect()
    return tracemalloc.get_traced_memory()[0], sys.getallocatedblocks(), len(gc.get_objects())


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_do_not_grow(name, tmp_path):
    maker, expected = CASES[name]
    call = maker(writer(tmp_path))
    assert isinstance(outcome(call), expected)
    [outcome(call) for _ in range(5)]  # warm caches and free lists
    tracemalloc.start()
    try:
        usages = [[outcome(call) for _ in range(N)] and usage() for _ in range(3)]
    finally:
        tracemalloc.stop()
    # A leak grows in both intervals; a cache elsewhere in the process filling up, in one at most.
    traced, blocks, objects = (min(b - a, c - b) for a, b, c in zip(*usages))
    # One object leaked per call would add at least 16 * N bytes and N blocks or objects; the
    # measurement itself keeps about 4 blocks (its tuple of three ints) per interval.
    assert traced < 12 * N and blocks < N // 3 and objects < N // 3, usages


@pytest.mark.skipif(not hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check"),
                    reason="needs the LeakSanitizer runtime (make check-asan)")
def test_leak_sanitizer_finds_no_growth(tmp_path):
    # The interpreter leaks a block once (a frame object of its first exception), so the reports after
    # one round of every path and after five more must agree; a known leak then shows the check is live.
    proc = run_python(f"""
        import ctypes, gc, sys
        sys.path.insert(0, {str(REPO / "tests")!r})
        import test_leaks
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
        calls = [maker(test_leaks.writer({str(tmp_path)!r})) for maker, _ in test_leaks.CASES.values()]
        for rounds in (1, 5):
            [test_leaks.outcome(call) for _ in range(rounds) for call in calls]
            gc.collect()
            print(check())
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(bytearray(999)))
        print(check())
        """, check=False, env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                               f":detect_leaks=1:leak_check_at_exit=0:log_path={tmp_path}/lsan"})
    log = "".join(p.read_text() for p in tmp_path.glob("lsan*"))
    summaries = iter(re.findall(r"SUMMARY: .*", log))
    first, many, known = (next(summaries) if found == "1" else "none" for found in proc.stdout.split())
    assert proc.returncode == 0 and first == many != known, proc.stdout + proc.stderr + log


@pytest.mark.parametrize("name", CASES)
def test_repeated_calls_leave_no_descriptor_open(name, tmp_path):
    """Files, folder listings and read-ahead descriptors are closed on every path, failures included."""
    call = CASES[name][0](writer(tmp_path))
    outcome(call)
    gc.collect()  # a file object the steps leave open on failure is closed by the collector, as in Python
    before = len(os.listdir("/proc/self/fd"))
    [outcome(call) for _ in range(N // 3)]
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == before
