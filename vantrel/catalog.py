"""Catalogs of MSTAR chips: ``scan`` finds every chip below a folder by its content and reads the
fields a data set is indexed by from each header; a ``Catalog`` is a sequence of those records
that filters, splits, summarises and exports."""

from __future__ import annotations

import csv
import operator
import os
import stat
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, cast, overload

from . import _chips
from ._options import MAX_THREADS_PER_CPU, check_flag, check_threads, default_threads
from ._reader import reader
from ._table import CHECKS, FIELDS, NUMBERS, SCENES, UNNAMED
from .defaults import DB_RANGE, FLOOR_DB, OFMT, SIZE
from .progress import Progress

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import DTypeLike

    from .release import ReleaseCheck

__all__ = ["Record", "Catalog", "scan", "FIELDS", "CHECKS", "SCENES", "NUMBERS", "MAX_THREADS_PER_CPU", "check_threads",
           "check_flag", "default_threads"]


@dataclass(frozen=True, slots=True)
class Record:
    """One chip: where it is and what its header says about it.

    ``depression`` is the header's DesiredDepression and ``azimuth`` its TargetAz, in degrees
    (NaN when the header has no such entry or leaves it blank); ``rows`` and ``columns`` are
    NumberOfRows and NumberOfColumns; ``data_offset`` is PhoenixHeaderLength, the byte offset of
    the data block. ``file_size`` and ``header_digest`` are what the scan recorded of the file
    (see CHECKS); they take no part in equality. ``collection`` and ``scene`` are the numbers in
    CollectionName ("MSTAR Collection 2 Scene 3"), None where it names none; ``articulation`` is
    the TargetArticulation text ("gunner periscope shield: open, ..."), "" where there is none.
    ``header`` is the whole header as ``mstar_header`` gives it, read from the file on first use.
    """

    path: str
    target_type: str
    serial: str
    depression: float
    azimuth: float
    rows: int
    columns: int
    header_version: str = field(repr=False)
    data_offset: int = field(repr=False)
    file_size: int = field(default=-1, compare=False, repr=False)
    header_digest: int = field(default=0, compare=False, repr=False)
    collection: int | None = field(default=None, repr=False)
    scene: int | None = None
    articulation: str = field(default="", repr=False)
    _header: dict[str, str] | None = field(default=None, init=False, compare=False, repr=False)

    @property
    def header(self) -> dict[str, str]:
        """The chip's whole header, read from its file on first use.

        Raises
        ------
        OSError, ValueError
            When the file cannot be read, or its header no longer can.
        """
        if self._header is None:
            object.__setattr__(self, "_header", reader().mstar_header(self.path))  # frozen: a cache, once
        assert self._header is not None
        return self._header


