"""Benchmark of the dataset layer on a release-like tree of copies of real chips.

    python bench/bench_dataset.py [--chips 5000] [--repeat 5] [--dir DIR] [--keep] [--skip-memory]

Makes a tree laid out as the release CDs are (TRAIN/17_DEG/<class>/SN_<serial>/HBnnnnn.0tt beside
HBnnnnn.JPG), from copies of the real chips in tests/data (their serial and depression fields
rewritten in place so that the tree holds the SOC classes), then times, in this process:

- scan: ``vantrel.scan(tree)`` of that tree and of a tree of the same chips without previews,
  against a Python loop calling ``mstar_header`` on every chip path (given the sorted list of chip
  paths for free, and with the paths found by a recursive glob of chip names), warm page cache (median of --repeat runs) and cold (every file's pages dropped
  first with posix_fadvise);
- memory: peak and retained resident memory of a scan of 20 000 chips, in a fresh process.

Timings on this shared virtual machine vary by up to 10 % from run to run.
"""

from __future__ import annotations

import argparse
import glob
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
REAL = REPO / "tests" / "data" / "real_mstar"
RELEASE = REPO / "tests" / "data" / "release"

# The SOC classes: folder name, TargetSerNum, and a real chip to copy (same-length serials only).
CLASSES = [("2S1", "b01", "HB14931.000"), ("BMP2", "956", "HB14931.001"), ("BRDM2", "E-7", "HB14931.001"),
           ("BTR60", "k10yt7532", "HB03333.003"), ("BTR70", "c71", "HB03333.003"), ("D7", "92v13015", "HB14931.005"),
           ("T62", "A51", "HB14931.026"), ("T72", "132", "HB14931.025"), ("ZIL131", "E12", "HB14931.025"),
           ("ZSU234", "d08", "HB14931.026")]


def with_fields(chip: bytes, serial: str, depression: str) -> bytes:
    """The chip with TargetSerNum and DesiredDepression overwritten by values of the same length."""
    for key, value in ((b"TargetSerNum= ", serial), (b"DesiredDepression= ", depression)):
        start = chip.index(b"\n" + key) + 1 + len(key)
        end = chip.index(b"\n", start)
        new = value.encode().ljust(end - start)[: end - start]
        chip = chip[:start] + new + chip[end:]
    return chip


def make_tree(root: pathlib.Path, chips: int) -> list[str]:
    preview = next(RELEASE.rglob("*.JPG")).read_bytes()
    sources = {}
    paths = []
    for n in range(chips):
        name, serial, source = CLASSES[n % len(CLASSES)]
        if name not in sources:
            sources[name] = with_fields((REAL / source).read_bytes(), serial, "17")
        folder = root / "TRAIN" / "17_DEG" / name / f"SN_{serial.upper()}"
        folder.mkdir(parents=True, exist_ok=True)
        stem = f"HB{10000 + n:05d}"
        path = folder / f"{stem}{source[-4:]}"
        path.write_bytes(sources[name])
        (folder / f"{stem}.JPG").write_bytes(preview)
        paths.append(str(path))
    return sorted(paths)


def drop_pages(root: pathlib.Path) -> None:
    for folder, _, names in os.walk(root):
        for name in names:
            fd = os.open(os.path.join(folder, name), os.O_RDONLY)
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)


def timed(fn, repeat: int, cold_root: pathlib.Path | None = None) -> float:
    times = []
    for _ in range(repeat):
        if cold_root is not None:
            drop_pages(cold_root)
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def link_chips(release: pathlib.Path, chip_paths: list[str], bare: pathlib.Path) -> None:
    """The same chips (hard links: the same pages in the cache) without their previews."""
    for path in chip_paths:
        target = bare / os.path.relpath(path, release)
        target.parent.mkdir(parents=True, exist_ok=True)
        os.link(path, target)


def bench_scan(root: pathlib.Path, chip_paths: list[str], repeat: int) -> list[tuple[str, float, float]]:
    import vantrel
    from vantrel import mstar_header

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

    rows = []
    for label, fn, tree in (("vantrel.scan(tree), chips and previews", scanner(trees["release"]), trees["release"]),
                            ("vantrel.scan(tree), chips only", scanner(trees["chips only"]), trees["chips only"]),
                            ("glob('**/HB*.0*') + loop of mstar_header", glob_and_loop, trees["release"]),
                            ("loop of mstar_header(path)", loop, trees["release"])):
        fn()  # imports and first touches
        rows.append((label, timed(fn, repeat), timed(fn, max(1, repeat // 2), cold_root=tree)))
    return rows


MEMORY_PROBE = """
import os, sys, numpy, vantrel, vantrel.catalog, vantrel._chips
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) / 1024
before = status('VmRSS')
catalog = vantrel.scan(sys.argv[1], progress=False)
print(len(catalog), status('VmHWM') - before, status('VmRSS') - before)
"""


def bench_memory(chips: int) -> tuple[int, float, float]:
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder)
        first = make_tree(root / "a", min(chips, 1000))  # with previews
        # Hard links: the scan reads headers only, and 20 000 copies would fill the disk for nothing.
        for n in range(len(first), chips):
            source = pathlib.Path(first[n % len(first)])
            target = root / "b" / f"D{n // 1000}" / f"HB{n:05d}{source.suffix}"
            target.parent.mkdir(parents=True, exist_ok=True)
            os.link(source, target)
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_PROBE), folder], capture_output=True,
                             text=True, check=True).stdout.split()
    return int(out[0]), float(out[1]), float(out[2])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chips", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", help="make the tree here (default: a temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the tree")
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()

    root = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="vantrel-bench-"))
    try:
        print(f"making a tree of {args.chips} chips and as many previews ...", file=sys.stderr)
        chip_paths = make_tree(root / "release", args.chips)
        rows = bench_scan(root, chip_paths, args.repeat)
        base = rows[-1]
        print(f"\nscan of {len(chip_paths)} chips (with as many previews, as on a CD, or alone), median of "
              f"{args.repeat} runs warm, {max(1, args.repeat // 2)} cold; {os.process_cpu_count()} CPUs")
        print(f"{'method':42} {'warm ms':>9} {'us/chip':>8} {'speed-up':>9} {'cold ms':>9}")
        for label, warm, cold in rows:
            print(f"{label:42} {warm * 1e3:9.1f} {warm / len(chip_paths) * 1e6:8.2f} {base[1] / warm:8.1f}x "
                  f"{cold * 1e3:9.1f}")
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)

    if not args.skip_memory:
        count, peak, kept = bench_memory(20000)
        print(f"\nscan of {count} chips in a fresh process: resident memory grew by {peak:.1f} MB at the peak "
              f"and {kept:.1f} MB remain with the catalog")


if __name__ == "__main__":
    main()
