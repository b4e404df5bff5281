"""Loading a catalog's chips into one stacked array, natively and in parallel, and saving it.

Each chip's window is centred: for a chip of `rows` x `columns` samples and a window of H x W,
it starts at row ``(rows - H) // 2`` and column ``(columns - W) // 2``, so a larger chip is
cropped and a smaller one sits in the middle of a zero frame.

A load that passes through a buffer (with channels first, and ``stats``, which merges each
chunk's mean and sum of squared deviations into the running ones) goes in chunks of about
32 MB: its memory stays bounded by the chunk, whatever the number of chips.
"""

from __future__ import annotations

import io
import math
import os
import struct
import zipfile
import zlib
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
    arrays.update(_how_loaded(catalog, size, ofmt, db, channels_first))
    if db:
        arrays["floor_db"] = np.float64(floor_db)
    if catalog.classes is not None:
        arrays["labels"] = np.asarray(catalog.labels)
        arrays["classes"] = np.array(catalog.classes, dtype=str)
    for name in SAVED_FIELDS:
        values = catalog.values(name)
        arrays[name] = values if isinstance(values, np.ndarray) else np.array(values, dtype=str)
    with atomic_write(path) as out:  # a file object: nothing is added to the name
        _write_npz(out, arrays)


# Each member's data starts at a multiple of this in the file, so that a mapped array is aligned.
SAVED_ALIGNMENT = 64
# The local header of a zip member: signature, versions, flags, method, time, date, CRC-32, sizes,
# the name's length and the extra field's.
_LOCAL_HEADER = struct.Struct("<4s5H3I2H")


def _how_loaded(catalog: Table, size: int | tuple[int, int] | None, ofmt: str, db: bool,
                channels_first: bool) -> dict[str, Any]:
    """The members that tell how ``x`` was loaded: ofmt, db, the window's size, the layout and the split."""
    import numpy as np

    members = {"ofmt": np.array(ofmt), "db": np.bool_(db), "size": np.array(_window(catalog, size), dtype=np.int64),
               "channels_first": np.bool_(channels_first)}
    split = getattr(catalog, "split_name", None)  # a Catalog's; not part of the Table protocol
    if split is not None:
        members["split"] = np.array(split)
    return members


