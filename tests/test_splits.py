"""Benchmark splits: chips assigned by header serial and depression only, labels in the split's
class order, warnings for partial downloads, a user's own split."""

import re
import shutil
import warnings

import numpy as np
import pytest

from conftest import RELEASE, distinct, retagged
from vantrel import SPLITS, SplitCountError, SplitCountWarning, scan

# A real chip per serial length, so that a new serial keeps the header's length.
SOURCE = {1: "HB14931.015", 3: "HB14931.000", 4: "HB15696.001", 8: "HB14931.005", 9: "HB03333.003"}


def write(folder, name, serial, depression, source=None, scene=1):
    folder.mkdir(parents=True, exist_ok=True)
    chip = distinct(source or SOURCE.get(len(serial), "HB14931.000"), folder / name, TargetSerNum=serial,
                    DesiredDepression=str(depression), CollectionName=f"MSTAR Collection 2 Scene {scene}")
    (folder / name).write_bytes(chip)
    return str(folder / name)


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """Every serial of every split at 15°, 17°, 30° and 45° in scene 1, and at 30° in scenes 2 and 3 (the
    release's articulated targets), in folders whose names say nothing (or lie)."""
    root = tmp_path_factory.mktemp("cds")
    serials = {s for split in SPLITS.values() for subset in split.subsets.values()
               for group in subset.serials.values() for s in group}
    for n, serial in enumerate(sorted(serials)):
        for depression in (15, 17, 30, 45):
            write(root / f"D{depression}" / "T72", f"HB{n:05d}.{depression}", serial, depression)
        for scene in (2, 3):
            write(root / "D30" / f"SCENE{scene}", f"HB{n:05d}.3{scene}", serial, 30, scene=scene)
    write(root / "upper", "HB99999.017", "D08", 17)  # the serial's case does not matter
    write(root / "ZSU_23_4", "HB99998.017", "d09", 17)  # nor the folder's name
    write(root / "odd", "HB99997.045", "b01", 44)  # nor a chip at a depression no split takes
    return scan(root)


@pytest.mark.parametrize("name", list(SPLITS))
@pytest.mark.parametrize("subset", ["train", "test"])
def test_named_splits_take_their_serials_at_their_depressions(release, name, subset):
    split = SPLITS[name]
    chosen = split.subsets[subset]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # every class is present: no warning but that of the counts
        warnings.filterwarnings("ignore", "split .* chip counts differ from the published ones")
        part = release.split(name.upper() if subset == "test" else name, subset)
    assert part.classes == split.classes
    got = sorted(zip(part.column("serial"), part.column("depression"), part.column("scene"),
                     (part.classes[i] for i in part.labels)))
    want = [(s, float(d), scene, cls) for cls, serials in chosen.serials.items() for s in serials
            for d in chosen.depressions for scene in chosen.scenes if scene == 1 or d == 30]
    want += [("D08", 17.0, 1, cls) for cls, serials in chosen.serials.items()
             if "d08" in serials and 17 in chosen.depressions]
    assert got == sorted(want)
    assert part.labels.dtype == "int64" and part.paths == sorted(part.paths)


def test_the_published_tables(release):
    soc = SPLITS["soc"]
    assert soc.classes == ("2S1", "BMP2", "BRDM2", "BTR60", "BTR70", "D7", "T62", "T72", "ZIL131", "ZSU234")
    assert sum(soc.subsets["train"].published.values()) == 2747 and sum(soc.subsets["test"].published.values()) == 2425
    assert SPLITS["eoc-1"].subsets["test"].serials["T72"] == ("A64",)
    assert SPLITS["eoc-2-vv"].subsets["test"].depressions == (17, 15)


def test_a_partial_download_warns_once_naming_the_missing_classes():
    cd1 = scan(RELEASE)
    with pytest.warns(UserWarning) as caught:
        test = cd1.split("soc", "test")
    assert [str(w.message) for w in caught] == [
        "split 'soc' test: this catalog has no chips of BMP2, BTR70, T72",
        "split 'soc' test: chip counts differ from the published ones: 2S1 1 (published 274), BRDM2 1 (published 274),"
        " BTR60 1 (published 195), D7 1 (published 274), T62 1 (published 273), ZIL131 1 (published 274),"
        " ZSU234 1 (published 274)"]
    assert [test.classes[i] for i in test.labels] == ["BTR60", "2S1", "BRDM2", "D7", "T62", "ZIL131", "ZSU234"]
    with pytest.warns(UserWarning, match="'eoc-1' test: this catalog has no chips of 2S1, BRDM2, T72, ZSU234; its "
                                         "chips are on MSTAR_PUBLIC_T_72_VARIANTS_CD2, MSTAR_PUBLIC_MIXED_TARGETS_CD2"):
        assert len(cd1.split("eoc-1", "test")) == 0


