"""The reader module's source lines, read from their one home, src/mstar/source.hpp: per namespace
(init, header, raw, demo) each named line number, and `statements`, a function's statement lines.

    LINES["raw"]["seek"] == 187;  LINES["header"]["statements"][0] == LINES["header"]["def"]

The tests (tests/conftest.py) and tools/make_hostile_corpus.py take the numbers from here.
"""

import re
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent / "src" / "mstar" / "source.hpp"


def read(path=SOURCE):
    """namespace -> {name: line, "statements": [lines]} of the `inline constexpr int` declarations."""
    lines = {}
    for name, body in re.findall(r"^namespace (\w+) \{$(.*?)^\}\s*// namespace \1$", Path(path).read_text(),
                                 re.S | re.M):
        declarations = re.findall(r"inline constexpr int\s+(.*?);", re.sub(r"//[^\n]*", "", body), re.S)
        if not declarations:
            continue
        found = lines[name] = {}
        for declaration in declarations:
            if (listed := re.fullmatch(r"(\w+)\[\]\s*=\s*\{(.*)\}", declaration.strip(), re.S)):
                found[listed[1]] = [found[word] for word in re.findall(r"\w+", listed[2])]
                continue
            for part in declaration.split(","):
                key, number = (piece.strip() for piece in part.split("="))
                found[key] = int(number)
    if not lines:
        raise ValueError(f"{path}: no source lines found")
    return lines


LINES = read()
