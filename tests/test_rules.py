"""Native rules held against Python's own: int() for counts and offsets, bytes.decode for header lines,
hashlib.md5 for the data block, and the steps as written for a descriptor handed over mid-file and for a
data offset inside the header. Most cases go through test_fuzz's oracle: mstar_header, mstar_raw in
every format, and a scan with its load."""

import hashlib
import os

import numpy as np
import pytest

from conftest import chip_bytes
from test_fuzz import agree, check, converted, expected_header, expected_planes, outcome
from test_native_header import ENTRIES
from vantrel.catalog import scan
from vantrel.datasets.mstar import mstar_header, mstar_raw


def entries(**values):
    """The 01.05 layout's entry lines with some values written otherwise ("{offset}" is filled in)."""
    return [(key, values.get(key, value)) for key, value in ENTRIES]


def python_takes(convert, value):
    try:
        convert(value)
    except ValueError:
        return False
    return True


# int() takes single underscores between digits, nowhere else.
COUNTS = ["1_2", "0_1_2", "+1_2", " 1_2\t", "_12", "12_", "1__2", "+_12", "-_0", "_", "1_ 2"]
OFFSETS = ["0_{offset}", "+0_{offset}", "_{offset}", "{offset}_", "0__{offset}", "+_{offset}"]


@pytest.mark.parametrize("key, text", [("NumberOfColumns", t) for t in COUNTS] +
                         [("PhoenixHeaderLength", t) for t in OFFSETS])
def test_underscores_in_numbers_as_int_takes_them(make_chip, key, text):
    path = make_chip(chip_bytes(entries(**{"NumberOfColumns": "12", key: text}), cols=12))
    check(path)
    assert len(scan(path, threads=1)) == python_takes(int, text.format(offset="00300"))


# Around the surrogates U+D800..U+DFFF, the overlong forms and U+10FFFF, and a sequence cut short.
SEQUENCES = [b"\xed\x9f\xbf", b"\xed\xa0\x80", b"\xed\xaf\xbf", b"\xed\xb0\x80", b"\xed\xbf\xbf", b"\xee\x80\x80",
             b"\xe0\x9f\xbf", b"\xe0\xa0\x80", b"\xc1\xbf", b"\xc2\x80", b"\xf0\x8f\xbf\xbf", b"\xf0\x90\x80\x80",
             b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xed\xa0", b"\xed\xa0\x80\xed\xb0\x80"]


@pytest.mark.parametrize("sequence", SEQUENCES, ids=bytes.hex)
def test_header_lines_decode_as_bytes_decode_takes_them(make_chip, sequence):
    marker = "\x01" * len(sequence)
    path = make_chip(chip_bytes(ENTRIES + [("Note", f"x{marker}y")]).replace(marker.encode(), sequence, 1))
    check(path)
    assert len(scan(path, threads=1)) == python_takes(lambda b: b.decode("utf-8"), sequence)


def flipped(digest):
    return digest[:-1] + ("0" if digest[-1] != "0" else "1")


@pytest.mark.parametrize("spell", [str.lower, str.upper, lambda s: s[:13] + s[13:].upper(),
                                   lambda s: f" {s.upper()}\t", flipped, lambda s: s[:-1]],
                         ids=["lower", "upper", "mixed", "blanks", "one-digit-off", "31-digits"])
def test_verify_compares_the_md5_ignoring_letter_case(make_chip, spell):
    block = chip_bytes()[-48:]  # 2 x 3 samples of each plane
    digest = hashlib.md5(block).hexdigest()
    written = spell(digest)
    path = make_chip(chip_bytes(entries(Chip_MD5_CheckSum=written)))  # the same data block
    catalog = scan(path, verify=True, threads=1)
    assert len(catalog) == (written.strip().lower() == digest)
    assert catalog.column("checksum") == [digest] * len(catalog)


# Data blocks (8 bytes a sample pair) around MD5's padding: a 56-byte tail needs a second block, and
# so again 64 bytes on.
@pytest.mark.parametrize("size", [0, 8, 48, 56, 64, 112, 120, 128, 184, 192, 4096 + 56])
def test_md5_of_data_blocks_at_the_padding_boundaries(make_chip, size):
    samples = np.random.default_rng(size).random((2, 1, size // 8))
    content = chip_bytes(entries(NumberOfColumns=str(size // 8), NumberOfRows="1"), rows=1, cols=size // 8,
                         magnitude=samples[0], phase=samples[1])
    path = make_chip(content)  # its Chip_MD5_CheckSum "0" is none: the scan computes the block's
    assert scan(path, threads=1).column("checksum") == [hashlib.md5(content[len(content) - size:]).hexdigest()]


CHIP = chip_bytes(ENTRIES)
LINE_STARTS = [i + 1 for i, byte in enumerate(CHIP) if byte == ord("\n")]


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("start", [0, 1, 5, LINE_STARTS[2], LINE_STARTS[12], CHIP.index(b"[End"), len(CHIP) - 48])
def test_descriptor_is_read_from_where_it_stands(make_chip, start):
    # mstar_raw counts its header lines from the descriptor's position, as the built-in open reads
    # on from it; mstar_header seeks to byte 1 itself.
    path = make_chip(CHIP)
    fds = [os.open(path, os.O_RDONLY) for _ in range(2)]
    for fd in fds:
        os.lseek(fd, start, os.SEEK_SET)
    planes, line = expected_planes(path, start)
    agree(*outcome(mstar_raw, fds[0], "ap"), planes if line else converted(planes, "ap"), line, "mstar_raw",
          bits=True)
    agree(*outcome(mstar_header, fds[1]), *expected_header(path), "mstar_header")


@pytest.mark.parametrize("back", [-4, 0, 1, 21, 22, "all"])
def test_data_offset_inside_the_header_is_refused(make_chip, back):
    # `back` bytes before the header's end (negative: past it); the file ends where the offset and
    # the counts say.
    plain = chip_bytes(entries(NumberOfColumns="8", NumberOfRows="8"), rows=8, cols=8)
    end = len(plain) - 512
    back = end if back == "all" else back
    header = plain[:end].replace(b"Length= %05d" % end, b"Length= %05d" % (end - back))
    path = make_chip(header + (b"\0" * -back + plain[end:])[max(back, 0):])
    check(path)
    assert len(scan(path, threads=1)) == (back <= 0)
