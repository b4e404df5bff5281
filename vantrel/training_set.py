"""``MSTAR``: a map-style dataset of a benchmark split, in the convention of the deep-learning
libraries' dataset classes, loaded once into memory or read batch by batch. It needs no
deep-learning library itself."""

from __future__ import annotations

import numbers
import os
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, overload

from ._options import check_flag
from .catalog import Catalog, scan
from .defaults import FLOOR_DB, OFMT, SIZE
from .loading import _window, check_not_empty
from .transforms import Compose, _Transform

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import DTypeLike


class MSTAR:
    """The chips of a split, each with its label: ``x, label = dataset[i]``.

    `root_or_catalog` is a release folder (scanned), a Catalog (split with `split` and `subset`),
    or a Catalog made by ``split`` (taken as it is; naming another `split` or `subset` with it is a
    ValueError). `size`, `ofmt`, `dtype`, `db`, `floor_db` and
    `channels_first` are those of ``Catalog.load``: with ``channels_first=True`` an item is
    (C, H, W), as torch's convolutions take it (give the transforms ``channels_first=True`` too).
    `transform` is applied to each item's array and `target_transform` to its label (an int
    indexing ``classes``). The whole split is loaded when the dataset is made; ``data`` holds the
    stacked array and ``targets`` the labels. With ``in_memory=False`` only the catalog is kept
    and each item, or each batch of ``__getitems__``, is read when asked for, by the native
    parallel load (the same values bit for bit): memory stays bounded by the batch. An item's
    array is a copy, so a transform may change it in place.

    ``__getitems__(indices)`` gives the items of a batch in one call, a ``Batch``: torch's
    DataLoader fetches its batches so, by one fancy index of ``data`` (a crop cuts its windows
    from ``data`` directly), or with ``in_memory=False`` one load, and the transform runs once on
    the stack. torch's default collate then takes the Batch whole, without a pass per item, and
    a DataLoader worker sends it as one block of shared memory, reused once the batch is dropped.

    `val_fraction` holds out that share of the split for validation, by
    ``catalog.random_split((1 - val_fraction, val_fraction), seed=seed)`` (stratified per class):
    ``MSTAR(root, subset="train", val_fraction=0.2)`` is the training side and the same call
    with ``val=True`` the validation side; the same seed gives the same sides everywhere.

    With PyTorch, ``torch.utils.data.DataLoader(MSTAR(root), batch_size=64, shuffle=True)``
    batches it as it is ('c' as complex64 tensors). The usual recipe trains on random crops and
    tests on centre crops: ``MSTAR(root, size=128, transform=vantrel.transforms.RandomCrop(88))``
    and ``MSTAR(root, subset="test", size=128, transform=vantrel.transforms.CenterCrop(88))``;
    the random transforms draw afresh in each DataLoader worker and epoch (see
    ``vantrel.transforms``).

    Attributes
    ----------
    classes : tuple of str
        The split's class names, in label order.
    class_to_idx : dict of str to int
        Each class name's label.
    data : numpy.ndarray or None
        The stacked chips, as ``Catalog.load`` gives them; None with ``in_memory=False``.
    targets : numpy.ndarray
        One int64 label per chip.
    catalog : Catalog
        The chips' records, row `i` for item `i`.
    root : str or None
        The folder scanned (for a Catalog given, its ``root``).

    Raises
    ------
    ValueError
        For a split, subset or `val_fraction` out of range, a split without chips (naming the
        release CDs that hold a named one) or a side of `val_fraction` without any, and as
        ``Catalog.load`` raises.
    OSError
        As ``scan`` and ``Catalog.load`` raise.
    """

    def __init__(self, root_or_catalog: str | os.PathLike[str] | Catalog, split: str | dict[str, Any] = "soc",
                 subset: str | None = "train", size: int | tuple[int, int] | None = SIZE, ofmt: str = OFMT,
                 dtype: DTypeLike | None = None, transform: Callable[[Any], Any] | None = None,
                 target_transform: Callable[[int], Any] | None = None, *, db: bool = False,
                 floor_db: float = FLOOR_DB, val_fraction: float | None = None, val: bool = False, seed: int = 0,
                 threads: int | None = None, progress: bool | None = None, channels_first: bool = False,
                 in_memory: bool = True) -> None:
        catalog = root_or_catalog if isinstance(root_or_catalog, Catalog) else scan(root_or_catalog, threads=threads,
                                                                                   progress=progress)
        self.root = catalog.root
        if catalog.classes is None:
            catalog = catalog.split(split, subset)
        elif (split, subset) != ("soc", "train"):  # named, not left to the defaults: it must be the catalog's
            _check_same_split(catalog.split_name, split, subset)
        check_not_empty(catalog)
        if val_fraction is not None:
            if not isinstance(val_fraction, numbers.Real) or isinstance(val_fraction, bool) or not 0 < val_fraction < 1:
                raise ValueError(f"val_fraction must lie between 0 and 1, not {val_fraction!r}")
            whole = len(catalog)
            catalog = catalog.random_split((1 - val_fraction, val_fraction), seed=seed)[1 if val else 0]
            if not len(catalog):
                raise ValueError(f"val_fraction={val_fraction!r} leaves the {'validation' if val else 'training'} "
                                 f"side of the {whole} chips empty")
        elif val:
            raise ValueError("val=True needs a val_fraction")
        self.catalog = catalog
        assert catalog.classes is not None and catalog.labels is not None  # a split has both
        check_flag("in_memory", in_memory)
        self.classes: tuple[str, ...] = catalog.classes
        self.class_to_idx: dict[str, int] = {name: i for i, name in enumerate(self.classes)}
        self.targets: np.ndarray = catalog.labels
        self.format = ofmt
        self._size = _window(catalog, size)  # size=None: the chips' own, checked once for all
        self._options: dict[str, Any] = {"ofmt": ofmt, "dtype": dtype, "db": db, "floor_db": floor_db,
                                         "threads": threads, "channels_first": channels_first}
        self.data: np.ndarray | None = None
        if in_memory:
            self.data = catalog.load(self._size, progress=progress, **self._options)
            first = self.data[:1]
        else:
            first = self._load([0])  # the options checked now, not at the first batch
        self._item = first.shape[1:], first.dtype
        self.transform = transform
        self.target_transform = target_transform

    def __len__(self) -> int:
        return len(self.targets)

    def __getitem__(self, index: int) -> tuple[Any, Any]:
        """The chip's array (a copy, transformed) and its label (transformed).

        Raises
        ------
        IndexError
            For an index out of range.
        """
        index = range(len(self))[index]
        x = self.data[index].copy() if self.data is not None else self._load([index])[0]
        return self._item_of(x, index)

    def __getitems__(self, indices: Sequence[int]) -> Batch:
        """The items at `indices`, as ``[self[i] for i in indices]`` gives them, in one call: a
        ``Batch``, a sequence of those ``(x, label)`` pairs holding the arrays stacked. The
        transform sees the whole stack (vantrel's transforms draw for all items at once, a crop
        cuts its windows straight from ``data``); one without ``batch`` is called per item.

        Raises
        ------
        IndexError
            For an index out of range.
        """
        n = range(len(self))
        positions = [n[i] for i in indices]
        _hand_batches_whole_to_torch()
        labels: Any = self.targets[positions]
        if self.target_transform is not None:
            labels = [self.target_transform(int(label)) for label in labels]
        return Batch(self._stack(positions), labels)

    def _stack(self, positions: list[int]) -> Any:
        t = self.transform
        if self.data is not None and isinstance(t, (_Transform, Compose)):
            return t._at(self.data, positions)
        x = self.data[positions] if self.data is not None else self._load(positions)
        if t is None:
            return x
        return t.batch(x) if hasattr(t, "batch") else [t(item) for item in x]

    def _load(self, positions: list[int]) -> np.ndarray:
        return self.catalog[positions].load(self._size, progress=False, **self._options)

    def _item_of(self, x: Any, index: int) -> tuple[Any, Any]:
        label = int(self.targets[index])
        if self.transform is not None:
            x = self.transform(x)
        if self.target_transform is not None:
            label = self.target_transform(label)
        return x, label

    def stats(self) -> tuple[np.ndarray, np.ndarray]:
        """The per-channel mean and std of the items as loaded, before the transforms: what
        ``catalog.stats`` gives with the dataset's size, format and decibels."""
        return self.catalog.stats(self._size, self.format, db=self._options["db"], floor_db=self._options["floor_db"],
                                  threads=self._options["threads"])

    def __repr__(self) -> str:
        # As the deep-learning libraries' datasets show themselves.
        size = "x".join(str(n) for n in self._size)
        lines = [f"Number of datapoints: {len(self)}", f"Root location: {self.root}",
                 f"Split: {self.catalog.split_name}", f"Classes: {len(self.classes)}", f"Size: {size}",
                 f"Format: {self.format} ({self._item[1]})"]
        for name in ("transform", "target_transform"):
            if getattr(self, name) is not None:
                lines.append(f"{name.replace('_', ' ').capitalize()}: {getattr(self, name)!r}")
        return "\n".join([f"Dataset {type(self).__name__}", *("    " + line for line in lines)])


