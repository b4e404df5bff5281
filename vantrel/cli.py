"""The `vantrel` command: look into an MSTAR release from the shell::

    vantrel scan ROOT [--csv FILE] [--verify] [--quiet]
                                                 chip counts per class and depression, skipped files,
                                                 chips held twice
    vantrel header CHIP [--json]                 one chip's Phoenix header
    vantrel export ROOT --split soc --subset train --size 88 --ofmt a [--db] -o FILE.npz
                                                 a split's chips as one array in an .npz file
    vantrel export ROOT --split soc --subset train --format png -o FOLDER
                                                 ... or as PNG images, a folder per class
    vantrel show CHIP [-o FILE.png] [--linear]   amplitude (dB) and phase side by side
    vantrel splits                               the named splits with their published counts
    vantrel check ROOT [ROOT ...]                which release CDs are complete, which splits served

A user's mistake (a missing path, a file that is no chip, a size too large for memory) prints one
line on stderr and exits with status 2; a closed pipe (`vantrel header X | head -2`) ends the
command quietly. File names that are not UTF-8 are printed as their bytes.
"""

from __future__ import annotations

import argparse
import codecs
import json
import os
import stat
import struct
import sys
import warnings
from typing import TYPE_CHECKING, Any, NoReturn

from .defaults import DB_RANGE, FLOOR_DB, OFMT, OFMTS, SIZE

if TYPE_CHECKING:
    from .catalog import Catalog


def check_output(path: str) -> None:
    from ._files import check_output as check

    try:
        check(path)
    except ValueError as error:
        raise UsageError(str(error)) from None


class UsageError(Exception):
    """A mistake the user can mend: reported in one line, exit status 2."""


def _scanned(root: str, **options: Any) -> Catalog:
    from .catalog import scan

    if not root:
        raise UsageError("the folder to scan is empty ('')")
    if os.path.exists(root) and not os.path.isdir(root) and not stat.S_ISREG(os.stat(root).st_mode):
        raise UsageError(f"{root} is not an MSTAR chip (it is not a regular file)")
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "scan found no chips", UserWarning)  # the command tells it its own way
        return scan(root, **options)


def _scan(args: argparse.Namespace) -> int:
    if args.csv is not None:
        check_output(args.csv)
    catalog = _scanned(args.root, verify=args.verify, threads=args.threads, progress=None)
    if not len(catalog) and not os.path.isdir(args.root):  # one file, and no chip
        if catalog.skipped:
            raise UsageError(f"{args.root}: {catalog.skipped[0][1]}")
        raise UsageError(f"{args.root} is not an MSTAR chip (it does not start with a Phoenix header)")
    if len(catalog):
        print(catalog.summary())
    else:
        print(f"no chips found in {args.root}")
    end = "" if args.quiet else ":"
    if catalog.skipped:
        print(f"\n{len(catalog.skipped)} skipped{end}")
        for path, reason in [] if args.quiet else catalog.skipped:
            print(f"  {path}: {reason}")
    duplicates = catalog.duplicates
    if duplicates:
        copies = sum(len(group) - 1 for group in duplicates)
        print(f"\n{len(duplicates)} held more than once, {copies} copies in all (split() keeps the first path){end}")
        for group in [] if args.quiet else duplicates:
            print("  " + "\n    ".join(group))  # the path kept, then its copies
    if args.csv is not None:
        catalog.to_csv(args.csv)
        print(f"\nwrote {len(catalog)} records to {args.csv}")
    return 0


def _check(args: argparse.Namespace) -> int:
    from .catalog import scan

    catalog = scan(args.roots, verify=args.verify, threads=args.threads, progress=None)
    if not len(catalog) and not catalog.skipped and not all(os.path.isdir(root) for root in args.roots):
        raise UsageError(f"{' '.join(args.roots)}: no MSTAR chips (a root is no folder and no chip)")
    result = catalog.release_check()
    print(result)
    if catalog.skipped:
        print(f"{len(catalog.skipped)} files skipped, not counted (vantrel scan lists them)")
    return 0 if result.complete else 1


def _check_chip(path: str) -> None:
    from . import _chips

    # Only regular files are chips: a FIFO or a device must not block the command.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
    except BaseException:
        os.close(fd)
        raise
    if not stat.S_ISREG(mode):
        os.close(fd)
        what = "a folder" if stat.S_ISDIR(mode) else "not a regular file"
        raise UsageError(f"{path} is not an MSTAR chip (it is {what})")
    with open(fd, "rb") as file:
        start = file.read(len(_chips.CHIP_SIGNATURE))
    if start != _chips.CHIP_SIGNATURE:
        raise UsageError(f"{path} is not an MSTAR chip (it does not start with a Phoenix header)")


def _header(args: argparse.Namespace) -> int:
    from ._reader import reader

    _check_chip(args.chip)
    header = reader().mstar_header(args.chip)
    if args.json:
        print(json.dumps(header, indent=2, ensure_ascii=False))
    else:
        for key, value in header.items():
            print(f"{key}= {value}")
    return 0


