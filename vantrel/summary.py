"""The text table of a catalog's chip counts, laid out as the release's own tables are: a row per
class (target type and serial number), a column per depression, and totals."""

from __future__ import annotations

import math
from collections import Counter

from ._table import Table


def _degrees(depression: float) -> str:
    return "?" if math.isnan(depression) else f"{depression:g}°"


def summary(catalog: Table) -> str:
    """The table of ``Catalog.summary``."""
    classes, labels = catalog.classes, catalog.labels
    names = [classes[label] for label in labels.tolist()] if classes is not None and labels is not None else \
        [""] * len(catalog)
    split = classes is not None
    keys = list(zip(names, catalog.values("target_type"), catalog.values("serial")))
    # NaN depressions are told apart from numbers by their text, so that they group together.
    depressions = [_degrees(d) for d in catalog.values("depression")]
    counts = Counter(zip(keys, depressions))
    rows = sorted(set(keys), key=lambda key: (classes.index(key[0]) if classes is not None else 0, key[1], key[2]))
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
    texts = len(head) - len(heads) - 1  # left-aligned text columns
    widths = [max(len(row[i]) for row in table) for i in range(len(head))]

    def line(row: list[str]) -> str:
        return "  ".join(cell.ljust(w) if i < texts else cell.rjust(w)
                         for i, (cell, w) in enumerate(zip(row, widths))).rstrip()

    rule = "-" * len(line(head))
    return "\n".join([line(head), rule, *map(line, body), rule, line(footer)])
