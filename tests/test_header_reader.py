"""mstar_header on hand-made headers and on the real chips."""

import faulthandler
import os
import pathlib
import stat

import pytest

from conftest import LINES, REAL, REAL_CHIPS, SOURCE_FILE, chip_bytes, innermost_entry, run_python
from vantrel.datasets.mstar import mstar_header

# The reader's traceback lines (tools/source_lines.py).
H, R = LINES["header"], LINES["raw"]

END, V = b"[EndofPhoenixHeader]", "PhoenixHeaderVer"
NEED1, NO_END = "need more than 1 value to unpack", "no [EndofPhoenixHeader] line before the end of the file"
# A failed read leaves its file to be closed by finalisation, which warns about the unclosed file.
UNCLOSED = pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")


def hdr(*lines, first=b"\n", version=b"[PhoenixHeaderVer01.05]", end=END + b"\n"):
    return first + version + b"\n" + b"".join(line + b"\n" for line in lines) + end


@pytest.mark.parametrize("content, expected", [
    (hdr(b"B= 2", b"", b"A= 1", b"", b"", b"C= x y "), [(V, "01.05"), ("B", "2"), ("A", "1"), ("C", "x y ")]),
    (hdr(), [(V, "01.05")]),
    (hdr(b"A= 1", end=END), [(V, "01.05"), ("A", "1")]),  # marker without final LF
    (hdr(b"Key = v", b"K=  v", b"= e", b"F= ", b" G= \tx"),
     [(V, "01.05"), ("Key ", "v"), ("K", " v"), ("", "e"), ("F", ""), (" G", "\tx")]),
    (hdr(b"A= 1", b"B= 2", b"A= 3"), [(V, "01.05"), ("A", "3"), ("B", "2")]),
    (hdr(b"A= 1", b"PhoenixHeaderVer= 9"), [(V, "9"), ("A", "1")]),
    (hdr(version=b"ABCDEFGHIJKLMNOPQRS"), [(V, "R")]),  # 19 characters
    (hdr(version=b"ABCDEFGHIJKLMNOPQR"), [(V, "")]),  # 18 characters
    (hdr(version=b""), [(V, "")]),
    (hdr(version=b"a= b= c= ddddddddddddd"), [(V, "dddd")]),
    (hdr(version=END), [(V, "er")]),
    (hdr(b"A= 1\r", b"B= 2\r"), [(V, "01.05"), ("A", "1\r"), ("B", "2\r")]),
    (hdr(b"A= \xc3\xa9"), [(V, "01.05"), ("A", "\u00e9")]),
])
def test_header_rules(make_chip, content, expected):
    assert list(mstar_header(make_chip(content)).items()) == expected


def test_byte_zero_ignored_and_data_block_never_decoded(make_chip):
    entries = [("A", "1"), ("B", "2")]
    base = mstar_header(make_chip(chip_bytes(entries)))
    assert all(mstar_header(make_chip(chip_bytes(entries, first=b))) == base for b in (b"X", b"\xff", b"=", b"\r"))
    content = chip_bytes(rows=4, cols=4, magnitude=[[-1.0e-38] * 4] * 4, trailing=b"\xff\xfe\x80")
    assert b"\xff" in content.split(END)[1] and len(mstar_header(make_chip(content))) == 14


