"""Benchmark of the dataset layer on release-like trees of copies of real chips.

    python bench/bench_dataset.py [scan|load|db|saved|png|all] [--repeat 9] [--dir DIR] [--keep]

scan: a tree of 5 000 chips laid out as the training CD is (TRAIN/17_DEG/<class>/SN_<serial>/
HBnnnnn.0tt beside its HBnnnnn.JPG preview), from copies of the real chips in tests/data with
their serial and depression rewritten to the ten SOC classes at 17°. ``vantrel.scan`` of that tree
and of the same chips without previews, against a Python loop calling ``mstar_header`` on every
chip path (given the list for free, or found by a recursive glob of chip names). Then the peak and
retained resident memory of a scan of 20 000 chips, in a fresh process.

load: the 15° test half of SOC as the mixed-targets CD holds it (seven classes, 1 838 chips, real
counts and sizes, 15_DEG/COL2/SCENE1/<class>/ with previews). First at 88, ``'a'``: ``scan`` +
``split('soc', 'test')`` + ``load(88, 'a')``, the scan alone, the load alone with the headers known
(a catalog in hand), against the loop users write by hand (glob, header lines in Python,
``np.fromfile`` of the magnitude plane only, crop, stack), a NumPy loop over the catalog's records
(``np.fromfile(path, '>f4', count=rows*cols, offset=data_offset)``, crop, ``astype``, stack), the
floor of reading only the bytes a load needs (header and window rows, no read-ahead around them)
from 1, 8 and 32 threads or all asked of the kernel first, and reading every file whole. Then at
128, ``'ap'``, against the by-hand loop of both planes (``astype(float32)``, as AConvNet-style
projects do), the same with ``mstar_header`` + ``mstar_raw``, and reading every file's bytes in one
thread. Then the peak resident memory of the load in a fresh process, against its output's size.

db: the same test set loaded with ``load(size, 'a')`` and ``load(size, 'ap')`` at 88 and 128, linear and
with ``db=True`` (the catalog scanned once), the methods taking turns, wall and CPU time, the dB/linear
ratio taken within each turn; then the decibels' accuracy against a long-double reference (every float32
in [0.5, 2) and random floats of every exponent). saved: the test set at 128, 'ap' saved by ``save`` and read
back by ``load_saved`` (read and checked, mapped), against the raw chips and ``np.load`` of a plain
``.npy``. png: ``save_images`` of the test set, 16 and 8 bits.

Every competitor runs on the same files in the same process, the methods taking turns: warm page
cache (median of --repeat runs) and cold (each file's pages dropped with posix_fadvise first; half
as many runs). Timings on this shared virtual
machine vary by up to 10 % from run to run.
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import hashlib
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
from conftest import RELEASE, chip_bytes, retagged  # noqa: E402

import vantrel  # noqa: E402
from vantrel import mstar_header, mstar_raw  # noqa: E402
from vantrel.catalog import default_threads  # noqa: E402

# A real chip for each serial length, so that a new serial keeps the header's length.
BY_SERIAL_LENGTH = {3: "HB14931.000", 4: "HB15696.001", 8: "HB14931.005", 9: "HB03333.003"}
# The test half on the mixed-targets CD: folder, the real chip copied, chips.
CD_TEST_SET = [("2S1", "HB14931.000", 274), ("BRDM_2", "HB14931.001", 274), ("BTR_60", "HB03333.003", 195),
               ("D7", "HB14931.005", 274), ("T62", "HB14932.016", 273), ("ZIL131", "HB14931.025", 274),
               ("ZSU_23_4", "HB14931.026", 274)]


def preview() -> bytes:
    return next(RELEASE.rglob("*.JPG")).read_bytes()


def training_tree(root: pathlib.Path, chips: int) -> list[str]:
    split = vantrel.SPLITS["soc"].subsets["train"]
    classes = [(name, serials[0]) for name, serials in split.serials.items()]
    sources = {name: retagged(BY_SERIAL_LENGTH[len(serial)], TargetSerNum=serial, DesiredDepression="17")
               for name, serial in classes}
    paths = []
    for n in range(chips):
        name, serial = classes[n % len(classes)]
        folder = root / "TRAIN" / "17_DEG" / name / f"SN_{serial.upper()}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"HB{10000 + n:05d}.JPG").write_bytes(preview())
        path = folder / f"HB{10000 + n:05d}.000"
        path.write_bytes(sources[name])
        paths.append(str(path))
    return sorted(paths)


def own_checksum(chip: bytes, n: int) -> bytes:
    """The chip with a Chip_MD5_CheckSum of its own (same length), so that split() does not take
    the copies for one chip held many times."""
    start = chip.index(b"\nChip_MD5_CheckSum= ") + len(b"\nChip_MD5_CheckSum= ")
    return chip[:start] + hashlib.md5(str(n).encode()).hexdigest().encode() + chip[start + 32:]


def test_set_tree(root: pathlib.Path) -> list[str]:
    real = {p.name: p for p in RELEASE.rglob("HB*.0*")}
    paths, n = [], 0
    for folder_name, source, count in CD_TEST_SET:
        folder = root / "15_DEG" / "COL2" / "SCENE1" / folder_name
        folder.mkdir(parents=True)
        chip = real[source].read_bytes()
        for _ in range(count):
            n += 1
            (folder / f"HB{20000 + n:05d}{source[-4:]}").write_bytes(own_checksum(chip, n))
            (folder / f"HB{20000 + n:05d}.JPG").write_bytes(preview())
            paths.append(str(folder / f"HB{20000 + n:05d}{source[-4:]}"))
    return sorted(paths)


def link_chips(tree: pathlib.Path, chip_paths: list[str], bare: pathlib.Path) -> None:
    """The same chips (hard links: the same pages in the cache) without their previews."""
    for path in chip_paths:
        target = bare / os.path.relpath(path, tree)
        target.parent.mkdir(parents=True, exist_ok=True)
        os.link(path, target)


def drop_pages(root: pathlib.Path) -> None:
    os.sync()  # pages still to be written back cannot be dropped
    for folder, _, names in os.walk(root):
        for name in names:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def seconds(fn, cold_root: pathlib.Path | None = None) -> float:
    if cold_root is not None:
        drop_pages(cold_root)
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def compare(methods: list[tuple[str, Callable[[], object], pathlib.Path]],
            repeat: int) -> list[tuple[str, float, float]]:
    """(label, warm, cold) medians. The methods take turns, so that a slow spell of this shared
    machine weighs on all of them alike."""
    for _, fn, _ in methods:
        fn()  # imports and first touches
    warm = [[seconds(fn) for _, fn, _ in methods] for _ in range(repeat)]
    cold = [[seconds(fn, root) for _, fn, root in methods] for _ in range(max(1, repeat // 2))]
    return [(label, statistics.median(w), statistics.median(c))
            for (label, _, _), w, c in zip(methods, zip(*warm), zip(*cold))]


def table(title: str, rows: list[tuple[str, float, float]], count: int, base: float, base_name: str) -> None:
    print(f"\n{title}")
    print(f"{'method':54} {'warm ms':>8} {'us/chip':>8} {base_name:>11} {'cold ms':>8}")
    for label, warm, cold in rows:
        print(f"{label:54} {warm * 1e3:8.1f} {warm / count * 1e6:8.2f} {base / warm:10.2f}x {cold * 1e3:8.1f}")


def fresh_process(code: str, *args: str) -> list[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          check=True).stdout.split()


STATUS = """
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) / 1024
"""


# --- scan ------------------------------------------------------------------------------------------

def bench_scan(root: pathlib.Path, repeat: int) -> None:
    chip_paths = training_tree(root / "release", 5000)
    trees = {"release": root / "release", "chips only": root / "chips-only"}
    link_chips(trees["release"], chip_paths, trees["chips only"])

    def loop():
        for path in chip_paths:
            mstar_header(path)

    def glob_and_loop():  # finding the chips by their names, as hand-written code does
        for path in sorted(glob.glob(os.path.join(trees["release"], "**", "HB*.0*"), recursive=True)):
            mstar_header(path)

    def scanner(tree):
        def scan():
            catalog = vantrel.scan(tree, progress=False)
            assert len(catalog) == len(chip_paths) and not catalog.skipped
        return scan

    os.sync()  # the trees' pages written back, so that they can be dropped for the cold runs
    rows = compare([("vantrel.scan(tree), chips and previews", scanner(trees["release"]), trees["release"]),
                    ("vantrel.scan(tree), chips only", scanner(trees["chips only"]), trees["chips only"]),
                    ("glob('**/HB*.0*') + loop of mstar_header", glob_and_loop, trees["release"]),
                    ("loop of mstar_header(path)", loop, trees["release"])], repeat)
    table(f"scan of {len(chip_paths)} chips (with a preview each, as on a CD, or alone); "
          f"{default_threads()} CPUs", rows, len(chip_paths), rows[-1][1], "vs loop")

    with tempfile.TemporaryDirectory() as folder:
        many = pathlib.Path(folder)
        first = training_tree(many / "a", 1000)  # with previews
        # Each file a chip of its own (links to one file are one chip): a real chip's header with
        # no rows, as the scan reads headers only and 19 000 chips of full size would fill the disk.
        for n in range(len(first), 20000):
            source = pathlib.Path(first[n % len(first)])
            header = source.read_bytes()[:int(mstar_header(source)["PhoenixHeaderLength"])]
            rows_entry = re.search(rb"NumberOfRows= *(\d+)", header)  # no rows, the header's length kept
            assert rows_entry is not None
            header = header[:rows_entry.start(1)] + b"0".rjust(len(rows_entry[1])) + header[rows_entry.end(1):]
            target = many / "b" / f"D{n // 1000}" / f"HB{n:05d}{source.suffix}"
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(header)
        count, peak, kept = fresh_process(STATUS + """
