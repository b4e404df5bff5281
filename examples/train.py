"""Trains a small all-convolutional network (the A-ConvNet layout of Chen et al., 2016) on an
MSTAR split with vantrel and PyTorch, then prints the test accuracy per class and the confusion
matrix.

    python examples/train.py ROOT [--split soc] [--epochs 20] [--batch-size 32] [--workers 2]

ROOT is a folder of release CDs. Where it holds both subsets of the split, the network trains on
'train' and is tested on 'test'; where it lacks the training CDs (CD1 alone holds only SOC test
chips), the test subset is divided 80/20 by a seeded, stratified ``random_split``. The chips are
loaded at 128 x 128 in dB, normalised by the training side's statistics, and cropped to 88 x 88:
at random (and mirrored at random) to train, in the centre to test. Needs torch; vantrel itself
does not.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings

import numpy as np
import torch
from torch import nn

import vantrel as vt
from vantrel.transforms import CenterCrop, Compose, Normalize, RandomCrop, RandomFlip


def aconvnet(classes: int) -> nn.Module:
    """Five convolutions, no fully connected layer: an 88 x 88 input ends as 1 x 1 x classes."""
    return nn.Sequential(
        nn.Conv2d(1, 16, 5), nn.ReLU(), nn.MaxPool2d(2),  # 84 -> 42
        nn.Conv2d(16, 32, 5), nn.ReLU(), nn.MaxPool2d(2),  # 38 -> 19
        nn.Conv2d(32, 64, 6), nn.ReLU(), nn.MaxPool2d(2),  # 14 -> 7
        nn.Conv2d(64, 128, 5), nn.ReLU(), nn.Dropout(0.5),  # 3
        nn.Conv2d(128, classes, 3), nn.Flatten(),  # 1: the logits
    )


def subsets(root: str, split: str, seed: int) -> tuple[vt.Catalog, vt.Catalog, str]:
    catalog = vt.scan(root)
    with warnings.catch_warnings():  # classes missing from a partial release: said below
        warnings.simplefilter("ignore", UserWarning)
        train, test = catalog.split(split, "train"), catalog.split(split, "test")
    if len(train) and len(test):
        return train, test, f"split {split!r}: train {len(train)} chips, test {len(test)}"
    if not len(test):
        sys.exit(f"train.py: error: {root} holds no chips of split {split!r} test")
    train, test = test.random_split((0.8, 0.2), seed=seed)
    return train, test, (f"split {split!r}: no train chips here; a seeded random_split (0.8, 0.2) of its "
                         f"{len(train) + len(test)} test chips: {len(train)} to train, {len(test)} to test")


def evaluate(model: nn.Module, loader: torch.utils.data.DataLoader) -> tuple[np.ndarray, np.ndarray]:
    model.eval()
    truth, predicted = [], []
    with torch.no_grad():
        for x, y in loader:
            truth.append(y.numpy())
            predicted.append(model(x).argmax(1).numpy())
    return np.concatenate(truth), np.concatenate(predicted)


def report(classes: tuple[str, ...], truth: np.ndarray, predicted: np.ndarray) -> None:
    shown = sorted(set(truth.tolist()) | set(predicted.tolist()))
    print(f"test accuracy: {np.mean(truth == predicted):.1%} of {len(truth)} chips")
    for label in sorted(set(truth.tolist())):
        mine = truth == label
        print(f"  {classes[label]:8} {np.mean(predicted[mine] == label):7.1%}  ({mine.sum()} chips)")
    print("confusion matrix (rows: true class, columns: predicted)")
    print(" " * 9 + "".join(f"{classes[c]:>8}" for c in shown))
    for row in shown:
        counts = [int(np.sum((truth == row) & (predicted == c))) for c in shown]
        print(f"{classes[row]:>8} " + "".join(f"{n:8d}" for n in counts))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root", help="a folder of MSTAR release CDs")
    parser.add_argument("--split", default="soc", help="a named split (default: soc)")
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--batch-size", type=int, default=32)
    parser.add_argument("--workers", type=int, default=2, help="DataLoader worker processes")
    parser.add_argument("--lr", type=float, default=1e-3)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    started = time.monotonic()
    torch.manual_seed(args.seed)  # the weights, and through the DataLoader every worker's crops
    train_catalog, test_catalog, note = subsets(args.root, args.split, args.seed)
    print(note)
    mean, std = train_catalog.stats(128, "a", db=True, floor_db=-60)
    print(f"training side: mean {mean[0]:.2f} dB, std {std[0]:.2f} dB")
    normal = Normalize(mean, std, channels_first=True)
    options = dict(size=128, db=True, floor_db=-60, channels_first=True)
    train = vt.MSTAR(train_catalog, **options, transform=Compose([
        RandomCrop(88, channels_first=True), RandomFlip(channels_first=True), normal]))
    test = vt.MSTAR(test_catalog, **options, transform=Compose([CenterCrop(88, channels_first=True), normal]))
    loader = torch.utils.data.DataLoader(train, batch_size=args.batch_size, shuffle=True, num_workers=args.workers,
                                         generator=torch.Generator().manual_seed(args.seed))
    test_loader = torch.utils.data.DataLoader(test, batch_size=args.batch_size, num_workers=args.workers)

    model = aconvnet(len(train.classes))
    optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
    loss_of = nn.CrossEntropyLoss()
    for epoch in range(1, args.epochs + 1):
        model.train()
        total, right, seen = 0.0, 0, 0
        for x, y in loader:
            optimiser.zero_grad()
            logits = model(x)
            loss = loss_of(logits, y)
            loss.backward()
            optimiser.step()
            total += loss.item() * len(y)
            right += int((logits.argmax(1) == y).sum())
            seen += len(y)
        print(f"epoch {epoch:3d}: loss {total / seen:.3f}, train accuracy {right / seen:.1%}, "
              f"{time.monotonic() - started:.0f} s")
    report(train.classes, *evaluate(model, test_loader))
    print(f"time: {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    main()
