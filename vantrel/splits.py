"""The benchmark splits of the MSTAR literature, as data, and the selection of a split's chips.

A split names its classes once, in the order its labels count them; each subset takes, for
some of those classes, the chips of given serial numbers at given depressions. Chips are
assigned by their headers' TargetSerNum (letter case ignored) and DesiredDepression only.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .catalog import Catalog


@dataclass(frozen=True)
class Subset:
    depressions: tuple[float, ...]
    serials: dict[str, tuple[str, ...]]  # class name -> serial numbers
    published: dict[str, int] = field(default_factory=dict)  # class name -> chips in the literature's table


@dataclass(frozen=True)
class Split:
    name: str
    description: str
    classes: tuple[str, ...]
    subsets: dict[str, Subset]


_SOC_SERIALS = {"2S1": ("b01",), "BMP2": ("9563",), "BRDM2": ("E-71",), "BTR60": ("k10yt7532",), "BTR70": ("c71",),
                "D7": ("92v13015",), "T62": ("A51",), "T72": ("132",), "ZIL131": ("E12",), "ZSU234": ("d08",)}
_SOC_TRAIN = dict(zip(_SOC_SERIALS, (299, 233, 298, 256, 233, 299, 299, 232, 299, 299)))
_SOC_TEST = dict(zip(_SOC_SERIALS, (274, 195, 274, 195, 196, 274, 273, 196, 274, 274)))


def _only(table: dict, names) -> dict:
    return {name: table[name] for name in names}


_EOC1 = ("2S1", "BRDM2", "T72", "ZSU234")
_EOC2 = ("BMP2", "BRDM2", "BTR70", "T72")
_EOC2_TRAIN = Subset((17,), _only(_SOC_SERIALS, _EOC2), _only(_SOC_TRAIN, _EOC2))

SPLITS: dict[str, Split] = {split.name: split for split in (
    Split("soc", "standard operating conditions: 10 classes, train at 17°, test at 15°", tuple(_SOC_SERIALS), {
        "train": Subset((17,), _SOC_SERIALS, _SOC_TRAIN),
        "test": Subset((15,), _SOC_SERIALS, _SOC_TEST),
    }),
    Split("eoc-1", "large depression change: 4 classes, train at 17°, test at 30°", _EOC1, {
        "train": Subset((17,), _only(_SOC_SERIALS, _EOC1), _only(_SOC_TRAIN, _EOC1)),
        "test": Subset((30,), {**_only(_SOC_SERIALS, _EOC1), "T72": ("A64",)},
                       dict(zip(_EOC1, (288, 287, 288, 288)))),
    }),
    Split("eoc-2-cv", "configuration variants: train on 4 classes at 17°, test T72 variants at 17° and 15°", _EOC2, {
        "train": _EOC2_TRAIN,
        "test": Subset((17, 15), {"T72": ("A32", "A62", "A63", "A64", "S7")}),
    }),
    Split("eoc-2-vv", "version variants: train on 4 classes at 17°, test BMP2 and T72 versions at 17° and 15°",
          _EOC2, {
              "train": _EOC2_TRAIN,
              "test": Subset((17, 15), {"BMP2": ("9566", "C21"), "T72": ("812", "A04", "A05", "A07", "A10")}),
          }),
)}


def _named(name: str, subset: str | None) -> tuple[str, tuple[str, ...], Subset]:
    split = SPLITS.get(name.lower()) if isinstance(name, str) else None
    if split is None:
        raise ValueError(f"unknown split {name!r}; the known splits are {', '.join(SPLITS)}")
    if subset not in split.subsets:
        raise ValueError(f"unknown subset {subset!r} of split {split.name!r}; "
                         f"its subsets are {', '.join(split.subsets)}")
    return f"{split.name!r} {subset}", split.classes, split.subsets[subset]


def _own(classes: Mapping[str, Sequence[str]], subset, depression) -> tuple[str, tuple[str, ...], Subset]:
    if subset is not None:
        raise ValueError("a split given as a dict of classes takes no subset; give its depressions instead")
    serials = {}
    for name, values in classes.items():
        if isinstance(values, str):
            values = (values,)
        serials[str(name)] = tuple(str(value) for value in values)
    if depression is None:
        depressions = ()
    elif isinstance(depression, (int, float)):
        depressions = (float(depression),)
    else:
        depressions = tuple(float(value) for value in depression)
    return "of your own", tuple(serials), Subset(depressions, serials)


def select(catalog: Catalog, name, subset, depression) -> Catalog:
    if isinstance(name, Mapping):
        title, classes, chosen = _own(name, subset, depression)
    else:
        if depression is not None:
            raise ValueError(f"split {name!r} fixes its depressions; depression= is for a split of your own")
        title, classes, chosen = _named(name, subset)
    label_of_serial = {}
    for label, class_name in enumerate(classes):
        for serial in chosen.serials.get(class_name, ()):
            label_of_serial[serial.strip().lower()] = label
    depressions = set(chosen.depressions)
    serials = catalog._columns["serial"]
    found_depressions = catalog._columns["depression"].tolist()
    positions, labels = [], []
    for i, serial in enumerate(serials):
        label = label_of_serial.get(serial.strip().lower())  # headers written elsewhere end in \r
        if label is not None and (not depressions or found_depressions[i] in depressions):
            positions.append(i)
            labels.append(label)
    found = {classes[label] for label in set(labels)}
    missing = [name for name in chosen.serials if name not in found]
    if missing:
        warnings.warn(f"split {title}: this catalog has no chips of {', '.join(missing)}", stacklevel=3)

    import numpy as np

    picked = catalog._take(positions)
    labels = np.array(labels, dtype=np.int64)
    labels.flags.writeable = False
    return type(catalog)._from_columns(picked._columns, catalog.skipped, classes, labels, title)
