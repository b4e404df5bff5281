"""From a split to training: decibels in the load against NumPy, the transforms, and the PNG
image-folder export read back with Pillow."""

import csv
import os
import sys

import numpy as np
import pytest

from conftest import RELEASE, distinct
from vantrel import MSTAR, load_saved, scan
from vantrel.cli import main
from vantrel.transforms import CenterCrop, Compose, Normalize, RandomCrop, RandomFlip, ToDecibels


@pytest.fixture(scope="module")
def catalog():
    return scan(RELEASE)  # 11 real chips; the two SLICY chips (54 x 54) sit in a zero frame at 128


def numpy_db(amplitude, floor_db):
    with np.errstate(divide="ignore", invalid="ignore"):
        return 20 * np.log10(np.maximum(np.asarray(amplitude, np.float64), 10 ** (floor_db / 20)))


def assert_within_ulps(got, want, ulps):
    assert np.array_equal(got[~np.isfinite(want)], want[~np.isfinite(want)], equal_nan=True)
    finite = np.isfinite(want)
    distance = np.abs(got[finite].astype(np.float64) - want[finite]) / np.spacing(np.abs(want[finite]))
    assert distance.max(initial=0) <= ulps


@pytest.mark.parametrize("floor_db", [-100.0, -35.0, float("-inf")])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_decibels_in_the_load_match_numpy(catalog, dtype, floor_db):
    linear = catalog.load(128, "a", np.float64)
    assert (linear == 0).any()  # the zero frame and the chips' own zeros
    want = numpy_db(linear, floor_db).astype(dtype)
    got = catalog.load(128, "a", dtype, db=True, floor_db=floor_db)
    assert got.dtype == dtype
    assert_within_ulps(got, want, 2)
    ap = catalog.load(128, "ap", dtype, db=True, floor_db=floor_db)
    assert np.array_equal(ap[..., 0], got) and np.array_equal(ap[..., 1], catalog.load(128, "ap", dtype)[..., 1])


def test_decibels_of_extreme_samples_match_numpy(make_chip):
    rng = np.random.default_rng(1)
    special = np.float32([0, -0.0, np.nan, np.inf, 1e-45, 1.17e-38, 3.4e38, 1, 0.99999994, 1.0000001, -2])
    magnitude = np.concatenate([special, np.exp(rng.uniform(-80, 80, 64 * 64 - special.size))]).astype(np.float32)
    path = make_chip(rows=64, cols=64, magnitude=magnitude)
    chip = scan(path)
    for floor_db in (-100.0, -1000.0, -7000.0, 60.0):  # -7000 dB is below any double's exponent
        want = numpy_db(magnitude, floor_db).reshape(1, 64, 64)
        want[np.isneginf(want)] = floor_db  # a floor that underflows to 0 still gives zeros floor_db
        assert_within_ulps(chip.load(None, dtype=np.float64, db=True, floor_db=floor_db), want, 2)
        assert_within_ulps(chip.load(None, db=True, floor_db=floor_db), want.astype(np.float32), 1)


@pytest.mark.skipif(np.finfo(np.longdouble).nmant < 63, reason="needs a long double wider than double")
@pytest.mark.parametrize("dtype, bound", [(np.float32, 0.5 + 2**-19), (np.float64, 0.65)])
def test_decibels_within_their_bound_of_the_exact_value(make_chip, dtype, bound):
    # every 64th float32 in [0.5, 2) (reduced significands with the exponents -1, 0 and 1), and
    # random floats of every exponent; against 20 log10 in long double, in ulps of the exact value
    start, stop = np.float32([0.5, 2]).view(np.uint32)
    bits = np.concatenate([np.arange(start, stop, 64, dtype=np.uint32),
                           np.random.default_rng(3).integers(0x00800000, 0x7f800000, 2**16, dtype=np.uint32)])
    magnitude = bits.view(np.float32)
    got = scan(make_chip(rows=640, cols=512, magnitude=magnitude)).load(None, dtype=dtype, db=True, floor_db=float("-inf"))
    exact = 20 * np.log10(magnitude.astype(np.longdouble))
    nonzero = exact != 0
    ulp = np.exp2(np.floor(np.log2(np.abs(exact[nonzero]))) - np.finfo(dtype).nmant)
    assert np.max(np.abs(got.ravel()[nonzero] - exact[nonzero]) / ulp) <= bound


