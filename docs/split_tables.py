"""The split tables page, made from ``vantrel.SPLITS`` when the docs are built (never typed by hand).

    python docs/split_tables.py OUTDIR      # what conf.py runs: OUTDIR/splits.md
"""

from __future__ import annotations

import os
import sys
from typing import Any

from readme_pages import write

import vantrel as vt


def _cell(text: object) -> str:
    return str(text).replace("|", "\\|")


def _degrees(values: tuple[float, ...]) -> str:
    return " and ".join(f"{value:g}°" for value in values) or "any"


def _scenes(values: tuple[int, ...]) -> str:
    return " and ".join(map(str, values)) or "any"


def _sentence(text: str) -> str:
    return _cell(text[:1].upper() + text[1:]) + "."


def _serials(subset: Any, class_name: str) -> str:
    serials, counts = subset.serials[class_name], subset.published_serials
    return ", ".join(f"{serial} ({counts[serial]})" if serial in counts else serial for serial in serials)


def page() -> str:
    lines = ["# Split tables", "",
             "The named splits of `catalog.split(name, subset)`, made from `vantrel.SPLITS` when these pages are",
             "built; `vantrel splits` prints the same. Counts are those of the published tables (per serial in",
             "brackets where a table gives them); `split()` warns when a catalog's differ.", "",
             "| split | classes | subsets | source |", "|---|---|---|---|"]
    for split in vt.SPLITS.values():
        subsets = "; ".join(f"{name} {_degrees(subset.depressions)}: {sum(subset.published.values())}"
                            for name, subset in split.subsets.items())
        lines.append(f"| {{ref}}`{split.name} <split-{split.name}>` | {_cell(', '.join(split.classes))} | {_cell(subsets)} "
                     f"| {_cell(split.source)} |")
    for split in vt.SPLITS.values():
        lines += ["", f"(split-{split.name})=", f"## `{split.name}`", "", _sentence(split.description), "",
                  f"Source: {split.source}."]
        for name, subset in split.subsets.items():
            lines += ["", f"### {split.name} {name}", "",
                      f"Depression {_degrees(subset.depressions)}, scene {_scenes(subset.scenes)}, "
                      f"{sum(subset.published.values())} chips; on {', '.join(f'`{cd}`' for cd in subset.cds)}.",
                      "", "| class | label | serials | published chips |", "|---|---|---|---|"]
            for class_name in subset.serials:
                lines.append(f"| {class_name} | {split.classes.index(class_name)} | "
                             f"{_cell(_serials(subset, class_name))} | {subset.published.get(class_name, '')} |")
    return "\n".join(lines) + "\n"


def generate(out: str) -> None:
    write(os.path.join(out, "splits.md"), page())


if __name__ == "__main__":
    generate(sys.argv[1])
