# What type checkers see of the native module behind vantrel.catalog and vantrel.loading.
from collections.abc import Callable
from typing import Any

_Progress = Callable[[int, int], object] | None

def scan(root: bytes, verify: bool, threads: int, progress: _Progress, /) -> tuple[
    tuple[list[str], list[str], list[str], list[str]],  # path, target_type, serial, header_version
    tuple[bytes, bytes, bytes, bytes, bytes],  # float64 depression, azimuth; int64 rows, columns, data_offset
    list[tuple[str, str]],  # (path, reason) of the files skipped
]: ...
def load(paths: list[str], layouts: Any, out: Any, height: int, width: int, planes: int, wide: bool, threads: int,
         progress: _Progress, decibels: bool = False, floor: float = 0.0, /) -> None: ...
