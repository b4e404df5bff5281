"""The `vantrel` command: what it prints, and one line with exit status 2 for a user's mistake."""

import json
import pathlib
import subprocess
import sys

import pytest

from conftest import READER_MODULE, REAL, RELEASE
from vantrel.cli import main
from vantrel import mstar_header

CHIP = str(REAL / "HB15696.001")


def test_scan_prints_the_summary_then_the_skipped_files(tmp_path, capsys):
    (tmp_path / "chip").write_bytes(pathlib.Path(CHIP).read_bytes())
    (tmp_path / "cut").write_bytes(pathlib.Path(CHIP).read_bytes()[:-8])
    assert main(["scan", str(tmp_path), "--csv", str(tmp_path / "c.csv"), "--verify"]) == 0
    out = capsys.readouterr().out
    assert out.splitlines()[2].split() == ["brdm2_truck", "E-71", "1", "1"]
    assert f"1 skipped:\n  {tmp_path / 'cut'}: data block is truncated" in out
    assert len((tmp_path / "c.csv").read_text().splitlines()) == 2


def test_header_prints_entries_or_json(capsys):
    assert main(["header", CHIP]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == ["PhoenixHeaderVer= 01.05", "PhoenixHeaderLength= 01669"] and len(lines) == 58
    assert main(["header", CHIP, "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == mstar_header(CHIP)


@pytest.mark.parametrize("argv, message", [
    (["scan", "no/such/folder"], "no/such/folder: No such file or directory"),
    (["header", "no/such/chip"], "no/such/chip: No such file or directory"),
    (["header", str(RELEASE / "MSTAR_PUBLIC_MIXED_TARGETS_CD1" / "README.TXT")], "is not an MSTAR chip"),
    (["header", str(RELEASE)], "Is a directory"),
])
def test_a_users_mistake_is_one_line_and_status_2(argv, message, capsys):
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vantrel: error: ") and message in err


def test_damaged_chip_reports_what_is_wrong(tmp_path, capsys):
    (tmp_path / "bad").write_bytes(b"\n[PhoenixHeaderVer01.05]\nno separator\n")
    assert main(["header", str(tmp_path / "bad")]) == 2
    reason = "need more than 1 value to unpack" if READER_MODULE else "header line 3 is not 'Key= value'"
    assert capsys.readouterr().err == f"vantrel: error: {tmp_path / 'bad'}: {reason}\n"


@pytest.mark.parametrize("command", [[str(pathlib.Path(sys.executable).parent / "vantrel")],
                                     [sys.executable, "-m", "vantrel"]])
def test_console_script_and_python_m_run_the_same_command(command):
    done = subprocess.run(command + ["header", "missing"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", "vantrel: error: missing: No such file or directory\n")