class Catalog(Sequence[Record]):
    """A sequence of chip records, in path order unless selected otherwise.

    Indexing with an int gives a ``Record``; a slice, a sequence of ints or a sequence of bools
    (one per record) gives a Catalog. A catalog made by ``split`` also has ``classes`` (the
    split's class names, in its order) and ``labels`` (an int64 array, one index into
    ``classes`` per record); for other catalogs both are None. ``skipped`` lists the files the
    scan could not read as chips, as (path, reason) pairs.
    """

    __slots__ = ("_columns", "skipped", "classes", "labels", "split_name", "root")

    _columns: dict[str, Any]
    skipped: list[tuple[str, str]]
    classes: tuple[str, ...] | None
    labels: np.ndarray | None
    split_name: str | None
    root: str | None

    def __init__(self, records: Iterable[Record] = (), skipped: Iterable[tuple[str, str]] = ()) -> None:
        rows = [tuple(getattr(record, name) for name in _RECORD) for record in records]
        columns = {name: [row[i] for row in rows] for i, name in enumerate(_RECORD)}
        self._set(_with_arrays(columns), list(skipped), None, None, None, None)

    @classmethod
    def _from_columns(cls, columns: dict[str, Any], skipped: list[tuple[str, str]],
                      classes: tuple[str, ...] | None = None, labels: np.ndarray | None = None,
                      split_name: str | None = None, root: str | None = None) -> Catalog:
        catalog = cls.__new__(cls)
        catalog._set(columns, skipped, classes, labels, split_name, root)
        return catalog

    def _set(self, columns: dict[str, Any], skipped: list[tuple[str, str]], classes: tuple[str, ...] | None,
             labels: np.ndarray | None, split_name: str | None, root: str | None) -> None:
        # Text fields are lists; numeric fields are read-only NumPy arrays (float64, int64, uint64).
        self._columns = columns
        self.skipped = skipped
        self.classes = classes
        self.labels = labels
        self.split_name = split_name
        self.root = root  # the absolute path scanned, when the catalog comes from a scan

    def column(self, name: str) -> list[Any]:
        """The values of one field, one per record, as a new list.

        Parameters
        ----------
        name : str
            A field of ``FIELDS`` or ``CHECKS``, or "checksum" (for a catalog not made by
            ``scan`` nor read from a CSV that holds it, read from the chips' files on first use).

        Returns
        -------
        list
            One value per record: str for text, float or int for numbers.

        Raises
        ------
        KeyError
            For a name that is no field of this catalog.
        """
        return _shown(name, _as_list(self.values(name)))

    def values(self, name: str) -> Any:
        """The stored column of one field itself, without a copy: a list of str for a text field
        (which the caller must not change), a read-only NumPy array for a number (``NUMBERS``).
        ``column`` gives a new list instead. KeyError for a name that is no field."""
        try:
            return self._columns[name]
        except KeyError:
            if name == "checksum":  # a catalog made from records or an older CSV: read from the files, once
                self._identities()
                return self._columns[name]
            raise _unknown_field(name) from None

    @property
    def paths(self) -> list[str]:
        """The records' paths, as ``column("path")`` gives them."""
        return self.column("path")

    def __len__(self) -> int:
        return len(self._columns["path"])

    def __iter__(self) -> Iterator[Record]:
        return (Record(*row) for row in zip(*(_shown(name, _as_list(self._columns[name])) for name in _RECORD)))

    @overload
    def __getitem__(self, index: int) -> Record: ...
    @overload
    def __getitem__(self, index: slice | Sequence[int] | Sequence[bool]) -> Catalog: ...

    def __getitem__(self, index: int | slice | Sequence[int] | Sequence[bool]) -> Record | Catalog:
        """A record for an int; a catalog for a slice, a sequence of ints or a mask of bools.

        Raises
        ------
        IndexError
            For a position out of range, or a mask whose length is not the catalog's.
        """
        if isinstance(index, slice):
            return self.take(range(len(self))[index])
        try:
            i = range(len(self))[operator.index(cast(int, index))]  # IndexError as a list gives it
        except TypeError:  # not a single int: a selection
            return self.take(self._positions(index))
        return Record(*(_shown(name, [_item(self._columns[name], i)])[0] for name in _RECORD))

    def _positions(self, index: Any) -> list[int]:
        import numpy as np

        values = list(index)
        flags = [isinstance(v, (bool, np.bool_)) for v in values]
        if getattr(index, "dtype", None) == bool or (values and all(flags)):  # NumPy's bools too: a mask
            if len(values) != len(self):
                raise IndexError(f"a mask of {len(values)} values for a catalog of {len(self)} records")
            return [i for i, keep in enumerate(values) if keep]
        n = range(len(self))
        try:
            if any(flags):
                raise TypeError
            return [n[operator.index(i)] for i in values]  # 1.5 is no position
        except TypeError:
            bad = next(v for v, flag in zip(values, flags) if flag or not _is_integer(v))
            raise TypeError("a catalog is indexed by an int, a slice, whole numbers or a mask of bools; "
                            f"{bad!r} is none of them") from None

    def take(self, positions: Sequence[int]) -> Catalog:
        """The records at `positions` (whole numbers in range, not checked), in that order, with
        this catalog's classes, labels, split name and root."""
        import numpy as np

        chosen = np.asarray(positions, dtype=np.intp)
        columns = {name: values[chosen] if isinstance(values, np.ndarray) else [values[i] for i in positions]
                   for name, values in self._columns.items()}
        labels = None if self.labels is None else self.labels[chosen]
        return Catalog._from_columns(columns, self.skipped, self.classes, labels, self.split_name, self.root)

    def as_split(self, classes: tuple[str, ...], labels: np.ndarray, name: str) -> Catalog:
        """These records as the split `name`: record ``i`` has class ``classes[labels[i]]``."""
        return type(self)._from_columns(self._columns, self.skipped, classes, labels, name, self.root)

    def filter(self, predicate: Callable[[Record], bool] | None = None, **field_values: Any) -> Catalog:
        """The records for which `predicate(record)` is true and whose fields equal the values given.

        A value that is a list, tuple or set matches any of its items::

            catalog.filter(target_type='2s1_gun', depression=17)
            catalog.filter(serial=('b01', 'E-71'), predicate=lambda r: r.azimuth < 90)

        Parameters
        ----------
        predicate : callable, optional
            Takes a ``Record``; the record is kept when it returns true.
        **field_values
            Field names of ``FIELDS`` or ``SCENES`` with the value (or values) to keep.

        Returns
        -------
        Catalog
            The records kept, in their order, with this catalog's ``classes`` and ``labels``.

        Raises
        ------
        KeyError
            For a name that is not one of ``FIELDS`` or ``SCENES``.
        """
        for name in field_values:
            if name not in FIELDS + SCENES:
                raise _unknown_field(name)
        keep: Sequence[int] = range(len(self))
        for name, wanted in field_values.items():
            values = _shown(name, _as_list(self._columns[name]))
            if isinstance(wanted, (list, tuple, set, frozenset)):
                keep = [i for i in keep if values[i] in wanted]
            else:
                keep = [i for i in keep if values[i] == wanted]
        if predicate is not None:
            keep = [i for i in keep if predicate(self[i])]
        return self.take(keep)

    def _identities(self) -> list[tuple[int, int, str]]:
        # Same rows, columns and data-block checksum: the same chip. A catalog made from records
        # has no checksum column: its chips are scanned again for it, once.
        if "checksum" not in self._columns:
            self._columns["checksum"] = [_checksum_of(path) for path in self._columns["path"]]
        return list(zip(self._columns["rows"].tolist(), self._columns["columns"].tolist(), self._columns["checksum"]))

    @property
    def duplicates(self) -> list[tuple[str, ...]]:
        """The chips held more than once: groups of two or more paths (each group and the list in
        path order) whose records have the same rows, columns and Chip_MD5_CheckSum (letter case
        ignored; the data block's MD5 for a header without one)."""
        groups: dict[tuple[int, int, str], list[str]] = {}
        for path, identity in zip(self._columns["path"], self._identities()):
            groups.setdefault(identity, []).append(path)
        return sorted(tuple(sorted(paths)) for paths in groups.values() if len(paths) > 1)

    @property
    def conflicts(self) -> list[tuple[str, ...]]:
        """The groups of ``duplicates`` whose headers disagree on what the chip is: its
        TargetType, TargetSerNum (letter case ignored) or DesiredDepression. One data block cannot
        be two chips; ``split`` keeps the first path of such a group, as of any, and warns naming
        the group, since the label it keeps is then a guess."""
        said = {path: (kind, serial.lower(), repr(depression)) for path, kind, serial, depression in
                zip(self._columns["path"], self._columns["target_type"], self._columns["serial"],
                    self._columns["depression"].tolist())}
        return [group for group in self.duplicates if len({said[path] for path in group}) > 1]

    def unique(self) -> Catalog:
        """One record per chip: of each group of ``duplicates``, the first path in sort order.

        Returns
        -------
        Catalog
            The records kept, in their order.
        """
        return self.take(self.unique_positions())

    def unique_positions(self) -> list[int]:
        """The positions ``unique`` keeps, in order."""
        first: dict[tuple[int, int, str], int] = {}
        paths = self._columns["path"]
        for i, identity in enumerate(self._identities()):
            if identity not in first or paths[i] < paths[first[identity]]:
                first[identity] = i
        return sorted(first.values())

    def overlap(self, other: Catalog) -> Catalog:
        """The records of this catalog whose chip (as ``duplicates`` tells chips apart) is also in
        `other`: ``train.overlap(test)`` is empty when no test chip leaks into training.

        Parameters
        ----------
        other : Catalog

        Returns
        -------
        Catalog
            The records shared, in this catalog's order.
        """
        theirs = set(other._identities())
        return self.take([i for i, identity in enumerate(self._identities()) if identity in theirs])

    def random_split(self, fractions: Sequence[float], *, seed: int = 0, stratify: bool = True) -> tuple[Catalog, ...]:
        """Disjoint catalogs that together hold every record, one per fraction (the fractions are
        non-negative and sum to 1): ``train, val = catalog.split('soc', 'train').random_split((0.8, 0.2))``.

        Of n records, part i takes ``floor(n * (f_0 + ... + f_i) + 0.5) - floor(n * (f_0 + ... +
        f_(i-1)) + 0.5)`` (the cumulative share rounded, halves up), and the last part takes the
        remainder. With `stratify`, each class (``labels`` for a split, else ``target_type``) is
        divided so on its own. The order is drawn from NumPy's PCG64 bit generator seeded with
        `seed`: one raw 64-bit draw (``PCG64(seed).random_raw``) per record in catalog order, the
        records taken in the order of their draws. Raw PCG64 streams are fixed, so a seed gives
        the same parts on every platform and NumPy version. Each part keeps the records' order,
        ``classes``, ``labels`` and ``split_name``.

        Returns
        -------
        tuple of Catalog
            One per fraction.

        Raises
        ------
        ValueError
            For fractions that are negative or do not sum to 1, or a seed that is not a
            non-negative whole number.
        """
        import math

        import numpy as np

        shares = [float(f) for f in fractions]
        if not shares or any(not math.isfinite(f) or f < 0 for f in shares) or abs(math.fsum(shares) - 1) > 1e-9:
            raise ValueError(f"fractions must be non-negative and sum to 1, not {list(fractions)!r}")
        if not _is_integer(seed) or isinstance(seed, (bool, np.bool_)) or operator.index(seed) < 0:  # np.int64 too
            raise ValueError(f"seed must be a non-negative whole number, not {seed!r}")
        seed = operator.index(seed)
        draws = np.random.PCG64(seed).random_raw(len(self)) if len(self) else np.empty(0, np.uint64)
        if stratify:
            classes = self.labels.tolist() if self.labels is not None else self._columns["target_type"]
        else:
            classes = [0] * len(self)
        members: dict[Any, list[int]] = {}
        for i, key in enumerate(classes):
            members.setdefault(key, []).append(i)
        parts: list[list[int]] = [[] for _ in shares]
        for positions in members.values():
            order = np.asarray(positions)[np.argsort(draws[positions], kind="stable")].tolist()
            n, start, total = len(order), 0, 0.0
            for part, share in zip(parts, shares):
                total += share
                end = n if part is parts[-1] else min(n, math.floor(n * total + 0.5))
                part.extend(order[start:end])
                start = end
        return tuple(self.take(sorted(part)) for part in parts)

    def split(self, name: str | dict[str, Sequence[str]], subset: str | None = None, *,
              depression: float | Sequence[float] | None = None, strict: bool = False,
              scene: int | Sequence[int] | None = None) -> Catalog:
        """The chips of a benchmark split, with ``classes`` and ``labels``.

        `name` is one of ``vantrel.SPLITS`` ('soc', 'eoc-1', 'eoc-2-cv', 'three-class', ...)
        with `subset` 'train' or 'test', or a split of your own: a dict from class name to
        serial numbers, with the depressions and the scenes to take (one number or several; all
        when omitted)::

            catalog.split('soc', 'train')
            catalog.split({'BMP2': ['9563', '9566'], 'T72': ['132']}, depression=17)

        Chips are assigned by their headers alone, as ``vantrel.splits`` describes; names and
        subsets ignore letter case. A chip held more than once (see ``duplicates``) is taken
        once, with one warning of how many copies were dropped. Each of these warns once: classes
        with no chips at all (naming them, and for a named split found empty, the release CDs
        that hold it); for a named split, classes whose count differs from the published one
        (``vantrel.SplitCountWarning``; `strict` makes this and missing classes a
        ``vantrel.SplitCountError``); a test subset sharing chips with the same split's train
        subset in this catalog.

        Parameters
        ----------
        name : str or dict of str to sequence of str
            A named split, or classes with their serial numbers.
        subset : str, optional
            'train' or 'test', for a named split.
        depression : float or sequence of float, optional
            For a split of your own: the depressions to take.
        scene : int or sequence of int, optional
            For a split of your own: the scenes to take.
        strict : bool
            Missing classes and counts that differ from the published ones are errors.

        Returns
        -------
        Catalog
            The split's chips in path order, with ``classes``, ``labels`` and ``split_name``.

        Raises
        ------
        ValueError
            For an unknown split or subset, a subset or depression the split does not take, and
            with `strict` a named split whose classes or counts differ from the published ones
            (``SplitCountError``, a ValueError).
        """
        from . import splits

        return splits.select(self, name, subset, depression, strict, scene)

    def release_check(self) -> ReleaseCheck:
        """This catalog against the public release: per release CD and per group of chips that
        one of its folders holds (serial, depression, scene), the chips expected and found.

        Chips are matched by their headers, never by folder names, against the table that ships
        with the package (``vantrel.release`` describes both); a chip held more than once is
        counted once, and a chip of no group (a user's own data) as not in the release table.

        Returns
        -------
        ReleaseCheck
            ``status(cd)`` is 'complete', 'absent' or 'incomplete'; ``complete`` says whether
            every CD present at all is complete; ``splits`` the named splits (or subsets) served
            completely; ``str()`` the report ``vantrel check`` prints; ``to_pandas()`` a table.
        """
        from . import release

        return release.check(self)

    @classmethod
    def concat(cls, catalogs: Iterable[Catalog]) -> Catalog:
        """The records of several catalogs, one after the other (``a + b`` for two).

        Nothing is dropped: a chip held by two catalogs is then held twice, as ``duplicates``
        shows and ``split`` and ``unique`` take once. ``skipped`` joins theirs. The catalogs must
        all be splits with the same classes (their labels are kept) or none a split. ``root``
        is the deepest folder holding every part's root (None when a part has none).

        Raises
        ------
        ValueError
            For no catalogs, or catalogs of different classes.
        TypeError
            For a part that is not a Catalog.
        """
        import numpy as np

        parts = list(catalogs)
        if not parts:
            raise ValueError("Catalog.concat needs at least one catalog")
        for part in parts:
            if not isinstance(part, Catalog):
                raise TypeError(f"Catalog.concat takes catalogs, not {type(part).__name__}")
        if len({part.classes for part in parts}) > 1:
            raise ValueError("only catalogs of the same classes combine (splits of one split, or no splits)")
        names = [name for name in parts[0]._columns if all(name in part._columns for part in parts)]
        columns: dict[str, Any] = {}
        for name in names:
            values = [part._columns[name] for part in parts]
            if isinstance(values[0], np.ndarray):
                array = np.concatenate(values)
                array.flags.writeable = False
                columns[name] = array
            else:
                columns[name] = [value for part in values for value in part]
        first = parts[0]
        labels = None
        if first.labels is not None:
            labels = np.concatenate([part.labels for part in parts if part.labels is not None])
            labels.flags.writeable = False
        skipped = [pair for part in parts for pair in part.skipped]
        splits = {part.split_name for part in parts}
        return cls._from_columns(columns, skipped, first.classes, labels, splits.pop() if len(splits) == 1 else None,
                                 _common_root([part.root for part in parts]))

    def __add__(self, other: object) -> Catalog:
        if not isinstance(other, Catalog):
            return NotImplemented
        return Catalog.concat([self, other])

    def load(self, size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT, dtype: DTypeLike | None = None, *,
             db: bool = False, floor_db: float = FLOOR_DB, threads: int | None = None,
             progress: bool | None = None, channels_first: bool = False) -> np.ndarray:
        """The chips' centred windows stacked into one new array, row `i` for record `i`.

        `ofmt`: a format of ``vantrel.defaults.OFMTS``, which gives each one's values and shape:
        'a' amplitude, 'ap' amplitude and phase, 'r' real and imaginary parts, 'c' complex.
        `dtype`: float32 (complex64 for 'c') by default, or float64 (complex128). `size`: H = W =
        size, a pair (H, W), or None for the chips' own size (which must then be the same for
        all). Each window is centred on its chip, as ``vantrel.loading`` describes.

        'a' and 'ap' hold the stored samples exactly; 'r' and 'c' are ``A cos P`` and ``A sin P``,
        computed in double precision from the stored amplitude A and phase P and then rounded once
        to the dtype. `db=True` gives the amplitude ('a', and the first plane of 'ap') in decibels,
        ``20 log10(max(A, 10 ** (floor_db / 20)))``, computed in double precision in the same pass
        and rounded once to the dtype (ValueError with 'r' or 'c'). Each chip is read once,
        natively, on `threads` threads (default: the CPUs this process may use); its header must
        still say what the scan read (else ``vantrel.ChangedSinceScanError``). A chip that cannot
        be read stops the load with OSError or ``vantrel.ChipError`` naming it. `progress` shows a bar on stderr: True always, False
        never, None when stderr is a terminal and the load takes a while. `channels_first=True` gives
        the layout of the deep-learning libraries' image batches: (n, 2, H, W) for 'ap' and 'r',
        (n, 1, H, W) for 'a' and 'c'.

        Parameters
        ----------
        size : int, (int, int) or None
            The window's side, its (height, width), or None for the chips' own size.
        ofmt : {'a', 'ap', 'r', 'c'}
            The format.
        dtype : numpy dtype, optional
            float32 or float64 (complex64 or complex128 for 'c').
        db : bool
            The amplitude in decibels.
        floor_db : float
            The floor of `db`.
        threads : int, optional
            Threads to read with.
        progress : bool or None
            Whether to show a progress bar.
        channels_first : bool
            The channels before the rows: (n, C, H, W).

        Returns
        -------
        numpy.ndarray
            The stacked windows, of the shape and dtype above.

        Raises
        ------
        ValueError
            For a size, ofmt, dtype, floor_db or threads out of range; for a chip whose header no
            longer says what the scan read (``ChangedSinceScanError``), or that cannot be read as a
            chip (``ChipError``), naming it; both are ValueErrors.
        OSError
            For a chip file that cannot be opened or read (naming it).
        MemoryError
            When the output array does not fit in memory (giving its shape and size).
        """
        from . import loading

        return loading.load(self, size, ofmt, dtype, db=db, floor_db=floor_db, threads=threads, progress=progress,
                            channels_first=channels_first)

    def stats(self, size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT, *, db: bool = False,
              floor_db: float = FLOOR_DB, threads: int | None = None,
              progress: bool | None = None) -> tuple[np.ndarray, np.ndarray]:
        """The mean and standard deviation of each channel over all the windows ``load`` would give
        with the same parameters (zero frames included), ready for
        ``vantrel.transforms.Normalize(mean, std)``.

        One pass over the chips in double precision, in chunks of bounded memory
        (``vantrel.loading``). The std is the population one (divided by the number of
        samples). For 'c' the mean is complex and the std that of ``|x - mean|``.

        Returns
        -------
        (numpy.ndarray, numpy.ndarray)
            The mean and the std, one value per channel (1 for 'a' and 'c', 2 for 'ap' and 'r').

        Raises
        ------
        ValueError
            For a catalog without chips (for a named split, naming the CDs that hold it), and as
            ``load`` raises.
        """
        from . import loading

        return loading.stats(self, size, ofmt, db=db, floor_db=floor_db, threads=threads, progress=progress)

    def save(self, path: str | os.PathLike[str], size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT,
             dtype: DTypeLike | None = None, *, db: bool = False, floor_db: float = FLOOR_DB, threads: int | None = None,
             progress: bool | None = None, channels_first: bool = False) -> None:
        """Loads the chips as ``load`` does (the same parameters) and writes one ``.npz`` file: the array ``x``, the
        records' ``path``, ``serial``, ``target_type``, ``depression`` and ``azimuth``, for a
        split its ``labels`` and ``classes``, and with `db` the ``floor_db``; how ``x`` was loaded
        (``ofmt``, ``db``, ``size``, ``channels_first`` and the ``split``'s name). Each member is
        stored uncompressed with its data aligned to 64 bytes in the file, so that
        ``vantrel.load_saved(path)`` reads it back at the speed of the read, or maps it.

        The file written is `path` exactly (no ``.npz`` is added); an empty name is a ValueError,
        a folder an IsADirectoryError, both raised before the load. The file is written to a
        temporary in the same folder and renamed over `path` only once complete: a failure or an
        interrupt leaves an existing file as it was. A catalog without chips is refused.

        Raises
        ------
        ValueError, IsADirectoryError
            For an empty name or a folder, before the load; for a catalog without chips (for a
            named split, naming the CDs that hold it); otherwise as ``load``.
        """
        from . import loading

        loading.save(self, path, size, ofmt, dtype, db=db, floor_db=floor_db, threads=threads, progress=progress,
                     channels_first=channels_first)

    def save_images(self, folder: str | os.PathLike[str], *, size: int | tuple[int, int] = SIZE, bits: int = 16,
                    db_range: tuple[float, float] = DB_RANGE, threads: int | None = None,
                    progress: bool | None = None, overwrite: bool = False) -> None:
        """Writes each chip's centred window as a grey-scale PNG, ``folder/<class>/<chip file
        name>.png`` (the class of a split, else the record's ``target_type``), and
        ``folder/index.csv``: per image its path relative to `folder`, the chip's path, class,
        label (for a catalog that is not a split, the index of its class in sorted order),
        serial, depression and azimuth.

        The amplitude in dB is mapped from `db_range` onto the `bits` (8 or 16) levels, the same
        for every chip, as ``vantrel.images`` describes. Images are encoded on `threads` threads. A class name is made a safe folder name (each "/" and NUL becomes "_"; an empty
        name or one of dots alone gets a "_" in front): nothing is written outside `folder`.

        The export is built whole in a new hidden folder beside `folder`, then swapped into its
        place in one step, so that `folder` holds either the old export whole or the new one
        whole, whatever interrupts it. `folder` is claimed (created if missing, then locked) for the
        export's time: a second export into it meanwhile is refused. A `folder` that holds files
        is refused unless `overwrite` (files of the same names are then replaced, others kept:
        the new folder starts as hard links to the old one's files).
        Needs Pillow: ``pip install vantrel[images]``.

        Raises
        ------
        ValueError
            For bits, db_range or size out of range, or two chips that would write one image.
        FileExistsError
            For a `folder` that is a file, that holds files and `overwrite` is False, or that
            another export is writing.
        ImportError
            When Pillow is not installed.
        """
        from . import images

        images.save_images(self, folder, size=size, bits=bits, db_range=db_range, threads=threads,
                           progress=progress, overwrite=overwrite)

    def to_csv(self, path: str | os.PathLike[str], *, relative: bool = False) -> None:
        """Writes one row per record, after a header row naming the fields (and the label for a split).

        The file is UTF-8; a path that is not (a file name in another encoding) is written as its
        bytes, as ``os.fsencode`` gives them, so that reading the file with
        ``errors="surrogateescape"`` gives back the path. With ``relative=True`` paths are written
        relative to the folder scanned. The file is replaced only once it is written whole.
        ``Catalog.from_csv`` reads it back.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.
        relative : bool
            Write the paths relative to the folder scanned.

        Raises
        ------
        ValueError
            With ``relative=True`` for a catalog that knows no root (not made by ``scan``).
        """
        from ._files import atomic_write

        names, columns = self._table()
        if relative:
            if self.root is None:
                raise ValueError("relative=True needs a catalog made by scan(), which knows its root")
            base = self.root if os.path.isdir(self.root) else os.path.dirname(self.root)
            columns[0] = [os.path.relpath(p, base) for p in columns[0]]
        with atomic_write(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as out:
            writer = csv.writer(out)
            writer.writerow(names)
            writer.writerows(zip(*columns))

    @classmethod
    def from_csv(cls, path: str | os.PathLike[str], *, root: str | os.PathLike[str] | None = None) -> Catalog:
        """The catalog ``to_csv`` wrote, without a new scan.

        Each record keeps the file_size and header_digest written with it, so that ``load``
        checks each chip against its file as it does for a scanned catalog; a CSV without those
        columns gives records that record nothing (see CHECKS). A "checksum" column, if present,
        is read too. For a split, the label and class columns give back ``classes`` and
        ``labels``, and the split column its ``split_name``; the classes of a named split are
        its own, while in a split of your own a class with no chip in the file has no row to
        name it and is given as "class <label>" (as in a CSV written before the split column).
        The catalog's ``root`` is the folder relative paths are taken from.

        Parameters
        ----------
        path : str or os.PathLike
            The CSV file.
        root : str or os.PathLike, optional
            The folder relative paths (``to_csv(relative=True)``) are relative to; by default
            the folder that holds the CSV file.

        Returns
        -------
        Catalog

        Raises
        ------
        ValueError
            For a file that is not such a CSV (a field missing, a value that is not a number),
            naming it and the line.
        """
        name = os.fspath(path)
        base = os.path.abspath(os.fspath(root) if root is not None else os.path.dirname(os.path.abspath(name)))
        with open(name, newline="", encoding="utf-8-sig", errors="surrogateescape") as file:  # a BOM as spreadsheets write it
            try:
                rows = list(csv.reader(file))
            except csv.Error as error:  # a NUL byte, say: no text file at all
                raise ValueError(f"{os.fsdecode(name)} is not a catalog CSV: {error}") from None
        head = rows[0] if rows else []
        missing = [field for field in FIELDS if field not in head]
        if missing:
            raise ValueError(f"{os.fsdecode(name)} is not a catalog CSV: it has no column {missing[0]!r}")
        at = {field: head.index(field) for field in head}
        known = [field for field in (*FIELDS, *CHECKS, *SCENES, "checksum") if field in at]
        columns: dict[str, Any] = {field: [] for field in known}
        for line, row in enumerate(rows[1:], 2):
            if len(row) < len(head):
                raise ValueError(f"{os.fsdecode(name)} line {line}: not a row of the catalog's fields")
            for field in known:  # noqa: F402 (dataclasses.field is not used here)
                text = row[at[field]]
                try:
                    columns[field].append(_from_text(field, text))
                except ValueError as error:
                    raise ValueError(f"{os.fsdecode(name)} line {line}, column {field!r}: {error}") from None
            try:
                _check_layout(*(columns[field][-1] if field in columns else -1 for field in LAYOUT_FIELDS))
            except ValueError as error:
                raise ValueError(f"{os.fsdecode(name)} line {line}: {error}") from None
        for field, default in zip(CHECKS + SCENES, (-1, 0, UNNAMED, UNNAMED, "")):
            columns.setdefault(field, [default] * (len(rows) - 1))
        columns["path"] = [os.path.join(base, p) for p in columns["path"]]  # an absolute path stays as it is
        classes, labels = _classes_from_csv(name, rows, at)
        split_name = None
        if classes is not None:
            split_name = _split_from_csv(name, rows, at)
            if split_name is not None:
                classes = _named_classes(name, split_name, classes)
        return cls._from_columns(_with_arrays(columns), [], classes, labels, split_name, base)

    def to_pandas(self) -> Any:
        """A pandas DataFrame with one row per record (pandas is an optional dependency).

        Raises
        ------
        ImportError
            When pandas is not installed.
        """
        try:
            import pandas
        except ImportError:
            raise ImportError("Catalog.to_pandas() needs pandas: pip install pandas") from None
        names, columns = self._table()
        frame = pandas.DataFrame(dict(zip(names, columns)))
        for name in SCENES:
            if name in NUMBERS:
                frame[name] = frame[name].astype("Int64")  # None as <NA>, the numbers as ints
        return frame

    def _table(self) -> tuple[list[str], list[list[Any]]]:
        names = list(_RECORD) + (["checksum"] if "checksum" in self._columns else [])
        columns = [_shown(name, _as_list(self._columns[name])) for name in names]
        if self.classes is not None:
            assert self.labels is not None  # a split has both
            labels = self.labels.tolist()
            names += ["label", "class"]
            columns += [labels, [self.classes[i] for i in labels]]
            if self.split_name is not None:  # in every row, so that from_csv gives it back
                names.append("split")
                columns.append([self.split_name] * len(labels))
        return names, columns

    def summary(self) -> str:
        """A text table of chip counts per class (target type and serial) and depression."""
        from . import summary

        return summary.summary(self)

    def __repr__(self) -> str:
        split = f", split={self.split_name}, classes={self.classes!r}" if self.classes is not None else ""
        return f"<Catalog of {len(self)} chips{split}, {len(self.skipped)} skipped>"


_NUMBER_TYPES: dict[str, Callable[[str], Any]] = {"float64": float, "int64": int, "uint64": int}
_RECORD = FIELDS + CHECKS + SCENES  # a Record's fields, in its order


def _shown(name: str, values: list[Any]) -> list[Any]:
    """A column's values as records show them: a collection or scene the header names none of is None."""
    if name in SCENES and name in NUMBERS:
        return [None if value == UNNAMED else value for value in values]
    return values


def _from_text(field: str, text: str) -> Any:
    if field in SCENES and field in NUMBERS and text == "":
        return UNNAMED
    return _csv_number(field, text) if field in NUMBERS else text


# What a CSV may hold, as a scan writes it: counts and offsets whole and non-negative (a file size of
# -1: none recorded), a digest of 64 bits, labels below MAX_LABEL (no split has nearly so many classes).
_RANGES = {"rows": (0, 2**63 - 1), "columns": (0, 2**63 - 1), "data_offset": (0, 2**63 - 1),
           "file_size": (-1, 2**63 - 1), "header_digest": (0, 2**64 - 1)}
MAX_LABEL = 1 << 16
LAYOUT_FIELDS = ("data_offset", "rows", "columns", "file_size")


def _csv_number(field: str, text: str) -> Any:
    value = _NUMBER_TYPES[NUMBERS[field]](text)  # ValueError for a text that is no number
    low, high = _RANGES.get(field, (None, None))
    if low is not None and not low <= value <= high:
        raise ValueError(f"{value} is out of range ({low} to {high})")
    return value


def _check_layout(data_offset: int, rows: int, columns: int, file_size: int) -> None:
    # As the scan reads a header: the data block's end must fit 64 bits, and a recorded size is that end.
    end = data_offset + 8 * rows * columns
    if end > 2**63 - 1:
        raise ValueError("data_offset, rows and columns are too large")
    if file_size != -1 and file_size != end:
        raise ValueError(f"file_size {file_size} is not data_offset + 8 * rows * columns = {end}")


def _is_integer(value: Any) -> bool:
    try:
        operator.index(value)
    except TypeError:
        return False
    return True


def _unknown_field(name: str) -> KeyError:
    return KeyError(f"no field {name!r}; the fields are {', '.join(FIELDS + SCENES)}")


def _classes_from_csv(name: str, rows: list[list[str]], at: dict[str, int]) -> tuple[tuple[str, ...] | None,
                                                                                       np.ndarray | None]:
    """The classes and labels of a split's CSV (its label and class columns), else (None, None)."""
    if "label" not in at or "class" not in at:
        return None, None
    import numpy as np

    named: dict[int, str] = {}
    labels: list[int] = []
    for line, row in enumerate(rows[1:], 2):
        try:
            label = int(row[at["label"]])
        except ValueError:
            raise ValueError(f"{os.fsdecode(name)} line {line}, column 'label': {row[at['label']]!r} "
                             "is no whole number") from None
        if not 0 <= label < MAX_LABEL:
            raise ValueError(f"{os.fsdecode(name)} line {line}, column 'label': {label} is out of range "
                             f"(0 to {MAX_LABEL - 1})")
        if named.setdefault(label, row[at["class"]]) != row[at["class"]]:
            raise ValueError(f"{os.fsdecode(name)} line {line}: its label and class columns do not agree")
        labels.append(label)
    # A class of the split with no chip here has no row to name it.
    classes = tuple(named.get(i, f"class {i}") for i in range(max(named, default=-1) + 1))
    array = np.array(labels, dtype=np.int64)
    array.flags.writeable = False
    return classes, array


def _split_from_csv(name: str, rows: list[list[str]], at: dict[str, int]) -> str | None:
    """The split column's one name, else None (a CSV written before it)."""
    if "split" not in at:
        return None
    names = {row[at["split"]] if len(row) > at["split"] else None for row in rows[1:]}
    if len(names) > 1 or None in names:
        raise ValueError(f"{os.fsdecode(name)}: its split column does not hold one name")
    return names.pop() if names else None


def _named_classes(name: str, split_name: str, classes: tuple[str, ...]) -> tuple[str, ...]:
    """A named split's own classes, which the rows' must agree with; else the rows' classes."""
    from .splits import subset_named

    named = subset_named(split_name)
    if named is None:
        return classes
    own = named[0].classes
    if len(classes) > len(own) or any(c != own[i] and c != f"class {i}" for i, c in enumerate(classes)):
        raise ValueError(f"{os.fsdecode(name)}: its classes are not those of split {split_name}")
    return own


def _with_arrays(columns: dict[str, list[Any]]) -> dict[str, Any]:
    import numpy as np

    result: dict[str, Any] = dict(columns)
    for name, dtype in NUMBERS.items():
        array = np.array([UNNAMED if value is None else value for value in columns[name]], dtype=dtype)
        array.flags.writeable = False
        result[name] = array
    return result


def _as_list(values: Any) -> list[Any]:
    return values.tolist() if hasattr(values, "tolist") else list(values)


def _item(values: Any, i: int) -> Any:
    value = values[i]
    return value.item() if hasattr(value, "item") else value


def _common_root(roots: Sequence[str | None]) -> str | None:
    """The deepest folder holding every root (a root that is a chip file counts as its folder)."""
    if any(root is None for root in roots):
        return None
    folders = [root if os.path.isdir(root) else os.path.dirname(root) for root in cast(list[str], roots)]
    if len(set(roots)) == 1:
        return roots[0]
    try:
        return os.path.commonpath(folders)
    except ValueError:  # on different drives
        return None


def _checksum_of(path: str) -> str:
    found, _ = _chips.scan(os.fsencode(path), False, 1, None)
    checksums = found["checksum"]
    return str(checksums[0]) if checksums else f"unreadable {path}"  # such a record is a chip of its own


def scan(root: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], *, verify: bool = False,
         threads: int | None = None, progress: bool | None = None) -> Catalog:
    """Finds every MSTAR chip below `root` (a folder, or a single chip file; or a list of them, CDs
    kept in different places) and reads its header.

    A file is a chip when it starts with a Phoenix header (a line feed, then ``[PhoenixHeaderVer``),
    whatever its name; everything else is passed over. A file that starts like a chip but cannot
    be read as one (a damaged header, a data block shorter or longer than the header says, and
    with ``verify=True`` a data block whose MD5 differs from the header's Chip_MD5_CheckSum) is
    listed in ``catalog.skipped`` with the reason, as are folders that cannot be read; so is a
    header with no end marker within 64 KiB, and a file the user may not read ("cannot open:
    Permission denied"); a file gone since its folder was listed (or a dangling link) is passed
    over. Symbolic links are followed; a folder reached twice is read once, and a
    file reached by several paths (hard or symbolic links) is one chip, under the first path.
    Paths are absolute; records come sorted by path. Each record keeps the file's size and a
    digest of its header bytes, which the load compares.

    Each record's chip identity, ``catalog.column("checksum")``, is the header's Chip_MD5_CheckSum
    in lower case, or the MD5 of the data block for a header without a 32-digit one (the only
    chips whose data block a scan without `verify` reads).

    Headers are read natively on `threads` threads (default: the CPUs this process may use; at
    most 4 times as many). `verify` and `progress` are bools.
    `progress` shows a bar on stderr: True always, False never, None (default) when stderr is a
    terminal and the scan takes a while.

    Several roots are scanned one after the other into one catalog in path order (a file under
    two of them is listed once); its ``root`` is the deepest folder holding them all.

    Parameters
    ----------
    root : str or os.PathLike, or a list of them
        A folder, or a single chip file; or several.
    verify : bool
        Check each data block against its header's Chip_MD5_CheckSum.
    threads : int, optional
        Threads to read the headers on; by default the CPUs this process may use.
    progress : bool or None
        A bar on stderr: always, never, or (None) when stderr is a terminal.

    Returns
    -------
    Catalog
        The chips found, in path order, with ``skipped`` and ``root`` set.

    Raises
    ------
    FileNotFoundError
        For a `root` that does not exist.
    ValueError, TypeError
        For an empty `root` or an empty list of roots, a root that is neither a folder nor a
        regular file, and `threads`, `verify` or `progress` out of range or of the wrong type.

    Warns
    -----
    UserWarning
        When nothing is found: no chip, and no file skipped (naming the root).
    """
    check_flag("verify", verify)
    check_flag("progress", progress, none=True)
    count = check_threads(threads)
    if not isinstance(root, (str, bytes, os.PathLike)):
        return _scan_roots(list(root), verify, count, progress)
    if not os.fspath(root):
        raise ValueError("the root to scan is empty (''); give '.' for the current folder")
    root = os.fsdecode(os.path.abspath(os.fspath(root)))  # a later os.chdir must not move the catalog's files
    mode = os.stat(root).st_mode  # a missing root raises FileNotFoundError
    if not stat.S_ISDIR(mode) and not stat.S_ISREG(mode):
        raise ValueError(f"{root} is neither a folder nor a chip file (it is not a regular file)")
    with Progress(progress, "scan", "file") as bar:
        found, skipped = _chips.scan(os.fsencode(root), verify, count, bar.update)
    if not found["path"] and not skipped:  # nothing at all to show for it (skipped files tell their own)
        import warnings

        warnings.warn(f"scan found no chips in {root}", UserWarning, stacklevel=2)
    import numpy as np

    columns: dict[str, Any] = {name: found[name] for name in (*FIELDS, *CHECKS, *SCENES, "checksum")}
    for name, dtype in NUMBERS.items():
        columns[name] = np.frombuffer(cast(bytes, found[name]), dtype)  # read-only, as the catalog's arrays are
    return Catalog._from_columns(columns, skipped, root=root)


def _scan_roots(roots: Sequence[str | os.PathLike[str]], verify: bool, threads: int, progress: bool | None) -> Catalog:
    if not roots:
        raise ValueError("scan() needs a root: a folder, a chip file, or a non-empty list of them")
    whole = Catalog.concat([scan(root, verify=verify, threads=threads, progress=progress) for root in roots])
    paths = whole._columns["path"]
    order = sorted(range(len(paths)), key=paths.__getitem__)
    # Overlapping roots reach a file twice: one chip, as within one scan.
    merged = whole.take([i for n, i in enumerate(order) if n == 0 or paths[i] != paths[order[n - 1]]])
    merged.skipped = sorted(set(whole.skipped))
    return merged