def test_a_users_own_split(release):
    own = release.split({"tank": ["132", "A64"], "gun": "b01"}, depression=(15, 30), scene=1)
    assert own.classes == ("tank", "gun")
    assert sorted(zip(own.column("serial"), own.column("depression"), own.labels.tolist())) == [
        ("132", 15.0, 0), ("132", 30.0, 0), ("A64", 15.0, 0), ("A64", 30.0, 0), ("b01", 15.0, 1), ("b01", 30.0, 1)]
    assert len(release.split({"gun": ["B01"]})) == 7  # every depression and scene, the odd 44° chip included
    assert release.split({"gun": "b01"}, scene=[3, 2]).column("scene") == [2, 3]
    assert release.split({"gun": "b01"}, scene=np.array([3, 2])).paths == release.split({"gun": "b01"}, scene=[2, 3]).paths
    with pytest.raises(TypeError, match="scene= takes a scene number"):
        release.split({"gun": "b01"}, scene="2")
    assert release.split({"gun": ["b01"]}, depression=np.float32(15)).paths == \
        release.split({"gun": ["b01"]}, depression=15).paths  # NumPy numbers, seeds too
    assert release.random_split((0.5, 0.5), seed=np.int64(3))[0].paths == release.random_split((0.5, 0.5), seed=3)[0].paths
    with pytest.warns(UserWarning, match="split of your own: this catalog has no chips of none"):
        release.split({"gun": ["b01"], "none": ["zzz"]}, depression=17)


@pytest.mark.parametrize("call, message", [
    (lambda c: c.split("soc-2", "train"), "unknown split 'soc-2'; the known splits are soc, eoc-1, eoc-1-t72-132, eoc-2-cv, eoc-2-vv, soc-all-serials, eoc-1-45, eoc-articulation, three-class"),
    (lambda c: c.split("soc", "val"), "unknown subset 'val' of split 'soc'; its subsets are train, test"),
    (lambda c: c.split("soc"), "split 'soc' needs a subset: train or test"),
    (lambda c: c.split("soc", "train", depression=15), "fixes its depressions"),
    (lambda c: c.split("eoc-1", "test", scene=2), "fixes its scenes"),
    (lambda c: c.split({"a": ["b01"]}, "train"), "takes no subset"),
    (lambda c: c.split({"a": ["b01"]}, depression="15"), "depression must be a number or a sequence of numbers"),
    (lambda c: c.split({"a": ["b01"]}, depression=[15, "17"]), "depression must be a number"),
    (lambda c: c.random_split((0.5, 0.5), seed=-1), "seed must be a non-negative whole number"),
])
def test_unknown_splits_and_subsets_are_refused(release, call, message):
    error = TypeError if "depression must" in message else ValueError
    with pytest.raises(error, match=message.replace("(", r"\(")):
        call(release)


@pytest.fixture(scope="module")
def t62_twice(tmp_path_factory):
    """The 273 T62 test chips of SOC (retagged SLICY chips, each its own), their class folder held twice."""
    root = tmp_path_factory.mktemp("merged")
    for n in range(273):
        write(root / "CD1" / "T62", f"HB{n:05d}.016", "A51", 15, source="HB14931.015")
    shutil.copytree(root / "CD1", root / "CD1_copy")  # copies, not links: links are one chip
    return root


def test_a_class_folder_held_twice_is_taken_once(t62_twice):
    catalog = scan(t62_twice)
    assert len(catalog.duplicates) == 273 and catalog.duplicates[0] == (
        str(t62_twice / "CD1" / "T62" / "HB00000.016"), str(t62_twice / "CD1_copy" / "T62" / "HB00000.016"))
    assert catalog.unique().paths == [p for p in catalog.paths if "copy" not in p]
    with pytest.warns(UserWarning) as caught:
        test = catalog.split("soc", "Test")
    assert test.paths == catalog.unique().paths and len(test) == 273
    assert [str(w.message) for w in caught][:2] == [
        "split 'soc' test: dropped 273 duplicate chips (the same data block under another path; "
        "see catalog.duplicates)", "split 'soc' test: this catalog has no chips of 2S1, BMP2, BRDM2, BTR60, BTR70, "
        "D7, T72, ZIL131, ZSU234"]
    assert len(caught) == 2  # 273 chips of T62, as published: no count warning


def test_one_data_block_under_two_serials_is_a_conflict_told_by_name(tmp_path):
    for name, serial in (("a", "b01"), ("b", "A51")):  # retagged alike: the same data block and checksum
        (tmp_path / name).write_bytes(retagged("HB14931.000", TargetSerNum=serial, DesiredDepression="17"))
    (tmp_path / "c").write_bytes(retagged("HB14931.000", TargetSerNum="B01", DesiredDepression="17"))
    catalog = scan(tmp_path)
    assert catalog.conflicts == [tuple(str(tmp_path / n) for n in "abc")] and len(catalog[::2].conflicts) == 0
    with pytest.warns(UserWarning) as caught:
        split = catalog.split({"2S1": ["b01"], "T62": ["A51"]})
    assert split.paths == [str(tmp_path / "a")] and str(caught[0].message).startswith(
        f"split of your own: 1 chips are held with headers that disagree (TargetType, TargetSerNum or "
        f"DesiredDepression), e.g. {tmp_path / 'a'} and {tmp_path / 'b'} and {tmp_path / 'c'}; the first path")