def _write_npz(file: Any, arrays: dict[str, Any]) -> None:
    """What ``np.savez`` writes (one stored ``.npy`` member per array, with ZIP64 records), but with
    each member's data aligned to SAVED_ALIGNMENT in the file by an extra field of its local
    header (id 0xD935, the alignment field of Android's zipalign)."""
    import numpy as np

    with zipfile.ZipFile(file, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        for key, value in arrays.items():
            info = zipfile.ZipInfo(f"{key}.npy")
            # The data starts after the header, the name, this field and the 20 bytes of the ZIP64 field;
            # the archive's own count of the bytes written holds for a stream that cannot tell too.
            at = archive.fp.tell() if archive.fp is not None else 0
            start = at + _LOCAL_HEADER.size + len(info.filename.encode()) + 6 + 20
            padding = -start % SAVED_ALIGNMENT
            info.extra = struct.pack("<3H", 0xD935, 2 + padding, SAVED_ALIGNMENT) + bytes(padding)
            with archive.open(info, "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


def _saved_fault(name: str, what: str) -> ValueError:
    return ValueError(f"{name} is damaged or cut short: {what}")


def _array_member(file: Any, info: zipfile.ZipInfo, name: str) -> tuple[int, int, Any, tuple[int, ...]] | None:
    """(start, offset, dtype, shape) of a stored member's ``.npy`` data: where the member starts in the
    file and where its array starts, checked against the zip's records and the file's size; None
    for a member this cannot place (compressed, Fortran order, or a newer ``.npy`` header)."""
    import numpy as np

    if info.compress_type != zipfile.ZIP_STORED:
        return None
    file.seek(info.header_offset)
    header = file.read(_LOCAL_HEADER.size)
    if len(header) < _LOCAL_HEADER.size:
        raise _saved_fault(name, f"the local header of {info.filename} lies past the end")
    signature, _, _, method, _, _, _, _, _, name_length, extra_length = _LOCAL_HEADER.unpack(header)
    if signature != b"PK\x03\x04" or method != zipfile.ZIP_STORED or file.read(name_length) != info.filename.encode():
        raise _saved_fault(name, f"the local header of {info.filename} does not match the zip's directory")
    start = info.header_offset + _LOCAL_HEADER.size + name_length + extra_length
    file.seek(start)
    try:
        version = np.lib.format.read_magic(file)
        if version not in ((1, 0), (2, 0)):
            return None
        read_header = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
        shape, fortran_order, dtype = read_header(file)
    except ValueError as error:
        raise _saved_fault(name, f"{info.filename} has no valid .npy header ({error})") from None
    if fortran_order or dtype.hasobject:
        return None
    offset = file.tell()
    nbytes = math.prod(shape) * dtype.itemsize
    if offset - start + nbytes != info.file_size or info.compress_size != info.file_size:
        raise _saved_fault(name, f"{info.filename}'s array of {shape} {dtype} does not fill its {info.file_size} bytes")
    if os.fstat(file.fileno()).st_size < start + info.file_size:
        raise _saved_fault(name, f"the file ends inside {info.filename}")
    return start, offset, dtype, shape


def _check_crc(crc: int, info: zipfile.ZipInfo, name: str) -> None:
    if crc != info.CRC:
        raise _saved_fault(name, f"the CRC-32 of {info.filename} is not the one recorded")


def _read_array(file: Any, placed: tuple[int, int, Any, tuple[int, ...]], info: zipfile.ZipInfo, name: str,
                mmap: bool, verify: bool) -> Any:
    """The array mapped, or read straight into place natively on worker threads; with `verify`, its
    member's CRC-32 checked (computed while reading, or through the map)."""
    import numpy as np

    start, offset, dtype, shape = placed
    file.seek(start)
    header_crc = zlib.crc32(file.read(offset - start))  # leaves the file at the array
    if mmap:
        # (numpy cannot map no bytes)
        array = np.memmap(name, dtype, "r", offset, shape) if math.prod(shape) else np.empty(shape, dtype)
        if verify:
            _check_crc(_chips.checksum(data=array, crc=header_crc, threads=check_threads(None)), info, name)
        return array
    out = np.empty(shape, dtype)
    if not verify:
        if file.readinto(out.reshape(-1).view(np.uint8)) != out.nbytes:
            raise _saved_fault(name, f"the file ends inside {info.filename}")
        return out
    try:
        crc = _chips.read_checked(fd=file.fileno(), offset=offset, out=out, crc=header_crc, threads=check_threads(None))
    except EOFError:
        raise _saved_fault(name, f"the file ends inside {info.filename}") from None
    _check_crc(crc, info, name)
    return out


def load_saved(path: str | os.PathLike[str], *, mmap: bool = False, verify: bool | None = None) -> dict[str, Any]:
    """What ``Catalog.save`` wrote.

    Parameters
    ----------
    path : str or os.PathLike
        The ``.npz`` file.
    mmap : bool
        Map ``x`` from the file (read-only, ``numpy.memmap``, its data aligned to 64 bytes in files
        ``save`` wrote) instead of reading it: nothing of it is read until used. Checked at once,
        mapped or not, are the zip's structure (its directory, the member's local header, stored
        uncompressed), the ``.npy`` header, and that the array fills the member and lies within
        the file. A file cut or rewritten while mapped can fail or change under the map. The other
        members are small: always read, their CRC-32 checked.
    verify : bool, optional
        Check the CRC-32 of ``x``'s bytes against the zip's record of it. By default (None) yes
        when reading (computed natively while the blocks are read, on all CPUs) and no when
        mapping, which would read them all; ``verify=True`` with `mmap` checks through the map,
        reading the file once into the page cache.

    Returns
    -------
    dict
        The array ``x``, the records' ``path``, ``serial``, ``target_type``, ``depression`` and
        ``azimuth``, and for a split ``labels`` and ``classes`` (a tuple of str); ``floor_db`` (a
        float) when ``x`` holds the amplitude in dB. How ``x`` was loaded: ``ofmt`` (str), ``db``
        (bool), ``size`` ((height, width)), ``channels_first`` (bool) and, for a split, ``split``
        (its name); files written before these were recorded lack them.

    Raises
    ------
    ValueError
        For a file that is not such an ``.npz`` file, and for one damaged or cut short (a member's
        CRC-32 that is not the one recorded, a zip directory missing or not matching its members),
        naming the file.
    OSError
        For a file that cannot be opened or read.
    """
    import numpy as np

    check_flag("mmap", mmap)
    check_flag("verify", verify, none=True)
    name = os.fspath(path)
    not_ours = ValueError(f"{name} is not a vantrel .npz file")
    with open(name, "rb") as file:
        if file.read(4) != b"PK\x03\x04":
            raise not_ours
        try:
            archive = zipfile.ZipFile(file)
        except (zipfile.BadZipFile, EOFError, ValueError):
            raise _saved_fault(name, "its zip directory is missing or unreadable") from None
        with archive:
            infos = {info.filename: info for info in archive.infolist()}
            if "x.npy" not in infos or any(not key.endswith(".npy") for key in infos):
                raise not_ours
            result: dict[str, Any] = {}
            try:
                for key, info in infos.items():
                    placed = _array_member(file, info, name) if key == "x.npy" else None
                    if placed is not None:
                        checked = not mmap if verify is None else verify
                        result["x"] = _read_array(file, placed, info, name, mmap, checked)
                    elif key == "x.npy" and mmap:
                        raise ValueError(f"{name}: x is not stored as an uncompressed C-order array, so it cannot be "
                                         f"mapped")
                    else:
                        result[key[:-4]] = np.lib.format.read_array(io.BytesIO(archive.read(info)), allow_pickle=False)
            except zipfile.BadZipFile as error:
                raise _saved_fault(name, str(error)) from None
            except EOFError:
                raise _saved_fault(name, "a member ends early") from None
    for key, convert in (("classes", tuple), ("size", tuple), ("floor_db", float), ("ofmt", str), ("split", str),
                         ("db", bool), ("channels_first", bool)):
        if key in result:
            value = result[key].tolist()
            result[key] = convert(value)
    return result
