"""The hostile-file corpus in data/hostile: each row of expected.csv holds for its file, and the oracle
of test_fuzz agrees on every file."""

import csv
from functools import partial
import runpy
import struct

import numpy as np
import pytest

from conftest import DATA, REPO, innermost_entry
from test_fuzz import check
from vantrel.datasets.mstar import mstar_header, mstar_raw

# A file that is no chip, scanned alone, finds nothing: the scan says so, as expected here.
pytestmark = pytest.mark.filterwarnings("ignore:scan found no chips:UserWarning")

HOSTILE = DATA / "hostile"
ROWS = list(csv.DictReader((HOSTILE / "expected.csv").read_text().splitlines()))
EXCEPTIONS = {"ValueError": ValueError, "UnicodeDecodeError": UnicodeDecodeError, "struct.error": struct.error,
              "OSError": OSError}
TOOL = runpy.run_path(str(REPO / "tools" / "make_hostile_corpus.py"))  # its globals: main, generated


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """File name -> path: the committed files, and the multi-megabyte ones written now."""
    paths = {p.name: str(p) for p in HOSTILE.glob("*.bin")}
    tmp = tmp_path_factory.mktemp("hostile")
    for name, content, _ in TOOL["generated"]():
        (tmp / name).write_bytes(content)
        paths[name] = str(tmp / name)
    return paths


def test_tool_writes_the_committed_corpus(tmp_path):
    TOOL["main"](tmp_path)
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == sorted(p.name for p in HOSTILE.iterdir() if p.suffix in (".bin", ".csv"))
    assert all((tmp_path / n).read_bytes() == (HOSTILE / n).read_bytes() for n in written)


@pytest.mark.parametrize("row", ROWS, ids=lambda row: f"{row['file']}-{row['call']}")
def test_expected_outcome(corpus, row):
    function, *ofmt = row["call"].split()
    call = partial(mstar_raw if ofmt else mstar_header, corpus[row["file"]], *ofmt)
    if row["outcome"] in EXCEPTIONS:
        with pytest.raises(EXCEPTIONS[row["outcome"]]) as info:
            call()
        assert type(info.value) is EXCEPTIONS[row["outcome"]] and row["detail"] in str(info.value)
        assert innermost_entry(info.value)[::2] == (f"vantrel.datasets.mstar.{function}", int(row["line"]))
        return
    with np.errstate(all="ignore"):
        result = call()
    if row["outcome"] == "none":
        assert result is None
    elif function == "mstar_header":
        count, *pairs = row["detail"].split(";")
        assert len(result) == int(count) and next(iter(result)) == "PhoenixHeaderVer"
        assert all(result[key] == value for key, value in (pair.split("=", 1) for pair in pairs))
    else:
        assert result.shape == tuple(map(int, row["detail"].split("x")))
        assert result.dtype == (np.complex128 if ofmt == ["c"] else np.float64)


def test_oracle_agrees_on_every_file(corpus):
    assert len(corpus) == len({row["file"] for row in ROWS})
    for path in corpus.values():
        check(path)
