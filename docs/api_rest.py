"""The public names of ``vantrel.__all__`` that docs/api.rst does not document, so that a name
added to the package shows in the API reference before a section is written for it.

    python docs/api_rest.py OUTDIR          # what conf.py runs: OUTDIR/api_rest.rst
"""

from __future__ import annotations

import os
import re
import sys

from readme_pages import write

import vantrel

API = os.path.join(os.path.dirname(os.path.abspath(__file__)), "api.rst")


def page() -> str:
    with open(API, encoding="utf-8") as file:
        documented = set(re.findall(r"^\.\. (?:auto\w+|py:\w+):: (?:\w+\.)*(\w+)", file.read(), re.MULTILINE))
    rest = [name for name in vantrel.__all__ if name not in documented]
    lines = []
    for name in rest:
        value = getattr(vantrel, name)
        if isinstance(value, type):
            lines += [f".. autoclass:: vantrel.{name}", ""]
        elif callable(value):
            lines += [f".. autofunction:: vantrel.{name}", ""]
        else:
            lines += [f".. autodata:: vantrel.{name}", "   :no-value:", ""]
    if lines:
        lines = ["More public names", "-----------------", "", *lines]
    return "\n".join(lines) + "\n"


def generate(out: str) -> None:
    write(os.path.join(out, "api_rest.rst"), page())


if __name__ == "__main__":
    generate(sys.argv[1])
