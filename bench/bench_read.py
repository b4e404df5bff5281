"""Times vantrel's MSTAR reader against the plain-Python path, a hand-written NumPy reader and the
bare read-and-convert floor, on synthetic chips (01.05 layout) held in the page cache.

    python bench/bench_read.py           # full run
    python bench/bench_read.py --quick   # short run, noisier numbers
"""

import argparse
import json
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

from vantrel.datasets.mstar import mstar_header, mstar_raw

SIZES = (128, 1024)
END = b"[EndofPhoenixHeader]"


def chip_bytes(rows, cols, seed=0):
    """A chip: empty line 1, version on line 2, header length on line 3, columns/rows on 13/14."""
    rng = np.random.default_rng(seed)
    magnitude = rng.rayleigh(0.05, (rows, cols))  # speckle-like, strictly positive after clipping
    magnitude = np.maximum(magnitude, 1e-6)
    phase = rng.uniform(0.0, 2 * np.pi, (rows, cols))
    entries = [("PhoenixHeaderLength", "{offset:05d}"), ("PhoenixSigSize", "0"), ("PhoenixSigNum", "0001"),
               ("PhoenixHeaderCallingSequence", "bench"), ("HeaderVersionNumber", "8CM"),
               ("PhoenixLines", "0024"), ("native_header_length", "0"), ("Filename", "bench.chip"),
               ("Chip_MD5_CheckSum", "0"), ("ParentScene", "bench"), ("NumberOfColumns", str(cols)),
               ("NumberOfRows", str(rows)), ("TargetType", "bench_target"), ("TargetSerNum", "0"),
               ("DesiredDepression", "17"), ("TargetAz", "0.0")]

    def header(offset):
        lines = [b"", b"[PhoenixHeaderVer01.05]"]
        lines += [f"{k}= {v}".format(offset=offset).encode() for k, v in entries]
        return b"\n".join(lines + [END]) + b"\n"

    head = header(len(header(0)))
    return head, head + np.concatenate([magnitude.ravel(), phase.ravel()]).astype(">f4").tobytes()


# --- the reader's steps written in plain Python ------------------------------------------------------------
def literal_planes(path):
    f = open(path, "rb")
    f.readline()
    f.readline()
    offsets = int(f.readline().strip(b"\n").decode("utf-8").split("= ")[1])
    for _ in range(9):
        f.readline()
    ncols = int(f.readline().strip(b"\n").decode("utf-8").split("= ")[1])
    nrows = int(f.readline().strip(b"\n").decode("utf-8").split("= ")[1])
    f.seek(offsets)
    x = struct.unpack_from(">%df" % (ncols * nrows * 2), f.read(), 0)
    x = np.array(x).reshape(2, nrows, ncols)
    f.close()
    return x


def literal_ap(path):
    return np.transpose(literal_planes(path), (1, 2, 0))


def literal_c(path):
    x = literal_planes(path)
    return x[0, ...] * (np.cos(x[1, ...]) + 1j * np.sin(x[1, ...]))


# --- the NumPy reader users usually write ------------------------------------------------------------------
def numpy_planes(path):
    with open(path, "rb") as f:
        header = {}
        for line in f:
            line = line.strip().decode("utf-8")
            if line == END.decode():
                break
            if "= " in line:
                key, value = line.split("= ", 1)
                header[key] = value
        rows, cols = int(header["NumberOfRows"]), int(header["NumberOfColumns"])
        f.seek(int(header["PhoenixHeaderLength"]))
        return np.fromfile(f, ">f4", count=2 * rows * cols).reshape(2, rows, cols)


def numpy_ap(path):
    return np.transpose(numpy_planes(path).astype(np.float64), (1, 2, 0))


def numpy_c(path):
    x = numpy_planes(path).astype(np.float64)
    return x[0] * np.exp(1j * x[1])


