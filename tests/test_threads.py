"""Calls from many threads at once, on shared and on distinct files, give what one thread gives."""

import random
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import REAL, REAL_CHIPS, REPO
from vantrel.datasets.mstar import mstar_header, mstar_raw

FILES = [str(REAL / name) for name in REAL_CHIPS] + [str(REPO / "vantrel" / "data" / "mstar" / "BTR70_HB03787.004")]
CALLS = [(mstar_header,)] + [(mstar_raw, ofmt) for ofmt in ("c", "ap", "r", "R")]
MISSING = str(REPO / "tests" / "no-such-chip")


def result(fn, path, *args):
    try:
        out = fn(path, *args)
    except Exception as exc:  # failures must match too
        return type(exc), str(exc)
    return out if not isinstance(out, np.ndarray) else (out.dtype, out.shape, out.tobytes())


@pytest.fixture
def fast_switching():
    # Switch threads as often as the interpreter allows, to interleave the calls' Python-level steps.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("files", [FILES, FILES[-1:], [MISSING, FILES[0]]], ids=["distinct", "shared", "failing"])
def test_threads_match_one_thread(files, fast_switching):
    tasks = [(call[0], path, *call[1:]) for path in files for call in CALLS]
    expected = {task: result(*task) for task in tasks}
    work = tasks * max(2, 64 // len(tasks))
    random.Random(7).shuffle(work)
    with ThreadPoolExecutor(max_workers=8) as pool:
        got = list(pool.map(lambda task: result(*task), work))
    for task, out in zip(work, got):
        assert out == expected[task], task[1:]
