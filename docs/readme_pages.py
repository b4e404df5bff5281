"""The user's guide pages, cut from README.md when the docs are built.

README.md stays the one copy of the guide: its text before the first ``##`` heading becomes
``intro.md`` (the home page includes it), and each ``##`` section one page of ``guide/``, in the
README's order, its headings raised one level. ``guide/index.md`` lists the pages.

    python docs/readme_pages.py OUTDIR      # what conf.py runs, into docs/generated/
"""

from __future__ import annotations

import os
import re
import sys

FENCE = re.compile(r"^\s*(```|~~~)")


def sections(text: str) -> tuple[list[str], list[tuple[str, list[str]]]]:
    """The README's lines before its first ``##`` heading (title left out), and its ``##``
    sections as (title, lines); headings inside fenced code are text."""
    intro: list[str] = []
    found: list[tuple[str, list[str]]] = []
    fenced = False
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
        if not fenced and line.startswith("## "):
            found.append((line[3:].strip(), []))
        elif found:
            found[-1][1].append(line)
        elif fenced or not line.startswith("# "):
            intro.append(line)
    return intro, found


def raised(lines: list[str]) -> list[str]:
    """The lines with each heading outside fenced code one level higher (``###`` to ``##``)."""
    out, fenced = [], False
    for line in lines:
        if FENCE.match(line):
            fenced = not fenced
        out.append(line[1:] if not fenced and line.startswith("###") else line)
    return out


def slug(title: str) -> str:
    return re.sub(r"[^a-z0-9]+", "-", title.lower()).strip("-")


def write(path: str, text: str) -> None:
    """Write `text` unless the file already holds it (Sphinx rereads what changed)."""
    try:
        with open(path, encoding="utf-8") as file:
            if file.read() == text:
                return
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def generate(readme: str, out: str) -> list[str]:
    """Write ``intro.md`` and ``guide/*.md`` under `out` from `readme`; pages of sections that are
    gone are removed. Returns the guide's page names in order."""
    with open(readme, encoding="utf-8") as file:
        intro, found = sections(file.read())
    write(os.path.join(out, "intro.md"), "\n".join(intro).strip() + "\n")
    guide = os.path.join(out, "guide")
    names = [slug(title) for title, _ in found]
    for (title, lines), name in zip(found, names):
        write(os.path.join(guide, name + ".md"), f"# {title}\n" + "\n".join(raised(lines)).rstrip() + "\n")
    toctree = "\n".join(["# User's guide", "", "The sections of the project's README.md, one page each (made from it when these pages are built).", "",
                         "```{toctree}", ":maxdepth: 2", "", *names, "```", ""])
    write(os.path.join(guide, "index.md"), toctree)
    for stale in set(os.listdir(guide)) - {name + ".md" for name in names} - {"index.md"}:
        os.remove(os.path.join(guide, stale))
    return names


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    print("\n".join(generate(os.path.join(here, os.pardir, "README.md"), sys.argv[1])))
