#!/usr/bin/env python3
"""Write the hostile-file corpus tests/data/hostile/ and its table of expected outcomes, expected.csv.

Every file is derived from the sample chip vantrel/data/mstar/BTR70_HB03787.004, shrunk to a 4 x 4 chip
(its header with the counts and PhoenixHeaderLength adjusted, the top-left 4 x 4 corner of each plane).
The output is deterministic. Multi-megabyte files are not written: `generated()` builds them for the
tests at run time, and their rows are in the table all the same.

Table columns: file, call ("mstar_header" or "mstar_raw <ofmt>"), outcome ("ok", "none" or an exception
name), detail ("ok": the shape "RxCx2", or for a header the number of keys and key=value checks after
";"; an exception: a substring of its message), line (the traceback line of an exception).

Usage: make_hostile_corpus.py [OUTPUT_DIR]
"""

import csv
import sys
from pathlib import Path

import runpy

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
# The reader's traceback lines, from src/mstar/source.hpp (run by path: the tests load this tool so too)
LINES = runpy.run_path(str(ROOT / "tools" / "source_lines.py"))["LINES"]
H, R = LINES["header"], LINES["raw"]
SAMPLE = ROOT / "vantrel" / "data" / "mstar" / "BTR70_HB03787.004"
END = b"[EndofPhoenixHeader]"
NEED_MORE = "need more than 1 value to unpack"
NO_END = ("ValueError", "no [EndofPhoenixHeader] line before the end of the file", H["read_line"])
SHORT = ("struct.error", "unpack_from requires a buffer of at least 128 bytes", R["samples"])
NOT_UTF8 = "can't decode byte 0xff"


def sample():
    """The sample header's lines (line 1 first, the end marker last) and its two 128 x 128 planes."""
    blob = SAMPLE.read_bytes()
    size = blob.index(END) + len(END) + 1
    return blob[:size].split(b"\n")[:-1], np.frombuffer(blob, ">f4", offset=size).reshape(2, 128, 128)


LINES, PLANES = sample()
BLOCK = PLANES[:, :4, :4].tobytes()
KEYS = 1 + len({line.split(b"= ")[0] for line in LINES[2:-1]})  # PhoenixHeaderVer and the entry keys


def entry(key, value):
    return key.encode() + b"= " + (value if isinstance(value, bytes) else str(value).encode())


def chip(rows=4, cols=4, edit=None, eol=b"\n", final=None, data=None, offset=None):
    """A chip of the sample's top-left `rows` x `cols` samples. `edit` replaces header lines (numbered
    from 1) after the counts are set; line 3 holds `offset`, or else the header size."""
    lines = list(LINES)
    lines[12], lines[13] = entry("NumberOfColumns", cols), entry("NumberOfRows", rows)
    for number, text in (edit or {}).items():
        lines[number - 1] = text
    if data is None:
        data = PLANES[:, :max(rows, 0), :max(cols, 0)].tobytes()

    def header(value):
        lines[2] = entry("PhoenixHeaderLength", value)
        return eol.join(lines) + (eol if final is None else final)

    return header(f"{len(header('00000')):05d}" if offset is None else offset) + data


def raw(kind, message, line, formats=("c",)):
    return [(f"mstar_raw {f}", kind, message, line) for f in formats]


def ok(shape, formats=("c",)):
    dims = "x".join(map(str, shape))
    return [(f"mstar_raw {f}", "ok", dims if f == "c" else dims + "x2", "") for f in formats]


def header(kind="ok", detail=KEYS, line=""):
    return [("mstar_header", kind, detail, line)]


def truncations():
    whole = chip()
    ends = [i for i, byte in enumerate(whole[:whole.index(END) + len(END) + 1]) if byte == 0x0A]
    for n in range(len(ends) + 1):  # the first n lines; n = 0 is the empty file
        line = R["line_3"] if n < 3 else R["line_13"] if n < 13 else R["line_14"]
        reading = raw("ValueError", NEED_MORE, line) if n <= 13 else raw(*SHORT)
        yield f"trunc_line{n:02d}.bin", whole[:ends[n - 1] + 1] if n else b"", (
            header() if n == len(ends) else header(*NO_END)) + reading


