"""vantrel.scan over release trees (real chips, damaged files, links) and the Catalog sequence."""

import csv
import hashlib
import os
import re
import shutil
import sys

import numpy as np
import pytest

from conftest import REAL, RELEASE, chip_bytes, run_without_override
import vantrel
from vantrel import Catalog, Record, scan
from vantrel import mstar_header

CD = RELEASE / "MSTAR_PUBLIC_MIXED_TARGETS_CD1"
RELEASE_CHIPS = sorted(str(p) for p in RELEASE.rglob("HB*.0*"))


def fields_from_header(path):
    """A record's fields as a plain-Python reading of the chip's header gives them."""
    h = mstar_header(path)
    collection, scene = (re.search(rf"{word} (\d+)", h.get("CollectionName", "")) for word in ("Collection", "Scene"))
    return Record(path, h["TargetType"], h["TargetSerNum"], float(h["DesiredDepression"]), float(h["TargetAz"]),
                  int(h["NumberOfRows"]), int(h["NumberOfColumns"]), h["PhoenixHeaderVer"],
                  int(h["PhoenixHeaderLength"]), collection=collection and int(collection[1]),
                  scene=scene and int(scene[1]), articulation=h.get("TargetArticulation", "").strip())


@pytest.mark.parametrize("verify", [False, True])
@pytest.mark.parametrize("threads", [1, 3])
def test_release_tree_gives_every_chip_with_its_header_fields(verify, threads):
    catalog = scan(RELEASE, verify=verify, threads=threads)
    assert catalog.paths == [os.path.join(RELEASE, os.path.relpath(p, RELEASE)) for p in RELEASE_CHIPS]
    assert list(catalog) == [fields_from_header(p) for p in catalog.paths]
    assert catalog.skipped == []  # the previews, the listing page, README.TXT and ERROR pass silently
    assert catalog[0].header == mstar_header(catalog.paths[0])


def test_single_chip_flat_folder_and_training_layout(tmp_path):
    flat = tmp_path / "flat"
    train = tmp_path / "TRAIN" / "17_DEG" / "BMP2" / "SN_9563"
    for folder in (flat, train):
        folder.mkdir(parents=True)
    names = ["HB14931.000", "HB15696.001"]
    for name in names:
        shutil.copy(REAL / name, flat / name)
        shutil.copy(REAL / name, train / name)
    (flat / ".DS_Store").write_bytes(b"\0\0\0\1Bud1")
    (flat / "empty").write_bytes(b"")
    assert scan(flat).paths == [str(flat / n) for n in names]
    assert scan(tmp_path).paths == [str(tmp_path / "TRAIN/17_DEG/BMP2/SN_9563" / n) for n in names] + \
        [str(flat / n) for n in names]
    assert list(scan(flat / names[1])) == [fields_from_header(str(flat / names[1]))]


GOOD = (REAL / "HB15696.001").read_bytes()
END = GOOD.index(b"[EndofPhoenixHeader]")
DAMAGE = {  # name -> (file content, words the reason must hold)
    "no end marker": (GOOD[:END], "no [EndofPhoenixHeader]"),
    "truncated data block": (GOOD[:-1], "truncated"),
    "longer than the counts": (GOOD + b"\0", "do not match the file size"),
    "not UTF-8": (GOOD.replace(b"TargetType= brdm2_truck", b"TargetType= brdm2_truc\xff"), "line 15 is not UTF-8"),
    "not Key= value": (GOOD.replace(b"RadarMode= mode", b"RadarMode=-mode"), "line 33 is not 'Key= value'"),
    "two separators": (GOOD.replace(b"RadarMode= mode", b"RadarMode= = od"), "holds '= ' more than once"),
    "count not a number": (GOOD.replace(b"NumberOfRows= 129", b"NumberOfRows= 1x9"), "NumberOfRows= '1x9'"),
    "count missing": (GOOD.replace(b"NumberOfRows= 129", b"NumberOfRoms= 129"), "no NumberOfRows entry"),
    "depression not a number": (GOOD.replace(b"DesiredDepression= 45", b"DesiredDepression= 4x"),
                                "DesiredDepression= '4x' is not a number"),
    "offset near 2**63": (GOOD.replace(b"PhoenixHeaderLength= 01669", b"PhoenixHeaderLength= %d" % (2**63 - 9)),
                          f"PhoenixHeaderLength= {2**63 - 9} is too large for a file"),
}
NOT_CHIPS = [b"", b"\n", b"\n[PhoenixHeaderVe", b"[PhoenixHeaderVer01.05]\n", b"\xff\xd8\xff\xe0JFIF", b"31 bytes"]


