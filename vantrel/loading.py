"""Loading a catalog's chips into one stacked array, natively and in parallel, and saving it.

Each chip's window is centred: for a chip of `rows` x `columns` samples and a window of H x W,
it starts at row ``(rows - H) // 2`` and column ``(columns - W) // 2``, so a larger chip is
cropped and a smaller one sits in the middle of a zero frame.
"""

from __future__ import annotations

import os
import zipfile
from typing import TYPE_CHECKING, Any

from . import _chips
from ._options import check_flag, check_size, check_threads
from ._table import NUMBERS, Table
from .progress import Progress

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import DTypeLike

# ofmt (the native loader's name for it too) -> (values per sample, complex result)
FORMATS = {"a": (1, False), "ap": (2, False), "r": (2, False), "c": (2, True)}
SAVED_FIELDS = ("path", "serial", "target_type", "depression", "azimuth")


def _window(catalog: Table, size: int | tuple[int, int] | None) -> tuple[int, int]:
    if size is None:
        sizes = sorted(set(zip(catalog.column("rows"), catalog.column("columns"))))
        if len(sizes) > 1:
            shown = ", ".join(f"{r}x{c}" for r, c in sizes)
            raise ValueError(f"size=None needs chips of one size, and these have {len(sizes)}: {shown}")
        return sizes[0] if sizes else (0, 0)

    try:
        return check_size(size)
    except ValueError:
        raise ValueError(f"size must be a positive int, a pair (height, width) of positive ints, or None, "
                         f"not {size!r}") from None


def _dtype(ofmt: str, dtype: DTypeLike | None) -> tuple[Any, bool]:
    """The output's dtype and whether it is the wide one."""
    import numpy as np

    if ofmt not in FORMATS:
        raise ValueError(f"unknown ofmt {ofmt!r}; the formats are {', '.join(FORMATS)}")
    narrow, wide = ("complex64", "complex128") if FORMATS[ofmt][1] else ("float32", "float64")
    if dtype is None:
        return np.dtype(narrow), False
    try:
        chosen = np.dtype(dtype)
    except TypeError:  # not a dtype at all
        chosen = None
    for name in (narrow, wide):
        if chosen is not None and chosen == np.dtype(name):  # a dtype equals None as float64 would
            return chosen, name == wide
    raise ValueError(f"dtype for ofmt {ofmt!r} must be {narrow} or {wide}, not {dtype!r}")


def _decibel_floor(ofmt: str, db: bool, floor_db: float) -> float:
    """The amplitude floor, 10 ** (floor_db / 20), as the NumPy expression computes it."""
    if not db:
        return 0.0
    if ofmt not in ("a", "ap"):
        raise ValueError(f"db=True needs ofmt 'a' or 'ap' (decibels of the amplitude), not {ofmt!r}")
    try:
        floor_db = float(floor_db)
    except (TypeError, ValueError):
        raise ValueError(f"floor_db must be a number, not {floor_db!r}") from None
    if floor_db != floor_db or floor_db == float("inf"):
        raise ValueError(f"floor_db must be a number below infinity, not {floor_db!r}")
    try:
        return 10 ** (floor_db / 20)
    except OverflowError:
        raise ValueError(f"floor_db {floor_db!r} is too large") from None


def load(catalog: Table, size: int | tuple[int, int] | None = 128, ofmt: str = "a", dtype: DTypeLike | None = None, *,
         db: bool = False, floor_db: float = -100.0, threads: int | None = None,
         progress: bool | None = None) -> np.ndarray:
    """The stacked windows of ``Catalog.load``."""
    import numpy as np

    height, width = _window(catalog, size)
    check_flag("progress", progress, none=True)
    count = check_threads(threads)
    chosen, wide = _dtype(ofmt, dtype)
    floor = _decibel_floor(ofmt, db, floor_db)
    per_sample, complex_result = FORMATS[ofmt]
    shape = (len(catalog), height, width) + (() if per_sample == 1 or complex_result else (2,))
    try:
        out = np.zeros(shape, dtype=chosen)
    except MemoryError:
        gib = np.prod(shape, dtype=np.float64) * chosen.itemsize / 2**30
        raise MemoryError(f"not enough memory for the output array {shape} {chosen} ({gib:.1f} GiB)") from None
    layouts = np.empty((len(catalog), len(_chips.LAYOUT)), dtype=np.int64)
    for i, name in enumerate(_chips.LAYOUT):  # unsigned columns go as their bits
        layouts[:, i] = np.asarray(catalog._values(name), dtype=NUMBERS[name]).view(np.int64)
    with Progress(progress, "load", "chip") as bar:
        _chips.load(paths=catalog.column("path"), layouts=layouts, out=out, height=height, width=width, ofmt=ofmt,
                    wide=wide, threads=count, progress=bar.update, decibels=bool(db), floor=floor)
    if db and floor == 0 and float(floor_db) != -float("inf"):
        # A floor below the smallest double is 0, and zeros came out -inf: they take floor_db itself.
        plane = out if ofmt == "a" else out[..., 0]
        plane[np.isneginf(plane)] = floor_db
    return out


def save(catalog: Table, path: str | os.PathLike[str], size: int | tuple[int, int] | None = 128, ofmt: str = "a",
         dtype: DTypeLike | None = None, *, db: bool = False, floor_db: float = -100.0, threads: int | None = None,
         progress: bool | None = None) -> None:
    """The file of ``Catalog.save``."""
    import numpy as np

    from ._files import atomic_write, check_output

    check_output(path)  # a mistake in the name shows before the load, not after it
    arrays: dict[str, Any] = {"x": load(catalog, size, ofmt, dtype, db=db, floor_db=floor_db, threads=threads, progress=progress)}
    if db:
        arrays["floor_db"] = np.float64(floor_db)
    if catalog.classes is not None:
        arrays["labels"] = np.asarray(catalog.labels)
        arrays["classes"] = np.array(catalog.classes, dtype=str)
    for name in SAVED_FIELDS:
        values = catalog._values(name)
        arrays[name] = values if isinstance(values, np.ndarray) else np.array(values, dtype=str)
    with atomic_write(path) as out:  # a file object: savez adds no ".npz" to the name
        np.savez(out, **arrays)


def load_saved(path: str | os.PathLike[str]) -> dict[str, Any]:
    """What ``Catalog.save`` wrote.

    Parameters
    ----------
    path : str or os.PathLike
        The ``.npz`` file.

    Returns
    -------
    dict
        The array ``x``, the records' ``path``, ``serial``, ``target_type``, ``depression`` and
        ``azimuth``, and for a split ``labels`` and ``classes`` (a tuple of str); ``floor_db`` (a
        float) when ``x`` holds the amplitude in dB.

    Raises
    ------
    ValueError
        For a file that is not such an ``.npz`` file.
    OSError
        For a file that cannot be opened.
    """
    import numpy as np

    name = os.fspath(path)
    with open(name, "rb") as file:
        if file.read(4) != b"PK\x03\x04":
            raise ValueError(f"{name} is not a vantrel .npz file")
    try:
        with np.load(name, allow_pickle=False) as saved:
            if "x" not in saved.files:
                raise ValueError
            result = {key: saved[key] for key in saved.files}
    except (ValueError, zipfile.BadZipFile, EOFError):
        raise ValueError(f"{name} is not a vantrel .npz file") from None
    if "classes" in result:
        result["classes"] = tuple(result["classes"].tolist())
    if "floor_db" in result:
        result["floor_db"] = float(result["floor_db"])
    return result
