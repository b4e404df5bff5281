"""The defaults of the load, the dataset, the transforms, the image export and the command, and the
output formats in both vocabularies: the dataset layer's ``ofmt`` (``Catalog.load``, ``MSTAR``,
``vantrel export``) and the single-chip reader's (``mstar_raw``). Every module takes them from here.
"""

from __future__ import annotations

from typing import NamedTuple

SIZE = 128
"""The window's side: chips are loaded as centred 128 x 128 windows."""

FLOOR_DB = -100.0
"""The floor of the amplitude in decibels, ``20 log10(max(A, 10 ** (floor_db / 20)))``."""

DB_RANGE = (-60.0, 10.0)
"""The decibels an image export maps onto black .. white (see ``vantrel.images``)."""

OFMT = "a"
"""The dataset layer's default format: the amplitude."""


class Format(NamedTuple):
    """One of the dataset layer's output formats."""

    meaning: str
    values: int  # values per sample
    complex: bool  # whether the result is complex


OFMTS = {
    "a": Format("amplitude, (H, W)", 1, False),
    "ap": Format("amplitude and phase, (H, W, 2)", 2, False),
    "r": Format("real and imaginary parts, A cos P and A sin P, (H, W, 2)", 2, False),
    "c": Format("complex, A cos P + i A sin P, (H, W)", 2, True),
}
"""The dataset layer's formats, by name (the native load accepts the same names)."""

DECIBEL_OFMTS = ("a", "ap")
"""The formats whose amplitude ``db=True`` gives in decibels."""

READER_OFMTS = {
    "ap": ("amplitude and phase, (rows, columns, 2)", ("ap", "amppha", "AP", "AMPPHA")),
    "r": ("real and imaginary parts, (rows, columns, 2)", ("r", "real", "REAL")),
    "c": ("complex, (rows, columns)", ("c", "cplx", "complex", "C", "CPLX", "COMPLEX")),
}
"""The reader's (``mstar_raw``'s) formats: each one's meaning and every spelling it accepts."""
