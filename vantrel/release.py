"""The public MSTAR release as data, and the check of a catalog against it.

``data/release/folder_counts.csv`` lists every folder of the five public target-chip CDs with
the chips it holds (its README gives the facts behind it). A folder is known here by what its
chips' headers say, never by its name: the serial (letter case ignored), the depression and the
scene of CollectionName. The CD without scene folders (TARGETS_CHIPS_T72_BMP2_BTR70_SLICY) has
no scene in the table: its groups take a chip of any scene.
"""

from __future__ import annotations

import csv
import os
import warnings
from dataclasses import dataclass
from functools import cache
from typing import Any

from ._table import Table
from .splits import SPLITS, counted_scene, select

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "release", "folder_counts.csv")


@dataclass(frozen=True)
class Group:
    """One folder of a release CD: the chips its table row expects and those a catalog holds.

    ``scene`` is None for a CD without scene folders (any scene matches). ``target`` is the
    folder's own name for its target (``BRDM_2``, ``BMP2``), for display only.
    """

    cd: str
    folder: str
    serial: str
    depression: float
    scene: int | None
    expected: int
    found: int = 0

    @property
    def target(self) -> str:
        parts = self.folder.split("/")
        return parts[-2] if parts[-1].upper().startswith("SN_") and len(parts) > 1 else parts[-1]

    def __str__(self) -> str:
        scene = "" if self.scene is None else f" scene {self.scene}"
        return f"{self.depression:g} deg{scene} serial {self.serial} ({self.target}): {self.found} of {self.expected}"


@cache
def table() -> tuple[Group, ...]:
    """The release's folders, as the shipped table lists them, with nothing found."""
    with open(TABLE, newline="", encoding="utf-8") as file:
        return tuple(Group(row["cd"], row["folder"], row["serial"], float(row["depression"]),
                           int(row["scene_folder"]) if row["scene_folder"] else None, int(row["chips"]))
                     for row in csv.DictReader(file))


@dataclass(frozen=True)
class ReleaseCheck:
    """What ``Catalog.release_check`` found: per release CD and folder-equivalent group the chips
    expected and found, the chips of no group, the copies counted once, and the named splits the
    catalog serves completely (``"soc"`` for a whole split, ``"eoc-1 test"`` for one subset).

    ``str()`` gives the report ``vantrel check`` prints; ``to_pandas()`` one row per group.
    """

    groups: tuple[Group, ...]
    not_in_table: int
    copies: int
    splits: tuple[str, ...]

    @property
    def cds(self) -> tuple[str, ...]:
        """The release CDs, in the table's order."""
        return tuple(dict.fromkeys(group.cd for group in self.groups))

    def status(self, cd: str) -> str:
        """'complete', 'absent' (no chip of the CD at all) or 'incomplete'."""
        groups = [group for group in self.groups if group.cd == cd]
        if not groups:
            raise ValueError(f"no release CD {cd!r}; the CDs are {', '.join(self.cds)}")
        if all(group.found == group.expected for group in groups):
            return "complete"
        return "absent" if not any(group.found for group in groups) else "incomplete"

    @property
    def complete(self) -> bool:
        """Every CD the catalog holds any chip of is complete."""
        return all(self.status(cd) != "incomplete" for cd in self.cds)

    def lines(self) -> list[str]:
        out = []
        for cd in self.cds:
            groups = [group for group in self.groups if group.cd == cd]
            expected = sum(group.expected for group in groups)
            status = self.status(cd)
            if status == "complete":
                out.append(f"{cd}: complete ({expected} chips)")
            elif status == "absent":
                out.append(f"{cd}: absent")
            else:
                found = sum(min(group.found, group.expected) for group in groups)
                out.append(f"{cd}: incomplete: {found} of {expected}")
                out += [f"  {group}" for group in groups if group.found != group.expected]
        if self.not_in_table:
            out.append(f"not in the release table: {self.not_in_table} chips")
        if self.copies:
            out.append(f"held more than once: {self.copies} copies, each chip counted once")
        out.append(f"named splits served completely: {', '.join(self.splits) or 'none'}")
        return out

    def __str__(self) -> str:
        return "\n".join(self.lines())

    def to_pandas(self) -> Any:
        """A DataFrame with one row per group (pandas is an optional dependency)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("ReleaseCheck.to_pandas() needs pandas: pip install pandas") from None
        names = ("cd", "folder", "serial", "depression", "scene", "expected", "found")
        frame = pandas.DataFrame({name: [getattr(group, name) for group in self.groups] for name in names})
        frame["scene"] = frame["scene"].astype("Int64")
        return frame


def check(catalog: Table) -> ReleaseCheck:
    """The catalog against the release table, as ``Catalog.release_check`` describes it."""
    unique = catalog.take(catalog.unique_positions())
    groups = table()
    at = {(group.serial.lower(), group.depression, group.scene): i for i, group in enumerate(groups)}
    found = [0] * len(groups)
    not_in_table = 0
    scenes = unique.values("scene").tolist()
    for serial, depression, scene in zip(unique.values("serial"), unique.values("depression").tolist(), scenes):
        key = serial.strip().lower(), depression
        i = at.get((*key, counted_scene(scene)), at.get((*key, None)))
        if i is None:
            not_in_table += 1
        else:
            found[i] += 1
    counted = tuple(Group(g.cd, g.folder, g.serial, g.depression, g.scene, g.expected, n) for g, n in zip(groups, found))
    return ReleaseCheck(counted, not_in_table, len(catalog) - len(unique), _served(unique))


def _served(catalog: Table) -> tuple[str, ...]:
    """The named splits (or single subsets) whose chips this catalog holds exactly as published."""
    served = []
    for split in SPLITS.values():
        whole = []
        for subset in split.subsets:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    select(catalog, split.name, subset, None, strict=True)
                except ValueError:
                    continue
            whole.append(subset)
        if len(whole) == len(split.subsets):
            served.append(split.name)
        else:
            served += [f"{split.name} {subset}" for subset in whole]
    return tuple(served)
