"""Where ``mstar_header`` and ``mstar_raw`` come from: the extension ``vantrel.datasets.mstar`` on
CPython 3.13, ``vantrel.portable`` (the same values) elsewhere. Imported on first use, inside
``reader()``, so that the package and its modules reach the reader without importing each other
(nor NumPy) at import time."""

from __future__ import annotations

import importlib
import sys
from types import ModuleType

# The one interpreter the reader module is built for. CMakeLists.txt and pyproject.toml state it
# for the build; tests/test_package.py checks that they agree with this.
READER_PYTHON = (3, 13)
READER_PYTHON_NAME = "CPython " + ".".join(map(str, READER_PYTHON))


def reader_python() -> bool:
    """Whether this interpreter is the one the reader module is built for: READER_PYTHON."""
    return sys.version_info[:2] == READER_PYTHON and sys.implementation.name == "cpython"


def reader_module_built() -> bool:
    # The reader module is a READER_PYTHON module; a wheel built for the stable ABI leaves it out.
    if not reader_python():
        return False
    import importlib.util

    return importlib.util.find_spec("vantrel.datasets.mstar") is not None


def reader() -> ModuleType:
    """The module that defines mstar_header and mstar_raw here."""
    if reader_module_built():
        return importlib.import_module("vantrel.datasets.mstar")  # an extension: found at run time
    from . import portable

    return portable