def test_damaged_chips_are_skipped_with_a_reason_and_others_pass_silently(tmp_path):
    for i, (content, _) in enumerate(DAMAGE.values()):
        (tmp_path / f"damaged{i}").write_bytes(content)
    for i, content in enumerate(NOT_CHIPS):
        (tmp_path / f"other{i}").write_bytes(content)
    (tmp_path / "good").write_bytes(GOOD)
    os.mkfifo(tmp_path / "fifo")  # never opened for reading: it would block
    catalog = scan(tmp_path)
    assert catalog.paths == [str(tmp_path / "good")]
    reasons = dict(catalog.skipped)
    assert list(reasons) == sorted(str(tmp_path / f"damaged{i}") for i in range(len(DAMAGE)))
    for i, (name, (_, words)) in enumerate(DAMAGE.items()):
        assert words in reasons[str(tmp_path / f"damaged{i}")], name


def test_verify_checks_the_md5_of_the_data_block(tmp_path):
    bad = bytearray(GOOD)
    bad[-5] ^= 1
    (tmp_path / "bad").write_bytes(bad)
    (tmp_path / "good").write_bytes(GOOD)
    (tmp_path / "unsummed").write_bytes(GOOD.replace(b"Chip_MD5_CheckSum", b"Chip_MD5_Checksum"))
    written = mstar_header(tmp_path / "good")["Chip_MD5_CheckSum"].encode()
    (tmp_path / "empty").write_bytes(GOOD.replace(b"Chip_MD5_CheckSum= " + written, b"Chip_MD5_CheckSum= " +
                                                  b" " * len(written)))
    assert len(scan(tmp_path)) == 4
    catalog = scan(tmp_path, verify=True)
    assert catalog.paths == [str(tmp_path / "good")]
    reasons = dict(catalog.skipped)
    header = mstar_header(tmp_path / "good")
    written, actual = header["Chip_MD5_CheckSum"], hashlib.md5(bad[int(header["PhoenixHeaderLength"]):]).hexdigest()
    assert reasons[str(tmp_path / "bad")] == f"Chip_MD5_CheckSum {written} does not match the data block's MD5 {actual}"
    assert "no Chip_MD5_CheckSum" in reasons[str(tmp_path / "unsummed")]
    assert reasons[str(tmp_path / "empty")] == "header's Chip_MD5_CheckSum is empty: nothing to verify"


def test_links_loops_and_unreadable_folders_neither_hang_nor_crash(tmp_path):
    (tmp_path / "a" / "b").mkdir(parents=True)
    (tmp_path / "a" / "b" / "chip").write_bytes(GOOD)
    (tmp_path / "a" / "b" / "up").symlink_to(tmp_path / "a")  # a loop
    (tmp_path / "a" / "again").symlink_to(tmp_path / "a" / "b")  # the same folder twice
    (tmp_path / "a" / "chip-link").symlink_to(tmp_path / "a" / "b" / "chip")
    (tmp_path / "a" / "dangling").symlink_to(tmp_path / "nowhere")
    catalog = scan(tmp_path)
    assert len(catalog) == 1  # the chip and its link are one file, listed under its first path
    for real, link in (("aa", "zz"), ("zz", "aa")):  # a linked folder: the first path in sort order, either way
        (tmp_path / "two" / real).mkdir(parents=True)
        (tmp_path / "two" / real / "chip").write_bytes(GOOD)
        (tmp_path / "two" / link).symlink_to(tmp_path / "two" / real)
        assert scan(tmp_path / "two").paths == [str(tmp_path / "two" / "aa" / "chip")]
        shutil.rmtree(tmp_path / "two")
    if os.geteuid() != 0:  # root reads every folder
        locked = tmp_path / "locked"
        locked.mkdir(mode=0)
        try:
            assert scan(tmp_path).skipped == [(str(locked), "cannot read folder: Permission denied")]
        finally:
            locked.chmod(0o700)


def test_unreadable_chip_files_are_listed_as_skipped(tmp_path):
    for name in ("open", "locked"):
        (tmp_path / name).write_bytes(GOOD)
    (tmp_path / "locked").chmod(0)
    (tmp_path / "gone").symlink_to(tmp_path / "nowhere")  # nothing to tell: passed over
    proc = run_without_override(f"""
        import vantrel
        catalog = vantrel.scan({str(tmp_path)!r})
        print(catalog.paths, catalog.skipped)""")
    assert proc.stdout.strip() == f"{[str(tmp_path / 'open')]} {[(str(tmp_path / 'locked'), 'cannot open: Permission denied')]}"


