# What type checkers see of the native module behind vantrel.catalog and vantrel.loading. The
# columns, their order and types are src/chips/columns.hpp's table; vantrel/_table.py is the same
# table on the Python side.
from collections.abc import Callable
from typing import Any

_Progress = Callable[[int, int], object] | None

# The bytes every chip starts with: a line feed, then "[PhoenixHeaderVer".
CHIP_SIGNATURE: bytes
# scan's columns in order, each with its dtype: "str" for a list of str, else the NumPy dtype of
# the native 8-byte values its bytes hold. path, target_type, serial, header_version, checksum,
# articulation (str); depression, azimuth (float64); rows, columns, data_offset, file_size (int64);
# header_digest (uint64); collection, scene (int64, -1 where CollectionName names none).
COLUMNS: dict[str, str]
# load's layouts: the columns of a chip's row, in order, each as an int64 (an unsigned one as its bits).
LAYOUT: tuple[str, ...]

def scan(root: bytes, verify: bool, threads: int, progress: _Progress, /) -> tuple[
    dict[str, list[str] | bytes],  # COLUMNS' names -> values, one per chip in path order
    list[tuple[str, str]],  # (path, reason) of the files skipped
]: ...
def load(*, paths: list[str], layouts: Any,  # int64 (n, len(LAYOUT))
         out: Any, height: int, width: int, ofmt: str, wide: bool, threads: int,
         progress: _Progress, decibels: bool = False, floor: float = 0.0) -> None: ...
def read_checked(*, fd: int, offset: int, out: Any, crc: int = 0, threads: int = 1) -> int: ...
def checksum(*, data: Any, crc: int = 0, threads: int = 1) -> int: ...
