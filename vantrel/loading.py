"""Loading a catalog's chips into one stacked array, natively and in parallel, and saving it.

Each chip's window is centred: for a chip of `rows` x `columns` samples and a window of H x W,
it starts at row ``(rows - H) // 2`` and column ``(columns - W) // 2``, so a larger chip is
cropped and a smaller one sits in the middle of a zero frame.

A load that passes through a buffer (with channels first, and ``stats``, which merges each
chunk's mean and sum of squared deviations into the running ones) goes in chunks of about
32 MB: its memory stays bounded by the chunk, whatever the number of chips.
"""

from __future__ import annotations

import os
import zipfile
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from . import _chips
from ._options import check_flag, check_size, check_threads
from ._table import NUMBERS, Table
from .defaults import DECIBEL_OFMTS, FLOOR_DB, OFMT, OFMTS, SIZE
from .errors import chip_error
from .progress import Progress

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import DTypeLike

# ofmt (the native loader's name for it too) -> (values per sample, complex result)
FORMATS = {name: (form.values, form.complex) for name, form in OFMTS.items()}
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
    if ofmt not in DECIBEL_OFMTS:
        raise ValueError(f"db=True needs ofmt {' or '.join(map(repr, DECIBEL_OFMTS))} (decibels of the amplitude), "
                         f"not {ofmt!r}")
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


# A load that goes through a buffer (channels first, stats) takes chunks of at most this size.
CHUNK_BYTES = 32 * 2**20


