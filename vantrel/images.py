"""A catalog's chips as a folder of grey-scale PNG images, one sub-folder per class, with an index.

The pixel value is the amplitude in dB mapped linearly from `db_range` onto 0 .. 2**bits - 1 (the
full 8- or 16-bit range), clipped and rounded to the nearest level; the same mapping for every
chip, so that images compare. The default range, -60 to +10 dB, holds the real chips' amplitudes: over the
eight real chips in tests/data, 0.18 % of the samples fall below -60 dB (exact zeros and the
deepest shadow) and 0.001 % above +10 dB (the brightest scatterer's peak).
"""

from __future__ import annotations

import csv
import io
import os
from types import ModuleType
from typing import TYPE_CHECKING, Any

from ._files import atomic_write, folder_written_whole, fsync_folder
from ._options import check_threads
from ._table import Table
from .defaults import DB_RANGE, SIZE
from .loading import load
from .progress import Progress

if TYPE_CHECKING:
    import numpy as np

INDEX = "index.csv"
INDEX_FIELDS = ("image", "path", "class", "label", "serial", "depression", "azimuth")
BATCH = 256  # chips loaded at a time: the memory stays small for any split


def _pillow() -> ModuleType:
    try:
        from PIL import Image
    except ImportError:
        raise ImportError("the image export needs Pillow: pip install vantrel[images]") from None
    return Image


def _check_options(size: int | tuple[int, int] | None, bits: int, db_range: tuple[float, float]) -> tuple[float, float]:
    if bits not in (8, 16) or isinstance(bits, bool):
        raise ValueError(f"bits must be 8 or 16, not {bits!r}")
    try:
        lo, hi = (float(v) for v in db_range)
    except (TypeError, ValueError):
        raise ValueError(f"db_range must be a pair (low, high) of numbers in dB, not {db_range!r}") from None
    if not (-float("inf") < lo < hi < float("inf")):
        raise ValueError(f"db_range must be a pair (low, high) of finite numbers in dB, low < high, not {db_range!r}")
    if size is None:
        raise ValueError("size must be an int or a pair (height, width): images of one size for every chip")
    return lo, hi


def _names(catalog: Table) -> tuple[list[str], list[str], list[int]]:
    """Each record's image path relative to the folder, its class and its label."""
    if catalog.classes is not None and catalog.labels is not None:
        classes = [catalog.classes[i] for i in catalog.labels.tolist()]
        labels = catalog.labels.tolist()
    else:
        classes = catalog.column("target_type")
        order = {name: i for i, name in enumerate(sorted(set(classes)))}
        labels = [order[name] for name in classes]
    images: list[str] = []
    seen: dict[str, str] = {}
    for path, name in zip(catalog.column("path"), classes):
        image = f"{folder_name(name)}/{os.path.basename(path)}.png"
        if image in seen:
            raise ValueError(f"two chips would be written to {image}: {seen[image]} and {path} "
                             "(filter out one of them)")
        seen[image] = path
        images.append(image)
    return images, classes, labels


def folder_name(name: str) -> str:
    """A class name as a folder name that stays inside the export: each "/" and NUL becomes "_", and a
    name that is empty or only dots ("", ".", "..") gets a "_" in front."""
    safe = name.replace("/", "_").replace("\0", "_")
    return "_" + safe if not safe.strip(".") else safe


def _refuse_to_overwrite(folder: str, overwrite: bool) -> None:
    if os.path.lexists(folder) and not os.path.isdir(folder):
        raise FileExistsError(f"{folder} exists and is not a folder")
    if os.path.isdir(folder) and os.listdir(folder) and not overwrite:
        raise FileExistsError(f"{folder} is not empty; give overwrite=True (--overwrite) to write into it")


def levels(decibels: Any, db_range: tuple[float, float], bits: int) -> np.ndarray:
    """The pixel values of amplitudes in dB: ``round((dB - low) / (high - low) * (2**bits - 1))``,
    clipped to the range."""
    import numpy as np

    lo, hi = db_range
    top = (1 << bits) - 1
    scaled = (np.asarray(decibels, dtype=np.float64) - lo) * (top / (hi - lo))
    return np.rint(np.clip(scaled, 0, top)).astype(np.uint16 if bits == 16 else np.uint8)


def save_images(catalog: Table, folder: str | os.PathLike[str], *, size: int | tuple[int, int] = SIZE, bits: int = 16,
                db_range: tuple[float, float] = DB_RANGE, threads: int | None = None, progress: bool | None = None,
                overwrite: bool = False) -> None:
    """The images of ``Catalog.save_images``."""
    Image = _pillow()
    lo, hi = _check_options(size, bits, db_range)
    workers = check_threads(threads)
    folder = os.fspath(folder)
    _refuse_to_overwrite(folder, overwrite)
    images, classes, labels = _names(catalog)
    with folder_written_whole(folder, lambda claimed: _refuse_to_overwrite(claimed, overwrite)) as building:
        # `building` starts as the folder's old content (hard links): the export then replaces its own files.
        _write(catalog, building, images, classes, labels, Image, size, (lo, hi), bits, workers, progress)


def _write(catalog: Table, folder: str, images: list[str], classes: list[str], labels: list[int], Image: ModuleType,
           size: int | tuple[int, int], db_range: tuple[float, float], bits: int, workers: int,
           progress: bool | None) -> None:
    from concurrent.futures import ThreadPoolExecutor

    lo, hi = db_range
    folders = sorted({image.partition("/")[0] for image in images})
    for name in folders:
        os.makedirs(os.path.join(folder, name), exist_ok=True)

    def encode(pixels: np.ndarray, image: str) -> None:
        buffer = io.BytesIO()
        Image.fromarray(pixels).save(buffer, format="PNG")  # Pillow lets go of the interpreter's lock here
        with atomic_write(os.path.join(folder, image), sync_folder=False) as out:
            out.write(buffer.getbuffer())

    with Progress(progress, "png", "chip") as bar, ThreadPoolExecutor(workers) as pool:
        for start in range(0, len(catalog), BATCH):
            # Everything below lo is clipped to 0, so the floor can be lo itself.
            x = load(catalog.take(range(start, min(start + BATCH, len(catalog)))), size, "a", "float32", db=True, floor_db=lo, threads=workers,
                     progress=False)
            pixels = levels(x, (lo, hi), bits)
            for _ in pool.map(encode, pixels, images[start:start + BATCH]):
                pass
            bar.update(min(start + BATCH, len(catalog)), len(catalog))
    for name in folders:
        fsync_folder(os.path.join(folder, name))

    # Paths that are not UTF-8 are written as their bytes, as Catalog.to_csv writes them.
    with atomic_write(os.path.join(folder, INDEX), "w", newline="", encoding="utf-8", errors="surrogateescape") as out:
        writer = csv.writer(out)
        writer.writerow(INDEX_FIELDS)
        writer.writerows(zip(images, catalog.column("path"), classes, labels, catalog.column("serial"),
                             catalog.column("depression"), catalog.column("azimuth")))
