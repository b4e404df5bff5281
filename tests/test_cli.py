"""The `vantrel` command: what it prints, and one line with exit status 2 for a user's mistake."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import READER_MODULE, REAL, RELEASE
from vantrel.cli import main
from vantrel import SPLITS, mstar_header

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
    (["header", str(RELEASE)], f"{RELEASE} is not an MSTAR chip (it is a folder)"),
    (["scan", "{fifo}"], "{fifo} is not an MSTAR chip (it is not a regular file)"),
    (["scan", "{damaged}"], "{damaged}: data block is truncated"),
    (["scan", ""], "the folder to scan is empty"),
    (["scan", str(RELEASE), "--csv", ""], "the output file name is empty"),
    (["export", "{folder}", "-o", "{tmp}/x.npz"], "no chips to export in {folder} (1 skipped; {damaged}: data block"),
    (["export", str(RELEASE), "--size", "5x", "-o", "{tmp}/x.npz"], "not a size: '5x'"),
    (["export", str(RELEASE), "--size", "88x", "-o", "{tmp}/x.npz"], "not a size: '88x'"),
    (["export", str(RELEASE), "--floor-db", "-50", "-o", "{tmp}/x.npz"], "--floor-db is the floor of --db"),
    (["export", str(RELEASE)], "the following arguments are required: -o/--output (see vantrel export --help)"),
    (["nosuch"], "invalid choice: 'nosuch'"),
])
def test_a_users_mistake_is_one_line_and_status_2(argv, message, capsys, tmp_path):
    names = {"fifo": tmp_path / "fifo", "folder": tmp_path / "one", "damaged": tmp_path / "one" / "cut",
             "tmp": tmp_path}
    os.mkfifo(names["fifo"])
    names["folder"].mkdir()
    names["damaged"].write_bytes(pathlib.Path(CHIP).read_bytes()[:-8])
    try:
        status = main([a.format(**names) for a in argv])
    except SystemExit as exit:  # argparse's own mistakes
        status = exit.code
    err = capsys.readouterr().err
    assert status == 2 and err.count("\n") == 1 and err.startswith("vantrel: error: ") and \
        message.format(**names) in err
    assert sorted(os.listdir(tmp_path)) == ["fifo", "one"]  # nothing written


def test_closed_stdout_is_one_line_and_nothing_done(tmp_path):
    out = tmp_path / "x.npz"
    for argv in (["scan", str(RELEASE)], ["export", str(RELEASE), "--size", "8", "-o", str(out)], ["splits"]):
        proc = subprocess.run([sys.executable, "-m", "vantrel", *argv], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True, close_fds=True, timeout=60,
                              preexec_fn=lambda: os.close(1))
        assert (proc.returncode, proc.stderr) == (2, "vantrel: error: standard output is closed; nothing was done\n")
    assert not out.exists()


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


def test_scan_lists_the_chips_held_twice_after_the_skipped_files(tmp_path, capsys):
    for name in ("a", "b", "c"):
        (tmp_path / name).write_bytes(pathlib.Path(CHIP).read_bytes())
    (tmp_path / "cut").write_bytes(pathlib.Path(CHIP).read_bytes()[:-8])
    assert main(["scan", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    skipped, held = out.split("\n\n")[-2:]
    assert skipped.startswith(f"1 skipped:\n  {tmp_path / 'cut'}: data block is truncated") and "\n" not in skipped[12:]
    assert held == (f"1 held more than once, 2 copies in all (split() keeps the first path):\n  {tmp_path / 'a'}\n"
                    f"    {tmp_path / 'b'}\n    {tmp_path / 'c'}\n")
    assert main(["scan", str(tmp_path), "--quiet"]) == 0
    assert capsys.readouterr().out.endswith("\n\n1 skipped\n\n1 held more than once, 2 copies in all "
                                            "(split() keeps the first path)\n")


def test_export_warns_or_with_strict_refuses_a_split_off_the_published_counts(capsys, tmp_path):
    out = str(tmp_path / "x.npz")
    assert main(["export", str(RELEASE), "--split", "SOC", "--subset", "test", "--size", "8", "-o", out]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err[0] == "vantrel: warning: split 'soc' test: this catalog has no chips of BMP2, BTR70, T72"
    assert err[1].startswith("vantrel: warning: split 'soc' test: chip counts differ from the published ones: 2S1 1 "
                             "(published 274), ") and len(err) == 2
    assert main(["export", str(RELEASE), "--split", "soc", "--subset", "test", "--strict", "-o", out]) == 2
    assert capsys.readouterr().err.startswith("vantrel: error: ") and not os.path.exists(out + ".tmp")


def test_splits_prints_each_subset_with_its_published_counts(capsys):
    assert main(["splits"]) == 0
    out = capsys.readouterr().out
    assert "eoc-1: large depression change" in out and "    T72       299  (A64)\n" in out
    assert "  test at 17° and 15°, scene 1: 2710 chips, on MSTAR_PUBLIC_TARGETS_CHIPS_T72_BMP2_BTR70_SLICY" in out
    assert "  test at 30°, scenes 2 and 3: 384 chips" in out and out.count("  source: ") == len(SPLITS)
    assert "    T72      2710  (S7 419, A32 572, A62 573, A63 573, A64 573)\n" in out
