"""A training epoch through torch's DataLoader: ``vantrel.MSTAR`` against the datasets MSTAR
projects write, on the same chips in the same run.

    python bench/bench_epoch.py [--epochs 5] [--workers 0 2] [--batch-size 64] [--cold] [--dir DIR]

The chips are the SOC test set as the mixed-targets CD holds it (1 838 copies of real chips, the
tree of bench_dataset.py). Every dataset gives 128 x 128 amplitude windows cut to a random 88 x 88
crop, channels first ((64, 1, 88, 88) float32 batches and int64 labels), in shuffled batches of
64 through ``DataLoader``'s own collate:

- ``vt.MSTAR``, loaded in memory, and ``vt.MSTAR(in_memory=False)`` (one native load a batch),
  with ``vantrel.transforms.RandomCrop(88)``;
- a per-chip ``.npy`` Dataset, as the AConvNet-pytorch pipeline stores the set: one ``.npy`` a
  chip written beforehand (the 128 x 128 x 1 window), ``np.load`` and a crop per item, then
  ``ToTensor``'s transpose;
- a per-item reader as torchcvnn's MSTAR dataset reads a chip: the header parsed line by line
  in Python, both planes ``struct``-unpacked into a complex array, then the amplitude, its
  centred 128 x 128 window and the crop.

With workers the loaders keep them between epochs (``persistent_workers=True``, as training
loops do); a second figure starts them afresh each epoch, which alone costs the time printed as
the DataLoader's start-up. An epoch is timed from the iterator's creation to its last batch; each
loader runs one epoch of warm-up, then the loaders take turns, an epoch each, so that a slow
spell of the shared machine weighs on all alike. Shown: samples per second of the median epoch,
the spread (slowest to fastest epoch) and the ratio to the ``.npy`` Dataset; then the raw load of
the whole set in one call, the floor of ``in_memory=False``. With ``--cold`` the
chips' and the ``.npy`` files' pages are dropped before every epoch (posix_fadvise), for the
datasets that read files each epoch. Needs torch (CPython 3.11, ``pip install torch==2.13.0``).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import statistics
import struct
import sys
import tempfile
import time
import warnings

import numpy as np
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_dataset import drop_pages, test_set_tree  # noqa: E402

import vantrel  # noqa: E402
from vantrel.transforms import RandomCrop  # noqa: E402

SIZE, CROP = 128, 88


def random_crop(image: np.ndarray) -> np.ndarray:
    """A random CROP x CROP window of an (H, W, C) image, as the pipelines' own transforms cut it."""
    top = np.random.randint(0, image.shape[0] - CROP + 1)
    left = np.random.randint(0, image.shape[1] - CROP + 1)
    return image[top:top + CROP, left:left + CROP]


def to_tensor(image: np.ndarray) -> torch.Tensor:
    """torchvision's ToTensor of a float (H, W, C) array: (C, H, W), as it is."""
    return torch.from_numpy(image.transpose(2, 0, 1)).contiguous()


class NpyChips(torch.utils.data.Dataset):
    """One .npy file a chip (its window, H x W x 1), loaded and cropped item by item."""

    def __init__(self, paths: list[str], labels: list[int]) -> None:
        self.paths, self.labels = paths, labels

    def __len__(self) -> int:
        return len(self.paths)

    def __getitem__(self, index: int) -> tuple[torch.Tensor, int]:
        return to_tensor(random_crop(np.load(self.paths[index]))), self.labels[index]


def write_npy(split: vantrel.Catalog, folder: pathlib.Path) -> list[str]:
    """The pipeline's preparation step: the windows saved one file a chip."""
    paths = []
    for i, window in enumerate(split.load(SIZE, "a")):
        path = folder / f"{i:05d}.npy"
        np.save(path, window[:, :, None])
        paths.append(str(path))
    return paths


def parse_header(f) -> dict[str, str]:
    """The Phoenix header of a chip opened as text, a line at a time."""
    f.readline()  # the byte before the header's first line
    if f.readline().strip() not in ("[PhoenixHeaderVer01.04]", "[PhoenixHeaderVer01.05]"):
        raise ValueError("not a Phoenix header")
    fields = {}
    line = f.readline().strip()
    while line != "[EndofPhoenixHeader]":
        key, value = line.split("=", 1)
        fields[key.strip()] = value.strip()
        line = f.readline().strip()
    return fields


def read_chip(path: str) -> np.ndarray:
    """The chip as a (rows, columns, 1) complex array: both planes struct-unpacked."""
    with open(path, errors="replace") as f:
        header = parse_header(f)
    rows, columns = int(header["NumberOfRows"]), int(header["NumberOfColumns"])
    start = int(header["PhoenixHeaderLength"]) + int(header["native_header_length"])
    count = rows * columns
    with open(path, "rb") as f:
        f.seek(start)
        magnitude = np.array(struct.unpack(">" + "f" * count, f.read(4 * count))).reshape(rows, columns)
        phase = np.array(struct.unpack(">" + "f" * count, f.read(4 * count))).reshape(rows, columns)
    return (magnitude * np.exp(1j * phase))[:, :, None]


class ReadPerItem(torch.utils.data.Dataset):
    """Each chip read from its file when asked for, then its amplitude window cropped."""

    def __init__(self, paths: list[str], labels: list[int]) -> None:
        self.paths, self.labels = paths, labels

    def __len__(self) -> int:
        return len(self.paths)

    def __getitem__(self, index: int) -> tuple[torch.Tensor, int]:
        chip = np.abs(read_chip(self.paths[index]))
        top, left = (chip.shape[0] - SIZE) // 2, (chip.shape[1] - SIZE) // 2
        window = chip[top:top + SIZE, left:left + SIZE].astype(np.float32)
        return to_tensor(random_crop(window)), self.labels[index]