import sys, numpy, vantrel, vantrel.catalog, vantrel._chips
before = status('VmRSS')
catalog = vantrel.scan(sys.argv[1], progress=False)
print(len(catalog), status('VmHWM') - before, status('VmRSS') - before)
""", folder)
    print(f"scan of {count} chips in a fresh process: resident memory grew by {float(peak):.1f} MB at the peak; "
          f"{float(kept):.1f} MB remain with the catalog")


# --- load ------------------------------------------------------------------------------------------

def centre(planes: np.ndarray, height: int, width: int) -> np.ndarray:
    """The centred window of (..., rows, columns) planes, in a zero frame where the chip is smaller."""
    rows, columns = planes.shape[-2:]
    top, left = (rows - height) // 2, (columns - width) // 2
    out = np.zeros(planes.shape[:-2] + (height, width), planes.dtype)
    r0, c0, r1, c1 = max(0, -top), max(0, -left), min(height, rows - top), min(width, columns - left)
    out[..., r0:r1, c0:c1] = planes[..., r0 + top:r1 + top, c0 + left:c1 + left]
    return out


def by_hand(root: pathlib.Path, size: int = 128, ofmt: str = "ap") -> tuple[np.ndarray, np.ndarray]:
    """What a training project writes: find the chips by name, parse each header in Python, read
    the block (or, for "a", the magnitude plane only) with np.fromfile, convert, crop, stack;
    labels from the header's serial."""
    classes = vantrel.SPLITS["soc"].subsets["test"].serials
    label_of = {serial.lower(): i for i, serials in enumerate(classes.values()) for serial in serials}
    planes_read = 1 if ofmt == "a" else 2
    images, labels = [], []
    for path in sorted(glob.glob(os.path.join(root, "**", "HB*.0*"), recursive=True)):
        header = {}
        with open(path, "rb") as f:
            for line in f:
                text = line.decode("ascii").strip()
                if text == "[EndofPhoenixHeader]":
                    break
                if "= " in text:
                    key, value = text.split("= ", 1)
                    header[key] = value
        if float(header["DesiredDepression"]) != 15 or header["TargetSerNum"].lower() not in label_of:
            continue
        rows, columns = int(header["NumberOfRows"]), int(header["NumberOfColumns"])
        block = np.fromfile(path, ">f4", count=planes_read * rows * columns,
                            offset=int(header["PhoenixHeaderLength"]))
        planes = block.reshape(planes_read, rows, columns).astype(np.float32)
        image = centre(planes, size, size)
        images.append(image[0] if ofmt == "a" else np.moveaxis(image, 0, -1))
        labels.append(label_of[header["TargetSerNum"].lower()])
    return np.stack(images), np.array(labels)


