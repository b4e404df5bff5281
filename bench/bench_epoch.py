"""One training epoch through a torch DataLoader: vantrel's dataset against the peers' pipelines.

    python bench/bench_epoch.py [--repeat 5] [--workers 0 2] [--dir DIR] [--keep]

Runs under CPython 3.11 with torch 2.13.0 (``pip install torch==2.13.0``) and ``vantrel[test]``
installed in the same venv (the tree is built with the tests' helpers). The data: CD1's SOC test chips (1 838, seven classes, real sizes; the tree of
``bench_dataset.py``). Each epoch: RandomCrop 88 from the 128 x 128 amplitude, batch 64, shuffled,
every batch taken from the loader, for ``num_workers`` 0 and 2 (--workers). The competitors:

- ``vt.MSTAR`` in memory (the split loaded once at 128, the crop per item);
- ``vt.MSTAR(in_memory=False)`` where the installed vantrel has it;
- a per-chip ``.npy`` Dataset as the AConvNet-style pipelines build it: each chip's 128 x 128
  amplitude saved once as its own ``.npy`` file, ``np.load`` and the crop per item;
- a per-item reader as torchcvnn's MSTAR dataset does it: per item the chip opened, its header
  lines parsed in Python, the planes ``struct.unpack``-ed, the amplitude centred at 128, cropped.

Samples per second of the whole epoch (the loader's start-up included), median and quartiles of
--repeat epochs, the methods taking turns in one run; the data sets are made before the clock
starts (the .npy files written, vantrel's split loaded).
"""

from __future__ import annotations

import argparse
import inspect
import os
import pathlib
import shutil
import statistics
import struct
import sys
import tempfile
import time
import warnings
from typing import Any

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_dataset import centre, test_set_tree  # noqa: E402

import vantrel  # noqa: E402
from vantrel.transforms import RandomCrop  # noqa: E402

BATCH, CROP, SIZE = 64, 88, 128


def crop(x: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    top, left = rng.integers(0, SIZE - CROP + 1, 2)
    return x[top:top + CROP, left:left + CROP]


class NpyPerChip:
    """The AConvNet-style pipeline: one ``.npy`` file per chip, its label kept beside the list."""

    def __init__(self, folder: pathlib.Path, split: vantrel.Catalog) -> None:
        folder.mkdir(parents=True, exist_ok=True)
        self.files = []
        for i, image in enumerate(split.load(SIZE, "a", progress=False)):
            name = folder / f"{i:05d}.npy"
            np.save(name, image)
            self.files.append(str(name))
        assert split.labels is not None  # a split has labels
        self.labels = split.labels.tolist()
        self.rng = np.random.default_rng(0)

    def __len__(self) -> int:
        return len(self.files)

    def __getitem__(self, i: int):
        import torch

        return torch.from_numpy(np.ascontiguousarray(crop(np.load(self.files[i]), self.rng))), self.labels[i]


class StructReader:
    """The torchcvnn-style reader: per item the header parsed and the planes struct-unpacked."""

    def __init__(self, split: vantrel.Catalog) -> None:
        assert split.labels is not None  # a split has labels
        self.paths, self.labels = split.paths, split.labels.tolist()
        self.rng = np.random.default_rng(0)

    def __len__(self) -> int:
        return len(self.paths)

    def __getitem__(self, i: int):
        import torch

        with open(self.paths[i], "rb") as f:
            header = {}
            for line in f:
                text = line.decode("ascii", "replace").strip()
                if text == "[EndofPhoenixHeader]":
                    break
                key, _, value = text.partition("= ")
                header[key] = value
            rows, columns = int(header["NumberOfRows"]), int(header["NumberOfColumns"])
            f.seek(int(header["PhoenixHeaderLength"]))
            count = rows * columns
            planes = struct.unpack(f">{2 * count}f", f.read(8 * count))
        magnitude = np.asarray(planes[:count], np.float32).reshape(1, rows, columns)
        image = centre(magnitude, SIZE, SIZE)[0]
        return torch.from_numpy(np.ascontiguousarray(crop(image, self.rng))), self.labels[i]


def epoch(dataset, workers: int) -> float:
    """Samples per second of one shuffled epoch."""
    import torch

    loader = torch.utils.data.DataLoader(dataset, batch_size=BATCH, shuffle=True, num_workers=workers)
    start, seen = time.perf_counter(), 0
    for x, _ in loader:
        seen += len(x)
    return seen / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--workers", type=int, nargs="+", default=[0, 2])
    parser.add_argument("--dir", help="make the tree here (default: a temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the tree and the .npy files")
    args = parser.parse_args()
    import torch

    warnings.simplefilter("ignore")  # the CD lacks three SOC classes, as it should
    root = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="vantrel-epoch-"))
    try:
        if not (root / "load").exists():
            test_set_tree(root / "load")
        split = vantrel.scan(root / "load", progress=False).split("soc", "test")
        datasets: dict[str, Any] = {"vt.MSTAR, in memory": vantrel.MSTAR(split, size=SIZE, transform=RandomCrop(CROP, seed=0))}
        if "in_memory" in inspect.signature(vantrel.MSTAR).parameters:
            datasets["vt.MSTAR(in_memory=False)"] = vantrel.MSTAR(split, size=SIZE, in_memory=False,
                                                                   transform=RandomCrop(CROP, seed=0))
        datasets["per-chip .npy Dataset (AConvNet-style)"] = NpyPerChip(root / "npy", split)
        datasets["per-item header + struct reader (torchcvnn-style)"] = StructReader(split)
        for dataset in datasets.values():  # every item has the same shape and a label
            x, _ = dataset[0]
            assert tuple(x.shape) == (CROP, CROP), x.shape
        runs: dict[tuple[str, int], list[float]] = {(name, w): [] for name in datasets for w in args.workers}
        for _ in range(args.repeat):
            for (name, workers), found in runs.items():
                found.append(epoch(datasets[name], workers))
        print(f"\none epoch over the {len(split)} chips of the SOC test set: RandomCrop {CROP} from {SIZE}, batch "
              f"{BATCH}, shuffled; torch {torch.__version__}, CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; "
              f"samples/s, median [quartiles] of {args.repeat}")
        print(f"{'dataset':52}" + "".join(f" {f'num_workers={w}':>24}" for w in args.workers))
        for name in datasets:
            cells = []
            for w in args.workers:
                q1, median, q3 = statistics.quantiles(runs[name, w], n=4) if args.repeat > 1 else runs[name, w] * 3
                cells.append(f"{median / 1e3:6.1f}k [{q1 / 1e3:.1f}-{q3 / 1e3:.1f}]")
            print(f"{name:52}" + "".join(f" {cell:>24}" for cell in cells))
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