def _check_same_split(name: str | None, split: str | dict[str, Any], subset: str | None) -> None:
    from .splits import _named

    asked = "of your own" if isinstance(split, dict) else _named(split, subset)[0]
    if asked != name:
        raise ValueError(f"the catalog given is the split {name}, not {asked}: give the catalog alone, or "
                         "the catalog it was split from")


class _Item(tuple[Any, Any]):
    """An ``(x, label)`` pair of a Batch: its type tells torch's collate to take the batch whole."""

    __slots__ = ()


class Batch(Sequence[tuple[Any, Any]]):
    """The items of a batch as ``MSTAR.__getitems__`` gives them: a sequence of ``(x, label)``
    pairs, that holds the transformed arrays stacked in ``data`` (a list where a transform gives
    items of its own kind) and the labels in ``targets``.

    torch's default collate, once the dataset has given a Batch in that process, turns it into
    ``[x, labels]`` as it would the pairs, without a pass per item: ``torch.from_numpy`` of the
    stack (which a DataLoader worker sends through shared memory) and of the labels.
    """

    __slots__ = ("data", "targets")

    def __init__(self, data: Any, targets: Any) -> None:
        self.data = data
        self.targets = targets

    def __len__(self) -> int:
        return len(self.targets)

    @overload
    def __getitem__(self, index: int) -> tuple[Any, Any]: ...
    @overload
    def __getitem__(self, index: slice) -> Batch: ...

    def __getitem__(self, index: int | slice) -> tuple[Any, Any] | Batch:
        if isinstance(index, slice):
            return Batch(self.data[index], self.targets[index])
        label = self.targets[index]
        return _Item((self.data[index], label if isinstance(self.targets, list) else int(label)))