def numpy_loop(records: list[tuple[str, int, int, int]], size: int = 88) -> np.ndarray:
    """Headers already known (a catalog in hand): the magnitude plane of each record, cropped."""
    images = []
    for path, offset, rows, columns in records:
        plane = np.fromfile(path, ">f4", count=rows * columns, offset=offset).reshape(rows, columns)
        images.append(centre(plane, size, size).astype(np.float32))
    return np.stack(images)


def with_reader(chip_paths: list[str], size: int = 128) -> np.ndarray:
    """The same with this project's single-chip reader."""
    images = []
    for path in chip_paths:
        header = mstar_header(path)
        if float(header["DesiredDepression"]) == 15:
            planes = np.moveaxis(mstar_raw(path, "ap"), -1, 0).astype(np.float32)
            images.append(np.moveaxis(centre(planes, size, size), 0, -1))
    return np.stack(images)


def bytes_only(chip_paths: list[str]) -> None:
    for path in chip_paths:
        with open(path, "rb") as f:
            f.read()


def needed_ranges(records: list[tuple[str, int, int, int]], size: int) -> list[tuple[str, list[tuple[int, int]]]]:
    """(path, [(offset, length), ...]) of the bytes a load at `size` of the magnitude plane needs:
    the header, and the window's rows; joined when they lie within a page of each other."""
    out = []
    for path, offset, rows, columns in records:
        top = (rows - size) // 2
        begin, end = max(0, top), min(rows, top + size)
        ranges = [(0, offset)]
        rows_at, length = offset + 4 * columns * begin, 4 * columns * max(0, end - begin)
        if rows_at - offset <= 4096:
            ranges = [(0, rows_at + length)]
        elif length:
            ranges.append((rows_at, length))
        out.append((path, ranges))
    return out


