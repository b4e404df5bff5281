"""The benchmark splits of the MSTAR literature, as data, and the selection of a split's chips.

A split names its classes once, in the order its labels count them; each subset takes, for
some of those classes, the chips of given serial numbers at given depressions in given scenes.
Chips are assigned by their headers' TargetSerNum (letter case ignored), DesiredDepression and
the scene of CollectionName only (a header that names no scene counts as scene 1; each named
subset takes the scenes its published counts come from). Each named subset carries the chip
counts of the published tables (per class, and per serial where the table gives them) and the
release CDs that hold its chips; each named split says where its definition and counts come from.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, TypeVar, cast

from ._table import UNNAMED, Table
from .errors import SplitCountError, SplitCountWarning

T = TypeVar("T", bound=Table)


# The public release CDs, by the names of their top folders.
MIXED_CD1, MIXED_CD2 = "MSTAR_PUBLIC_MIXED_TARGETS_CD1", "MSTAR_PUBLIC_MIXED_TARGETS_CD2"
T72_BMP2_BTR70 = "MSTAR_PUBLIC_TARGETS_CHIPS_T72_BMP2_BTR70_SLICY"
T72_VARIANTS_CD1, T72_VARIANTS_CD2 = "MSTAR_PUBLIC_T_72_VARIANTS_CD1", "MSTAR_PUBLIC_T_72_VARIANTS_CD2"


@dataclass(frozen=True)
class Subset:
    depressions: tuple[float, ...]
    serials: Mapping[str, tuple[str, ...]]  # class name -> serial numbers
    published: dict[str, int] = field(default_factory=dict)  # class name -> chips in the literature's table
    published_serials: dict[str, int] = field(default_factory=dict)  # serial -> chips, where the table gives them
    cds: tuple[str, ...] = ()  # the release CDs that hold its chips
    # The scenes of CollectionName it takes; () takes every chip, whatever its header names. At a
    # depression, the release holds articulated targets of the same serials in scenes 2 and 3.
    scenes: tuple[int, ...] = ()


@dataclass(frozen=True)
class Split:
    name: str
    description: str
    classes: tuple[str, ...]
    subsets: dict[str, Subset]
    source: str = ""  # where the definition and its counts come from


_SOC_SERIALS = {"2S1": ("b01",), "BMP2": ("9563",), "BRDM2": ("E-71",), "BTR60": ("k10yt7532",), "BTR70": ("c71",),
                "D7": ("92v13015",), "T62": ("A51",), "T72": ("132",), "ZIL131": ("E12",), "ZSU234": ("d08",)}
_SOC_TRAIN = dict(zip(_SOC_SERIALS, (299, 233, 298, 256, 233, 299, 299, 232, 299, 299)))
_SOC_TEST = dict(zip(_SOC_SERIALS, (274, 195, 274, 195, 196, 274, 273, 196, 274, 274)))


def _only(table: dict[str, Any], names: Sequence[str]) -> dict[str, Any]:
    return {name: table[name] for name in names}


_SCENE1 = (1,)  # the published counts are those of scene 1 alone
_ACONVNET = "the AConvNet paper's tables (Chen et al., 2016), as the AConvNet-pytorch pipeline reproduces them"
_EOC1 = ("2S1", "BRDM2", "T72", "ZSU234")
_EOC1_A64 = {**_only(_SOC_SERIALS, _EOC1), "T72": ("A64",)}
_EOC1_TEST = Subset((30,), _EOC1_A64, dict(zip(_EOC1, (288, 287, 288, 288))), cds=(T72_VARIANTS_CD2, MIXED_CD2),
                    scenes=_SCENE1)
_EOC1_TRAIN = Subset((17,), _EOC1_A64, dict(zip(_EOC1, (299, 298, 299, 299))), cds=(T72_VARIANTS_CD2, MIXED_CD2),
                     scenes=_SCENE1)
_EOC2 = ("BMP2", "BRDM2", "BTR70", "T72")
_EOC2_TRAIN = Subset((17,), _only(_SOC_SERIALS, _EOC2), _only(_SOC_TRAIN, _EOC2), cds=(T72_BMP2_BTR70, MIXED_CD2),
                     scenes=_SCENE1)
_CV = {"S7": 419, "A32": 572, "A62": 573, "A63": 573, "A64": 573}
_VV_BMP2, _VV_T72 = {"9566": 428, "C21": 429}, {"812": 426, "A04": 573, "A05": 573, "A07": 573, "A10": 567}
_VARIANTS = (T72_BMP2_BTR70, T72_VARIANTS_CD1, T72_VARIANTS_CD2)
_ALL_SERIALS = {**_SOC_SERIALS, "BMP2": ("9563", "9566", "C21"), "T72": ("132", "812", "S7")}
_THREE = ("BMP2", "BTR70", "T72")
_DERIVED = "derived from the release's folder counts"

#: The named splits by name (``soc``, ``eoc-1``, ...): what ``Catalog.split(name, subset)`` takes.
SPLITS: dict[str, Split] = {split.name: split for split in (
    Split("soc", "standard operating conditions: 10 classes, train at 17°, test at 15°", tuple(_SOC_SERIALS), {
        "train": Subset((17,), _SOC_SERIALS, _SOC_TRAIN, cds=(T72_BMP2_BTR70, MIXED_CD2), scenes=_SCENE1),
        "test": Subset((15,), _SOC_SERIALS, _SOC_TEST, cds=(T72_BMP2_BTR70, MIXED_CD1), scenes=_SCENE1),
    }, _ACONVNET),
    Split("eoc-1", "large depression change: 4 classes, train at 17°, test at 30° (T72: serial A64 in both)",
          _EOC1, {
              "train": _EOC1_TRAIN,
              "test": _EOC1_TEST,
          }, _ACONVNET),
    Split("eoc-1-t72-132", "large depression change as eoc-1, but T72 trained on serial 132", _EOC1, {
        "train": Subset((17,), _only(_SOC_SERIALS, _EOC1), _only(_SOC_TRAIN, _EOC1), cds=(T72_BMP2_BTR70, MIXED_CD2),
                        scenes=_SCENE1),
        "test": _EOC1_TEST,
    }, "the AConvNet paper's EOC-1 test table; trained on the soc training chips of its classes, as some papers do"),
    Split("eoc-2-cv", "configuration variants: train on 4 classes at 17°, test T72 variants at 17° and 15°", _EOC2, {
        "train": _EOC2_TRAIN,
        "test": Subset((17, 15), {"T72": tuple(_CV)}, {"T72": sum(_CV.values())}, _CV, cds=_VARIANTS, scenes=_SCENE1),
    }, _ACONVNET),
    Split("eoc-2-vv", "version variants: train on 4 classes at 17°, test BMP2 and T72 versions at 17° and 15°",
          _EOC2, {
              "train": _EOC2_TRAIN,
              "test": Subset((17, 15), {"BMP2": tuple(_VV_BMP2), "T72": tuple(_VV_T72)},
                             {"BMP2": sum(_VV_BMP2.values()), "T72": sum(_VV_T72.values())},
                             {**_VV_BMP2, **_VV_T72}, cds=_VARIANTS, scenes=_SCENE1),
          }, _ACONVNET),
    Split("soc-all-serials", "standard operating conditions with every serial of BMP2 (9563, 9566, C21) and T72 "
                             "(132, 812, S7), in train at 17° and test at 15°", tuple(_SOC_SERIALS), {
        "train": Subset((17,), _ALL_SERIALS, {**_SOC_TRAIN, "BMP2": 698, "T72": 691},
                        {"9563": 233, "9566": 232, "C21": 233, "132": 232, "812": 231, "S7": 228},
                        cds=(T72_BMP2_BTR70, MIXED_CD2), scenes=_SCENE1),
        "test": Subset((15,), _ALL_SERIALS, {**_SOC_TEST, "BMP2": 587, "T72": 582},
                       {"9563": 195, "9566": 196, "C21": 196, "132": 196, "812": 195, "S7": 191},
                       cds=(T72_BMP2_BTR70, MIXED_CD1), scenes=_SCENE1),
    }, "the SOC set of the Data-Bias-in-MSTAR repository's folders"),
    Split("eoc-1-45", "large depression change as eoc-1, tested at 45°", _EOC1, {
        "train": _EOC1_TRAIN,
        "test": Subset((45,), _EOC1_A64, dict(zip(_EOC1, (303, 303, 303, 303))), cds=(T72_VARIANTS_CD1, MIXED_CD1),
                       scenes=_SCENE1),
    }, _DERIVED),
    Split("eoc-articulation", "trained as eoc-1, tested on the articulated targets of scenes 2 and 3 at 30°", _EOC1, {
        "train": _EOC1_TRAIN,
        "test": Subset((30,), _only(_EOC1_A64, _EOC1[1:]), {"BRDM2": 133, "T72": 133, "ZSU234": 118},
                       cds=(T72_VARIANTS_CD2, MIXED_CD2), scenes=(2, 3)),
    }, _DERIVED),
    Split("three-class", "BMP2, BTR70, T72: train at 17° on one serial each, test at 15° on every serial", _THREE, {
        "train": Subset((17,), _only(_SOC_SERIALS, _THREE), _only(_SOC_TRAIN, _THREE), cds=(T72_BMP2_BTR70,),
                        scenes=_SCENE1),
        "test": Subset((15,), _only(_ALL_SERIALS, _THREE), {"BMP2": 587, "BTR70": 196, "T72": 582},
                       {"9563": 195, "9566": 196, "C21": 196, "132": 196, "812": 195, "S7": 191},
                       cds=(T72_BMP2_BTR70,), scenes=_SCENE1),
    }, "the common 3-class protocol (698 / 1 365 chips)"),
)}


def _named(name: str, subset: str | None) -> tuple[str, tuple[str, ...], Subset, Split]:
    split = SPLITS.get(name.lower()) if isinstance(name, str) else None
    if split is None:
        raise ValueError(f"unknown split {name!r}; the known splits are {', '.join(SPLITS)}")
    if subset is None:
        raise ValueError(f"split {split.name!r} needs a subset: {' or '.join(split.subsets)}")
    chosen = subset.lower() if isinstance(subset, str) else None
    if chosen not in split.subsets:
        raise ValueError(f"unknown subset {subset!r} of split {split.name!r}; "
                         f"its subsets are {', '.join(split.subsets)}")
    return f"{split.name!r} {chosen}", split.classes, split.subsets[chosen], split


def _is_number(value: object) -> bool:
    import numbers

    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _own(classes: Mapping[str, Sequence[str]], subset: str | None, depression: float | Sequence[float] | None,
         scene: int | Sequence[int] | None = None) -> tuple[str, tuple[str, ...], Subset]:
    if subset is not None:
        raise ValueError("a split given as a dict of classes takes no subset; give its depressions instead")
    serials = {}
    for name, values in classes.items():
        if isinstance(values, str):
            values = (values,)
        serials[str(name)] = tuple(str(value) for value in values)
    depressions: tuple[float, ...]
    if depression is None:
        depressions = ()
    elif _is_number(depression):
        depressions = (float(cast(float, depression)),)
    elif isinstance(depression, (str, bytes)) or not all(_is_number(value) for value in cast(Sequence[Any], depression)):
        raise TypeError(f"depression must be a number or a sequence of numbers, not {depression!r}")
    else:
        depressions = tuple(float(value) for value in cast(Sequence[float], depression))
    return "of your own", tuple(serials), Subset(depressions, serials, scenes=_scenes(scene))


def _scenes(scene: int | Sequence[int] | None) -> tuple[int, ...]:
    if scene is None:
        return ()
    import numbers

    # NumPy's integers and arrays of them too, as depression= takes NumPy's numbers.
    values = list(scene) if isinstance(scene, Iterable) and not isinstance(scene, (str, bytes)) else [scene]
    if not values or any(isinstance(value, bool) or not isinstance(value, numbers.Integral) for value in values):
        raise TypeError(f"scene= takes a scene number or a list of them, not {scene!r}")
    return tuple(int(value) for value in values)


def counted_scene(scene: int) -> int:
    """The scene a chip counts in: its header's, and scene 1 (that of every published count) for
    a header that names none."""
    return 1 if scene == UNNAMED else scene


def _assign(catalog: Table, classes: tuple[str, ...], chosen: Subset) -> tuple[list[int], list[int]]:
    """The positions of the catalog's chips in the subset, and their labels."""
    label_of_serial: dict[str, int] = {}
    for label, class_name in enumerate(classes):
        for serial in chosen.serials.get(class_name, ()):
            label_of_serial[serial.strip().lower()] = label
    depressions = set(chosen.depressions)
    found_depressions = catalog.values("depression").tolist()
    scenes = set(chosen.scenes)
    found_scenes = [counted_scene(scene) for scene in catalog.values("scene").tolist()]
    positions: list[int] = []
    labels: list[int] = []
    for i, serial in enumerate(catalog.values("serial")):
        found = label_of_serial.get(serial.strip().lower())  # headers written elsewhere end in \r
        if found is not None and (not depressions or found_depressions[i] in depressions) and \
                (not scenes or found_scenes[i] in scenes):
            positions.append(i)
            labels.append(found)
    return positions, labels


