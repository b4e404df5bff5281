"""Readers of public data sets; ``vantrel.datasets.mstar`` reads MSTAR target chips.

That module is built for CPython 3.13 only; elsewhere importing it says so, and points at the
dataset layer's readers of the same values."""

import sys

from .._reader import READER_PYTHON_NAME, reader_python

if not reader_python():

    class _ReaderModuleMissing:
        """Finds `vantrel.datasets.mstar` only to say why it cannot be imported here."""

        name = f"{__name__}.mstar"

        @classmethod
        def find_spec(cls, fullname: str, path: object = None, target: object = None) -> None:
            if fullname != cls.name:
                return None
            version = ".".join(map(str, sys.version_info[:2]))
            raise ImportError(f"{cls.name} needs {READER_PYTHON_NAME} (this is {sys.implementation.name} {version}); "
                              "vantrel.mstar_header and vantrel.mstar_raw read the same values on every version",
                              name=cls.name)

    if not any(getattr(finder, "name", None) == _ReaderModuleMissing.name for finder in sys.meta_path):
        sys.meta_path.insert(0, _ReaderModuleMissing)
