"""Catalog.load against mstar_raw on the real chips (every format and dtype, crops, pads,
non-square chips and windows), its faults, the dataset class, save/export and the chip viewer."""

import os
import warnings

import numpy as np
import pytest

from conftest import REAL, RELEASE, distinct, run_python
from vantrel import MSTAR, SPLITS, Catalog, load_saved, scan
from vantrel.cli import main
from vantrel.defaults import OFMTS
from vantrel.errors import ChangedSinceScanError, ChipError
from vantrel.show import plot_chip
from vantrel import mstar_header, mstar_raw


@pytest.fixture(scope="module")
def catalog():
    return scan(RELEASE)  # 11 real chips from 54 x 54 to 193 x 192, 01.04 and 01.05 headers


def window(path, rows, columns, height, width, ofmt):
    """mstar_raw's planes in the centred window, with Python's floor division and a zero frame."""
    full = mstar_raw(path, {"a": "ap", "ap": "ap", "r": "r", "c": "c"}[ofmt])
    if ofmt == "a":
        full = full[..., 0]
    out = np.zeros((height, width) + full.shape[2:], full.dtype)
    top, left = (rows - height) // 2, (columns - width) // 2
    r0, c0 = max(0, -top), max(0, -left)
    r1, c1 = min(height, rows - top), min(width, columns - left)
    out[r0:r1, c0:c1] = full[r0 + top:r1 + top, c0 + left:c1 + left]
    return out


def ulps(got, want):
    """Distance in units in the last place of float64 values."""
    got, want = (np.asarray(v).view(np.float64).ravel() for v in (got, want))
    return np.max(np.abs(got - want) / np.spacing(np.maximum(np.abs(want), np.finfo(np.float64).tiny)), initial=0)


# Only the window's rows are read: a window flush with a chip's top (129 rows at 128), three apart
# reads (64 of 193 rows), rows padded and columns cropped, one row, odd sizes.
@pytest.mark.parametrize("size", [128, (64, 100), (200, 30), (1, 193), (55, 53)])
@pytest.mark.parametrize("ofmt", list(OFMTS))  # every name the dataset layer accepts, natively
def test_values_match_the_reader_in_every_format(catalog, ofmt, size):
    wide = {"c": np.complex128}.get(ofmt, np.float64)
    got = catalog.load(size, ofmt, wide, threads=3)
    narrow = catalog.load(size, ofmt, threads=1)
    height, width = (size, size) if isinstance(size, int) else size
    assert got.shape == (len(catalog), height, width) + ((2,) if ofmt in ("ap", "r") else ())
    assert narrow.dtype == {"c": np.complex64}.get(ofmt, np.float32) and got.dtype == wide
    for i, record in enumerate(catalog):
        want = window(record.path, record.rows, record.columns, height, width, ofmt)
        if ofmt in ("a", "ap"):  # the stored samples, exactly
            assert np.array_equal(got[i], want) and np.array_equal(narrow[i], want.astype(np.float32))
        else:  # computed in double precision, rounded once to the dtype
            assert ulps(got[i], want) <= 2
            assert np.array_equal(narrow[i], got[i].astype(narrow.dtype))


@pytest.mark.parametrize("ofmt, db", [("a", False), ("ap", True), ("r", False), ("c", False)])
def test_channels_first_and_stats_in_chunks_match_the_plain_load(catalog, monkeypatch, ofmt, db):
    import vantrel.loading

    monkeypatch.setattr(vantrel.loading, "CHUNK_BYTES", 3 * 100 * 90 * 8)  # 1 to 3 chips a chunk: frames re-zeroed
    plain = catalog.load((100, 90), ofmt, db=db)
    first = catalog.load((100, 90), ofmt, db=db, channels_first=True)
    assert np.array_equal(first, plain[:, None] if plain.ndim == 3 else np.moveaxis(plain, -1, 1))
    wide = catalog.load((100, 90), ofmt, np.complex128 if ofmt == "c" else np.float64, db=db, channels_first=True)
    mean, std = catalog.stats((100, 90), ofmt, db=db)
    assert np.allclose(mean, wide.mean(axis=(0, 2, 3)), rtol=1e-12, atol=0)
    assert np.allclose(std, np.sqrt(np.mean(np.abs(wide - wide.mean(axis=(0, 2, 3))[:, None, None]) ** 2,
                                            axis=(0, 2, 3))), rtol=1e-12, atol=0)


