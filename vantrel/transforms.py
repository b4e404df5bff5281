"""Transforms of one chip's array, in the deep-learning libraries' convention: callables, chained
with ``Compose``, for ``MSTAR(..., transform=...)``.

Each takes an array of shape (H, W) or (H, W, C), what ``MSTAR[i]`` gives, and returns a new
one. They work on torch tensors of the same shapes too (crops by slicing, the others by the
tensor's own methods), without importing torch.

The usual recipe loads a window larger than the crop, trains on random crops of it and tests on
centre crops::

    train = MSTAR(root, "soc", "train", size=128, transform=RandomCrop(88, seed=0))
    test = MSTAR(root, "soc", "test", size=128, transform=CenterCrop(88))
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from ._options import check_size

__all__ = ["CenterCrop", "RandomCrop", "ToDecibels", "Normalize", "Compose"]


def _plane_size(x: Any) -> tuple[int, int]:
    shape = tuple(x.shape)
    if len(shape) not in (2, 3):
        raise ValueError(f"expected an array of shape (H, W) or (H, W, C), not {shape}")
    return shape[0], shape[1]


def _copy(x: Any) -> Any:
    clone = getattr(x, "clone", None)  # a torch tensor
    return clone() if clone is not None else x.copy()


def _is_numpy(x: Any) -> bool:
    return type(x).__module__.split(".")[0] == "numpy"


def _float_type(x: Any) -> Any:
    """The array's own floating type, else float64."""
    import numpy as np

    return x.dtype if x.dtype.kind == "f" else np.dtype(np.float64)


def _is_complex(x: Any) -> bool:
    return x.dtype.kind == "c" if _is_numpy(x) else bool(x.is_complex())


def _float_copy(x: Any) -> Any:
    if _is_numpy(x):
        return x.astype(_float_type(x))  # a copy
    return x.clone() if x.is_floating_point() else x.double()


class _Crop:
    def __init__(self, size: int | tuple[int, int]) -> None:
        self.size = check_size(size, "crop size")

    def _crop(self, x: Any, top: int, left: int) -> Any:
        height, width = self.size
        return _copy(x[top:top + height, left:left + width])

    def _room(self, x: Any) -> tuple[int, int]:
        """How far the crop may move down and right in `x`."""
        rows, columns = _plane_size(x)
        height, width = self.size
        if height > rows or width > columns:
            raise ValueError(f"crop of {height}x{width} is larger than the {rows}x{columns} input")
        return rows - height, columns - width

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.size[0]}x{self.size[1]})"