def test_a_copy_short_of_chips_warns_or_raises_when_strict(t62_twice):
    short = scan(t62_twice / "CD1")[9:]
    message = "split 'soc' test: chip counts differ from the published ones: T62 264 (published 273)"
    with pytest.warns(UserWarning) as caught:
        assert len(short.split("soc", "test")) == 264
    assert message in [str(w.message) for w in caught if w.category is SplitCountWarning]
    with pytest.raises(SplitCountError, match=re.escape(message)):
        short.split("soc", "test", strict=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a split of one's own is never checked against counts
        assert len(short.split({"T62": ["A51"]}, strict=True)) == 264


def test_the_eoc_definitions_and_their_counts_per_serial(release):
    eoc1, t72_132 = SPLITS["eoc-1"], SPLITS["eoc-1-t72-132"]
    assert eoc1.subsets["train"].serials["T72"] == eoc1.subsets["test"].serials["T72"] == ("A64",)
    assert t72_132.subsets["train"].serials["T72"] == ("132",) and t72_132.subsets["test"] is eoc1.subsets["test"]
    assert eoc1.subsets["train"].published == {"2S1": 299, "BRDM2": 298, "T72": 299, "ZSU234": 299}
    assert t72_132.subsets["train"].published["T72"] == 232
    assert eoc1.subsets["test"].published == {"2S1": 288, "BRDM2": 287, "T72": 288, "ZSU234": 288}
    assert SPLITS["eoc-2-cv"].subsets["test"].published_serials == {"S7": 419, "A32": 572, "A62": 573, "A63": 573,
                                                                     "A64": 573}
    assert sum(SPLITS["eoc-2-vv"].subsets["test"].published.values()) == 3569
    with pytest.warns(UserWarning, match=r"differ from the published ones: T72 serial S7 2 \(published 419\), "
                                         r"T72 serial A32 2 \(published 572\), "):
        release.split("eoc-2-cv", "test")


def test_test_chips_that_are_also_training_chips_are_counted(tmp_path):
    for depression in (15, 17):  # one chip, tagged for each side
        (tmp_path / str(depression)).mkdir()
        (tmp_path / str(depression) / "HB00001.000").write_bytes(
            distinct("HB14931.000", "shared", DesiredDepression=str(depression)))
    write(tmp_path / "15", "HB00002.000", "b01", 15, source="HB14931.000")
    catalog = scan(tmp_path)
    train = catalog.split({"2S1": ["b01"]}, depression=17)
    assert catalog.overlap(train).paths == [str(tmp_path / d / "HB00001.000") for d in ("15", "17")]
    with pytest.warns(UserWarning) as caught:
        catalog.split("soc", "test")
    assert "split 'soc' test: 1 chips are also in its train subset (the same data block)" in [
        str(w.message) for w in caught]


def test_random_split_is_disjoint_complete_stratified_and_seeded(release):
    part = release.split({"gun": ["b01", "d08", "d09"], "tank": ["132"]}, depression=(15, 17, 30, 44),
                         scene=1)  # 9 and 3 chips
    assert part.labels.tolist().count(0) == 9
    pieces = part.random_split((0.6, 0.2, 0.2), seed=3)
    assert sorted(p for piece in pieces for p in piece.paths) == part.paths
    assert [piece.labels.tolist().count(0) for piece in pieces] == [5, 2, 2]  # floor(9 * (0.6, 0.8) + 0.5): 5, 7
    assert [piece.labels.tolist().count(1) for piece in pieces] == [2, 0, 1]  # floor(3 * (0.6, 0.8) + 0.5): 2, 2
    assert all(piece.classes == part.classes and piece.split_name == part.split_name and
               piece.paths == sorted(piece.paths) for piece in pieces)
    assert [p.paths for p in part.random_split((0.6, 0.2, 0.2), seed=3)] == [p.paths for p in pieces]
    assert part.random_split((0.6, 0.2, 0.2), seed=4)[0].paths != pieces[0].paths
    whole = [len(p) for p in part.random_split((0.5, 0.5), stratify=False)]
    assert whole == [6, 6]  # floor(12 * 0.5 + 0.5)
    # The order is that of PCG64's raw draws, which NumPy keeps fixed across versions.
    assert [part.paths.index(p) for p in part.random_split((0.25, 0.75), stratify=False)[0].paths] == [2, 3, 11]
    with pytest.raises(ValueError, match="sum to 1"):
        part.random_split((0.5, 0.4))