def _collate_batch(batch: Sequence[tuple[Any, Any]], *, collate_fn_map: dict[Any, Any] | None = None) -> list[Any]:
    """torch's collate of the pairs of a Batch: its arrays whole, each a tensor."""
    collate = sys.modules["torch.utils.data._utils.collate"].collate
    if not isinstance(batch, Batch):  # pairs of Batches regrouped: item by item
        return [collate(list(column), collate_fn_map=collate_fn_map) for column in zip(*batch)]
    x, labels = batch.data, batch.targets
    if not (_plain(x) and _plain(labels)):  # a transform's own kind of item, or transformed labels
        return [x if _is_tensor(x) else collate(list(x), collate_fn_map=collate_fn_map),
                labels if _is_tensor(labels) else collate(list(labels), collate_fn_map=collate_fn_map)]
    torch = sys.modules["torch"]
    if sys.modules["torch.utils.data"].get_worker_info() is None:
        import numpy as np

        return [torch.from_numpy(np.require(part, requirements=("C", "W"))) for part in (x, labels)]
    # A worker's batch crosses to the main process as one block of shared memory (one handle to
    # pass, rather than one a tensor), the labels after the stack; a block the main process has
    # let go of is filled again, sparing the new block's page faults on both sides.
    start = -(-x.nbytes // 8) * 8
    size = start + labels.nbytes
    global _blocks
    if _blocks is None or _blocks.size < size:
        _blocks = _Blocks(torch, size)
    slot = _blocks.take()
    if slot is None:
        block = torch.empty(0, dtype=torch.uint8)._typed_storage()._new_shared(size)
        whole = torch.empty(0, dtype=torch.uint8).set_(block)
    else:
        whole = _blocks.whole[_blocks.start(slot):_blocks.start(slot) + size]
    layout = [(offset, part.dtype.str, part.shape) for offset, part in ((0, x), (start, labels))]
    shared = _views(torch, whole, layout)
    for tensor, part in zip(shared, (x, labels)):
        tensor.numpy()[...] = part
    return shared if slot is None else _Shipped(shared, _blocks.whole, slot, layout)


_SLOTS = 8  # a worker's reused blocks: more than its batches in flight and the main process's in hand


class _Blocks:
    """A worker's blocks, in one piece of shared memory that begins with a flag a block: the worker
    sets it when it fills the block, the main process clears it when the batch's tensors die."""

    def __init__(self, torch: Any, size: int) -> None:
        self.size = -(-size // 64) * 64
        storage = torch.empty(0, dtype=torch.uint8)._typed_storage()._new_shared(64 + _SLOTS * self.size)
        self.whole = torch.empty(0, dtype=torch.uint8).set_(storage)
        self.flags = self.whole[:_SLOTS].numpy()
        self.flags[:] = 0

    def start(self, slot: int) -> int:
        return 64 + slot * self.size

    def take(self) -> int | None:
        for slot in range(_SLOTS):
            if not self.flags[slot]:
                self.flags[slot] = 1
                return slot
        return None


_blocks: _Blocks | None = None


def _views(torch: Any, whole: Any, layout: list[tuple[int, str, tuple[int, ...]]]) -> list[Any]:
    """The tensors lying in the bytes `whole` at (offset, NumPy dtype, shape) each."""
    import numpy as np

    views = []
    for offset, kind, shape in layout:
        dtype = np.dtype(kind)
        count = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
        views.append(whole[offset:offset + count].view(torch.from_numpy(np.empty(0, dtype)).dtype).view(shape))
    return views


class _Shipped(list[Any]):
    """A worker's [x, labels] in one of its reused blocks: pickled as the handle of all its blocks
    and the place of these, so that the main process can tell the worker when it lets go."""

    def __init__(self, tensors: list[Any], whole: Any, slot: int, layout: list[tuple[int, str, tuple[int, ...]]]):
        super().__init__(tensors)
        self._sent = (tensors, whole, slot, layout)

    def __reduce__(self) -> tuple[Any, ...]:
        tensors, whole, slot, layout = self._sent
        if len(self) != len(tensors) or any(a is not b for a, b in zip(self, tensors)):  # a collate_fn's change
            return list, (list(self),)
        return _received, (whole, slot, layout)


def _received(whole: Any, slot: int, layout: list[tuple[int, str, tuple[int, ...]]]) -> list[Any]:
    """The main process's side of _Shipped: the tensors, on a lease of their block that clears the
    block's flag when the last of them dies."""
    torch = sys.modules["torch"]
    _kept.append(whole)  # keeps the workers' blocks mapped between batches (the last 16 batches')
    del _kept[:-16]
    every = whole.numpy()
    size = (len(every) - 64) // _SLOTS
    lease = every[64 + slot * size:64 + (slot + 1) * size].view(_lease_type())
    lease.taken, lease.slot = every[:_SLOTS], slot
    return _views(torch, torch.from_numpy(lease), layout)


_kept: list[Any] = []
_lease: Any = None


def _lease_type() -> Any:
    global _lease
    if _lease is None:
        import numpy as np

        class Lease(np.ndarray):
            """A block's bytes in the main process: when they die, the worker may fill it again."""

            slot: int

            def __del__(self) -> None:
                taken = self.__dict__.get("taken")  # the views NumPy makes of a lease have none
                if taken is not None:
                    taken[self.slot] = 0

        _lease = Lease
    return _lease


def _is_tensor(values: Any) -> bool:
    return isinstance(values, sys.modules["torch"].Tensor)


def _plain(values: Any) -> bool:
    """Whether `values` is a NumPy array of a type torch takes."""
    return type(values).__module__ == "numpy" and values.dtype.kind in "biufc" and values.dtype.isnative


def _hand_batches_whole_to_torch() -> None:
    """Teach torch's default collate, where torch is loaded, to take a Batch whole (its map of
    element types to collate functions is the way torch offers to extend it)."""
    module = sys.modules.get("torch.utils.data._utils.collate")
    table = getattr(module, "default_collate_fn_map", None)
    if isinstance(table, dict) and _Item not in table:
        table[_Item] = _collate_batch