def cases():
    yield "chip4x4.bin", chip(), header() + ok((4, 4), ("ap", "r", "c")) + [("mstar_raw R", "none", "", "")]
    yield from truncations()
    yield "trunc_data.bin", chip()[:-1], header() + raw(*SHORT)
    yield "trailing_bytes.bin", chip() + b"\n\xff" * 8, header() + ok((4, 4), ("ap", "c"))
    yield "no_lf.bin", chip(eol=b"\r", data=b""), header(*NO_END) + raw("ValueError", NEED_MORE, R["line_3"])
    yield "cols0.bin", chip(cols=0), header() + ok((4, 0), ("ap", "c"))
    yield "rows0_cols0.bin", chip(rows=0, cols=0), header() + ok((0, 0), ("r", "c"))
    yield "cols_negative.bin", chip(cols=-4), header() + raw("struct.error", "bad char in struct format",
                                                             R["samples"])
    yield "both_negative.bin", chip(rows=-4, cols=-4, data=BLOCK), header() + raw(
        "ValueError", "can only specify one unknown dimension", R["planes"])
    yield "cols_1e20.bin", chip(cols=10**20, data=BLOCK), header() + raw(
        "struct.error", "total struct size too long", R["samples"])
    yield "cols_1e20_rows0.bin", chip(rows=0, cols=10**20), header() + raw(
        "ValueError", "Maximum allowed dimension exceeded", R["planes"])
    yield "cols_4400_digits.bin", chip(edit={13: entry("NumberOfColumns", "4" * 4400)}), header() + raw(
        "ValueError", "Exceeds the limit (4300 digits)", R["ncols"])
    yield "offset_past_end.bin", chip(offset="99999"), header() + raw("struct.error", "actual buffer size is 0",
                                                                     R["samples"])
    yield "offset_past_end_empty.bin", chip(rows=0, cols=0, offset="99999"), header() + ok((0, 0), ("ap", "c"))
    yield "offset_into_header.bin", chip(offset="00000"), header() + ok((4, 4), ("ap", "r", "c"))
    offset = len(chip(data=b""))  # bytes of any value between the header and the data block
    yield "offset_gap.bin", chip(offset=f"{offset + 5000:05d}", data=b"\xff\n" * 2500 + BLOCK), header() + ok(
        (4, 4), ("ap",))
    yield "offset_negative.bin", chip(offset="-1"), header() + raw("OSError", "Invalid argument", R["seek"])
    yield "offset_1e20.bin", chip(offset=10**20), header() + raw("ValueError", "offset-sized integer", R["seek"])
    yield "crlf.bin", chip(eol=b"\r\n"), header("ValueError", NEED_MORE, H["split"]) + ok((4, 4), ("ap", "r"))
    two = "too many values to unpack (expected 2)"
    yield "line03_two_separators.bin", chip(offset="1= 2"), header("ValueError", two, H["split"]) + raw(
        "ValueError", two, R["line_3"])
    yield "utf8_line01.bin", chip(edit={1: b"\xff"}), header("ValueError", NEED_MORE, H["split"]) + ok((4, 4))
    yield "utf8_line02.bin", chip(edit={2: LINES[1] + b"\xff"}), header(
        "UnicodeDecodeError", NOT_UTF8, H["version"]) + ok((4, 4))
    for number, line in [(3, R["line_3"]), (13, R["line_13"]), (14, R["line_14"]), (20, None)]:
        content = chip(offset=b"0\xff") if number == 3 else chip(edit={number: b"Filler= \xff\xfe"})
        yield f"utf8_line{number:02d}.bin", content, header("UnicodeDecodeError", NOT_UTF8, H["read_line"]) + (
            raw("UnicodeDecodeError", NOT_UTF8, line) if line else ok((4, 4)))
    twice = {20: entry("NumberOfColumns", 7), 21: entry("PhoenixHeaderVer", "X")}
    yield "duplicate_keys.bin", chip(edit=twice), header(
        detail=f"{KEYS - 2};NumberOfColumns=7;PhoenixHeaderVer=X") + ok((4, 4))
    yield "end_marker_no_lf.bin", chip(final=b"", data=b""), header() + raw(*SHORT)
    layout = {12: entry("NumberOfColumns", 4), 13: entry("NumberOfRows", 3), 14: entry("TargetType", "btr70")}
    yield "layout_0104.bin", chip(rows=3, cols=4, edit=layout), header(
        detail=f"{KEYS - 1};NumberOfColumns=4;NumberOfRows=3") + ok((3, 4), ("ap", "c"))
    layout[12] = entry("NumberOfColumns", "4x")
    yield "layout_0104_bad_name.bin", chip(rows=3, cols=4, edit=layout), header(
        detail=f"{KEYS - 1};NumberOfColumns=4x") + raw(
        "ValueError", "invalid literal for int() with base 10: 'btr70'", R["nrows"])


def generated():
    """The multi-megabyte files, built at test time: (name, content, expected rows)."""
    yield "big_value.bin", chip(edit={20: entry("Filler", "v" * (4 << 20))}), header() + ok((4, 4), ("ap",))
    yield "big_no_lf.bin", b"= " * (2 << 20), header(*NO_END) + raw("ValueError", NEED_MORE, R["line_3"])
    # Entries past 1 MiB and no end marker anywhere: refused without being read line by line.
    yield "big_no_end.bin", b"\n" + LINES[1] + b"\n" + b"A= b\n" * (1 << 19), header(*NO_END) + raw(
        "ValueError", "invalid literal for int() with base 10: 'b'", R["offsets"])


def main(out=None):
    out = Path(out) if out else ROOT / "tests" / "data" / "hostile"
    out.mkdir(parents=True, exist_ok=True)
    with open(out / "expected.csv", "w", newline="") as table:
        writer = csv.writer(table, lineterminator="\n")
        writer.writerow(["file", "call", "outcome", "detail", "line"])
        for name, content, rows in cases():
            (out / name).write_bytes(content)
            writer.writerows([name, *row] for row in rows)
        for name, _, rows in generated():
            writer.writerows([name, *row] for row in rows)


if __name__ == "__main__":
    main(*sys.argv[1:2])