def _export(args: argparse.Namespace) -> int:
    if args.format != "png":  # a folder of images is checked by save_images, before its load
        check_output(args.output)  # before the scan and the load, not after them
    if args.floor_db is not None and not args.db and args.format != "png":
        raise UsageError("--floor-db is the floor of --db: give --db too")
    catalog = _scanned(args.root, threads=args.threads)
    skipped = catalog.skipped
    if args.split is not None:
        with warnings.catch_warnings():
            if args.strict:
                warnings.simplefilter("error", UserWarning)
            try:
                catalog = catalog.split(args.split, args.subset, strict=args.strict)
            except UserWarning as warning:
                raise UsageError(str(warning)) from None
    elif args.subset is not None:
        raise UsageError("--subset needs --split")
    if not len(catalog):
        why = f" ({len(skipped)} skipped; {skipped[0][0]}: {skipped[0][1]})" if skipped else ""
        raise UsageError(f"no chips to export in {args.root}{why}")
    if args.format == "png":
        if args.ofmt != OFMT or args.dtype is not None or args.floor_db is not None:
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
    floor_db = FLOOR_DB if args.floor_db is None else args.floor_db
    catalog.save(args.output, args.size, args.ofmt, args.dtype, db=args.db, floor_db=floor_db, threads=args.threads,
                 progress=None)
    print(f"wrote {len(catalog)} chips to {args.output}")
    return 0


def _splits(args: argparse.Namespace) -> int:
    from .splits import SPLITS

    for split in SPLITS.values():
        print(f"{split.name}: {split.description}")
        print(f"  source: {split.source}")
        for subset_name, subset in split.subsets.items():
            depressions = " and ".join(f"{d:g}°" for d in subset.depressions)
            scenes = f", scene{'s' * (len(subset.scenes) > 1)} {' and '.join(map(str, subset.scenes))}"
            scenes = scenes if subset.scenes else ""
            total = sum(subset.published.values())
            print(f"  {subset_name} at {depressions}{scenes}: {total} chips, on {', '.join(subset.cds)}")
            for class_name, serials in subset.serials.items():
                counts = [subset.published_serials.get(serial) for serial in serials]
                if all(count is not None for count in counts):
                    shown = ", ".join(f"{serial} {count}" for serial, count in zip(serials, counts))
                    print(f"    {class_name:<7} {subset.published[class_name]:>5}  ({shown})")
                else:
                    print(f"    {class_name:<7} {subset.published[class_name]:>5}  ({', '.join(serials)})")
        print()
    print("Counts are those of the published tables; split() warns when a catalog's differ.")
    return 0


def _db_range(text: str) -> tuple[float, float]:
    low, comma, high = text.partition(",")
    try:
        return float(low), float(high)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a range in dB: {text!r} (give LOW,HIGH, e.g. -60,10)") from None


def _show(args: argparse.Namespace) -> int:
    _check_chip(args.chip)
    if args.output is not None:
        check_output(args.output)
    try:
        import matplotlib
    except ImportError:
        raise UsageError("vantrel show needs matplotlib: pip install matplotlib") from None
    from ._display import has_display
    from .show import plot_chip

    output = args.output
    if output is None and not has_display():
        output = os.path.basename(args.chip) + ".png"
    if output is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = plot_chip(args.chip, linear=args.linear)
    try:
        if output is None:
            plt.show()
            return 0
        from ._files import atomic_write

        with atomic_write(output) as file:  # a file object: the name gets no ".png" added; replaced once whole
            figure.savefig(file, format="png", dpi=100)
    finally:
        plt.close(figure)
    print(f"wrote {output}")
    return 0


def _size(text: str) -> int | tuple[int, int] | None:
    if text == "native":
        return None
    height, x, width = text.partition("x")
    try:
        return (int(height), int(width)) if x else int(height)  # "88x" is no size
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (give 128, 88x96 or native)") from None