def numpy_c_cos_sin(path):
    """The same reader with the conversion mstar_raw's complex result is defined by."""
    x = numpy_planes(path).astype(np.float64)
    return x[0] * (np.cos(x[1]) + 1j * np.sin(x[1]))


def floor_factory(offset):
    """The least any reader can do: one read of the file and one widening of the samples."""
    def floor(path):
        with open(path, "rb") as f:
            data = f.read()
        return np.frombuffer(data, ">f4", offset=offset).astype(np.float64)
    return floor


def methods(offset):
    return [
        ('mstar_raw "ap"', lambda p: mstar_raw(p, "ap")),
        ('mstar_raw "r"', lambda p: mstar_raw(p, "r")),
        ('mstar_raw "c"', lambda p: mstar_raw(p, "c")),
        ("mstar_header", mstar_header),
        ('literal path "ap"', literal_ap),
        ('literal path "c"', literal_c),
        ('NumPy reader "ap"', numpy_ap),
        ('NumPy reader "c"', numpy_c),
        ('NumPy reader "c" (cos + 1j sin)', numpy_c_cos_sin),
        ("floor (read + frombuffer)", floor_factory(offset)),
    ]


def per_call_us(fn, path, max_calls, batch_s, repeats):
    """Best of `repeats` batches, each the mean of `calls` calls (calls sized to about batch_s)."""
    fn(path)  # warm caches, allocator and any lazy imports
    t0 = time.perf_counter_ns()
    fn(path)
    single = max(time.perf_counter_ns() - t0, 1)
    calls = max(1, min(max_calls, int(batch_s * 1e9 / single)))
    batches = []
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            fn(path)
        batches.append((time.perf_counter_ns() - t0) / calls / 1e3)
    return min(batches), statistics.median(batches), calls


def check_agree(path):
    """Every reader should give the same image, else the timings compare different work."""
    ap = mstar_raw(path, "ap")
    for name, other in (("literal", literal_ap(path)), ("NumPy", numpy_ap(path))):
        if not np.array_equal(ap, other):
            print(f"WARNING: mstar_raw 'ap' differs from the {name} reader on {os.path.basename(path)}")
    c = mstar_raw(path, "c")
    if not (np.array_equal(c, literal_c(path)) and np.array_equal(c, numpy_c_cos_sin(path))
            and np.allclose(c, numpy_c(path), rtol=1e-12, atol=1e-15)):
        print(f"WARNING: mstar_raw 'c' differs from the other readers on {os.path.basename(path)}")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def measure_in_child(name, path, offset, quick, cold):
    """Times one method in a fresh interpreter, so that the allocator's state is not whatever the
    methods timed before it left behind."""
    flags = ["--quick"] * quick + ["--cold"] * cold
    proc = subprocess.run([sys.executable, __file__, "--child", name, path, str(offset)] + flags,
                          capture_output=True, text=True, check=True)
    return tuple(json.loads(proc.stdout))