def read_ranges(chips: list[tuple[str, list[tuple[int, int]]]]) -> None:
    for path, ranges in chips:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)  # the bytes asked for, no read-ahead
            for offset, length in ranges:
                os.pread(fd, length, offset)
        finally:
            os.close(fd)


def needed_bytes(chips: list[tuple[str, list[tuple[int, int]]]], threads: int = 1) -> None:
    """The floor: only the needed bytes, one read each, from `threads` threads at once."""
    if threads == 1:
        return read_ranges(chips)
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(read_ranges, [chips[i::threads] for i in range(threads)]))


def needed_bytes_advised(chips: list[tuple[str, list[tuple[int, int]]]]) -> None:
    """The floor another way: every needed range asked of the kernel at once (WILLNEED), then read."""
    for path, ranges in chips:
        fd = os.open(path, os.O_RDONLY)
        for offset, length in ranges:
            os.posix_fadvise(fd, offset, length, os.POSIX_FADV_WILLNEED)
        os.close(fd)
    read_ranges(chips)


def bench_load(root: pathlib.Path, repeat: int) -> None:
    chip_paths = test_set_tree(root)

    def ours(size, ofmt, threads=None, progress=False):
        def run():
            catalog = vantrel.scan(root, threads=threads, progress=False).split("soc", "test")
            with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
                return catalog.load(size, ofmt, threads=threads, progress=progress), catalog.labels
        return run

    import warnings

    warnings.simplefilter("ignore")  # the CD lacks three SOC classes, as it should
    test = vantrel.scan(root, progress=False).split("soc", "test")
    records = list(zip(test.column("path"), test.column("data_offset"), test.column("rows"), test.column("columns")))
    chips88 = needed_ranges(records, 88)
    for size, ofmt in ((128, "ap"), (88, "a")):
        x, labels = ours(size, ofmt)()
        x_hand, labels_hand = by_hand(root, size, ofmt)
        assert np.array_equal(x, x_hand) and np.array_equal(labels, labels_hand), "the loaders disagree"
    assert np.array_equal(test.load(88, "a", progress=False), numpy_loop(records)), "the loaders disagree"
    os.sync()
    count = len(chip_paths)

    rows = compare([(label, fn, root) for label, fn in (
        ("vantrel: scan + split + load(88, 'a')", ours(88, "a")),
        ("vantrel, threads=1", ours(88, "a", 1)),
        ("vantrel: scan alone", lambda: vantrel.scan(root, progress=False)),
        ("vantrel: load(88, 'a') of the split (headers known)", lambda: test.load(88, "a", progress=False)),
        ("by hand: headers in Python, np.fromfile (magnitude)", lambda: by_hand(root, 88, "a")),
        ("NumPy loop over the records (headers known)", lambda: numpy_loop(records)),
        ("needed bytes only, one thread", lambda: needed_bytes(chips88)),
        ("needed bytes only, 8 threads", lambda: needed_bytes(chips88, 8)),
        ("needed bytes only, 32 threads", lambda: needed_bytes(chips88, 32)),
        ("needed bytes only, all asked for first (WILLNEED)", lambda: needed_bytes_advised(chips88)),
        ("whole files, one thread", lambda: bytes_only(chip_paths)))], repeat)
    by = {label: (warm, cold) for label, warm, cold in rows}
    print(f"\n{count} chips of the SOC test set (7 classes, with previews) into one ({count}, 88, 88) float32 "
          f"array; {default_threads()} CPUs")
    print(f"{'method':54} {'warm ms':>8} {'us/chip':>8} {'cold ms':>8}")
    for label, warm, cold in rows:
        print(f"{label:54} {warm * 1e3:8.1f} {warm / count * 1e6:8.2f} {cold * 1e3:8.1f}")
    ours88, hand88 = by["vantrel: scan + split + load(88, 'a')"], by["by hand: headers in Python, np.fromfile (magnitude)"]
    floor = min(cold for label, _, cold in rows if label.startswith("needed bytes"))
    known, loop = by["vantrel: load(88, 'a') of the split (headers known)"], by["NumPy loop over the records (headers known)"]
    print(f"cold: {hand88[1] / ours88[1]:.2f}x the by-hand loop (goal 3x), {ours88[1] / floor:.2f}x the time of "
          f"the needed bytes' fastest read (goal at most 1.5x)")
    print(f"warm, headers known: {loop[0] / known[0]:.2f}x the NumPy loop (goal 4x); cold {loop[1] / known[1]:.2f}x")

    rows = compare([(label, fn, root) for label, fn in (
        ("vantrel: scan + split + load(128, 'ap')", ours(128, "ap")),
        ("vantrel, threads=1", ours(128, "ap", 1)),
        ("vantrel, with a progress bar (to /dev/null)", ours(128, "ap", progress=True)),
        ("by hand: header in Python, np.fromfile, crop, stack", lambda: by_hand(root)),
        ("by hand with mstar_header + mstar_raw", lambda: with_reader(chip_paths)),
        ("reading the files' bytes only, one thread", lambda: bytes_only(chip_paths)))], repeat)
    hand = next(r for r in rows if r[0].startswith("by hand:"))
    table(f"{count} chips of the SOC test set (7 classes, with previews) into one ({count}, 128, 128, 2) float32 "
          f"array; {default_threads()} CPUs", rows, count, hand[1], "vs by hand")
    print(f"vantrel: {hand[1] / rows[0][1]:.2f}x the by-hand loop warm (goal 5x), {hand[2] / rows[0][2]:.2f}x cold")

    peak, out = fresh_process(STATUS + """
import sys, warnings, numpy, vantrel, vantrel.catalog, vantrel.loading
warnings.simplefilter('ignore')
before = status('VmRSS')
x = vantrel.scan(sys.argv[1], progress=False).split('soc', 'test').load(128, 'ap', progress=False)
print(status('VmHWM') - before, x.nbytes / 2**20)
""", str(root))
    print(f"load in a fresh process: resident memory grew by {float(peak):.1f} MB at the peak, "
          f"for an output of {float(out):.1f} MB")


