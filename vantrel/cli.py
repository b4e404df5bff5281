"""The `vantrel` command: look into an MSTAR release from the shell.

    vantrel scan ROOT [--csv FILE] [--verify]   chip counts per class and depression, skipped files
    vantrel header CHIP [--json]                 one chip's Phoenix header

A user's mistake (a missing path, a file that is no chip) prints one line on stderr and exits
with status 2.
"""

from __future__ import annotations

import argparse
import json
import sys

CHIP_SIGNATURE = b"\n[PhoenixHeaderVer"


class UsageError(Exception):
    """A mistake the user can mend: reported in one line, exit status 2."""


def _scan(args: argparse.Namespace) -> int:
    from .catalog import scan

    catalog = scan(args.root, verify=args.verify, threads=args.threads, progress=None)
    if len(catalog):
        print(catalog.summary())
    else:
        print(f"no chips found in {args.root}")
    if catalog.skipped:
        print(f"\n{len(catalog.skipped)} skipped:")
        for path, reason in catalog.skipped:
            print(f"  {path}: {reason}")
    if args.csv:
        catalog.to_csv(args.csv)
        print(f"\nwrote {len(catalog)} records to {args.csv}")
    return 0


def _check_chip(path: str) -> None:
    with open(path, "rb") as file:
        start = file.read(len(CHIP_SIGNATURE))
    if start != CHIP_SIGNATURE:
        raise UsageError(f"{path} is not an MSTAR chip (it does not start with a Phoenix header)")


def _header(args: argparse.Namespace) -> int:
    from .datasets.mstar import mstar_header

    _check_chip(args.chip)
    header = mstar_header(args.chip)
    if args.json:
        print(json.dumps(header, indent=2, ensure_ascii=False))
    else:
        for key, value in header.items():
            print(f"{key}= {value}")
    return 0


def _threads(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="vantrel", description="Fast, exact access to the MSTAR SAR data set.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    scan = commands.add_parser("scan", help="index the chips below a folder and count them",
                               description="Find every chip below ROOT by its content; print the counts per "
                                           "class and depression, then the files skipped and why.")
    scan.add_argument("root", metavar="ROOT", help="a release folder (or one chip file)")
    scan.add_argument("--csv", metavar="FILE", help="also write one row per chip to FILE")
    scan.add_argument("--verify", action="store_true", help="check each data block against its Chip_MD5_CheckSum")
    scan.add_argument("--threads", type=_threads, metavar="N", help="threads to read with (default: all CPUs)")
    scan.set_defaults(run=_scan)

    header = commands.add_parser("header", help="print a chip's Phoenix header",
                                 description="Print the Phoenix header of CHIP, one 'Key= value' line per entry.")
    header.add_argument("chip", metavar="CHIP", help="a chip file")
    header.add_argument("--json", action="store_true", help="print a JSON object instead")
    header.set_defaults(run=_header)
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as error:
        message = str(error)
    except OSError as error:
        where = error.filename if error.filename is not None else ""
        message = f"{where}: {error.strerror or error}" if where else str(error)
    except ValueError as error:  # a damaged chip: what the reader found wrong
        message = f"{getattr(args, 'chip', None) or getattr(args, 'root', '')}: {error}"
    except KeyboardInterrupt:
        return 130
    print(f"vantrel: error: {message}", file=sys.stderr)
    return 2
