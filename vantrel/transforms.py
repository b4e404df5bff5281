"""Transforms of one chip's array, in the deep-learning libraries' convention: callables, chained
with ``Compose``, for ``MSTAR(..., transform=...)``.

Each takes an array of shape (H, W) or (H, W, C), what ``MSTAR[i]`` gives, and returns a new
one; with ``channels_first=True`` it takes (C, H, W), what ``MSTAR(..., channels_first=True)``
gives. Torch tensors work too, without vantrel importing torch: a 3-D tensor is (C, H, W) unless
``channels_first=False``, and the result is a tensor of the same dtype on the same device.
``t.batch(x)`` transforms a stack of items (their first axis) in one call, as ``t(x[i])`` would
each; a random transform draws for each item, all the batch's draws at once (with a `seed`, the
same numbers as item by item), and a crop cuts all the windows in one gather.

The usual recipe loads a window larger than the crop, trains on random crops (and flips) of it
and tests on centre crops::

    train = MSTAR(root, "soc", "train", size=128, transform=Compose([RandomCrop(88), RandomFlip()]))
    test = MSTAR(root, "soc", "test", size=128, transform=CenterCrop(88))

Where the random transforms draw from, so that every DataLoader worker and every epoch gets
fresh draws, and a run repeats with the same seeds:

- in a torch DataLoader worker, from torch's default generator, which the DataLoader seeds for
  each worker and each epoch from ``torch.manual_seed`` or its ``generator=`` (`seed` is not
  used there);
- elsewhere, from the transform's own NumPy generator when it is given a `seed` (one
  reproducible sequence), else from torch's default generator if torch has been imported, else
  from a NumPy generator seeded afresh by the system.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from typing import Any

from ._options import check_flag, check_size
from .defaults import FLOOR_DB

__all__ = ["CenterCrop", "RandomCrop", "RandomFlip", "ToDecibels", "Normalize", "Compose"]


def _is_numpy(x: Any) -> bool:
    return type(x).__module__.split(".")[0] == "numpy"


def _layout(x: Any, channels_first: bool | None, batched: bool = False) -> tuple[int, int | None]:
    """The axis of `x`'s rows (its columns follow) and that of its channels (None for a plane)."""
    shape = tuple(x.shape)
    lead = 1 if batched else 0
    first = channels_first if channels_first is not None else not _is_numpy(x)
    if len(shape) == lead + 2:
        return lead, None
    if len(shape) == lead + 3:
        return (lead + 1, lead) if first else (lead, lead + 2)
    batch = "N, " if batched else ""
    item = f"({batch}C, H, W)" if first else f"({batch}H, W, C)"
    raise ValueError(f"expected an array of shape ({batch}H, W) or {item}, not {shape}")


def _copy(x: Any) -> Any:
    clone = getattr(x, "clone", None)  # a torch tensor
    return clone() if clone is not None else x.copy()


def _stacked(items: list[Any], like: Any) -> Any:
    if _is_numpy(like):
        import numpy as np

        return np.stack(items)
    return sys.modules["torch"].stack(items)


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


class _Transform:
    """One item by a call, a stack of items by ``batch``; subclasses transform a stack."""

    channels_first: bool | None = None

    def __call__(self, x: Any) -> Any:
        _layout(x, self.channels_first)
        return self.batch(x[None])[0]

    def batch(self, x: Any) -> Any:
        """Each item of the stack `x` (along its first axis) transformed, in one new array."""
        rows, channels = _layout(x, self.channels_first, batched=True)
        return self._apply(x, rows, channels)

    def _apply(self, x: Any, rows: int, channels: int | None) -> Any:
        raise NotImplementedError

    def _at(self, x: Any, positions: Sequence[int]) -> Any:
        """``self.batch(x[positions])``; a crop cuts its windows from `x` without that stack."""
        return self.batch(x[positions])

    def _set_layout(self, channels_first: bool | None) -> None:
        check_flag("channels_first", channels_first, none=True)
        self.channels_first = channels_first


def _torch_draws(seeded: bool) -> Any:
    """torch, where the draws come from its default generator (see the module's docstring)."""
    torch = sys.modules.get("torch")
    if torch is None:
        return None
    data = sys.modules.get("torch.utils.data")
    in_worker = data is not None and data.get_worker_info() is not None
    return torch if in_worker or not seeded else None


