"""The `vantrel` command: look into an MSTAR release from the shell.

    vantrel scan ROOT [--csv FILE] [--verify]   chip counts per class and depression, skipped files
    vantrel header CHIP [--json]                 one chip's Phoenix header
    vantrel export ROOT --split soc --subset train --size 88 --ofmt a [--db] -o FILE.npz
                                                 a split's chips as one array in an .npz file
    vantrel export ROOT --split soc --subset train --format png -o FOLDER
                                                 ... or as PNG images, a folder per class
    vantrel show CHIP [-o FILE.png] [--linear]   amplitude (dB) and phase side by side

A user's mistake (a missing path, a file that is no chip) prints one line on stderr and exits
with status 2.
"""

from __future__ import annotations

import argparse
import json
import sys
import warnings

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


def _export(args: argparse.Namespace) -> int:
    from .catalog import scan

    catalog = scan(args.root, threads=args.threads)
    if args.split is not None:
        catalog = catalog.split(args.split, args.subset)
    elif args.subset is not None:
        raise UsageError("--subset needs --split")
    if not len(catalog):
        raise UsageError(f"no chips to export in {args.root}")
    if args.format == "png":
        if args.ofmt != "a" or args.dtype is not None or args.floor_db is not None:
            raise UsageError("--format png writes the amplitude in dB: --ofmt, --dtype and --floor-db do not apply")
        if args.size is None:
            raise UsageError("--format png needs one --size for every image")
        try:
            catalog.save_images(args.output, size=args.size, bits=args.bits, db_range=args.db_range,
                                threads=args.threads, progress=None, overwrite=args.overwrite)
        except (ImportError, FileExistsError) as error:
            raise UsageError(str(error)) from None
        print(f"wrote {len(catalog)} images and index.csv to {args.output}")
        return 0
    floor_db = -100.0 if args.floor_db is None else args.floor_db
    catalog.save(args.output, args.size, args.ofmt, args.dtype, db=args.db, floor_db=floor_db, threads=args.threads,
                 progress=None)
    print(f"wrote {len(catalog)} chips to {args.output}")
    return 0


def _db_range(text: str) -> tuple[float, float]:
    low, comma, high = text.partition(",")
    try:
        return float(low), float(high)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a range in dB: {text!r} (give LOW,HIGH, e.g. -60,10)") from None


def _show(args: argparse.Namespace) -> int:
    _check_chip(args.chip)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("vantrel show needs matplotlib: pip install matplotlib") from None
    from .show import plot_chip

    written = plot_chip(args.chip, args.output, linear=args.linear)
    if written is not None:
        print(f"wrote {written}")
    return 0


def _size(text: str) -> int | tuple[int, int] | None:
    if text == "native":
        return None
    height, _, width = text.partition("x")
    try:
        return (int(height), int(width)) if width else int(height)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (give 128, 88x96 or native)") from None


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

    export = commands.add_parser("export", help="write a split's chips as one array to an .npz file, or as PNGs",
                                 description="Scan ROOT, take a split, load its chips' centred windows and write "
                                             "them with their labels and records to one .npz file "
                                             "(read it back with vantrel.load_saved), or with --format png as "
                                             "grey-scale images of the amplitude in dB, a folder per class.")
    export.add_argument("root", metavar="ROOT", help="a release folder")
    export.add_argument("--split", help="soc, eoc-1, eoc-2-cv or eoc-2-vv (default: every chip, no labels)")
    export.add_argument("--subset", help="train or test")
    export.add_argument("--size", type=_size, default=128, help="window side, HxW, or 'native' (default: 128)")
    export.add_argument("--ofmt", default="a", choices=["a", "ap", "r", "c"], help="array format (default: a)")
    export.add_argument("--dtype", choices=["float32", "float64", "complex64", "complex128"],
                        help="default: float32 (complex64 for c)")
    export.add_argument("--db", action="store_true", help="amplitude in dB: 20 log10(max(A, floor))")
    export.add_argument("--floor-db", type=float, metavar="DB", help="the floor of --db (default: -100)")
    export.add_argument("--format", choices=["npz", "png"], default="npz",
                        help="npz: one array file; png: FOLDER/<class>/<chip>.png (amplitude in dB) and "
                             "FOLDER/index.csv (default: npz)")
    export.add_argument("--bits", type=int, choices=[8, 16], default=16, help="png bit depth (default: 16)")
    export.add_argument("--db-range", type=_db_range, default=(-60.0, 10.0), metavar="LOW,HIGH",
                        help="png: the dB mapped onto black .. white, clipped; write --db-range=-60,10 "
                             "(the default)")
    export.add_argument("--overwrite", action="store_true", help="png: write into a folder that is not empty")
    export.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the .npz file to write (with --format png: the folder)")
    export.add_argument("--threads", type=_threads, metavar="N", help="threads to read with (default: all CPUs)")
    export.set_defaults(run=_export)

    show = commands.add_parser("show", help="look at a chip: amplitude in dB and phase",
                               description="Plot CHIP's amplitude (dB) and phase side by side, titled from its "
                                           "header; without a display, write a PNG.")
    show.add_argument("chip", metavar="CHIP", help="a chip file")
    show.add_argument("-o", "--output", metavar="FILE", help="write this PNG (default without a display: "
                                                             "the chip's name + .png)")
    show.add_argument("--linear", action="store_true", help="linear amplitude instead of dB")
    show.set_defaults(run=_show)
    return top


def _warn(message, category, filename, lineno, file=None, line=None) -> None:
    print(f"vantrel: warning: {message}", file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warn  # one line, as the errors are
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
