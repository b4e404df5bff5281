"""What a hostile or unlucky user meets: interrupted and misnamed writes, changed chips, odd file names,
out-of-range arguments, and the command's one-line errors."""

import os
import shutil
import signal
import stat
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import REAL, REPO, chip_bytes
from test_native_header import ENTRIES
from vantrel import load_saved, scan
from vantrel.cli import main

GOOD = (REAL / "HB15696.001").read_bytes()


@pytest.fixture
def chips(tmp_path):
    folder = tmp_path / "chips"
    folder.mkdir()
    for name in ("HB15696.001", "HB14931.000"):
        shutil.copy(REAL / name, folder / name)
    return folder


@pytest.mark.parametrize("how", ["save", "export"])
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
def test_interrupted_write_keeps_the_old_file_and_leaves_no_temporary(chips, tmp_path, how, sig):
    out = tmp_path / "out" / "x.npz"
    out.parent.mkdir()
    out.write_bytes(b"the user's good file")
    # The child stops inside the write, after the members have filled the temporary and before the rename.
    write = (f"vantrel.scan({str(chips)!r}).save({str(out)!r})" if how == "save" else
             f"sys.exit(vantrel.cli.main(['export', {str(chips)!r}, '-o', {str(out)!r}]))")
    with subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys, time, vantrel, vantrel.cli, vantrel.loading
        real = vantrel.loading._write_npz
        def slow(file, arrays):
            real(file, arrays)
            print("writing", flush=True)
            time.sleep(60)
        vantrel.loading._write_npz = slow
        {write}
        """)], stdout=subprocess.PIPE, text=True, cwd=REPO) as child:  # its pipe closed here, not by a later GC
        try:
            assert child.stdout.readline() == "writing\n"
            child.send_signal(sig)
            child.wait(timeout=30)
        finally:
            child.kill()
    assert child.returncode != 0
    assert os.listdir(out.parent) == ["x.npz"] and out.read_bytes() == b"the user's good file"


def test_the_file_written_is_the_one_named(chips, tmp_path, capsys):
    catalog = scan(chips)
    catalog.save(tmp_path / "out.data", 8)
    assert load_saved(tmp_path / "out.data")["x"].shape == (2, 8, 8) and not (tmp_path / "out.data.npz").exists()
    with pytest.raises(ValueError, match="empty"):
        catalog.save("", 8)
    with pytest.raises(IsADirectoryError):
        catalog.save(tmp_path, 8)
    assert main(["export", str(chips), "-o", str(tmp_path), "--size", "8"]) == 2
    assert not (tmp_path.parent / f"{tmp_path.name}.npz").exists()
    assert capsys.readouterr().err.count("\n") == 1
    (tmp_path / "foreign.npz").write_bytes(b"\x93NUMPY not ours")
    with pytest.raises(ValueError, match="is not a vantrel .npz file"):
        load_saved(tmp_path / "foreign.npz")


@pytest.mark.parametrize("change", ["append", "serial", "depression"])
def test_load_notices_every_change_since_the_scan(tmp_path, change):
    path = tmp_path / "chip"
    path.write_bytes(GOOD)
    catalog = scan(tmp_path)
    changed = {"append": GOOD + bytes(4096), "serial": GOOD.replace(b"TargetSerNum= E-71", b"TargetSerNum= X-71"),
               "depression": GOOD.replace(b"DesiredDepression= 45", b"DesiredDepression= 30")}[change]
    assert changed != GOOD
    path.write_bytes(changed)
    with pytest.raises(ValueError, match=f"{path}: changed since the scan"):
        catalog.load(8)
    if change != "append":  # a new scan takes the file as it now is
        assert scan(tmp_path).load(8).shape == (1, 8, 8)


def test_numbers_past_64_bits_and_float_refusals_are_skipped(tmp_path):
    (tmp_path / "rows").write_bytes(chip_bytes(ENTRIES[:11] + [("NumberOfRows", str(2**64 + 2))] + ENTRIES[12:]))
    (tmp_path / "sign").write_bytes(chip_bytes(ENTRIES + [("DesiredDepression", "+-45")]))
    (tmp_path / "long").write_bytes(b"\n[PhoenixHeaderVer01.05]\n" + b"A= b\n" * 20000)
    (tmp_path / "blank").write_bytes(chip_bytes(ENTRIES + [("DesiredDepression", " ")]))  # not given: no damage
    catalog = scan(tmp_path)
    assert catalog.paths == [str(tmp_path / "blank")] and np.isnan(catalog[0].depression)
    reasons = dict(catalog.skipped)
    assert reasons == {str(tmp_path / "rows"): "NumberOfRows is too large",
                       str(tmp_path / "sign"): "DesiredDepression= '+-45' is not a number",
                       str(tmp_path / "long"): "header has no end marker within 65536 bytes"}


def test_links_to_one_file_are_one_chip_and_paths_are_absolute(tmp_path, monkeypatch):
    (tmp_path / "a").write_bytes(GOOD)
    os.link(tmp_path / "a", tmp_path / "b")
    (tmp_path / "c").symlink_to(tmp_path / "a")
    monkeypatch.chdir(tmp_path.parent)
    catalog = scan(tmp_path.name)
    assert catalog.paths == [str(tmp_path / "a")]
    monkeypatch.chdir("/")
    assert catalog.load(8).shape == (1, 8, 8)


def test_csv_round_trips_file_names_that_are_not_utf8(tmp_path):
    folder = os.fsencode(tmp_path / "chips")
    os.mkdir(folder)
    with open(os.path.join(folder, b"chip\xff"), "wb") as f:
        f.write(GOOD)
    catalog = scan(folder)
    catalog.to_csv(tmp_path / "c.csv")
    catalog.to_csv(tmp_path / "r.csv", relative=True)
    rows = [(tmp_path / name).read_text(encoding="utf-8", errors="surrogateescape").splitlines()[1].split(",")[0]
            for name in ("c.csv", "r.csv")]
    assert [os.fsencode(p) for p in rows] == [os.path.join(folder, b"chip\xff"), b"chip\xff"]
    assert os.listdir(tmp_path) == ["chips", "c.csv", "r.csv"] or sorted(os.listdir(tmp_path)) == \
        ["c.csv", "chips", "r.csv"]
    proc = subprocess.run([sys.executable, "-m", "vantrel", "scan", str(tmp_path / "chips")], capture_output=True,
                          env={**os.environ, "PYTHONIOENCODING": "utf-8"}, cwd=REPO)
    assert proc.returncode == 0 and proc.stderr == b""


def test_argument_checks(chips):
    catalog = scan(chips, threads=10**11)  # clamped, no error
    for bad in ({"verify": "yes"}, {"progress": "no"}):
        with pytest.raises(TypeError):
            scan(chips, **bad)
    assert catalog.load(np.int64(8)).shape == (2, 8, 8) and catalog.load((np.int32(4), 8)).shape == (2, 4, 8)
    for size in (0, (0, 8), (8, -1), 8.0, True):
        with pytest.raises(ValueError, match="size"):
            catalog.load(size)


def test_serials_written_with_blanks_or_a_carriage_return_join_their_split(tmp_path):
    for name, serial, digit in (("cr", b"b01\r", b"0"), ("blank", b" b01", b"1")):  # the same length as E-71
        chip = GOOD.replace(b"TargetSerNum= E-71", b"TargetSerNum= " + serial).replace(b"DesiredDepression= 45",
                                                                                        b"DesiredDepression= 17")
        chip = chip.replace(b"Chip_MD5_CheckSum= 9", b"Chip_MD5_CheckSum= " + digit)  # two chips, not one twice
        chip = chip.replace(b"Collection 2 Scene 3", b"Collection 2 Scene 1")  # soc takes scene 1
        (tmp_path / name).write_bytes(chip)
    with pytest.warns(UserWarning):
        train = scan(tmp_path).split("soc", "train")
    assert len(train) == 2 and train.classes[train.labels[0]] == "2S1"


@pytest.mark.parametrize("argv, words", [
    (["show", "{cut}"], "{cut}: "),
    (["header", "{fifo}"], "not a regular file"),
    (["scan", "{notchip}"], "is not an MSTAR chip"),
    (["export", "{chips}", "--size", "10000000", "-o", "{tmp}/x.npz"], "not enough memory"),
    (["export", "{chips}", "-o", ""], "empty"),
])
def test_command_errors_are_one_line(chips, tmp_path, capsys, argv, words):
    names = {"cut": tmp_path / "cut", "fifo": tmp_path / "fifo", "notchip": tmp_path / "notchip",
             "chips": chips, "tmp": tmp_path}
    names["cut"].write_bytes(GOOD[:-100])
    os.mkfifo(names["fifo"])
    names["notchip"].write_bytes(b"hello")
    assert main([a.format(**names) for a in argv]) == 2
    err = capsys.readouterr().err
    assert err.startswith("vantrel: error: ") and err.count("\n") == 1 and words.format(**names) in err


def test_broken_pipe_is_quiet():
    proc = subprocess.run(f"{sys.executable} -m vantrel header {REAL / 'HB15696.001'} | head -2", shell=True,
                          capture_output=True, text=True, cwd=REPO)
    assert proc.stdout.count("\n") == 2 and proc.stderr == ""


def special_file(path, kind):
    if kind == "fifo":
        os.mkfifo(path)
    else:  # a character device with /dev/null's numbers, made in the test's own folder
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))


@pytest.mark.parametrize("kind", ["fifo", "device"])
@pytest.mark.parametrize("how", ["save", "to_csv", "export", "scan --csv", "save_images index"])
def test_a_target_that_is_no_regular_file_is_refused_and_kept(chips, tmp_path, capsys, how, kind):
    if kind == "device" and os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    target = node = tmp_path / "out"
    if how == "save_images index":
        target.mkdir()
        node = target / "index.csv"
    special_file(node, kind)
    if how in ("export", "scan --csv"):
        argv = ["export", str(chips), "--size", "8", "-o", str(target)] if how == "export" else \
            ["scan", str(chips), "--csv", str(target)]
        assert main(argv) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and f"{target}: exists and is not a regular file" in err
    else:
        with pytest.raises(FileExistsError, match="is not a regular file"):
            catalog = scan(chips)
            {"save": lambda: catalog.save(target, 8), "to_csv": lambda: catalog.to_csv(target),
             "save_images index": lambda: catalog.save_images(target, size=8, overwrite=True)}[how]()
    assert stat.S_ISFIFO(node.lstat().st_mode) if kind == "fifo" else stat.S_ISCHR(node.lstat().st_mode)
    assert sorted(os.listdir(tmp_path)) == ["chips", "out"]


def test_a_link_is_written_through_and_long_names_save(chips, tmp_path):
    catalog = scan(chips)
    (tmp_path / "elsewhere").mkdir()
    link = tmp_path / "link.csv"
    link.symlink_to(tmp_path / "elsewhere" / "real.csv")  # dangling until written
    for _ in range(2):
        catalog.to_csv(link)
        assert link.is_symlink() and (tmp_path / "elsewhere" / "real.csv").read_text().startswith("path,")
    assert os.listdir(tmp_path / "elsewhere") == ["real.csv"]
    long_name = tmp_path / ("n" * 244)
    catalog.save(long_name, 8)
    assert load_saved(long_name)["x"].shape == (2, 8, 8)
    # Standard output as a link (a pipe here): refused, and no file named after it appears.
    (tmp_path / "out.npz").symlink_to("/proc/self/fd/1")
    proc = subprocess.run([sys.executable, "-m", "vantrel", "export", str(chips), "--size", "8", "-o", "out.npz"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == 2 and "is not a regular file" in proc.stderr and proc.stdout == ""
    assert sorted(os.listdir(tmp_path)) == sorted(["chips", "elsewhere", "link.csv", "n" * 244, "out.npz"])


def test_a_full_disk_names_the_file_and_keeps_the_old_one(chips, tmp_path, monkeypatch, capsys):
    import errno

    out = tmp_path / "x.npz"
    out.write_bytes(b"the user's good file")

    def full(fd):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "fsync", full)
    assert main(["export", str(chips), "--size", "8", "-o", str(out)]) == 2
    assert capsys.readouterr().err == f"vantrel: error: {out}: No space left on device\n"
    assert sorted(os.listdir(tmp_path)) == ["chips", "x.npz"]
    assert out.read_bytes() == b"the user's good file"