@pytest.mark.parametrize("content, exc, message, line", [
    (hdr(b"a= b= c"), ValueError, "too many values to unpack (expected 2)", H["split"]),
    (hdr(b"A= 1", b"a=b"), ValueError, NEED1, H["split"]),
    (hdr(b"A= 1", end=END + b"\r\n"), ValueError, NEED1, H["split"]),  # CR LF marker is no marker
    (hdr(b"A= 1\r", end=END + b"\r\n"), ValueError, NEED1, H["split"]),
    (hdr(end=b" " + END + b"\n"), ValueError, NEED1, H["split"]),
    (hdr(end=END + b" \n"), ValueError, NEED1, H["split"]),
    (hdr(end=END.lower() + b"\n"), ValueError, NEED1, H["split"]),
    (hdr(b"A= \xff"), UnicodeDecodeError, None, H["read_line"]),
    (hdr(version=b"[Phoenix\xc3HeaderVer]"), UnicodeDecodeError, None, H["version"]),
    (hdr(b"A= 1", end=b""), ValueError, NO_END, H["read_line"]),
    (hdr(b"A= 1", end=b"\n\n\n"), ValueError, NO_END, H["read_line"]),
    (b"", ValueError, NO_END, H["read_line"]),
    (b"\n", ValueError, NO_END, H["read_line"]),
    (None, FileNotFoundError, None, H["open"]),
    (1.5, TypeError, None, H["open"]),
])
@UNCLOSED
def test_header_failures(make_chip, tmp_path, content, exc, message, line):
    target = str(tmp_path / "missing") if content is None else content if isinstance(content, float) else make_chip(content)
    faulthandler.dump_traceback_later(30, exit=True)  # a reader that loops at the end of the file must not hang the run
    try:
        with pytest.raises(exc) as info:
            mstar_header(target)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert message is None or str(info.value) == message
    assert innermost_entry(info.value) == ("vantrel.datasets.mstar.mstar_header", SOURCE_FILE, line)


@UNCLOSED
def test_seek_failure_on_a_pipe():
    r, w = os.pipe()
    try:
        os.write(w, hdr(b"A= 1"))
        with pytest.raises(OSError) as info:
            mstar_header(r)  # the file object owns r and closes it when finalised
        assert innermost_entry(info.value)[2] == H["seek"]
    finally:
        os.close(w)


def test_filepath_forms(make_chip):
    path = make_chip(chip_bytes([("A", "1"), ("B", "2")]))
    expected = [(V, "01.05"), ("A", "1"), ("B", "2")]
    fd = os.open(path, os.O_RDONLY)
    for form in (path, path.encode(), pathlib.Path(path), fd):
        assert list(mstar_header(form).items()) == expected
    with pytest.raises(OSError):  # the descriptor went with the file object the reader closed
        os.fstat(fd)


@pytest.mark.parametrize("name", REAL_CHIPS)
def test_real_chips(name):
    raw = (REAL / name).read_bytes()
    lines = raw[1:].split(b"\n")
    expected = {V: lines[0].decode()[17:-1]}
    expected.update(line.decode().split("= ") for line in lines[1:lines.index(END)] if line)
    got = list(mstar_header(str(REAL / name)).items())
    assert got == list(expected.items())
    assert got[0] == (V, "01.05" if name == "HB15696.001" else "01.04")
    assert got[1] == ("PhoenixHeaderLength", f"{raw.index(END) + len(END) + 1:05d}")
    assert name != "HB03333.003" or len(got) == 57


ZERO = "no [EndofPhoenixHeader] line within the first 65536 bytes of a file that is not a regular file"


@pytest.mark.skipif(os.geteuid() != 0, reason="making a device node needs root")
def test_a_device_that_never_ends_is_refused_within_64_kib(tmp_path):
    from vantrel.datasets.mstar import mstar_raw

    zero = tmp_path / "zero"  # /dev/zero's numbers, in the test's own folder: no line feed, ever
    os.mknod(zero, 0o444 | stat.S_IFCHR, os.makedev(1, 5))
    for reader, message, line in ((mstar_header, ZERO, H["read_line"]), (mstar_raw, "header line 1 does not end within the "
                                                               "first 65536 bytes of a file that is not a regular file", R["line_1"])):
        with pytest.raises(ValueError) as info:
            reader(str(zero))
        assert str(info.value) == message and innermost_entry(info.value)[2] == line


def test_a_file_with_no_end_marker_at_all_is_refused_unread(tmp_path):
    # 640 MiB of zeros (sparse) with no line feed: line by line, one line past the memory allowed.
    path = tmp_path / "no_lf"
    with open(path, "wb") as file:
        file.truncate(640 << 20)
    (tmp_path / "marker_far").write_bytes(hdr(b"A= " + b"v" * (3 << 20)))  # the marker after 3 MiB: read
    proc = run_python(f"""
        import os, resource
        from vantrel.datasets.mstar import mstar_header
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer maps far more than it uses
            resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
        assert len(mstar_header({str(tmp_path / 'marker_far')!r})["A"]) == 3 << 20
        try:
            mstar_header({str(path)!r})
        except ValueError as error:
            print(error)""")
    assert proc.stdout == NO_END + "\n"