def _miscounted(picked: Table, classes: tuple[str, ...], labels: list[int], chosen: Subset) -> list[str]:
    """'T62 264 (published 273)' for each class present whose count is not the published one."""
    found: dict[str, int] = {}
    for label in labels:
        found[classes[label]] = found.get(classes[label], 0) + 1
    by_serial: dict[str, int] = {}
    for serial in picked.values("serial"):
        by_serial[serial.lower()] = by_serial.get(serial.lower(), 0) + 1
    wrong = []
    for class_name, count in sorted(found.items(), key=lambda item: classes.index(item[0])):
        serials = [s for s in chosen.serials[class_name] if s in chosen.published_serials]
        if serials:
            wrong += [f"{class_name} serial {s} {by_serial.get(s.lower(), 0)} (published {chosen.published_serials[s]})"
                      for s in serials if by_serial.get(s.lower(), 0) != chosen.published_serials[s]]
        elif class_name in chosen.published and count != chosen.published[class_name]:
            wrong.append(f"{class_name} {count} (published {chosen.published[class_name]})")
    return wrong


def select(catalog: T, name: str | Mapping[str, Sequence[str]], subset: str | None,
           depression: float | Sequence[float] | None, strict: bool = False,
           scene: int | Sequence[int] | None = None) -> T:
    """The chips of a split, as ``Catalog.split`` describes it."""
    split = None
    if isinstance(name, Mapping):
        title, classes, chosen = _own(name, subset, depression, scene)
    else:
        if depression is not None:
            raise ValueError(f"split {name!r} fixes its depressions; depression= is for a split of your own")
        if scene is not None:
            raise ValueError(f"split {name!r} fixes its scenes; scene= is for a split of your own")
        title, classes, chosen, split = _named(name, subset)
    positions, labels = _assign(catalog, classes, chosen)

    import numpy as np

    picked = catalog.take(positions)
    kept = picked.unique_positions()
    clashes = picked.conflicts if len(kept) < len(positions) else []
    if clashes:  # one data block under two serials or depressions: the label kept is a guess
        warnings.warn(f"split {title}: {len(clashes)} chips are held with headers that disagree (TargetType, "
                      f"TargetSerNum or DesiredDepression), e.g. {' and '.join(clashes[0])}; the first path is "
                      "kept (see catalog.conflicts)", stacklevel=3)
    if len(kept) < len(positions):
        warnings.warn(f"split {title}: dropped {len(positions) - len(kept)} duplicate chips (the same data block "
                      f"under another path; see catalog.duplicates)", stacklevel=3)
        picked, labels = picked.take(kept), [labels[i] for i in kept]
    found = {classes[label] for label in set(labels)}
    missing = [name for name in chosen.serials if name not in found]
    problems = []
    if missing:
        where = f"; its chips are on {', '.join(chosen.cds)}" if not labels and chosen.cds else ""
        problems.append(f"split {title}: this catalog has no chips of {', '.join(missing)}{where}")
    wrong = _miscounted(picked, classes, labels, chosen)
    if wrong:
        problems.append(f"split {title}: chip counts differ from the published ones: {', '.join(wrong)}")
    if strict and split is not None and problems:
        raise SplitCountError("; ".join(problems))
    for problem in problems:
        warnings.warn(problem, SplitCountWarning, stacklevel=3)
    if split is not None and chosen is not split.subsets.get("train") and "train" in split.subsets and labels:
        train = catalog.take(_assign(catalog, classes, split.subsets["train"])[0])
        shared = len(picked.overlap(train))
        if shared:
            warnings.warn(f"split {title}: {shared} chips are also in its train subset (the same data block)",
                          stacklevel=3)

    array = np.array(labels, dtype=np.int64)
    array.flags.writeable = False
    return picked.as_split(classes, array, title)


def subset_named(title: str) -> tuple[Split, Subset] | None:
    """The named split and subset whose catalogs carry `title` as their ``split_name``."""
    for split in SPLITS.values():
        for subset in split.subsets:
            if _named(split.name, subset)[0] == title:
                return split, split.subsets[subset]
    return None
