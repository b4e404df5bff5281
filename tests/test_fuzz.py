"""Property tests: modelled and mutated chip files against an oracle in plain Python/NumPy. Set
MSTAR_FUZZ_EXAMPLES for a long random run; without it the run is short and derandomized."""

import os
import pathlib
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, currently_in_test_context, event, given, settings, strategies as st

from conftest import LINES, REAL, REAL_CHIPS, innermost_entry
from vantrel.catalog import FIELDS, scan
from vantrel.datasets.mstar import mstar_header, mstar_raw

# A file that is no chip, scanned alone, finds nothing: the scan says so, as expected here.
pytestmark = pytest.mark.filterwarnings("ignore:scan found no chips:UserWarning")

END = "[EndofPhoenixHeader]"
H, R = LINES["header"], LINES["raw"]
ALLOWED = (ValueError, struct.error, OSError, MemoryError, OverflowError)
FORMATS = ("ap", "r", "c", "R")  # "R" names no format
FUZZ = settings(max_examples=int(os.environ.get("MSTAR_FUZZ_EXAMPLES", 150)), deadline=2000, database=None,
                derandomize="MSTAR_FUZZ_EXAMPLES" not in os.environ, phases=set(Phase) - {Phase.explain},
                print_blob=True, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def value(line):
    """Header line reading, then the part after "= " by two-item unpacking."""
    parts = line.strip(b"\n").decode("utf-8").split("= ")
    if len(parts) != 2:
        raise ValueError("too many values to unpack (expected 2)" if parts[2:] else "need more than 1 value to unpack")
    return parts[1]


def expected_header(path):
    """(dict, None) or (exception, traceback line)."""
    line = H["open"]
    try:
        with open(path, "rb") as f:
            f.seek(1)
            line = H["version"]
            header = {"PhoenixHeaderVer": f.readline().strip(b"\n").decode("utf-8")[17:-1]}
            while True:
                line, raw = H["read_line"], f.readline()
                if not raw:
                    raise ValueError("no [EndofPhoenixHeader] line before the end of the file")
                if (data := raw.strip(b"\n").decode("utf-8")) == END:
                    return header, None
                line = H["split"]
                if data:
                    header[data.split("= ")[0]] = value(raw)
    except Exception as exc:
        return exc, line


def counts_by_name(path):
    header, _ = expected_header(path)
    try:
        return int(header["NumberOfColumns"]), int(header["NumberOfRows"])
    except (TypeError, KeyError, ValueError):
        return None


def expected_planes(path, start=0):
    """(planes array, None) or (exception, traceback line); `start` is where the file's position is
    when the steps begin (a descriptor handed over mid-file)."""
    at = [R["open"]]

    def step(line, function, *args):
        at[0] = line
        return function(*args)

    try:
        with open(path, "rb") as f:
            f.seek(start)
            lines = [f.readline() for _ in range(14)]
            offsets = step(R["offsets"], int, step(R["line_3"], value, lines[2]))
            v = step(R["line_13"], value, lines[12])
            try:
                ncols = step(R["ncols"], int, v)
                nrows = step(R["nrows"], int, step(R["line_14"], value, lines[13]))
            except ValueError:  # only the conversions fall back to the named counts
                if at[0] == R["line_14"] or (named := counts_by_name(path)) is None:
                    raise
                ncols, nrows = named
            step(R["seek"], f.seek, offsets)
            data, count = step(R["samples"], f.read), 2 * ncols * nrows
            if count < 0 or 4 * count > len(data):
                raise struct.error("negative count or short data block")
            planes = np.frombuffer(data, ">f4", count=count).astype(np.float64)
            return step(R["planes"], planes.reshape, 2, nrows, ncols), None
    except Exception as exc:
        return exc, at[0]


def converted(planes, ofmt):
    a, p = planes
    if ofmt == "ap":
        return np.transpose(planes, (1, 2, 0))
    if ofmt == "r":
        return np.stack((a * np.cos(p), a * np.sin(p)), axis=-1)
    return a * (np.cos(p) + 1j * np.sin(p)) if ofmt == "c" else None


def outcome(function, *args):
    """(result, None) or (exception, innermost traceback entry); tallied for --hypothesis-show-statistics."""
    try:
        result, where = function(*args), None
    except Exception as exc:
        assert isinstance(exc, ALLOWED), repr(exc)
        result, where = exc, innermost_entry(exc)
    if currently_in_test_context():
        event(f"{function.__name__}: {type(result).__name__ if where else 'returned'}")
    return result, where


def agree(got, where, want, line, name, bits=False):
    """A call's outcome against the oracle's: the same exception at the same line, or an equal result."""
    if line is not None:
        assert where is not None and type(got) is type(want), (got, want)
        assert type(got) is struct.error or str(got) == str(want)  # struct's own wording is not modelled
        assert where[0].endswith(name) and where[2] == line, (where, line)
    elif isinstance(want, np.ndarray):
        assert where is None and (got.dtype, got.shape) == (want.dtype, want.shape), got
        assert (np.array_equal(got.view(np.uint64), want.view(np.uint64)) if bits else
                np.array_equal(got, want, equal_nan=True))
    else:  # a header dictionary, keys in order, or None
        assert where is None and (got is want is None or list(got.items()) == list(want.items())), got


def expected_scan(path):
    """What a scan makes of one file: None (no chip), "skipped", or the record's fields."""
    data = pathlib.Path(path).read_bytes()
    if not data.startswith(b"\n[PhoenixHeaderVer"):
        return None
    header, line = expected_header(path)
    if line is not None:
        return "skipped"
    end = 1
    for i, raw in enumerate(data[1:].split(b"\n")):  # the end of the end-marker line
        end += len(raw) + 1
        if i and raw == END_B:
            break
    try:
        offset, cols, rows = (int(header[k]) for k in ("PhoenixHeaderLength", "NumberOfColumns", "NumberOfRows"))
        depression, azimuth = (float(header.get(k) or "nan") for k in ("DesiredDepression", "TargetAz"))
    except (KeyError, ValueError):
        return "skipped"
    if not all(0 <= v < 2**63 for v in (offset, cols, rows)) or offset < min(end, len(data)) or \
            offset + 8 * rows * cols != len(data):  # counts are 64-bit
        return "skipped"
    return (header.get("TargetType", ""), header.get("TargetSerNum", ""), depression, azimuth, rows, cols,
            header["PhoenixHeaderVer"], offset)


def scanned(path):
    """What a scan makes of one file, as expected_scan tells it; a chip's load is its stored samples."""
    catalog = scan(path, threads=1)
    if catalog.skipped:
        return "skipped"
    if not len(catalog):
        return None
    chip = catalog[0]
    block = np.frombuffer(pathlib.Path(path).read_bytes(), ">f4", 2 * chip.rows * chip.columns, chip.data_offset)
    planes = np.moveaxis(block.reshape(2, chip.rows, chip.columns), 0, -1)
    assert np.array_equal(catalog.load(None, "ap", np.float64, threads=1)[0], planes, equal_nan=True)
    return tuple(getattr(chip, f) for f in FIELDS[1:])


def check(path):
    """Both functions, mstar_raw with each format, and a scan agree with the oracle on the file at `path`."""
    with np.errstate(all="ignore"):
        agree(*outcome(mstar_header, path), *expected_header(path), "mstar_header")
        planes, line = expected_planes(path)
        for ofmt in FORMATS:
            want = planes if line else converted(planes, ofmt)
            agree(*outcome(mstar_raw, path, ofmt), want, line, "mstar_raw", bits=ofmt == "ap")
    got, want = scanned(path), expected_scan(path)
    if currently_in_test_context():
        event(f"scan: {'chip' if isinstance(got, tuple) else got}")
    assert got == want or (isinstance(got, tuple) and str(got) == str(want)), (got, want)  # NaN != NaN


@pytest.fixture(scope="module")
def chip_path(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz") / "chip.bin"


# --- (i) chip files built from a model of the layout ---------------------------------------------
# A calm file draws from the first item of each pair of choices, a wild one from both.
HUGE = [10**20, -10**20, 2**63, 2**31, -1, "9" * 4301]  # the last exceeds int()'s digit limit
NUMBER = st.one_of(st.integers(-3, 6), st.sampled_from(HUGE))
SPELLS = (["{}", "{:06d}", " {} "], ["\t{}\r", "{:_}", "+{}", "{}.0", "0x{}", "", "{}= 1"])
BITS = [b"a", b"Z", b"0", b"7", b"-", b" ", b"=", b"= ", b"\r", b"\t", b"\xff", b"\xc3", b"\xc3\xa9", b"\x00"]
JUNK = st.lists(st.sampled_from(BITS), max_size=8).map(b"".join)
NAMES = st.sampled_from(["PhoenixHeaderVer", "NumberOfColumns", "NumberOfRows", "TargetType"])
WORD = st.text("abXY_ ", max_size=6)


def entries(key):
    pair = st.builds(lambda k, v: f"{k}= {v}".encode(), key, st.text("xy 09.-", max_size=6))
    return st.one_of(pair, pair, pair, st.just(b""))  # one empty line in four


ENTRIES = (entries(WORD), entries(WORD | NAMES) | JUNK)  # calm, wild
END_B = END.encode()


@st.composite
def modelled_chips(draw):
    wild = draw(st.booleans())

    def pick(calm, other):
        return draw(st.sampled_from(calm + other if wild else calm))

    def number(default):
        n = draw(NUMBER) if wild and draw(st.booleans()) else default
        return (n if isinstance(n, str) else pick(*SPELLS).format(n)).encode()

    rows, cols = draw(st.integers(not wild, 4)), draw(st.integers(not wild, 4))
    lines = [pick([b""], [b"\x00", b"X", b"\xff", b"a= 1"]),
             pick([b"[PhoenixHeaderVer01.05]"], [b"[PhoenixHeaderVer01.04]\xff"]),
             *draw(st.lists(ENTRIES[wild], min_size=12, max_size=22))]
    p_off, p_cols, p_rows = draw(st.permutations(range(1, 15)).map(lambda p: p[:3])) if wild and draw(
        st.booleans()) else pick([(3, 13, 14), (3, 12, 13), (3, 14, 13)], [])
    lines[p_cols - 1] = b"NumberOfColumns= " + number(cols)
    lines[p_rows - 1] = b"NumberOfRows= " + number(rows)
    mode = pick(["exact", "into"], ["past", "raw"])
    lines[p_off - 1] = b"PhoenixHeaderLength= " + (number(-5) if mode == "raw" else b"%08d")
    eol = pick([b"\n", b"\r\n"], [b"\r"])
    end = pick([END_B], [b"", END_B + b" ", END_B.lower()])
    header = eol.join(lines + [end]) + pick([eol], [b""]) + draw(JUNK)
    size = max(0, 8 * rows * cols + pick([0, 0, 5], [-1, -4]))
    data = draw(st.binary(min_size=size, max_size=size))
    offset = {"exact": len(header), "into": draw(st.integers(0, len(header))), "past": len(header) + size + 5}
    return header.replace(b"%08d", b"%08d" % offset.get(mode, 0), 1) + data


@FUZZ
@given(content=modelled_chips())
def test_modelled_chips_match_oracle(chip_path, content):
    chip_path.write_bytes(content)
    check(str(chip_path))


# --- (ii) byte-level mutations of the real chips ------------------------------------------------
REAL_BYTES = {name: (REAL / name).read_bytes() for name in REAL_CHIPS}


@st.composite
def mutations(draw):
    """A real chip's name and up to four edits (kind, position, byte), most of them in the header."""
    name = draw(st.sampled_from(REAL_CHIPS))
    in_header = st.integers(0, REAL_BYTES[name].index(END_B) + len(END))
    anywhere = st.integers(0, len(REAL_BYTES[name]))
    edit = st.tuples(st.sampled_from("fffiiidddt"), st.one_of(in_header, in_header, in_header, anywhere),
                     st.one_of(st.sampled_from(b"\n\r= -0159x\xff"), st.integers(1, 255)))
    return name, draw(st.lists(edit, min_size=1, max_size=4))


def mutated(name, edits):
    blob = bytearray(REAL_BYTES[name])
    for kind, at, byte in edits:  # flip (xor), insert, delete, truncate
        at = min(at, len(blob))
        end = {"f": at + 1, "i": at, "d": at + 1, "t": len(blob)}[kind]
        blob[at:end] = {"f": bytes(b ^ byte for b in blob[at:end]), "i": bytes([byte])}.get(kind, b"")
    return bytes(blob)


@FUZZ
@given(mutation=mutations())
def test_mutated_real_chips_match_oracle(chip_path, mutation):
    chip_path.write_bytes(mutated(*mutation))
    check(str(chip_path))


# Numerals as headers write them and as hostile ones might: ASCII and Unicode digits and blanks, signs,
# underscores, points, exponents, the names of the non-finite values, and runs long enough to pass 64 bits.
NUMERAL = st.lists(st.sampled_from(list("0123456789_+-.eE \t\rx\u0663\u00a0\u2003\U0001d7d9") +
                                   ["inf", "nan", "9" * 19]), max_size=12).map("".join)


@FUZZ
@given(rows=NUMERAL, depression=NUMERAL)
def test_native_numbers_agree_with_int_and_float(chip_path, rows, depression):
    """The scan's integer and float rules against int() and float(): NumberOfColumns= 0 frees NumberOfRows
    from the file's size, so any count int() takes within 64 bits must be the record's."""
    entries = [("PhoenixHeaderLength", "{offset}"), ("NumberOfColumns", "0"), ("NumberOfRows", rows),
               ("DesiredDepression", depression)]
    from conftest import chip_bytes

    chip_path.write_bytes(chip_bytes(entries, rows=0, cols=0))
    catalog = scan(chip_path, threads=1)
    try:
        count = int(rows)
        count = count if 0 <= count < 2**63 else None
    except ValueError:
        count = None
    try:
        number = float(depression)
    except ValueError:
        number = float("nan") if not depression.strip(" \t\r") else None  # left blank: not given
    if count is None or number is None:
        assert len(catalog) == 0 and len(catalog.skipped) == 1
        reason = catalog.skipped[0][1]
        assert ("NumberOfRows" in reason) == (count is None), reason
    else:
        assert catalog.column("rows") == [count]
        assert np.array_equal(catalog.column("depression"), [number], equal_nan=True)
        assert np.signbit(catalog.column("depression")[0]) == np.signbit(number)