def child(name, path, offset, quick, cold):
    if not cold:
        # glibc serves blocks at or above its mmap threshold with fresh pages each time (page
        # faults on every call); the threshold rises to the largest block freed so far, so in
        # any session that has handled one large array, chip-sized arrays come from the heap.
        np.empty(3 * 2**20)
    size = 128 if os.path.getsize(path) < 10**6 else 1024
    # Batches of about 0.3 s (1 s for the large chips, whose slow methods make few calls).
    repeats, batch_s = (3, 0.03) if quick else (5, 0.3 if size == 128 else 1.0)
    max_calls = {128: 200 if quick else 2000, 1024: 5 if quick else 40}[size]
    fn = dict(methods(offset))[name]
    print(json.dumps(per_call_us(fn, path, max_calls, batch_s, repeats)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run (fewer, shorter batches)")
    parser.add_argument("--cold", action="store_true",
                        help="time each method in a process that has freed no large block (page faults dominate)")
    parser.add_argument("--child", nargs=3, metavar=("METHOD", "PATH", "OFFSET"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        name, path, offset = args.child
        return child(name, path, int(offset), args.quick, args.cold)
    repeats = 3 if args.quick else 5

    print(f"CPU:    {cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"Python: {platform.python_version()} ({platform.python_implementation()})")
    print(f"NumPy:  {np.__version__}")
    print(f"Timing: best of {repeats} batches, time.perf_counter_ns, each method in its own "
          + ("fresh" if args.cold else "warmed") + " process; files in the page cache"
          + (" (--quick)" if args.quick else ""))
    print()

    results = {}  # (method, size) -> (best us, median us, calls)
    names = None
    with tempfile.TemporaryDirectory() as tmp:
        for n in SIZES:
            head, content = chip_bytes(n, n, seed=n)
            path = os.path.join(tmp, f"chip_{n}x{n}.bin")
            with open(path, "wb") as f:
                f.write(content)
            with open(path, "rb") as f:  # pull the file into the page cache
                f.read()
            check_agree(path)
            table = methods(len(head))
            names = [name for name, _ in table]
            for name, _ in table:
                results[name, n] = measure_in_child(name, path, len(head), args.quick, args.cold)

    cols = [f"{n}x{n} us/chip" for n in SIZES]
    width = max(len(s) for s in names)
    print(f"{'method':<{width}}  " + "  ".join(f"{c:>22}" for c in cols))
    print(f"{'':<{width}}  " + "  ".join(f"{'best (median) [calls]':>22}" for _ in cols))
    for name in names:
        cells = []
        for n in SIZES:
            best, med, calls = results[name, n]
            cells.append(f"{best:>9.1f} ({med:.1f}) [{calls}]".rjust(22))
        print(f"{name:<{width}}  " + "  ".join(cells))
    print()

    def best(name, n):
        return results[name, n][0]

    # The goals hold on 128 x 128 chips. "c" is compared with a reader giving the same values; the
    # np.exp reader computes other numbers (one pass of complex exponentials), shown for reference.
    ratios = [
        ('literal path "ap" / mstar_raw "ap"', 'literal path "ap"', 'mstar_raw "ap"', 15.0),
        ('floor / mstar_raw "ap"', "floor (read + frombuffer)", 'mstar_raw "ap"', 0.7),
        ('NumPy reader "c" (cos + 1j sin) / mstar_raw "c"', 'NumPy reader "c" (cos + 1j sin)',
         'mstar_raw "c"', 1.0),
        ('NumPy reader "c" / mstar_raw "c" (other values)', 'NumPy reader "c"', 'mstar_raw "c"', None),
    ]
    rwidth = max(len(r[0]) for r in ratios)
    print(f"{'ratio':<{rwidth}}  " + "  ".join(f"{f'{n}x{n}':>9}" for n in SIZES) + "  goal (128x128)")
    markdown = ["| ratio | " + " | ".join(f"{n}x{n}" for n in SIZES) + " | goal (128x128) |",
                "|---|" + "---:|" * len(SIZES) + "---|"]
    for label, num, den, goal in ratios:
        values = {n: best(num, n) / best(den, n) for n in SIZES}
        verdict = "-" if goal is None else f">= {goal:g}: {'met' if values[128] >= goal else 'MISSED'}"
        print(f"{label:<{rwidth}}  " + "  ".join(f"{values[n]:>9.2f}" for n in SIZES) + f"  {verdict}")
        markdown.append(f"| {label} | " + " | ".join(f"{values[n]:.2f}" for n in SIZES) + f" | {verdict} |")

    print("\nMarkdown:\n")
    print("| method | " + " | ".join(f"{n}x{n} (us/chip)" for n in SIZES) + " |")
    print("|---|" + "---:|" * len(SIZES))
    for name in names:
        print(f"| {name} | " + " | ".join(f"{best(name, n):.1f}" for n in SIZES) + " |")
    print()
    print("\n".join(markdown))


if __name__ == "__main__":
    main()
