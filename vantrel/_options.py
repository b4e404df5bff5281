"""The checks of the options scan, load and the image export share: threads and flags."""

from __future__ import annotations

import operator
import os

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
