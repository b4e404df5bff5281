"""Benchmark splits: chips assigned by header serial and depression only, labels in the split's
class order, warnings for partial downloads, a user's own split."""

import warnings

import pytest

from conftest import RELEASE, distinct
from vantrel import SPLITS, scan

# A real chip per serial length, so that a new serial keeps the header's length.
SOURCE = {1: "HB14931.015", 3: "HB14931.000", 4: "HB15696.001", 8: "HB14931.005", 9: "HB03333.003"}


def write(folder, name, serial, depression, source=None):
    folder.mkdir(parents=True, exist_ok=True)
    chip = distinct(source or SOURCE.get(len(serial), "HB14931.000"), folder / name, TargetSerNum=serial,
                    DesiredDepression=str(depression))
    (folder / name).write_bytes(chip)
    return str(folder / name)


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """Every serial of every split at 15°, 17° and 30°, in folders whose names say nothing (or lie)."""
    root = tmp_path_factory.mktemp("cds")
    serials = {s for split in SPLITS.values() for subset in split.subsets.values()
               for group in subset.serials.values() for s in group}
    for n, serial in enumerate(sorted(serials)):
        for depression in (15, 17, 30):
            write(root / f"D{depression}" / "T72", f"HB{n:05d}.{depression}", serial, depression)
    write(root / "upper", "HB99999.017", "D08", 17)  # the serial's case does not matter
    write(root / "ZSU_23_4", "HB99998.017", "d09", 17)  # nor the folder's name
    write(root / "odd", "HB99997.045", "b01", 45)  # nor a chip at a depression no split takes
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
    got = sorted(zip(part.column("serial"), part.column("depression"), (part.classes[i] for i in part.labels)))
    want = [(s, float(d), cls) for cls, serials in chosen.serials.items() for s in serials for d in chosen.depressions]
    want += [("D08", 17.0, cls) for cls, serials in chosen.serials.items() if "d08" in serials and 17 in chosen.depressions]
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
    with pytest.warns(UserWarning, match="'eoc-1' test: this catalog has no chips of 2S1, BRDM2, T72, ZSU234"):
        assert len(cd1.split("eoc-1", "test")) == 0


def test_a_users_own_split(release):
    own = release.split({"tank": ["132", "A64"], "gun": "b01"}, depression=(15, 30))
    assert own.classes == ("tank", "gun")
    assert sorted(zip(own.column("serial"), own.column("depression"), own.labels.tolist())) == [
        ("132", 15.0, 0), ("132", 30.0, 0), ("A64", 15.0, 0), ("A64", 30.0, 0), ("b01", 15.0, 1), ("b01", 30.0, 1)]
    assert len(release.split({"gun": ["B01"]})) == 4  # every depression, the odd 45° chip included
    with pytest.warns(UserWarning, match="split of your own: this catalog has no chips of none"):
        release.split({"gun": ["b01"], "none": ["zzz"]}, depression=17)


@pytest.mark.parametrize("call, message", [
    (lambda c: c.split("soc-2", "train"), "unknown split 'soc-2'; the known splits are soc, eoc-1, eoc-1-t72-132, eoc-2-cv, eoc-2-vv"),
    (lambda c: c.split("soc", "val"), "unknown subset 'val' of split 'soc'; its subsets are train, test"),
    (lambda c: c.split("soc"), "split 'soc' needs a subset: train or test"),
    (lambda c: c.split("soc", "train", depression=15), "fixes its depressions"),
    (lambda c: c.split({"a": ["b01"]}, "train"), "takes no subset"),
])
def test_unknown_splits_and_subsets_are_refused(release, call, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        call(release)
