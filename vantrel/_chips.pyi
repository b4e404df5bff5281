# What type checkers see of the native module behind vantrel.catalog and vantrel.loading.
from collections.abc import Callable
from typing import Any

_Progress = Callable[[int, int], object] | None

def scan(root: bytes, verify: bool, threads: int, progress: _Progress, /) -> tuple[
    tuple[list[str], list[str], list[str], list[str], list[str]],  # path, target_type, serial, header_version, checksum
    # float64 depression, azimuth; int64 rows, columns, data_offset, file_size; uint64 header_digest
    tuple[bytes, bytes, bytes, bytes, bytes, bytes, bytes],
    list[tuple[str, str]],  # (path, reason) of the files skipped
]: ...
def load(paths: list[str], layouts: Any,  # int64 (n, 5): data_offset, rows, columns, file_size, header_digest
         out: Any, height: int, width: int, planes: int, wide: bool, threads: int,
         progress: _Progress, decibels: bool = False, floor: float = 0.0, /) -> None: ...
