"""The command-line page: the `vantrel` command's own ``--help`` texts, taken from its parser when
the docs are built.

    python docs/cli_help.py OUTDIR          # what conf.py runs: OUTDIR/cli.md
"""

from __future__ import annotations

import argparse
import os
import sys

from readme_pages import write

from vantrel import cli


def page() -> str:
    os.environ["COLUMNS"] = "100"  # argparse wraps to the terminal's width; the page has one width
    top = cli.parser()
    lines = ["# Command line", "",
             "`vantrel` (also `python -m vantrel`, or `vantrel.cli.main(argv)` from Python): the help",
             "texts of the command and of each of its commands, as they print. The user's guide shows",
             "examples.", "",
             "```text", top.format_help().rstrip(), "```"]
    for action in top._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, command in action.choices.items():
                lines += ["", f"## vantrel {name}", "", "```text", command.format_help().rstrip(), "```"]
    return "\n".join(lines) + "\n"


def generate(out: str) -> None:
    write(os.path.join(out, "cli.md"), page())


if __name__ == "__main__":
    generate(sys.argv[1])
