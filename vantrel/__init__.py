"""vantrel: fast, exact readers for radar data sets.

``mstar_header`` and ``mstar_raw`` come from the extension ``vantrel.datasets.mstar``; they are
handed on lazily, so that ``import vantrel`` imports neither the extension nor NumPy.
"""

import os as _os

TYPE_CHECKING = False  # true for type checkers only; spares importing typing
if TYPE_CHECKING:  # at run time these names come from __getattr__, on first use
    from .datasets.mstar import mstar_header, mstar_raw
del TYPE_CHECKING

__version__ = "0.1.0"
__all__ = ["data_path", "mstar_header", "mstar_raw"]

_DATA_DIR = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "data")
_DATA_SETS = ("mstar",)
_LAZY = {"mstar_header", "mstar_raw"}


def data_path(name):
    """Return the directory of the bundled sample files of data set `name`.

    The result is a ``str`` ending with the path separator, so that a file name can be appended
    directly: ``data_path('mstar') + 'BTR70_HB03787.004'``.
    """
    if name not in _DATA_SETS:
        raise ValueError(f"no sample data for {name!r}; known data sets: {', '.join(_DATA_SETS)}")
    return _os.path.join(_DATA_DIR, name, "")


def __getattr__(name):
    if name in _LAZY:
        from .datasets import mstar

        value = getattr(mstar, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | _LAZY)
