"""The whole release: scene and articulation columns, the release check and `vantrel check`, scans of
several roots and combined catalogs, clutter and full-scene files named as such."""

import shutil

import pytest

from conftest import REAL, RELEASE, distinct, retagged
from vantrel import SPLITS, Catalog, scan
from vantrel import release
from vantrel.cli import main
from vantrel.splits import Split, Subset

SOURCE = {3: "HB14931.000", 4: "HB15696.001"}  # a real chip per serial length: the header keeps its length


def chip(folder, name, serial, depression, scene=1, **fields):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(distinct(SOURCE[len(serial)], folder / name, TargetSerNum=serial,
                                         DesiredDepression=str(depression),
                                         CollectionName=f"MSTAR Collection 2 Scene {scene}", **fields))


def test_published_counts_are_the_release_tables():
    """Two sources that must agree: each named subset's counts and the release's folder counts."""
    groups = release.table()
    assert sum(g.expected for g in groups) == 17096
    for split in SPLITS.values():
        for subset in split.subsets.values():
            def held(serials, subset=subset):
                return sum(g.expected for g in groups if g.serial.lower() in {s.lower() for s in serials}
                           and g.depression in subset.depressions and (g.scene or 1) in subset.scenes)
            assert {c: held(s) for c, s in subset.serials.items()} == subset.published, (split.name, subset)
            assert {s: held([s]) for s in subset.published_serials} == subset.published_serials


@pytest.fixture
def small_release(tmp_path, monkeypatch):
    """A release table of three CDs (one without scene folders, one nobody holds), a tree holding
    all of the first two, a copy of one chip, a chip of the user's own, and a split they serve."""
    table = tmp_path / "counts.csv"
    table.write_text("cd,folder,depression,scene_folder,serial,chips\n"
                     "CD_A,15_DEG/COL2/SCENE1/2S1,15,1,b01,2\nCD_A,30_DEG/COL2/SCENE3/A64,30,3,A64,1\n"
                     "CD_B,TRAIN/17_DEG/BMP2/SN_9563,17,,9563,2\nCD_C,17_DEG/COL2/SCENE1/2S1,17,1,b01,5\n")
    monkeypatch.setattr(release, "TABLE", str(table))
    release.table.cache_clear()
    monkeypatch.setitem(SPLITS, "tiny", Split("tiny", "2S1 at 15°", ("2S1",), {
        "test": Subset((15,), {"2S1": ("b01",)}, {"2S1": 2}, scenes=(1,))}))
    root = tmp_path / "tree"
    chip(root / "a", "HB1.000", "B01", 15)
    chip(root / "a", "HB2.000", "b01", 15)
    chip(root / "a", "HB3.000", "A64", 30, scene=3)
    chip(root / "b", "HB4.000", "9563", 17, scene=2)  # CD_B names no scene: any scene counts
    chip(root / "b", "HB6.000", "9563", 17)
    chip(root / "own", "HB5.000", "A64", 30, scene=2)  # a scene the table does not hold
    shutil.copy(root / "a" / "HB1.000", root / "a" / "copy.000")
    yield root
    release.table.cache_clear()


def test_a_complete_copy_passes_the_check(small_release, capsys):
    result = scan(small_release).release_check()
    assert [result.status(cd) for cd in result.cds] == ["complete", "complete", "absent"]
    assert (result.not_in_table, result.copies, result.complete) == (1, 1, True)
    assert result.splits == ("tiny",) and [g.found for g in result.groups] == [2, 1, 2, 0]
    assert main(["check", str(small_release)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[:4] == ["CD_A: complete (3 chips)", "CD_B: complete (2 chips)", "CD_C: absent",
                       "not in the release table: 1 chips"]


@pytest.mark.parametrize("missing, lines, served", [
    ("a/HB2.000", ["CD_A: incomplete: 2 of 3", "  15 deg scene 1 serial b01 (2S1): 1 of 2"], "none"),
    ("b/HB4.000", ["CD_B: incomplete: 1 of 2", "  17 deg serial 9563 (BMP2): 1 of 2"], "tiny"),
])
def test_a_copy_short_of_chips_names_the_group(small_release, capsys, missing, lines, served):
    (small_release / missing).unlink()
    assert main(["check", str(small_release)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[out.index(lines[0]) + 1] == lines[1] and out[-1] == f"named splits served completely: {served}"


def test_the_release_slice_is_cd1_and_incomplete(capsys):
    assert main(["check", str(RELEASE)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "MSTAR_PUBLIC_MIXED_TARGETS_CD1: incomplete: 11 of 4939"
    assert "  45 deg scene 3 serial E-71 (BRDM_2): 1 of 120" in out and "MSTAR_PUBLIC_MIXED_TARGETS_CD2: absent" in out
    assert out[-1] == "named splits served completely: none"
    assert main(["check", str(RELEASE / "missing")]) == 2


def test_scene_and_articulation_round_trip_through_csv_and_pandas(tmp_path):
    (tmp_path / "a.000").write_bytes(retagged("HB15696.001", CollectionName="none"))  # no numbers in it
    shutil.copy(REAL / "HB15696.001", tmp_path / "b.001")
    catalog = scan(tmp_path)
    assert [(r.collection, r.scene) for r in catalog] == [(None, None), (2, 3)]
    assert catalog[1].articulation == "gunner periscope shield: open, firing racks: raised"
    assert catalog.filter(scene=None).paths == catalog.paths[:1] and catalog.column("scene") == [None, 3]
    catalog.to_csv(tmp_path / "c.csv")
    assert list(Catalog.from_csv(tmp_path / "c.csv")) == list(catalog) == list(Catalog(catalog))
    pytest.importorskip("pandas")
    scenes = catalog.to_pandas()["scene"]
    assert str(scenes.dtype) == "Int64" and scenes.isna().tolist() == [True, False] and scenes[1] == 3


def test_several_roots_and_combined_catalogs(tmp_path):
    for cd in ("CD1", "CD2"):
        shutil.copytree(RELEASE / "MSTAR_PUBLIC_MIXED_TARGETS_CD1" / "15_DEG", tmp_path / cd)
    one, two = scan(tmp_path / "CD1"), scan(tmp_path / "CD2")
    both = scan([tmp_path / "CD2", tmp_path / "CD1", tmp_path / "CD1" / "COL2"])
    assert both.paths == scan(tmp_path).paths and both.root == str(tmp_path)
    assert len(both.duplicates) == len(one) and both.unique().paths == one.paths
    joined = one + two
    assert joined.paths == one.paths + two.paths and len(Catalog.concat([one, one]).duplicates) == len(one)
    joined.to_csv(tmp_path / "all.csv", relative=True)
    assert Catalog.from_csv(tmp_path / "all.csv").paths == joined.paths
    with pytest.raises(ValueError, match="same classes"):
        one.split({"gun": "b01"}) + two
    with pytest.raises(ValueError, match="non-empty list"):
        scan([])


@pytest.mark.parametrize("native, reason", [
    (512, "not a target chip: full scene or clutter image (a native header of 512 bytes, then 158 x 158 16-bit"),
    (0, "data block is truncated"),  # no native header: a chip short of its data
])
def test_clutter_and_full_scenes_are_named(tmp_path, native, reason):
    header = retagged("HB14931.000", native_header_length=str(native))
    offset = int(header.split(b"PhoenixHeaderLength= ")[1][:5])
    (tmp_path / "HB06158.CLT").write_bytes(header[:offset] + b"\0" * native + b"\x01\x02" * 158 * 158)
    catalog = scan(tmp_path)
    assert len(catalog) == 0 and catalog.skipped[0][1].startswith(reason)