def test_missing_root_and_bad_threads():
    with pytest.raises(FileNotFoundError):
        scan(RELEASE / "no-such-folder")
    with pytest.raises(ValueError, match="threads"):
        scan(RELEASE, threads=0)


def test_a_scan_of_nothing_says_so(tmp_path, monkeypatch):
    with pytest.raises(ValueError, match="the root to scan is empty"):
        scan("")
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(ValueError, match="is neither a folder nor a chip file"):
        scan(tmp_path / "fifo")
    (tmp_path / "picture.jpg").write_bytes(b"\xff\xd8\xff\xe0")
    with pytest.warns(UserWarning, match=f"scan found no chips in {tmp_path}$"):
        assert len(scan(tmp_path)) == 0
    (tmp_path / "cut").write_bytes(GOOD)
    monkeypatch.setattr(sys, "stderr", None)  # an interpreter without stderr: no bar, even when asked
    assert len(scan(tmp_path, progress=True)) == 1 and scan(tmp_path).load(8, progress=True).shape == (1, 8, 8)


@pytest.fixture(scope="module")
def catalog():
    return scan(RELEASE)


def test_indexing_slicing_and_filtering(catalog):
    n = len(catalog)
    assert isinstance(catalog[-1], Record) and catalog[-1] == list(catalog)[-1]
    with pytest.raises(IndexError):
        catalog[n]
    assert catalog[2:5].paths == catalog.paths[2:5]
    assert catalog[[4, 0]].paths == [catalog.paths[4], catalog.paths[0]]
    mask = np.arange(n) % 2 == 0
    assert catalog[mask].paths == catalog.paths[::2]
    assert catalog.filter(depression=15, target_type="slicey").paths == [str(CD / "15_DEG/COL2/SCENE1/SLICY/HB14931.015")]
    assert len(catalog.filter(serial=("b01", "E-71"))) == 4
    assert catalog.filter(lambda r: r.rows != r.columns, depression=(15, 45)).column("target_type") == \
        ["brdm2_truck", "d7_bulldozer", "t62_tank", "zil131_truck", "brdm2_truck"]
    with pytest.raises(KeyError, match="no field 'serial_number'"):
        catalog.filter(serial_number="b01")
    assert list(Catalog(list(catalog)[:3])) == list(catalog)[:3]