class _Random(_Transform):
    def _set_seed(self, seed: int | None) -> None:
        import numpy as np

        self.seed = seed
        self.generator = np.random.default_rng(seed)

    def _integers(self, highs: tuple[int, ...], count: int) -> Any:
        """`count` draws of a whole number below each of `highs`: an array, a row per draw."""
        torch = _torch_draws(self.seed is not None)
        if torch is not None:
            import numpy as np

            return np.stack([torch.randint(0, high, (count,)).numpy() for high in highs], axis=1)
        return self.generator.integers(0, highs, size=(count, len(highs)))

    def _uniform(self, count: int) -> Any:
        torch = _torch_draws(self.seed is not None)
        if torch is not None:
            return torch.rand(count, dtype=torch.float64).numpy()
        return self.generator.random(count)


def _windows(x: Any, rows: int, size: tuple[int, int], items: Sequence[int] | None, tops: Any, lefts: Any) -> Any:
    """Window i of `size` cut from item items[i] of the stack `x` (item i without `items`) at row
    tops[i] and column lefts[i] (arrays), in one gather from a strided view of all windows."""
    import numpy as np

    height, width = size
    shape = tuple(x.shape)
    item = list(shape[1:])
    item[rows - 1:rows + 1] = height, width
    places = (shape[0], shape[rows] - height + 1, shape[rows + 1] - width + 1, *item)
    which = np.arange(len(tops)) if items is None else np.asarray(items, np.intp)
    if _is_numpy(x):
        step = x.strides
        view = np.lib.stride_tricks.as_strided(x, places, (step[0], step[rows], step[rows + 1], *step[1:]),
                                               writeable=False)
        return view[which, tops, lefts]
    torch = sys.modules["torch"]
    step = x.stride()
    view = x.as_strided(places, (step[0], step[rows], step[rows + 1], *step[1:]))
    return view[tuple(torch.as_tensor(i, dtype=torch.long, device=x.device) for i in (which, tops, lefts))]