def test_size_none_dtype_and_format_errors(catalog):
    slicy = catalog.filter(target_type="slicey")
    assert slicy.load(None).shape == (2, 54, 54)
    with pytest.raises(ValueError, match="54x54, 128x128, 129x128"):
        catalog.load(None)
    for kwargs, message in [({"dtype": np.float16}, "must be float32 or float64"),
                            ({"ofmt": "c", "dtype": np.float64}, "must be complex64 or complex128"),
                            ({"ofmt": "amp"}, "unknown ofmt 'amp'"), ({"size": (1, 2, 3)}, "size must be")]:
        with pytest.raises(ValueError, match=message):
            slicy.load(**kwargs)
    assert Catalog().load().shape == (0, 128, 128)


CHIP = (REAL / "HB15696.001").read_bytes()


@pytest.mark.parametrize("change, error, words", [
    (lambda p: p.unlink(), FileNotFoundError, "No such file or directory"),
    (lambda p: p.write_bytes(CHIP[:-100]), ChipError, "data block is truncated"),
    (lambda p: p.write_bytes(CHIP[:len(CHIP) // 4]), ChipError, "data block is truncated"),  # in the window's rows
    (lambda p: p.write_bytes(CHIP.replace(b"NumberOfRows= 129", b"NumberOfRows= 128") + b"\0" * 1024),
     ChangedSinceScanError, "changed since the scan"),
    (lambda p: p.write_bytes(b"GIF89a" + CHIP), ChipError, "is no longer a chip"),
    (lambda p: (p.unlink(), p.mkdir()), ChipError, "is no longer a regular file"),
    (lambda p: (p.unlink(), os.mkfifo(p)),  # type: ignore[func-returns-value]
     ChipError, "is no longer a regular file"),
])
def test_a_chip_that_cannot_be_read_stops_the_load_naming_it(tmp_path, change, error, words):
    for n in range(40):
        (tmp_path / f"HB{n:05d}.001").write_bytes(CHIP)
    catalog = scan(tmp_path)
    change(tmp_path / "HB00017.001")
    with pytest.raises(error, match=words) as caught:
        catalog.load(threads=2)
    assert type(caught.value) is error and str(tmp_path / "HB00017.001") in str(caught.value)


@pytest.mark.parametrize("gap", [4096, 1 << 40])  # a page; a terabyte that is never read nor buffered
def test_only_the_header_and_the_rows_are_read_whatever_lies_between(tmp_path, gap):
    end = CHIP.index(b"[EndofPhoenixHeader]\n") + 21
    written = mstar_header(str(REAL / "HB15696.001"))["PhoenixHeaderLength"]
    offset = int(written)
    header = CHIP[:end].replace(b"PhoenixHeaderLength= " + written.encode(), b"PhoenixHeaderLength= %d" % (end + gap))
    path = tmp_path / "gap"
    with open(path, "wb") as file:
        file.write(header)
        file.seek(end + gap)
        file.write(CHIP[offset:])
    catalog = scan(tmp_path)
    assert catalog.skipped == [] and catalog[0].data_offset == end + gap
    for ofmt in ("a", "ap"):
        assert np.array_equal(catalog.load(100, ofmt), scan(REAL / "HB15696.001").load(100, ofmt))
    with open(path, "r+b") as file:  # a header byte changed is still seen
        file.seek(end - 30)
        file.write(b"X")
    with pytest.raises(ValueError, match="changed since the scan"):
        catalog.load(8)


def drop_pages(paths):
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


@pytest.mark.parametrize("ofmt, size", [("a", 88), ("ap", (64, 100))])
def test_cold_files_read_ahead_give_the_same_values(tmp_path, ofmt, size):
    # Files out of the page cache take the read-ahead path, which plans other chips' reads.
    sources = [p for p in sorted(RELEASE.rglob("HB*")) if p.read_bytes().startswith(b"\n[PhoenixHeaderVer")]
    for n in range(60):
        (tmp_path / f"HB{n:05d}.00{n % 10}").write_bytes(sources[n % len(sources)].read_bytes())
    warm = scan(tmp_path)
    want = warm.load(size, ofmt)
    os.sync()
    drop_pages(tmp_path.iterdir())
    cold = scan(tmp_path, threads=2)
    assert cold.column("path") == warm.column("path") and cold.column("checksum") == warm.column("checksum")
    drop_pages(tmp_path.iterdir())
    assert np.array_equal(cold.load(size, ofmt, threads=2), want)


def test_ctrl_c_interrupts_a_long_load(tmp_path):
    proc = run_python(f"""
        import os, pathlib, signal, threading, time, vantrel
        root = pathlib.Path({str(tmp_path)!r})
        os.link({str(REAL / "HB14931.025")!r}, root / "HB00000.025")
        catalog = vantrel.scan(root)[[0] * 4000]  # hard links would be one chip: the record repeated
        threading.Timer(0.3, signal.raise_signal, [signal.SIGINT]).start()
        start = time.monotonic()
        try:
            catalog.load(193, "c", "complex128")  # about 2 s on two threads
            print("finished", time.monotonic() - start)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start)
        """)
    outcome, seconds = proc.stdout.split()
    assert outcome == "interrupted" and float(seconds) < 1.5, proc.stdout


@pytest.fixture(scope="module")
def soc_tree(tmp_path_factory):
    """Two SOC classes at 17° (train) and 15° (test), from copies of real chips."""
    root = tmp_path_factory.mktemp("soc")
    for n in range(6):
        for serial, source in (("b01", "HB14931.000"), ("A51", "HB14931.026")):
            for depression in ("15", "17"):
                path = root / serial / depression / f"HB{n:05d}.000"
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(distinct(source, path, TargetSerNum=serial, DesiredDepression=depression))
    return root


def test_the_dataset_gives_transformed_items_with_labels(soc_tree):
    with pytest.warns(UserWarning, match="no chips of BMP2"), pytest.warns(UserWarning, match="counts differ"):
        data = MSTAR(soc_tree, size=64, transform=lambda x: x * 2, target_transform=lambda y: -y)
    assert len(data) == 12 and data.classes[0] == "2S1" and data.catalog.split_name == "'soc' train"
    x, label = data[3]
    assert label == -int(data.targets[3]) and np.array_equal(x, 2 * data.data[3])
    x[:] = 0  # an item is a copy
    assert data.data[3].any()
    own = MSTAR(scan(soc_tree).split({"gun": ["b01"]}, depression=15), size=8)
    assert len(own) == 6 and own.classes == ("gun",) and own[0][0].shape == (8, 8)


def test_the_dataset_names_its_classes_and_shows_itself(soc_tree):
    with pytest.warns(UserWarning):
        data = MSTAR(soc_tree, subset="test", size=(16, 24), ofmt="ap", dtype="float64")
    assert data.class_to_idx == {name: i for i, name in enumerate(SPLITS["soc"].classes)}
    assert repr(data).splitlines() == ["Dataset MSTAR", "    Number of datapoints: 12",
                                       f"    Root location: {soc_tree}", "    Split: 'soc' test", "    Classes: 10",
                                       "    Size: 16x24", "    Format: ap (float64)"]


def test_the_dataset_holds_out_a_validation_side(soc_tree):
    with pytest.warns(UserWarning):
        train, val = (MSTAR(soc_tree, subset="TRAIN", size=8, val_fraction=1 / 3, val=side) for side in (False, True))
        sides = scan(soc_tree).split("soc", "train").random_split((1 - 1 / 3, 1 / 3))
    assert [train.catalog.paths, val.catalog.paths] == [side.paths for side in sides]
    assert len(val) == 4 and sorted(val.targets.tolist()) == [0, 0, 6, 6]  # 2S1 and T62, 6 chips each: stratified
    with pytest.raises(ValueError, match="val=True needs a val_fraction"):
        MSTAR(sides[0], val=True)
    with pytest.raises(ValueError, match="val_fraction must lie between 0 and 1, not '0.5'"):
        MSTAR(sides[0], val_fraction="0.5")
    with pytest.raises(ValueError, match="the catalog given is the split 'soc' train, not 'eoc-1' test"):
        MSTAR(sides[0], "eoc-1", "test")


def test_a_torch_data_loader_batches_the_dataset(soc_tree):
    torch = pytest.importorskip("torch")
    with pytest.warns(UserWarning):
        data = MSTAR(soc_tree, "soc", "test", size=32, ofmt="ap")
    x, y = next(iter(torch.utils.data.DataLoader(data, batch_size=5, shuffle=True)))
    assert x.shape == (5, 32, 32, 2) and y.dtype == torch.int64


def test_an_empty_split_is_refused_naming_the_cds_that_hold_it(soc_tree, tmp_path):
    with pytest.warns(UserWarning):
        empty = scan(soc_tree).split("eoc-1", "test")
    cds = "its chips are on MSTAR_PUBLIC_T_72_VARIANTS_CD2, MSTAR_PUBLIC_MIXED_TARGETS_CD2"
    for attempt in (lambda: MSTAR(soc_tree, "eoc-1", "test"), lambda: empty.save(tmp_path / "x.npz"),
                    lambda: empty.stats()):
        with pytest.raises(ValueError, match=f"split 'eoc-1' test has no chips in {soc_tree}; {cds}$"), \
                warnings.catch_warnings():
            warnings.simplefilter("ignore")
            attempt()
    with pytest.raises(ValueError, match="the catalog has no chips$"):
        Catalog().save(tmp_path / "x.npz")
    with pytest.raises(ValueError, match="val_fraction=0.05 leaves the validation side of the 6 chips empty"):
        MSTAR(scan(soc_tree).split({"gun": ["b01"]}, depression=15), val_fraction=0.05, val=True)
    assert not os.listdir(tmp_path)


def test_save_and_export_round_trip(soc_tree, tmp_path):
    split = scan(soc_tree).split({"gun": ["b01"], "tank": ["A51"]}, depression=17)
    split.save(tmp_path / "own.npz", size=(20, 30), ofmt="r")
    saved = load_saved(tmp_path / "own.npz")
    assert np.array_equal(saved["x"], split.load((20, 30), "r")) and saved["classes"] == ("gun", "tank")
    assert saved["labels"].tolist() == split.labels.tolist() and saved["path"].tolist() == split.paths
    assert saved["depression"].tolist() == [17.0] * 12
    out = tmp_path / "soc_test_16.npz"
    assert main(["export", str(soc_tree), "--split", "soc", "--subset", "test", "--size", "16", "-o", str(out)]) == 0
    exported = load_saved(out)
    assert exported["x"].shape == (12, 16, 16) and exported["x"].dtype == np.float32
    assert main(["export", str(soc_tree), "--split", "eoc-3", "--subset", "test", "-o", str(out)]) == 2


def test_show_writes_a_png_without_a_display(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.chdir(tmp_path)
    chip = str(REAL / "HB14931.015")
    assert main(["show", chip]) == 0 and main(["show", chip, "--linear", "-o", "lin.png"]) == 0
    assert capsys.readouterr().out.split("\n")[:2] == ["wrote HB14931.015.png", "wrote lin.png"]
    for name in ("HB14931.015.png", "lin.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    figure = plot_chip(chip)  # the library's side: a figure, neither shown nor written
    assert [axes.get_title() for axes in figure.axes[:2]] == ["amplitude (dB)", "phase"]
    assert sorted(os.listdir(tmp_path)) == ["HB14931.015.png", "lin.png"]