def test_csv_and_pandas_hold_one_row_per_chip(catalog, tmp_path, monkeypatch):
    catalog.to_csv(tmp_path / "c.csv")
    with open(tmp_path / "c.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["path"] for r in rows] == catalog.paths
    assert [float(r["azimuth"]) for r in rows] == catalog.column("azimuth")
    assert list(rows[0]) == list(vantrel.catalog.FIELDS + vantrel.catalog.CHECKS + vantrel.catalog.SCENES) + ["checksum"]
    pandas = pytest.importorskip("pandas")
    frame = catalog.to_pandas()
    assert isinstance(frame, pandas.DataFrame) and frame["rows"].tolist() == catalog.column("rows")
    assert frame["checksum"].tolist() == catalog.column("checksum") == Catalog(list(catalog)).column("checksum")
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pip install pandas"):
        catalog.to_pandas()


@pytest.mark.parametrize("relative", [False, True])
def test_csv_reads_back_as_a_catalog_that_loads_and_still_checks_its_chips(tmp_path, relative):
    release = tmp_path / "release"
    shutil.copytree(RELEASE, release)
    scanned = scan(release)
    if relative:  # a named split (it keeps the root), whose classes without chips here travel too
        with pytest.warns(UserWarning):
            scanned = scanned.split("soc", "test")
    else:
        scanned = scanned.split({"2S1": ["b01"], "SLICY": ["1"], "BRDM2": ["E-71"]})
    scanned.to_csv(release / "c.csv", relative=relative)
    back = Catalog.from_csv(release / "c.csv")  # relative paths: from the CSV's folder
    assert list(back) == list(scanned) and back.classes == scanned.classes and back.split_name == scanned.split_name
    assert back.labels.tolist() == scanned.labels.tolist()
    assert [back.column(name) for name in (*vantrel.catalog.CHECKS, "checksum")] == \
        [scanned.column(name) for name in (*vantrel.catalog.CHECKS, "checksum")]
    assert np.array_equal(back.load(16), scanned.load(16))
    chip = back.paths[-1]
    data = bytearray(open(chip, "rb").read())
    data[data.index(b"TargetSerNum= ") + 14] ^= 0x20  # the same size, another header: the record no longer fits
    open(chip, "wb").write(data)
    with pytest.raises(ValueError, match=chip):
        back.load(16)
    (tmp_path / "bad.csv").write_text("path,serial\nx,y\n")
    with pytest.raises(ValueError, match="bad.csv is not a catalog CSV: it has no column 'target_type'"):
        Catalog.from_csv(tmp_path / "bad.csv")


@pytest.mark.parametrize("field, value, words", [
    ("label", "30000000", "line 2, column 'label': 30000000 is out of range"),
    ("data_offset", str(2**31), "line 2: file_size"),
    ("data_offset", "-5", "line 2, column 'data_offset': -5 is out of range"),
    ("rows", str(10**18), "line 2: data_offset, rows and columns are too large"),
    ("header_digest", str(2**64), "line 2, column 'header_digest': 18446744073709551616 is out of range"),
    ("file_size", "12.5", "line 2, column 'file_size'"),
])
def test_csv_values_are_range_checked_naming_line_and_column(catalog, tmp_path, field, value, words):
    split = catalog.split({"SLICY": ["1"]})
    split.to_csv(tmp_path / "c.csv")
    text = (tmp_path / "c.csv").read_text()
    head, first, *rest = text.splitlines()
    cells = first.split(",")
    cells[head.split(",").index(field)] = value
    (tmp_path / "c.csv").write_text("\n".join([head, ",".join(cells), *rest]) + "\n")
    with pytest.raises(ValueError, match=f"c.csv {words}"):
        Catalog.from_csv(tmp_path / "c.csv")
    (tmp_path / "bom.csv").write_text("\ufeff" + text)  # as spreadsheet programs write it
    assert list(Catalog.from_csv(tmp_path / "bom.csv")) == list(split)


def test_numpy_bools_are_a_mask_and_other_numbers_no_positions(catalog):
    mask = catalog.values("rows") > 128
    assert catalog[list(mask)].paths == catalog[mask].paths == [p for p, m in zip(catalog.paths, mask) if m]
    assert catalog[[np.int64(1)]].paths == [catalog.paths[1]]
    for bad in ([1.5], [np.float64(1)], [True, 2]):
        with pytest.raises(TypeError, match="whole numbers or a mask of bools"):
            catalog[bad]


def test_unknown_fields_are_key_errors_and_the_repr_names_split_and_classes(catalog):
    with pytest.raises(KeyError, match="no field 'serial_number'"):
        catalog.column("serial_number")
    split = catalog.split({"SLICY": ["1"]})
    assert repr(split) == "<Catalog of 2 chips, split=of your own, classes=('SLICY',), 0 skipped>"


def test_summary_counts_chips_per_class_and_depression(catalog):
    lines = catalog.summary().splitlines()
    assert lines[0].split() == ["target", "type", "serial", "15°", "16°", "45°", "total"]
    assert "slicey           1            1    1    .      2" in lines
    assert lines[-1].split() == ["total", "8", "1", "2", "11"]


def test_header_rules_match_the_reader_on_edge_cases(make_chip):
    # Repeated keys keep the later value, and an entry named PhoenixHeaderVer replaces the version.
    entries = [("PhoenixHeaderLength", "{offset}"), ("NumberOfColumns", "3"), ("NumberOfRows", "2"),
               ("TargetSerNum", "old"), ("TargetSerNum", "new"), ("PhoenixHeaderVer", "9.9"), ("TargetAz", " 1_0.5\r")]
    path = make_chip(chip_bytes(entries, eol=b"\n\n"))
    record, = scan(path)
    assert (record.serial, record.header_version, record.azimuth, record.rows, record.columns) == ("new", "9.9", 10.5, 2, 3)


def test_each_chip_has_a_checksum_for_telling_copies_apart(tmp_path):
    real = (REAL / "HB15696.001").read_bytes()
    written = mstar_header(str(REAL / "HB15696.001"))["Chip_MD5_CheckSum"]
    (tmp_path / "upper").write_bytes(real.replace(written.encode(), written.upper().encode()))
    (tmp_path / "real").write_bytes(real)
    made = chip_bytes(rows=4, cols=5)  # its Chip_MD5_CheckSum is "0": no checksum
    (tmp_path / "made").write_bytes(made)
    catalog = scan(tmp_path)
    block = hashlib.md5(made[-8 * 4 * 5:]).hexdigest()
    assert catalog.column("checksum") == [block, written.lower(), written.lower()]
    assert catalog.duplicates == [(str(tmp_path / "real"), str(tmp_path / "upper"))]
    rebuilt = Catalog(list(catalog))  # made of records: its checksums come from the files again
    assert rebuilt.duplicates == catalog.duplicates and rebuilt.overlap(catalog[:1]).paths == [str(tmp_path / "made")]