def turns(methods: Sequence[tuple[str, Callable[..., Any]]], repeat: int) -> dict[str, tuple[list[float], list[float]]]:
    """Warm (wall, CPU) seconds of each method, `repeat` times, the methods taking turns; CPU time
    counts every thread of the process, and moves less than the wall time when other processes
    share the cores."""
    for _, fn in methods:
        fn()
    samples: dict[str, tuple[list[float], list[float]]] = {label: ([], []) for label, _ in methods}
    for _ in range(repeat):
        for label, fn in methods:
            cpu, start = time.process_time(), time.perf_counter()
            fn()
            samples[label][0].append(time.perf_counter() - start)
            samples[label][1].append(time.process_time() - cpu)
    return samples


def spread(values: list[float], scale: float = 1e3, digits: int = 1) -> str:
    """Median and interquartile range."""
    q1, median, q3 = statistics.quantiles(values, n=4) if len(values) > 1 else values * 3
    return f"{median * scale:7.{digits}f} [{q1 * scale:.{digits}f}-{q3 * scale:.{digits}f}]"


def decibel_accuracy() -> None:
    """The load's decibels against 20 log10 in long double (64-bit significand where the platform has it):
    every float32 in [0.5, 2) (each reduced significand, with the exponents 0 and +-1) and 2^22
    random positive finite floats of every exponent, in float32 and float64 ulps of the exact value."""
    if np.finfo(np.longdouble).nmant < 63:
        print("decibel accuracy: no long double wider than double here, skipped")
        return
    rng = np.random.default_rng(7)
    sets = [("every float32 in [0.5, 2)", np.arange(np.float32(0.5).view(np.uint32), np.float32(2).view(np.uint32),
                                                    dtype=np.uint32).view(np.float32)),
            ("2^22 random float32, all exponents", rng.integers(1, 0x7f800000, 2**22, dtype=np.uint32).view(np.float32))]
    print("\ndecibels (floor_db=-inf) against 20 log10 in long double: the largest error in ulps of the exact value")
    with tempfile.TemporaryDirectory() as folder:
        for label, values in sets:
            cols = 4096
            values = np.concatenate([values, np.ones(-values.size % cols, np.float32)])
            path = os.path.join(folder, "sweep.chip")
            pathlib.Path(path).write_bytes(chip_bytes(rows=values.size // cols, cols=cols,
                                                      magnitude=values.reshape(-1, cols)))
            chip = vantrel.scan(path, progress=False)
            exact = 20 * np.log10(values.astype(np.longdouble))
            nonzero = exact != 0
            exponent = np.floor(np.log2(np.abs(exact[nonzero])))
            found = []
            for dtype in (np.float32, np.float64):
                got = chip.load(None, dtype=dtype, db=True, floor_db=float("-inf"), progress=False).ravel()[nonzero]
                error = np.abs(got.astype(np.longdouble) - exact[nonzero]) / np.exp2(exponent - np.finfo(dtype).nmant)
                rounded = int(np.count_nonzero(got != exact[nonzero].astype(dtype)))
                found.append(f"{np.dtype(dtype).name} {float(error.max()):.7f} ulp ({rounded} not correctly rounded)")
            print(f"  {label:36} {'; '.join(found)}")