class CenterCrop(_Crop):
    """The centred window of `size` (an int or (height, width)): it starts at row ``(H - h) // 2``
    and column ``(W - w) // 2``, as ``Catalog.load`` centres its windows.

    Raises
    ------
    ValueError
        When made, for a size that is not a positive int or pair of them; when called, for a
        crop larger than its input.
    """

    def __call__(self, x: Any) -> Any:
        down, right = self._room(x)
        return self._crop(x, down // 2, right // 2)


class RandomCrop(_Crop):
    """A window of `size` at a place drawn uniformly from all that fit, by its own
    ``numpy.random.Generator``: the same `seed` gives the same crops in the same order.

    In a torch DataLoader with several workers, each worker gets a copy of the generator; give
    each its own seed (``worker_init_fn``) if the workers must draw differently.

    Parameters
    ----------
    size : int or (int, int)
        The crop's height and width.
    seed : int, optional
        The generator's seed.

    Raises
    ------
    ValueError
        As ``CenterCrop``.
    """

    def __init__(self, size: int | tuple[int, int], *, seed: int | None = None) -> None:
        import numpy as np

        super().__init__(size)
        self.generator = np.random.default_rng(seed)

    def __call__(self, x: Any) -> Any:
        down, right = self._room(x)
        top, left = (int(v) for v in self.generator.integers(0, (down + 1, right + 1)))
        return self._crop(x, top, left)


class ToDecibels:
    """Amplitude in decibels: ``20 log10(max(A, 10 ** (floor_db / 20)))``, computed in double
    precision and returned in the input's floating type. Of an (H, W, C) array only the first
    channel (the amplitude of ``ofmt='ap'``) is converted; the others are kept. Of a complex (H, W)
    array (``ofmt='c'``) it is the dB of the magnitude ``|z|``, a real array.

    ``Catalog.load(..., db=True)`` gives the same values without a pass per item."""

    def __init__(self, floor_db: float = -100.0) -> None:
        self.floor_db = float(floor_db)
        if self.floor_db != self.floor_db or self.floor_db == float("inf"):  # as the load refuses them
            raise ValueError(f"floor_db must be a number below infinity, not {self.floor_db!r}")
        self.floor = 10 ** (self.floor_db / 20)

    def _decibels(self, amplitude: Any) -> Any:
        # A floor below the smallest double is 0: zeros then take floor_db itself, as in the load.
        lowest = self.floor_db if self.floor == 0 and self.floor_db != -float("inf") else None
        if _is_numpy(amplitude):
            import numpy as np

            with np.errstate(divide="ignore"):  # a floor of -inf dB gives -inf for zeros
                wide = 20 * np.log10(np.maximum(amplitude.astype(np.float64), self.floor))
            if lowest is not None:
                wide[np.isneginf(wide)] = lowest
            return wide.astype(_float_type(amplitude), copy=False)
        wide = amplitude.double().clamp(min=self.floor).log10() * 20
        if lowest is not None:
            wide = wide.clamp(min=lowest)
        return wide.to(amplitude.dtype) if amplitude.is_floating_point() else wide

    def __call__(self, x: Any) -> Any:
        _plane_size(x)
        if _is_complex(x):
            if len(x.shape) != 2:
                raise ValueError("ToDecibels of a complex array takes an (H, W) one: the dB of |z|")
            return self._decibels(abs(x))  # the magnitude, never the real part alone
        if len(x.shape) == 2:
            return self._decibels(x)
        out = _float_copy(x)
        out[..., 0] = self._decibels(x[..., 0])
        return out

    def __repr__(self) -> str:
        return f"ToDecibels(floor_db={self.floor_db!r})"


class Normalize:
    """``(x - mean) / std``: `mean` and `std` each a number, or one per channel of an (H, W, C)
    array. A complex array stays complex (both parts scaled).

    Raises
    ------
    ValueError
        When made, for a mean or std that is not finite or a std of zero; when called, for one
        value per channel that does not match the input's channels.
    """

    def __init__(self, mean: float | Sequence[float], std: float | Sequence[float]) -> None:
        import numpy as np

        self.mean = np.asarray(mean, dtype=np.float64)
        self.std = np.asarray(std, dtype=np.float64)
        for name, value in (("mean", self.mean), ("std", self.std)):
            if value.ndim > 1 or not np.all(np.isfinite(value)):
                raise ValueError(f"{name} must be a finite number or a sequence of them, not {value.tolist()!r}")
        if np.any(self.std == 0):
            raise ValueError("std must not be zero")

    def __call__(self, x: Any) -> Any:
        _plane_size(x)
        channels = x.shape[2] if len(x.shape) == 3 else 1
        for name, value in (("mean", self.mean), ("std", self.std)):
            if value.ndim == 1 and value.size not in (1, channels):
                raise ValueError(f"{name} has {value.size} values for {channels} channels")
        if _is_numpy(x):
            kind = x.dtype if x.dtype.kind == "c" else _float_type(x)  # complex stays complex, both parts scaled
            return ((x - self.mean.astype(kind)) / self.std.astype(kind)).astype(kind, copy=False)
        wide = x if x.is_floating_point() or x.is_complex() else x.double()
        return (wide - wide.new_tensor(self.mean.tolist())) / wide.new_tensor(self.std.tolist())

    def __repr__(self) -> str:
        return f"Normalize(mean={self.mean.tolist()!r}, std={self.std.tolist()!r})"


class Compose:
    """The transforms in order: ``Compose([RandomCrop(88), Normalize(0.05, 0.1)])``."""

    def __init__(self, transforms: Sequence[Callable[[Any], Any]]) -> None:
        self.transforms = list(transforms)
        for t in self.transforms:
            if not callable(t):
                raise TypeError(f"not a transform (not callable): {t!r}")

    def __call__(self, x: Any) -> Any:
        for t in self.transforms:
            x = t(x)
        return x

    def __repr__(self) -> str:
        return "Compose([" + ", ".join(repr(t) for t in self.transforms) + "])"
