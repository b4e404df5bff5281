"""vantrel: fast, exact readers for radar data sets.

``mstar_header`` and ``mstar_raw`` come from the extension ``vantrel.datasets.mstar`` on CPython
3.13 and from the dataset layer's ``vantrel.portable`` elsewhere (the same values); ``scan``,
``Catalog``, ``Record``, ``SPLITS``, ``MSTAR``, ``load_saved`` and the errors (``ChipError``, ...) from
the dataset layer. All are handed on lazily, so that ``import vantrel`` imports neither the
extensions nor NumPy.
"""

import os as _os

TYPE_CHECKING = False  # true for type checkers only; spares importing typing
if TYPE_CHECKING:  # at run time these names come from __getattr__, on first use
    from .catalog import Catalog, Record, scan
    from .training_set import MSTAR
    from .datasets.mstar import mstar_header, mstar_raw
    from .errors import ChangedSinceScanError, ChipError, SplitCountError, SplitCountWarning
    from .loading import load_saved
    from .splits import SPLITS
del TYPE_CHECKING

__version__ = "0.1.0"
__all__ = ["data_path", "mstar_header", "mstar_raw", "scan", "Catalog", "Record", "SPLITS", "MSTAR", "load_saved",
           "ChipError", "ChangedSinceScanError", "SplitCountError", "SplitCountWarning"]

_DATA_DIR = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "data")
_DATA_SETS = ("mstar",)
# name -> the module that defines it
_LAZY = {"mstar_header": "datasets.mstar", "mstar_raw": "datasets.mstar", "scan": "catalog", "Catalog": "catalog",
         "Record": "catalog", "SPLITS": "splits", "MSTAR": "training_set", "load_saved": "loading",
         **dict.fromkeys(("ChipError", "ChangedSinceScanError", "SplitCountError", "SplitCountWarning"), "errors")}


def data_path(name: str) -> str:
    """Return the directory of the bundled sample files of data set `name`.

    The result is a ``str`` ending with the path separator, so that a file name can be appended
    directly: ``data_path('mstar') + 'BTR70_HB03787.004'``.

    Parameters
    ----------
    name : str
        A data set with sample files: 'mstar'.

    Returns
    -------
    str
        The directory, ending with the path separator.

    Raises
    ------
    ValueError
        For a data set without sample files.
    """
    if name not in _DATA_SETS:
        raise ValueError(f"no sample data for {name!r}; known data sets: {', '.join(_DATA_SETS)}")
    return _os.path.join(_DATA_DIR, name, "")


def __getattr__(name: str) -> object:
    if name in _LAZY:
        import importlib

        if _LAZY[name] == "datasets.mstar":
            from ._reader import reader

            value = getattr(reader(), name)
        else:
            value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