def bench_db(root: pathlib.Path, repeat: int) -> None:
    """The cost of decibels in the load: the same split loaded linear and in dB (catalog scanned once),
    at 88 and 128, 'a' and 'ap'; the ratio is taken within each turn, so that a slow spell weighs on
    both sides of it."""
    import warnings

    warnings.simplefilter("ignore")
    split = vantrel.scan(root, progress=False).split("soc", "test")
    cases = [(size, ofmt) for size in (88, 128) for ofmt in ("a", "ap")]

    def label(size, ofmt, db):
        return f"load({size}, {ofmt!r}{', db=True' if db else ''})"

    for size, ofmt in cases:
        linear = split.load(size, ofmt, progress=False)
        decibels = split.load(size, ofmt, db=True, progress=False)
        amplitude = linear[..., 0] if ofmt == "ap" else linear
        want = (20 * np.log10(np.maximum(amplitude.astype(np.float64), 1e-5))).astype(np.float32)
        got = decibels[..., 0] if ofmt == "ap" else decibels
        assert np.max(np.abs(got - want) / np.spacing(np.abs(want))) <= 1, "dB disagree with NumPy's expression"
    methods = [(label(size, ofmt, db), (lambda size=size, ofmt=ofmt, db=db: split.load(size, ofmt, db=db, progress=False)))
               for size, ofmt in cases for db in (False, True)]
    os.sync()
    samples = turns(methods, repeat)
    cold = {name: statistics.median(seconds(fn, root) for _ in range(max(1, repeat // 3))) for name, fn in methods}
    print(f"\nthe {len(split)} chips of the SOC test set, linear and in dB; {default_threads()} CPUs; warm: median "
          f"[quartiles] of {repeat} turns")
    print(f"{'method':32} {'warm ms':>22} {'CPU ms':>22} {'cold ms':>8} {'dB / linear, warm':>24}")
    for size, ofmt in cases:
        for db in (False, True):
            name = label(size, ofmt, db)
            wall, cpu = samples[name]
            ratio = ""
            if db:
                base = samples[label(size, ofmt, False)][0]
                ratio = spread([w / b for w, b in zip(wall, base)], 1, 2) + "x"
            print(f"{name:32} {spread(wall):>22} {spread(cpu):>22} {cold[name] * 1e3:8.1f} {ratio:>24}")
    for size, ofmt in cases:
        lin, dbs = samples[label(size, ofmt, False)], samples[label(size, ofmt, True)]
        print(f"db=True at {size}, {ofmt!r}: {statistics.median(w / b for w, b in zip(dbs[0], lin[0])):.2f}x "
              f"the linear load warm (goal at most 1.3x), CPU {statistics.median(dbs[1]) / statistics.median(lin[1]):.2f}x; "
              f"the dB cost {(statistics.median(dbs[1]) - statistics.median(lin[1])) / (len(split) * size * size) * 1e9:.2f}"
              f" ns of CPU a value")
    decibel_accuracy()


def bench_saved(root: pathlib.Path, repeat: int) -> None:
    """Reading back a saved set: the SOC test set at 128, 'ap' (241 MB), written by ``save`` beside the
    tree, read with ``load_saved`` (read and CRC-checked; unchecked; mapped; mapped and checked),
    against loading it from the raw chips, ``np.load`` of the same array as a plain ``.npy`` (read,
    and mapped), and ``np.load`` of the ``.npz`` through zipfile (what load_saved did before)."""
    import warnings

    warnings.simplefilter("ignore")
    split = vantrel.scan(root, progress=False).split("soc", "test")
    folder = root.parent / "saved"
    folder.mkdir(exist_ok=True)
    npz, npy = folder / "soc_test_128_ap.npz", folder / "soc_test_128_ap.npy"
    split.save(npz, 128, "ap", progress=False)
    x = split.load(128, "ap", progress=False)
    np.save(npy, x)
    assert np.array_equal(vantrel.load_saved(npz)["x"], x) and np.array_equal(vantrel.load_saved(npz, mmap=True)["x"], x)

    def zipfile_read():
        with np.load(npz) as saved:
            return saved["x"]

    def touched(array):  # a mapped array's pages read, as a consumer would
        return lambda: array().sum(dtype=np.float64)

    methods = [
        ("load_saved(path)", lambda: vantrel.load_saved(npz)),
        ("load_saved(path, verify=False)", lambda: vantrel.load_saved(npz, verify=False)),
        ("load_saved(path, mmap=True)", lambda: vantrel.load_saved(npz, mmap=True)),
        ("load_saved(path, mmap=True, verify=True)", lambda: vantrel.load_saved(npz, mmap=True, verify=True)),
        ("raw chips: split.load(128, 'ap') (headers known)", lambda: split.load(128, "ap", progress=False)),
        ("raw chips: scan + split + load(128, 'ap')",
         lambda: vantrel.scan(root, progress=False).split("soc", "test").load(128, "ap", progress=False)),
        ("np.load(.npy)", lambda: np.load(npy)),
        ("np.load(.npy, mmap_mode='r')", lambda: np.load(npy, mmap_mode="r")),
        ("np.load(.npz)['x'] (zipfile, CRC in Python's zlib)", zipfile_read),
        ("sum of x (a pass over the array in memory)", lambda: x.sum(dtype=np.float64)),
    ]
    os.sync()
    samples = turns(methods, repeat)
    cold = {}
    for label, fn in methods:
        where = root if label.startswith("raw") else folder
        cold[label] = statistics.median(seconds(fn, where) for _ in range(max(1, repeat // 3)))
    print(f"\nthe {len(split)} chips of the SOC test set at 128, 'ap' ({x.nbytes / 1e6:.0f} MB), read back; "
          f"{default_threads()} CPUs; warm: median [quartiles] of {repeat} turns, cold: median of {max(1, repeat // 3)}")
    print(f"{'method':52} {'warm ms':>22} {'CPU ms':>22} {'cold ms':>8}")
    for label, _ in methods:
        wall, cpu = samples[label]
        print(f"{label:52} {spread(wall):>22} {spread(cpu):>22} {cold[label] * 1e3:8.1f}")
    base = samples["raw chips: split.load(128, 'ap') (headers known)"][0]
    ratios = [w / b for w, b in zip(samples["load_saved(path)"][0], base)]
    print(f"load_saved(path) takes {spread(ratios, 1, 2).strip()}x the load from the warm raw chips (goal at most 1x)")


def bench_png(root: pathlib.Path, repeat: int) -> None:
    """The PNG export of the SOC test set (written to a folder beside the tree, replaced each run)."""
    import warnings

    warnings.simplefilter("ignore")
    split = vantrel.scan(root, progress=False).split("soc", "test")
    out = root.parent / "png"
    results = []
    for bits, threads in ((16, None), (16, 1), (8, None)):
        times = []
        for _ in range(max(1, repeat // 3)):
            shutil.rmtree(out, ignore_errors=True)
            times.append(seconds(lambda: split.save_images(out, bits=bits, threads=threads,  # noqa: B023 (called here)
                                                           progress=False)))
        size = sum(p.stat().st_size for p in out.rglob("*.png"))
        results.append((f"save_images(bits={bits}, threads={threads})", statistics.median(times), size))
    print(f"\nPNG export of the {len(split)} chips of the SOC test set at 128 x 128 (medians of "
          f"{max(1, repeat // 3)} runs, each into a new folder, every file fsync'ed)")
    for label, median, size in results:
        print(f"{label:54} {median * 1e3:8.0f} ms {median / len(split) * 1e6:8.0f} us/chip {size / 2**20:7.1f} MB")
    shutil.rmtree(out, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("part", nargs="?", default="all", choices=["scan", "load", "db", "saved", "png", "all"])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--dir", help="make the trees here (default: a temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the trees")
    args = parser.parse_args()
    root = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="vantrel-bench-"))
    try:
        if args.part in ("scan", "all"):
            bench_scan(root / "scan", args.repeat)
        if args.part in ("load", "all"):
            bench_load(root / "load", args.repeat)
        if args.part in ("db", "saved", "png", "all"):
            if not (root / "load").exists():
                test_set_tree(root / "load")
            if args.part in ("db", "all"):
                bench_db(root / "load", args.repeat)
            if args.part in ("saved", "all"):
                bench_saved(root / "load", args.repeat)
            if args.part in ("png", "all"):
                bench_png(root / "load", args.repeat)
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
