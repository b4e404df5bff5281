"""DataLoader throughput of ``vantrel.MSTAR``: samples per second through
``torch.utils.data.DataLoader`` over the SOC test set as the mixed-targets CD holds it (1 838
copies of real chips, the tree of bench_dataset.py), loaded in memory and read per batch
(``in_memory=False``).

    python bench/bench_torch.py [--workers 2] [--batch-size 64] [--epochs 3] [--dir DIR]

Each dataset gives 128 x 128 windows in dB, channels first, through random 88 x 88 crops and
flips, in batches shuffled by the DataLoader; an epoch is timed from the iterator's creation (the
workers' start included) to its last batch, after one epoch of warm-up; the median epoch is
shown. Needs torch.
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import statistics
import sys
import tempfile
import time
import warnings

import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_dataset import test_set_tree  # noqa: E402

import vantrel  # noqa: E402
from vantrel.transforms import Compose, RandomCrop, RandomFlip  # noqa: E402


def epochs(loader: torch.utils.data.DataLoader, count: int) -> list[float]:
    times = []
    for _ in range(count + 1):
        start = time.perf_counter()
        for x, _ in loader:
            assert x.shape[1:] == (1, 88, 88)
        times.append(time.perf_counter() - start)
    return times[1:]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batch-size", type=int, default=64)
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--dir", help="make the tree here (default: a temporary folder)")
    args = parser.parse_args()
    root = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="vantrel-bench-"))
    try:
        if not root.exists() or not any(root.iterdir()):
            test_set_tree(root)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # CD1 holds 7 of the 10 classes
            split = vantrel.scan(root).split("soc", "test")
        transform = Compose([RandomCrop(88, channels_first=True), RandomFlip(channels_first=True)])
        print(f"{len(split)} chips, batches of {args.batch_size}, {args.workers} workers, "
              f"median of {args.epochs} epochs after one of warm-up")
        for in_memory in (True, False):
            start = time.perf_counter()
            data = vantrel.MSTAR(split, size=128, db=True, channels_first=True, transform=transform,
                                 in_memory=in_memory)
            made = time.perf_counter() - start
            loader = torch.utils.data.DataLoader(data, batch_size=args.batch_size, shuffle=True,
                                                 num_workers=args.workers)
            median = statistics.median(epochs(loader, args.epochs))
            print(f"in_memory={in_memory!s:5}: {len(data) / median:8.0f} samples/s ({median:.2f} s an epoch; "
                  f"dataset made in {made:.2f} s)")
    finally:
        if not args.dir:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