def _threads(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value  # a larger count than the CPUs allow is taken as the cap


class _Parser(argparse.ArgumentParser):
    """Its mistakes are one line, as every other mistake of the command is."""

    def error(self, message: str) -> NoReturn:
        print(f"vantrel: error: {message} (see {self.prog} --help)", file=sys.stderr)
        raise SystemExit(2)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog="vantrel", description="Fast, exact access to the MSTAR SAR data set.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    scan = commands.add_parser("scan", help="index the chips below a folder and count them",
                               description="Find every chip below ROOT by its content; print the counts per "
                                           "class and depression, then the files skipped and why.")
    scan.add_argument("root", metavar="ROOT", help="a release folder (or one chip file)")
    scan.add_argument("--csv", metavar="FILE", help="also write one row per chip to FILE")
    scan.add_argument("--verify", action="store_true", help="check each data block against its Chip_MD5_CheckSum")
    scan.add_argument("--quiet", action="store_true", help="count the skipped files and the chips held twice, "
                                                           "without listing them")
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
    export.add_argument("--split", help="soc, eoc-1, three-class, ... (default: every chip, no labels; see "
                                        "vantrel splits)")
    export.add_argument("--subset", help="train or test")
    export.add_argument("--strict", action="store_true", help="a split whose counts differ from the published ones, "
                                                              "or that holds duplicates, is an error")
    export.add_argument("--size", type=_size, default=SIZE,
                        help=f"window side, HxW, or 'native' (default: {SIZE})")
    export.add_argument("--ofmt", default=OFMT, choices=list(OFMTS),
                        help=f"array format (default: {OFMT}): "
                             + "; ".join(f"{name} {form.meaning}" for name, form in OFMTS.items()))
    export.add_argument("--dtype", choices=["float32", "float64", "complex64", "complex128"],
                        help="default: float32 (complex64 for c)")
    export.add_argument("--db", action="store_true", help="amplitude in dB: 20 log10(max(A, floor))")
    export.add_argument("--floor-db", type=float, metavar="DB", help=f"the floor of --db (default: {FLOOR_DB:g})")
    export.add_argument("--format", choices=["npz", "png"], default="npz",
                        help="npz: one array file; png: FOLDER/<class>/<chip>.png (amplitude in dB) and "
                             "FOLDER/index.csv (default: npz)")
    export.add_argument("--bits", type=int, choices=[8, 16], default=16, help="png bit depth (default: 16)")
    export.add_argument("--db-range", type=_db_range, default=DB_RANGE, metavar="LOW,HIGH",
                        help="png: the dB mapped onto black .. white, clipped; write --db-range=%g,%g "
                             "(the default)" % DB_RANGE)
    export.add_argument("--overwrite", action="store_true", help="png: write into a folder that is not empty")
    export.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the .npz file to write (with --format png: the folder)")
    export.add_argument("--threads", type=_threads, metavar="N", help="threads to read with (default: all CPUs)")
    export.set_defaults(run=_export)

    splits = commands.add_parser("splits", help="list the named splits with their published counts",
                                 description="Print each named split's subsets: depressions, release CDs, "
                                             "and per class the serials and published chip counts.")
    splits.set_defaults(run=_splits)

    check = commands.add_parser("check", help="check a copy of the release against its chip counts",
                                description="Scan each ROOT and count its chips per release CD and per folder "
                                            "of the release, matched by header (serial, depression, scene); "
                                            "print one line per CD, the groups that differ, and the named "
                                            "splits served completely. Exit status 0 when every CD present "
                                            "is complete, 1 when one is incomplete.")
    check.add_argument("roots", nargs="+", metavar="ROOT", help="a folder holding release CDs (or several)")
    check.add_argument("--verify", action="store_true", help="check each data block against its Chip_MD5_CheckSum")
    check.add_argument("--threads", type=_threads, metavar="N", help="threads to read with (default: all CPUs)")
    check.set_defaults(run=_check)

    show = commands.add_parser("show", help="look at a chip: amplitude in dB and phase",
                               description="Plot CHIP's amplitude (dB) and phase side by side, titled from its "
                                           "header; without a display, write a PNG.")
    show.add_argument("chip", metavar="CHIP", help="a chip file")
    show.add_argument("-o", "--output", metavar="FILE", help="write this PNG (default without a display: "
                                                             "the chip's name + .png)")
    show.add_argument("--linear", action="store_true", help="linear amplitude instead of dB")
    show.set_defaults(run=_show)
    return top


def _warn(message: Warning | str, category: type[Warning], filename: str, lineno: int, file: object = None,
          line: str | None = None) -> None:
    print(f"vantrel: warning: {message}", file=sys.stderr)


def _bytes_or_escape(error: UnicodeError) -> tuple[str | bytes, int]:
    """A file name's undecodable bytes (surrogate escapes) go out as they were; anything else the
    stream cannot encode as a backslash escape."""
    if isinstance(error, UnicodeEncodeError):
        try:
            return codecs.lookup_error("surrogateescape")(error)
        except UnicodeError:
            pass
    return codecs.lookup_error("backslashreplace")(error)


codecs.register_error("vantrel.bytes_or_escape", _bytes_or_escape)


def _quiet_after_broken_pipe() -> int:
    # Standard output is gone: flushing it again at exit must not complain either.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return 141  # as a shell reports a command ended by SIGPIPE


def main(argv: list[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="vantrel.bytes_or_escape")
    args = parser().parse_args(argv)
    where = getattr(args, "chip", None) or getattr(args, "root", "")
    if sys.stdout is None:  # started with its standard output closed (>&-): nothing would show what it did
        print("vantrel: error: standard output is closed; nothing was done", file=sys.stderr)
        return 2
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warn  # one line, as the errors are
            status: int = args.run(args)
            sys.stdout.flush()  # a closed pipe shows here, not at exit
            return status
    except BrokenPipeError:
        return _quiet_after_broken_pipe()
    except UsageError as error:
        message = str(error)
    except OSError as error:
        name = error.filename if error.filename is not None else ""
        message = f"{name}: {error.strerror or error}" if name else str(error)
    except (ValueError, struct.error, OverflowError) as error:  # a damaged chip: what the reader found wrong
        message = str(error) if where and str(error).startswith(str(where)) else f"{where}: {error}"
    except MemoryError as error:
        message = f"{where}: {error or 'not enough memory'}"
    except KeyboardInterrupt:
        return 130
    print(f"vantrel: error: {message}", file=sys.stderr)
    return 2