def test_decibels_through_the_dataset_save_and_export(catalog, tmp_path):
    for ofmt in ("r", "c"):
        with pytest.raises(ValueError, match=f"db=True needs ofmt 'a' or 'ap'.*not '{ofmt}'"):
            catalog.load(ofmt=ofmt, db=True)
    with pytest.raises(ValueError, match="floor_db"):
        catalog.load(db=True, floor_db=float("nan"))
    expected = catalog.load(88, db=True, floor_db=-80)
    args = ["export", str(RELEASE), "--size", "88", "--db", "--floor-db", "-80", "-o", str(tmp_path / "d.npz")]
    assert main(args) == 0
    saved = load_saved(tmp_path / "d.npz")
    assert np.array_equal(saved["x"], expected) and saved["floor_db"] == -80
    with pytest.warns(UserWarning):
        data = MSTAR(catalog, "soc", "test", size=88, db=True, floor_db=-80)
    assert np.array_equal(data[0][0], expected[catalog.paths.index(data.catalog[0].path)])


# --- transforms -------------------------------------------------------------------------------------

@pytest.mark.parametrize("transform, shape, result", [
    (CenterCrop(88), (128, 128), (88, 88)), (CenterCrop((10, 20)), (30, 40, 2), (10, 20, 2)),
    (RandomCrop(88, seed=1), (100, 90, 2), (88, 88, 2)), (RandomCrop((5, 90)), (100, 90), (5, 90)),
    (ToDecibels(), (16, 16, 2), (16, 16, 2)), (Normalize([1, 2], [3, 4]), (8, 8, 2), (8, 8, 2)),
    (Compose([RandomCrop(12, seed=0), ToDecibels(-80), Normalize(-30, 10)]), (20, 20), (12, 12)),
    (RandomFlip(seed=0), (30, 40, 2), (30, 40, 2)), (CenterCrop((10, 20), channels_first=True), (2, 30, 40), (2, 10, 20)),
    (Compose([RandomCrop(9, channels_first=True), RandomFlip(channels_first=True)]), (1, 20, 20), (1, 9, 9)),
])
def test_transforms_give_new_arrays_of_the_expected_shape(transform, shape, result):
    x = np.random.default_rng(0).random(shape).astype(np.float32)
    kept = x.copy()
    out = transform(x)
    assert out.shape == result and out.dtype == np.float32 and not np.shares_memory(out, x)
    assert np.array_equal(x, kept)


def test_center_crop_centres_as_the_load_does_and_the_values_follow_their_formulas(catalog):
    x = catalog.load(128, "ap")
    assert np.array_equal(np.stack([CenterCrop((88, 90))(chip) for chip in x]), catalog.load((88, 90), "ap"))
    assert_within_ulps(ToDecibels(-90)(x[3])[..., 0], catalog.load(128, db=True, floor_db=-90)[3], 1)
    assert np.array_equal(ToDecibels(-90)(x[3])[..., 1], x[3][..., 1])  # the phase is left alone
    normal = Normalize([0.1, 1.0], [0.2, 2.0])(x[3])
    assert np.allclose(normal[..., 1], (x[3][..., 1] - 1) / 2, rtol=1e-6)


@pytest.mark.parametrize("make", [lambda first: CenterCrop((5, 7), channels_first=first),
                                  lambda first: ToDecibels(-50, channels_first=first),
                                  lambda first: Normalize([1, 2], [3, 4], channels_first=first),
                                  lambda first: RandomFlip(1.0, channels_first=first)])
def test_channels_first_and_batches_transform_as_single_channels_last_items(make):
    items = np.random.default_rng(2).random((4, 12, 10, 2))
    each = np.stack([make(None)(item) for item in items])
    assert np.array_equal(make(None).batch(items), each)
    assert np.array_equal(make(True).batch(np.moveaxis(items, -1, 1)), np.moveaxis(each, -1, 1))
    assert np.array_equal(make(True)(np.moveaxis(items[0], -1, 0)), np.moveaxis(each[0], -1, 0))


def test_random_flips_mirror_the_columns_about_half_the_time_reproducibly():
    x = np.arange(24.0).reshape(4, 3, 2)
    flips = [RandomFlip(seed=5) for _ in range(2)]
    draws = [[bool((flip(x)[:, 0] != x[:, 0]).any()) for _ in range(400)] for flip in flips]
    assert draws[0] == draws[1] and 150 < sum(draws[0]) < 250
    assert np.array_equal(RandomFlip(1.0)(x), x[:, ::-1])


