"""The checks of the options scan, load, the transforms and the image export share: threads, flags
and window sizes."""

from __future__ import annotations

import operator
import os
from typing import Any

# A load with more threads than this gains nothing: larger values are taken as it.
MAX_THREADS_PER_CPU = 4


def default_threads() -> int:
    """The CPUs this process may use (os.process_cpu_count from 3.13 on)."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def check_threads(threads: int | None) -> int:
    """Threads to run with: None gives the CPUs this process may use; a whole number of at least 1
    is taken up to MAX_THREADS_PER_CPU times those CPUs, larger numbers as that cap."""
    if threads is None:
        return default_threads()
    try:
        count = operator.index(threads) if not isinstance(threads, bool) else None
    except TypeError:
        count = None
    if count is None or count < 1:
        raise ValueError(f"threads must be a whole number of at least 1, not {threads!r}")
    return min(count, MAX_THREADS_PER_CPU * default_threads())


def check_flag(name: str, value: object, none: bool = False) -> None:
    if not (isinstance(value, bool) or (none and value is None)):
        allowed = "True, False or None" if none else "True or False"
        raise TypeError(f"{name} must be {allowed}, not {value!r}")


def check_size(size: Any, what: str = "size") -> tuple[int, int]:
    """(height, width) of a window given as one positive whole number (int or NumPy integer) or a
    pair of them; ValueError naming `what` otherwise."""

    def whole(value: Any) -> int:
        if isinstance(value, bool):
            raise TypeError
        return operator.index(value)  # int and NumPy integers; not floats

    try:
        try:
            height = width = whole(size)
        except TypeError:
            pair = tuple(size)  # not a whole number: a pair, or the TypeError below
            if len(pair) != 2:
                raise ValueError from None
            height, width = (whole(v) for v in pair)
        if height < 1 or width < 1:
            raise ValueError
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a positive int or a pair (height, width) of them, not {size!r}") from None
    return height, width