class _Crop(_Transform):
    def __init__(self, size: int | tuple[int, int], *, channels_first: bool | None = None) -> None:
        self.size = check_size(size, "crop size")
        self._set_layout(channels_first)

    def _room(self, x: Any, rows: int) -> tuple[int, int]:
        """How far the crop may move down and right in `x`."""
        height, width = self.size
        have_rows, have_columns = x.shape[rows], x.shape[rows + 1]
        if height > have_rows or width > have_columns:
            hint = ""
            if self.channels_first is None and x.ndim == 4 and rows == 1 and have_rows <= 4 < x.shape[-1]:
                hint = "; for (C, H, W) input give channels_first=True"
            raise ValueError(f"crop of {height}x{width} is larger than the {have_rows}x{have_columns} input{hint}")
        return have_rows - height, have_columns - width

    def _apply(self, x: Any, rows: int, channels: int | None) -> Any:
        return self._cut(x, rows, None, len(x))

    def _at(self, x: Any, positions: Sequence[int]) -> Any:
        rows, _ = _layout(x, self.channels_first, batched=True)
        return self._cut(x, rows, positions, len(positions))

    def _cut(self, x: Any, rows: int, items: Sequence[int] | None, count: int) -> Any:
        down, right = self._room(x, rows)
        places = self._places(down, right, count)
        return _windows(x, rows, self.size, items, places[:, 0], places[:, 1])

    def _places(self, down: int, right: int, count: int) -> Any:
        """(top, left) of each of `count` windows, an array of a row each."""
        raise NotImplementedError

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

    def _places(self, down: int, right: int, count: int) -> Any:
        import numpy as np

        return np.repeat([[down // 2, right // 2]], count, axis=0)


class RandomCrop(_Crop, _Random):
    """A window of `size` at a place drawn uniformly from all that fit, for each item anew; where
    the draws come from is the module's rule (a DataLoader's workers and epochs each draw
    afresh; with `seed` and no worker, the same seed gives the same crops in the same order).

    Parameters
    ----------
    size : int or (int, int)
        The crop's height and width.
    seed : int, optional
        The seed of the transform's own NumPy generator.
    channels_first : bool, optional
        Whether 3-D input is (C, H, W); by default only torch tensors are.

    Raises
    ------
    ValueError
        As ``CenterCrop``.
    """

    def __init__(self, size: int | tuple[int, int], *, seed: int | None = None,
                 channels_first: bool | None = None) -> None:
        super().__init__(size, channels_first=channels_first)
        self._set_seed(seed)

    def _places(self, down: int, right: int, count: int) -> Any:
        return self._integers((down + 1, right + 1), count)


def _mirrored(x: Any, axis: int) -> Any:
    if _is_numpy(x):
        import numpy as np

        return np.flip(x, axis)
    return x.flip((axis,))


class RandomFlip(_Random):
    """A left-right mirror image with probability `p` (0.5 by default), drawn for each item by
    the module's rule, as ``RandomCrop`` draws.

    Raises
    ------
    ValueError
        For `p` outside 0 .. 1.
    """

    def __init__(self, p: float = 0.5, *, seed: int | None = None, channels_first: bool | None = None) -> None:
        self.p = float(p)
        if not 0 <= self.p <= 1:
            raise ValueError(f"p must lie between 0 and 1, not {p!r}")
        self._set_layout(channels_first)
        self._set_seed(seed)

    def _apply(self, x: Any, rows: int, channels: int | None) -> Any:
        import numpy as np

        out = _copy(x)
        flipped = np.flatnonzero(self._uniform(len(x)) < self.p)
        if len(flipped):
            if not _is_numpy(x):
                flipped = sys.modules["torch"].as_tensor(flipped, device=x.device)
            out[flipped] = _mirrored(x[flipped], rows + 1)  # the items' columns
        return out

    def __repr__(self) -> str:
        return f"RandomFlip(p={self.p!r})"


class ToDecibels(_Transform):
    """Amplitude in decibels: ``20 log10(max(A, 10 ** (floor_db / 20)))``, computed in double
    precision and returned in the input's floating type. Of an array with channels only the
    first channel (the amplitude of ``ofmt='ap'``) is converted; the others are kept. Of a complex
    array (``ofmt='c'``) it is the dB of the magnitude ``|z|``, a real array.

    ``Catalog.load(..., db=True)`` gives the same values without a pass per item."""

    def __init__(self, floor_db: float = FLOOR_DB, *, channels_first: bool | None = None) -> None:
        self._set_layout(channels_first)
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

    def _apply(self, x: Any, rows: int, channels: int | None) -> Any:
        if _is_complex(x):
            return self._decibels(abs(x))  # the magnitude, never the real part alone
        if channels is None:
            return self._decibels(x)
        amplitude = (slice(None),) * channels + (0,)
        out = _float_copy(x)
        out[amplitude] = self._decibels(x[amplitude])
        return out

    def __repr__(self) -> str:
        return f"ToDecibels(floor_db={self.floor_db!r})"


class Normalize(_Transform):
    """``(x - mean) / std``: `mean` and `std` each a number, or one per channel (as
    ``Catalog.stats`` gives them). A complex array stays complex (both parts scaled).

    Raises
    ------
    ValueError
        When made, for a mean or std that is not finite or a std of zero; when called, for one
        value per channel that does not match the input's channels.
    """

    def __init__(self, mean: float | Sequence[float], std: float | Sequence[float], *,
                 channels_first: bool | None = None) -> None:
        import numpy as np

        self._set_layout(channels_first)
        self.mean = np.asarray(mean, dtype=np.float64)
        self.std = np.asarray(std, dtype=np.float64)
        for name, value in (("mean", self.mean), ("std", self.std)):
            if value.ndim > 1 or not np.all(np.isfinite(value)):
                raise ValueError(f"{name} must be a finite number or a sequence of them, not {value.tolist()!r}")
        if np.any(self.std == 0):
            raise ValueError("std must not be zero")

    def _apply(self, x: Any, rows: int, channels: int | None) -> Any:
        count = 1 if channels is None else x.shape[channels]
        for name, value in (("mean", self.mean), ("std", self.std)):
            if value.ndim == 1 and value.size not in (1, count):
                raise ValueError(f"{name} has {value.size} values for {count} channels")
        # One value per channel lies along the channel axis.
        mean, std = (value.reshape(() if value.size == 1 else (count,) + (1,) * (x.ndim - 1 - (channels or 0)))
                     for value in (self.mean, self.std))
        if _is_numpy(x):
            kind = x.dtype if x.dtype.kind == "c" else _float_type(x)  # complex stays complex, both parts scaled
            return ((x - mean.astype(kind)) / std.astype(kind)).astype(kind, copy=False)
        wide = x if x.is_floating_point() or x.is_complex() else x.double()
        return (wide - wide.new_tensor(mean.tolist())) / wide.new_tensor(std.tolist())

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

    def batch(self, x: Any) -> Any:
        """Each item of the stack `x` through the transforms, in one call each where the transform
        has ``batch`` (a plain callable is called per item)."""
        for t in self.transforms:
            if hasattr(t, "batch"):
                x = t.batch(x)
            else:
                x = _stacked([t(item) for item in x], x)
        return x

    def _at(self, x: Any, positions: Sequence[int]) -> Any:
        """``self.batch(x[positions])``, the first transform cutting its windows from `x` itself."""
        first = self.transforms[0] if self.transforms else None
        if not isinstance(first, (_Transform, Compose)):
            return self.batch(x[positions])
        return Compose(self.transforms[1:]).batch(first._at(x, positions))

    def __repr__(self) -> str:
        return "Compose([" + ", ".join(repr(t) for t in self.transforms) + "])"
