"""The text table of a catalog's chip counts, laid out as the release's own tables are: a row per
class (target type and serial number), a column per depression, and totals."""

from __future__ import annotations

import math
from collections import Counter
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .catalog import Catalog


def _degrees(depression: float) -> str:
    return "?" if math.isnan(depression) else f"{depression:g}°"


def summary(catalog: Catalog) -> str:
    columns = catalog._columns
    split = catalog.classes is not None
    names = [catalog.classes[label] for label in catalog.labels.tolist()] if split else [""] * len(catalog)
    keys = list(zip(names, columns["target_type"], columns["serial"]))
    # NaN depressions are told apart from numbers by their text, so that they group together.
    depressions = [_degrees(d) for d in columns["depression"]]
    counts = Counter(zip(keys, depressions))
    rows = sorted(set(keys), key=lambda key: (catalog.classes.index(key[0]) if split else 0, key[1], key[2]))
    heads = sorted(set(depressions), key=lambda text: (text == "?", float(text[:-1]) if text != "?" else 0))

    head = (["class"] if split else []) + ["target type", "serial"] + heads + ["total"]
    body = []
    for key in rows:
        cells = [counts[key, d] for d in heads]
        body.append(([key[0]] if split else []) + [key[1], key[2]] + [str(c) if c else "." for c in cells]
                    + [str(sum(cells))])
    totals = [sum(counts[key, d] for key in rows) for d in heads]
    footer = (["total"] + ([""] if split else []) + [""] + [str(t) for t in totals] + [str(len(catalog))])
    table = [head, *body, footer]
    labels = len(head) - len(heads) - 1  # left-aligned text columns
    widths = [max(len(row[i]) for row in table) for i in range(len(head))]

    def line(row):
        return "  ".join(cell.ljust(w) if i < labels else cell.rjust(w)
                         for i, (cell, w) in enumerate(zip(row, widths))).rstrip()

    rule = "-" * len(line(head))
    return "\n".join([line(head), rule, *map(line, body), rule, line(footer)])