def test_random_crops_are_reproducible_and_reach_every_place():
    x = np.arange(100.0).reshape(10, 10)
    draws = [RandomCrop(8, seed=7) for _ in range(2)]
    first, second = ([crop(x) for _ in range(200)] for crop in draws)
    assert all(np.array_equal(a, b) for a, b in zip(first, second))
    places = {(int(c[0, 0]) // 10, int(c[0, 0]) % 10) for c in first}
    assert places == {(r, c) for r in range(3) for c in range(3)}
    assert any(not np.array_equal(a, b) for a, b in zip(first, (RandomCrop(8, seed=8)(x) for _ in range(200))))


@pytest.mark.filterwarnings("ignore:split 'soc' test")  # 7 chips of the test set's classes
@pytest.mark.parametrize("in_memory", [True, False])
def test_a_dataset_batch_is_its_items_drawn_in_turn(catalog, in_memory):
    def make(**options):
        crop, flip = RandomCrop(24, seed=2, channels_first=True), RandomFlip(seed=3, channels_first=True)
        return MSTAR(catalog, "soc", "test", size=40, ofmt="ap", channels_first=True, transform=Compose([crop, flip]),
                     **options)

    items, positions = make(), [2, 0, 2, 1, 0]
    want = [items[i] for i in positions]
    batch = make(in_memory=in_memory).__getitems__(positions)  # in memory, the windows cut from data itself
    assert len(batch) == 5 and [y for _, y in batch] == [y for _, y in want]
    assert np.array_equal(batch.data, np.stack([x for x, _ in want])) and np.array_equal(batch[-1][0], want[-1][0])


@pytest.mark.parametrize("make, x, message", [
    (lambda: CenterCrop((90, 80)), np.zeros((88, 88)), "crop of 90x80 is larger than the 88x88 input"),
    (lambda: RandomCrop(129), np.zeros((128, 128, 2)), "crop of 129x129 is larger than the 128x128 input"),
    (lambda: CenterCrop(0), None, "crop size must be"),
    (lambda: CenterCrop(8), np.zeros(100), r"shape \(H, W\) or \(H, W, C\)"),
    (lambda: Normalize(0, 0), None, "std must not be zero"),
    (lambda: Normalize([0, 0, 0], 1), np.zeros((8, 8, 2)), "mean has 3 values for 2 channels"),
    (lambda: CenterCrop(88), np.zeros((2, 128, 128)), "larger than the 2x128 input; for .C, H, W. input give "
                                                      "channels_first=True"),
    (lambda: RandomFlip(1.5), None, "p must lie between 0 and 1"),
])
def test_transform_errors(make, x, message):
    with pytest.raises(ValueError, match=message):
        make()(x)


def test_complex_items_keep_their_imaginary_part():
    z = np.array([[3 + 4j, 0], [1j, -2 - 2j]], np.complex64)
    decibels = ToDecibels(-100)(z)
    assert decibels.dtype == np.float32 and np.allclose(decibels, numpy_db(np.abs(z), -100))
    normalized = Normalize(1, 2)(z)
    assert normalized.dtype == np.complex64 and np.array_equal(normalized, (z - 1) / 2)
    stacked = np.stack([z, 2 * z])  # every element of a complex array is a sample: with channels too
    assert np.allclose(ToDecibels(-100, channels_first=True)(stacked), numpy_db(np.abs(stacked), -100))


def test_a_floor_below_the_smallest_double_still_floors_zeros(catalog):
    linear = catalog.load(64, "ap")
    loaded = catalog.load(64, "ap", db=True, floor_db=-7000.0)[..., 0]
    assert (linear[..., 0] == 0).any() and not np.isneginf(loaded).any()
    assert np.array_equal(loaded[linear[..., 0] == 0], np.full((linear[..., 0] == 0).sum(), -7000, np.float32))
    assert np.array_equal(ToDecibels(-7000.0)(linear[0, ..., 0]), loaded[0])
    with pytest.raises(ValueError, match="below infinity"):
        ToDecibels(float("inf"))


# --- PNG export -------------------------------------------------------------------------------------

def png_depth(path):
    data = path.read_bytes()
    return data[24], data[25]  # IHDR: bit depth, colour type (0: grey-scale)


@pytest.mark.parametrize("bits", [8, 16])
def test_png_export_round_trip(catalog, tmp_path, bits):
    Image = pytest.importorskip("PIL.Image")
    folder = tmp_path / "png"
    catalog.save_images(folder, size=(100, 120), bits=bits, db_range=(-50.0, 0.0), threads=2)
    with open(folder / "index.csv", newline="") as index:
        rows = list(csv.DictReader(index))
    assert [r["path"] for r in rows] == catalog.paths and len(list(folder.rglob("*.png"))) == len(catalog)
    assert not list(folder.rglob(".*"))  # no temporary file left behind
    decibels = catalog.load((100, 120), db=True, floor_db=-50)
    top = 2 ** bits - 1
    for row, record, db in zip(rows, catalog, decibels):
        assert row["image"] == f"{record.target_type}/{record.path.rsplit('/', 1)[-1]}.png" == \
            f"{row['class']}/{record.path.rsplit('/', 1)[-1]}.png"
        assert (row["serial"], float(row["azimuth"])) == (record.serial, record.azimuth)
        assert png_depth(folder / row["image"]) == (bits, 0)
        with Image.open(folder / row["image"]) as image:
            assert image.size == (120, 100)
            pixels = np.asarray(image).astype(np.int64)
        want = np.rint(np.clip((db.astype(np.float64) + 50) / 50 * top, 0, top))
        assert np.array_equal(pixels, want)
    slicy = rows[[r["class"] for r in rows].index("slicey")]
    with Image.open(folder / slicy["image"]) as image:  # the zero frame black, the brightest scatterer white
        assert image.getpixel((0, 0)) == 0 and image.getextrema()[1] == top
    labels = {r["class"]: int(r["label"]) for r in rows}
    assert sorted(labels, key=labels.get) == sorted(labels)


def test_png_export_of_a_split_names_folders_by_class_and_refuses_to_overwrite(catalog, tmp_path, capsys,
                                                                               monkeypatch):
    pytest.importorskip("PIL")
    with pytest.warns(UserWarning):
        split = catalog.split("soc", "test")
    folder = tmp_path / "soc"
    folder.mkdir()
    (folder / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="is not empty; give overwrite=True"):
        split.save_images(folder)
    assert sorted(p.name for p in folder.iterdir()) == ["notes.txt"]
    args = ["export", str(RELEASE), "--split", "soc", "--subset", "test", "--format", "png", "-o", str(folder)]
    assert main(args) == 2
    assert "is not empty" in capsys.readouterr().err
    assert main(args + ["--overwrite", "--bits", "8", "--db-range=-40,0"]) == 0
    assert (folder / "notes.txt").read_text() == "mine"
    assert {p.parent.name for p in folder.rglob("*.png")} == {"2S1", "BRDM2", "BTR60", "D7", "T62", "ZIL131",
                                                              "ZSU234"}
    assert png_depth(next(folder.rglob("*.png"))) == (8, 0)
    monkeypatch.setitem(sys.modules, "PIL", None)  # as if Pillow were not installed
    with pytest.raises(ImportError, match=r"needs Pillow: pip install vantrel\[images\]"):
        split.save_images(tmp_path / "none")


def test_png_class_folders_stay_inside_the_export(tmp_path):
    pytest.importorskip("PIL")
    chips = tmp_path / "chips"
    chips.mkdir()
    names = {"up": "../x", "absolute": "/abs", "empty": "", "dots": ".."}
    for i, (name, target) in enumerate(names.items()):
        (chips / name).write_bytes(distinct("HB15696.001", i, TargetType=target))
    out = tmp_path / "nest" / "png"
    out.parent.mkdir()
    scan(chips).save_images(out, size=8)
    inside = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert inside == sorted(["_/empty.png", "_../dots.png", ".._x/up.png", "_abs/absolute.png", "index.csv"])
    assert sorted(os.listdir(tmp_path)) == ["chips", "nest"] and os.listdir(out.parent) == ["png"]
    with open(out / "index.csv", newline="") as index:
        assert {row["class"] for row in csv.DictReader(index)} == set(names.values())


def test_png_export_is_claimed_and_replaces_an_old_one_whole(catalog, tmp_path, monkeypatch):
    pytest.importorskip("PIL")
    import threading

    import vantrel.images

    folder = tmp_path / "png"
    started, release, errors = threading.Event(), threading.Event(), []
    real_load = vantrel.images.load

    def held_load(*args, **kwargs):
        started.set()
        release.wait(30)
        return real_load(*args, **kwargs)

    def first_export():
        try:
            catalog.save_images(folder, size=8, bits=8)
        except BaseException as error:  # shown by the assertion below, not lost in the thread
            errors.append(error)

    monkeypatch.setattr(vantrel.images, "load", held_load)
    first = threading.Thread(target=first_export)
    first.start()
    try:
        assert started.wait(30)
        with pytest.raises(FileExistsError, match="is being written by another export"):
            catalog.save_images(folder, size=8, bits=16, overwrite=True)
    finally:
        release.set()
        first.join()
    assert errors == []
    monkeypatch.setattr(vantrel.images, "load", real_load)
    old = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    assert len(old) == len(catalog) + 1 and all(png_depth(p) == (8, 0) for p in old if p.suffix == ".png")

    def interrupted(*args):  # the second batch of images never comes
        raise KeyboardInterrupt

    monkeypatch.setattr(vantrel.images, "levels", interrupted)
    with pytest.raises(KeyboardInterrupt):
        catalog.save_images(folder, size=8, bits=16, overwrite=True)
    assert {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()} == old
    assert os.listdir(tmp_path) == ["png"]  # no temporary folder left beside it
