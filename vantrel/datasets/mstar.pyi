# What type checkers and editors see of the extension module vantrel.datasets.mstar.
import os
from typing import Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt

_File: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes] | int
# Amplitude-phase and real-imaginary: float64, shape (rows, columns, 2).
_PlanesFormat: TypeAlias = Literal["ap", "amppha", "AP", "AMPPHA", "r", "real", "REAL"]
# Complex: complex128, shape (rows, columns); the default.
_ComplexFormat: TypeAlias = Literal["c", "cplx", "complex", "C", "CPLX", "COMPLEX"]

def mstar_header(filepath: _File) -> dict[str, str]: ...
@overload
def mstar_raw(filepath: _File, ofmt: _PlanesFormat) -> npt.NDArray[np.float64]: ...
@overload
def mstar_raw(filepath: _File, ofmt: _ComplexFormat = "c") -> npt.NDArray[np.complex128]: ...
@overload
def mstar_raw(filepath: _File, ofmt: object = "c") -> np.ndarray | None: ...  # None: no such format
