"""A catalog's table as vantrel's own modules see it: the fields, their order and types, and the
one way into a catalog's columns (``Table``: Catalog's public ``values``, ``take``, ...) for the
modules that work on them (splits, loading, summary, images, release). ``vantrel.catalog.Catalog``
is its one implementation; these modules import this protocol, not the class, so that no import
goes back to vantrel.catalog.

The native side of the same table is src/chips/columns.hpp, which ``vantrel._chips.COLUMNS``
shows: the scan's columns are FIELDS, CHECKS, SCENES and "checksum", with NUMBERS' dtypes.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from typing import Self

    import numpy as np

FIELDS = ("path", "target_type", "serial", "depression", "azimuth", "rows", "columns", "header_version",
          "data_offset")
# What the scan recorded to tell, at load time, that a chip is still the file it read: its size in
# bytes and a 64-bit digest of its header bytes (byte 0 through the [EndofPhoenixHeader] line).
# file_size -1 means nothing was recorded (a record made by hand). Not part of a record's equality.
CHECKS = ("file_size", "header_digest")
# Where a chip was taken: CollectionName's "Collection N" and "Scene N" (ints), and the
# TargetArticulation text ("" where the header has none). collection and scene are stored as int64,
# -1 where the header names none: None in a record, column() and pandas (<NA>), empty in a CSV.
SCENES = ("collection", "scene", "articulation")
UNNAMED = -1
# The numeric fields and their dtypes; the others are text (lists of str).
NUMBERS = {"depression": "float64", "azimuth": "float64", "rows": "int64", "columns": "int64", "data_offset": "int64",
           "file_size": "int64", "header_digest": "uint64", "collection": "int64", "scene": "int64"}


class Table(Protocol):
    """What the modules that work on a catalog's columns use of it.

    ``values(name)`` is the stored column itself, not a copy: a list of str for a text field, a
    read-only NumPy array for a number (NUMBERS). Callers read it and never change it.
    """

    classes: tuple[str, ...] | None
    labels: np.ndarray | None
    skipped: list[tuple[str, str]]
    split_name: str | None
    root: str | None

    def __len__(self) -> int: ...
    def column(self, name: str) -> list[Any]: ...
    def values(self, name: str) -> Any: ...  # list[str] or np.ndarray, by the field
    def take(self, positions: Sequence[int]) -> Self: ...
    def unique_positions(self) -> list[int]: ...
    @property
    def conflicts(self) -> list[tuple[str, ...]]: ...
    def overlap(self, other: Self) -> Self: ...
    def as_split(self, classes: tuple[str, ...], labels: np.ndarray, name: str) -> Self: ...