class _Plan:
    """A load's checked parameters, and the native load of a range of its records into an array."""

    def __init__(self, catalog: Table, size: int | tuple[int, int] | None, ofmt: str, dtype: DTypeLike | None,
                 db: bool, floor_db: float, threads: int | None, progress: bool | None) -> None:
        import numpy as np

        self.height, self.width = _window(catalog, size)
        check_flag("progress", progress, none=True)
        self.threads = check_threads(threads)
        self.dtype, self.wide = _dtype(ofmt, dtype)
        self.floor = _decibel_floor(ofmt, db, floor_db)
        self.ofmt, self.db, self.floor_db, self.progress = ofmt, bool(db), floor_db, progress
        per_sample, complex_result = FORMATS[ofmt]
        self.planes = 1 if per_sample == 1 or complex_result else 2
        self.item = (self.height, self.width) + (() if self.planes == 1 else (2,))
        self.paths = catalog.column("path")
        self.layouts = np.empty((len(catalog), len(_chips.LAYOUT)), dtype=np.int64)
        for i, name in enumerate(_chips.LAYOUT):  # unsigned columns go as their bits
            self.layouts[:, i] = np.asarray(catalog.values(name), dtype=NUMBERS[name]).view(np.int64)

    def allocate(self, shape: tuple[int, ...]) -> np.ndarray:
        import numpy as np

        try:
            return np.zeros(shape, dtype=self.dtype)  # zeros: the frame around a smaller chip
        except MemoryError:
            gib = np.prod(shape, dtype=np.float64) * self.dtype.itemsize / 2**30
            raise MemoryError(f"not enough memory for the output array {shape} {self.dtype} ({gib:.1f} GiB)") from None

    def into(self, out: np.ndarray, start: int, bar: Progress) -> None:
        """Records start .. start + len(out) into `out`, of shape (k, *item), zeroed."""
        stop = start + len(out)
        try:
            _chips.load(paths=self.paths[start:stop], layouts=self.layouts[start:stop], out=out, height=self.height,
                        width=self.width, ofmt=self.ofmt, wide=self.wide, threads=self.threads,
                        progress=lambda done, total: bar.update(start + done, len(self.paths)), decibels=self.db,
                        floor=self.floor)
        except ValueError as error:  # a chip's fault, named by its path: ChipError or ChangedSinceScanError
            raise chip_error(error, self.paths[start:stop]) from None
        if self.db and self.floor == 0 and float(self.floor_db) != -float("inf"):
            import numpy as np

            # A floor below the smallest double is 0, and zeros came out -inf: they take floor_db itself.
            plane = out if self.planes == 1 else out[..., 0]
            plane[np.isneginf(plane)] = self.floor_db

    def chunks(self, bar: Progress) -> Iterator[tuple[int, np.ndarray]]:
        """(start, the records' windows from there) in chunks of about CHUNK_BYTES, in one buffer."""
        step = max(1, CHUNK_BYTES // (self.height * self.width * self.planes * self.dtype.itemsize or 1))
        buffer = self.allocate((min(step, len(self.paths)), *self.item))
        for start in range(0, len(self.paths), step):
            part = buffer[:min(step, len(self.paths) - start)]
            if start:
                part[...] = 0
            self.into(part, start, bar)
            yield start, part


def load(catalog: Table, size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT, dtype: DTypeLike | None = None, *,
         db: bool = False, floor_db: float = FLOOR_DB, threads: int | None = None, progress: bool | None = None,
         channels_first: bool = False) -> np.ndarray:
    """The stacked windows of ``Catalog.load``."""
    import numpy as np

    check_flag("channels_first", channels_first)
    plan = _Plan(catalog, size, ofmt, dtype, db, floor_db, threads, progress)
    n = len(catalog)
    out = plan.allocate((n, plan.planes, plan.height, plan.width) if channels_first else (n, *plan.item))
    with Progress(progress, "load", "chip") as bar:
        if channels_first and plan.planes == 2:  # the native load interleaves the two planes
            for start, part in plan.chunks(bar):
                out[start:start + len(part)] = np.moveaxis(part, -1, 1)
        else:
            plan.into(out.reshape(n, *plan.item), 0, bar)
    return out


def stats(catalog: Table, size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT, *, db: bool = False,
          floor_db: float = FLOOR_DB, threads: int | None = None,
          progress: bool | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The per-channel mean and std of ``Catalog.stats``."""
    import numpy as np

    check_not_empty(catalog)
    wide = "complex128" if FORMATS.get(ofmt, (0, False))[1] else "float64"
    plan = _Plan(catalog, size, ofmt, wide, db, floor_db, threads, progress)
    count, mean, squares = 0, np.zeros(plan.planes, wide), np.zeros(plan.planes)
    with Progress(progress, "stats", "chip") as bar:
        for _, part in plan.chunks(bar):
            values = part.reshape(-1, plan.planes)
            # Each chunk's mean and sum of squared deviations, merged into the running ones
            # (Chan, Golub and LeVeque): one pass, without the cancellation of sums of squares.
            part_mean = values.mean(axis=0)
            part_squares = (np.abs(values - part_mean) ** 2).sum(axis=0)
            total = count + len(values)
            delta = part_mean - mean
            mean = mean + delta * (len(values) / total)
            squares = squares + part_squares + np.abs(delta) ** 2 * (count * len(values) / total)
            count = total
    return mean, np.sqrt(squares / count)


def check_not_empty(catalog: Table) -> None:
    """ValueError for a catalog without chips; for a named split, naming the CDs that hold it."""
    if len(catalog):
        return
    from .splits import subset_named

    where = f" in {catalog.root}" if catalog.root is not None else ""
    if catalog.split_name is None:
        raise ValueError(f"the catalog has no chips{where}")
    named = subset_named(catalog.split_name)
    cds = f"; its chips are on {', '.join(named[1].cds)}" if named is not None and named[1].cds else ""
    raise ValueError(f"split {catalog.split_name} has no chips{where}{cds}")


def save(catalog: Table, path: str | os.PathLike[str], size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT,
         dtype: DTypeLike | None = None, *, db: bool = False, floor_db: float = FLOOR_DB, threads: int | None = None,
         progress: bool | None = None, channels_first: bool = False) -> None:
    """The file of ``Catalog.save``."""
    import numpy as np

    from ._files import atomic_write, check_output

    check_output(path)  # a mistake in the name shows before the load, not after it
    check_not_empty(catalog)
    arrays: dict[str, Any] = {"x": load(catalog, size, ofmt, dtype, db=db, floor_db=floor_db, threads=threads,
                                        progress=progress, channels_first=channels_first)}
    if db:
        arrays["floor_db"] = np.float64(floor_db)
    if catalog.classes is not None:
        arrays["labels"] = np.asarray(catalog.labels)
        arrays["classes"] = np.array(catalog.classes, dtype=str)
    for name in SAVED_FIELDS:
        values = catalog.values(name)
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