def epoch(loader: torch.utils.data.DataLoader, cold: list[pathlib.Path]) -> float:
    for root in cold:
        drop_pages(root)
    start = time.perf_counter()
    for x, y in loader:
        assert x.shape[1:] == (1, CROP, CROP) and x.dtype == torch.float32 and y.dtype == torch.int64
    return time.perf_counter() - start


def startup(workers: int) -> float:
    """The median epoch of a DataLoader over two items: its workers' start and stop."""
    loader = torch.utils.data.DataLoader(list(range(2)), batch_size=1, num_workers=workers)
    times = []
    for _ in range(6):
        start = time.perf_counter()
        for _ in loader:
            pass
        times.append(time.perf_counter() - start)
    return statistics.median(times[1:])


def measure(datasets: list[tuple[str, object, list[pathlib.Path]]], workers: int, persistent: bool, epochs: int,
            batch_size: int) -> list[list[float]]:
    """Per dataset, the seconds of each epoch, the loaders taking turns."""
    loaders = [torch.utils.data.DataLoader(data, batch_size=batch_size, shuffle=True, num_workers=workers,
                                           persistent_workers=persistent) for _, data, _ in datasets]
    for loader in loaders:
        epoch(loader, [])
    times: list[list[float]] = [[] for _ in loaders]
    for _ in range(epochs):
        for loader, (_, _, cold), column in zip(loaders, datasets, times):
            column.append(epoch(loader, cold))
    del loaders
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--workers", type=int, nargs="+", default=[0, 2])
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--cold", action="store_true", help="drop the files' pages before every epoch")
    parser.add_argument("--dir", help="make the tree and the .npy files here (default: a temporary folder)")
    args = parser.parse_args()
    base = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="vantrel-bench-"))
    tree, npy = base / "tree", base / "npy"
    try:
        if not tree.exists():
            test_set_tree(tree)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # CD1 holds 7 of the 10 classes
            split = vantrel.scan(tree).split("soc", "test")
        assert split.labels is not None  # a split has labels
        labels = [int(label) for label in split.labels]
        if not npy.exists():
            npy.mkdir()
            write_npy(split, npy)
        npy_paths = sorted(str(path) for path in npy.glob("*.npy"))
        chip_paths = [record.path for record in split]
        crop = RandomCrop(CROP, channels_first=True)
        start = time.perf_counter()
        in_memory = vantrel.MSTAR(split, size=SIZE, channels_first=True, transform=crop)
        made = time.perf_counter() - start
        cold = [tree, npy] if args.cold else []
        datasets = [
            (f"vt.MSTAR, in memory (made in {made:.2f} s)", in_memory, []),
            ("vt.MSTAR(in_memory=False)", vantrel.MSTAR(split, size=SIZE, channels_first=True, transform=crop,
                                                        in_memory=False), cold[:1]),
            (".npy a chip, np.load per item (AConvNet-pytorch)", NpyChips(npy_paths, labels), cold[1:]),
            ("header + struct per item (torchcvnn)", ReadPerItem(chip_paths, labels), cold[:1]),
        ]
        print(f"{len(split)} chips, {SIZE} -> random {CROP}, batches of {args.batch_size}, shuffled; median of "
              f"{args.epochs} epochs after one of warm-up, {'cold' if args.cold else 'warm'} page cache; torch "
              f"{torch.__version__}, load average {os.getloadavg()[0]:.1f}")
        runs = []
        for workers in args.workers:
            for persistent in ([False] if workers == 0 else [True, False]):
                runs.append((workers, persistent, measure(datasets, workers, persistent, args.epochs,
                                                          args.batch_size)))
        report(datasets, runs, len(split))
        loads = []
        for _ in range(args.epochs):
            for root in cold[:1]:
                drop_pages(root)
            start = time.perf_counter()
            split.load(SIZE, "a", progress=False)
            loads.append(time.perf_counter() - start)
        print(f"\nthe raw load of the {len(split)} windows, Catalog.load({SIZE}) in one call: "
              f"{statistics.median(loads) * 1e3:.1f} ms ({len(split) / statistics.median(loads):.0f} samples/s)")
        print("DataLoader start-up and stop, 2 items: " + ", ".join(
            f"{workers} workers {startup(workers) * 1e3:.0f} ms" for workers in args.workers)
              + f"; load average {os.getloadavg()[0]:.1f}")
    finally:
        if not args.dir:
            shutil.rmtree(base, ignore_errors=True)


def report(datasets: list[tuple[str, object, list[pathlib.Path]]], runs: list[tuple[int, bool, list[list[float]]]],
           count: int) -> None:
    heads = [f"{workers} workers" + ("" if workers == 0 else " (kept)" if persistent else " (restarted)")
             for workers, persistent, _ in runs]
    print(f"\n{'samples/s (slowest-fastest epoch) x the .npy Dataset':52}" + "".join(f"{h:>30}" for h in heads))
    reference = [statistics.median(times[2]) for _, _, times in runs]
    for n, (label, _, _) in enumerate(datasets):
        cells = []
        for (_, _, times), npy in zip(runs, reference):
            median = statistics.median(times[n])
            cells.append(f"{count / median:7.0f} ({count / max(times[n]):.0f}-{count / min(times[n]):.0f}) "
                         f"{npy / median:5.1f}x")
        print(f"{label:52}" + "".join(f"{cell:>30}" for cell in cells))


if __name__ == "__main__":
    main()
