"""Times vantrel's MSTAR reader against the plain-Python steps, the NumPy reader users usually write and
the bare read-and-convert floor, on copies of real chips (01.04 and 01.05 header layouts) and of
synthetic ones, held in the page cache.

Each method runs in its own fresh interpreter that does nothing else, as a user's script would: no
allocator tunables (GLIBC_TUNABLES and MALLOC_* are removed from its environment) and, by default,
no large block freed beforehand. A run times batches of calls over the copies and keeps the median
batch; the tables give the median of several runs.

    python bench/bench_read.py              # full run (a few minutes)
    python bench/bench_read.py --quick      # short run, noisier numbers
    python bench/bench_read.py --prefreed   # each process first frees a 24 MB block
"""

import argparse
import json
import os
import pathlib
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

from vantrel.datasets.mstar import mstar_header, mstar_raw

REAL = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "real_mstar"
END = b"[EndofPhoenixHeader]"
# name -> (source, copies); the real chips are BRDM_2 129 x 128 in both header layouts.
CHIPS = {
    "real 01.05": (REAL / "HB15696.001", 64),
    "real 01.04": (REAL / "HB14931.001", 64),
    "synthetic 128x128": (128, 64),
    "synthetic 1024x1024": (1024, 4),
}


def synthetic_chip(n, seed=0):
    """A square chip in the 01.05 layout: empty line 1, version on line 2, header length on line 3,
    columns and rows on lines 13 and 14."""
    rng = np.random.default_rng(seed)
    magnitude = np.maximum(rng.rayleigh(0.05, (n, n)), 1e-6)
    phase = rng.uniform(0.0, 2 * np.pi, (n, n))
    entries = [("PhoenixHeaderLength", "{offset:05d}"), ("PhoenixSigSize", "0"), ("PhoenixSigNum", "0001"),
               ("PhoenixHeaderCallingSequence", "bench"), ("HeaderVersionNumber", "8CM"),
               ("PhoenixLines", "0024"), ("native_header_length", "0"), ("Filename", "bench.chip"),
               ("Chip_MD5_CheckSum", "0"), ("ParentScene", "bench"), ("NumberOfColumns", str(n)),
               ("NumberOfRows", str(n)), ("TargetType", "bench_target"), ("TargetSerNum", "0"),
               ("DesiredDepression", "17"), ("TargetAz", "0.0")]

    def header(offset):
        lines = [b"", b"[PhoenixHeaderVer01.05]"]
        lines += [f"{k}= {v}".format(offset=offset).encode() for k, v in entries]
        return b"\n".join(lines + [END]) + b"\n"

    head = header(len(header(0)))
    return head + np.concatenate([magnitude.ravel(), phase.ravel()]).astype(">f4").tobytes()


# --- the reader's steps written in plain Python ------------------------------------------------------------
def literal_header(path):
    f = open(path, "rb")
    f.seek(1)
    header = {}
    version = f.readline().strip(b"\n").decode("utf-8")
    header["PhoenixHeaderVer"] = version[17:-1]
    while True:
        data = f.readline().strip(b"\n").decode("utf-8")
        if data == "[EndofPhoenixHeader]":
            break
        if not data:
            continue
        name, value = data.split("= ")
        header[name] = value
    f.close()
    return header


def literal_planes(path):
    f = open(path, "rb")
    f.readline()
    f.readline()
    _, v = f.readline().strip(b"\n").decode("utf-8").split("= ")
    offsets = int(v)
    for _ in range(9):
        f.readline()
    data, v = f.readline().strip(b"\n").decode("utf-8").split("= ")
    _, v2 = f.readline().strip(b"\n").decode("utf-8").split("= ")
    try:
        ncols, nrows = int(v), int(v2)
    except ValueError:  # the 01.04 layout: the counts by name, as mstar_raw takes them
        header = literal_header(path)
        ncols, nrows = int(header["NumberOfColumns"]), int(header["NumberOfRows"])
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
    """The expression mstar_raw's complex result is defined by: the same values."""
    x = numpy_planes(path).astype(np.float64)
    A, P = x[0], x[1]
    return A * (np.cos(P) + 1j * np.sin(P))


def numpy_c_exp(path):
    """One pass of complex exponentials instead of two trigonometric passes: slightly other values."""
    x = numpy_planes(path).astype(np.float64)
    return x[0] * np.exp(1j * x[1])


def numpy_r(path):
    x = numpy_planes(path).astype(np.float64)
    A, P = x[0], x[1]
    return np.stack((A * np.cos(P), A * np.sin(P)), axis=-1)


def floor(path):
    """The least any reader can do: one read of the file and one widening of the samples after the
    end marker."""
    with open(path, "rb") as f:
        data = f.read()
    return np.frombuffer(data, ">f4", offset=data.index(END) + len(END) + 1).astype(np.float64)


METHODS = {
    'mstar_raw "ap"': lambda p: mstar_raw(p, "ap"),
    'mstar_raw "r"': lambda p: mstar_raw(p, "r"),
    'mstar_raw "c"': lambda p: mstar_raw(p, "c"),
    "mstar_header": mstar_header,
    'literal steps "ap"': literal_ap,
    'literal steps "c"': literal_c,
    "literal steps header": literal_header,
    'NumPy reader "ap"': numpy_ap,
    'NumPy reader "r"': numpy_r,
    'NumPy reader "c"': numpy_c,
    'NumPy reader "c" as A * np.exp(1j * P)': numpy_c_exp,
    "floor (read + frombuffer)": floor,
}


def check_agree(path):
    """Every reader should give the same image, else the timings compare different work."""
    same = [np.array_equal(mstar_raw(path, "ap"), other(path)) for other in (literal_ap, numpy_ap)]
    same += [np.array_equal(mstar_raw(path, "c"), other(path)) for other in (literal_c, numpy_c)]
    same += [np.array_equal(mstar_raw(path, "r"), numpy_r(path)), mstar_header(path) == literal_header(path)]
    if not all(same):
        print(f"WARNING: the readers disagree on {os.path.basename(path)}: {same}")


# --- timing ------------------------------------------------------------------------------------------------
def child(name, paths, quick, prefreed):
    """Times one method in this (fresh) process; prints the median batch's time per call in us."""
    if prefreed:
        # glibc raises its mmap and trim thresholds to the largest block freed so far: after this,
        # chip-sized arrays come from a heap that is no longer given back after every call.
        np.empty(3 * 2**20)
    fn = METHODS[name]
    for path in paths:  # first calls: lazy imports, caches
        fn(path)
    t0 = time.perf_counter_ns()
    fn(paths[0])
    single = max(time.perf_counter_ns() - t0, 1)
    batch_s, batches = (0.03, 3) if quick else (0.2, 5)
    rounds = max(1, int(batch_s * 1e9 / single / len(paths)))
    times = []
    for _ in range(batches):
        t0 = time.perf_counter_ns()
        for _ in range(rounds):
            for path in paths:
                fn(path)
        times.append((time.perf_counter_ns() - t0) / (rounds * len(paths)) / 1e3)
    print(json.dumps(statistics.median(times)))


def measure(name, paths, quick, prefreed):
    env = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES" and not k.startswith("MALLOC_")}
    flags = ["--quick"] * quick + ["--prefreed"] * prefreed
    proc = subprocess.run([sys.executable, __file__, "--child", name, *paths, *flags], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run (fewer, shorter batches, one run)")
    parser.add_argument("--runs", type=int, default=3, help="processes per method and chip (default 3)")
    parser.add_argument("--prefreed", action="store_true",
                        help="each process first frees a 24 MB block (glibc then keeps its heap)")
    parser.add_argument("--child", nargs="+", metavar="ARG", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child[0], args.child[1:], args.quick, args.prefreed)
    runs = 1 if args.quick else args.runs

    print(f"CPU:    {cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"Python: {platform.python_version()} ({platform.python_implementation()})")
    print(f"NumPy:  {np.__version__}")
    print(f"Timing: median of {runs} run(s), each method in its own fresh process "
          + ("that first frees a 24 MB block" if args.prefreed else "(ordinary: nothing freed first, no tunables)")
          + "; copies of each chip in the page cache" + (" (--quick)" if args.quick else ""))
    print()

    results = {}  # (method, chip) -> median us per call
    sizes = {}  # chip -> bytes per file
    with tempfile.TemporaryDirectory() as tmp:
        for chip, (source, copies) in CHIPS.items():
            content = synthetic_chip(source, seed=source) if isinstance(source, int) else source.read_bytes()
            paths = []
            for i in range(copies):
                paths.append(os.path.join(tmp, f"{chip.replace(' ', '_')}.{i:03d}"))
                with open(paths[-1], "wb") as f:
                    f.write(content)
            sizes[chip] = len(content)
            for path in paths:  # into the page cache
                with open(path, "rb") as f:
                    f.read()
            check_agree(paths[0])
            for name in METHODS:
                if name in ('literal steps "ap"', 'literal steps "c"') and "1024" in chip and args.quick:
                    continue  # seconds per call
                results[name, chip] = statistics.median(measure(name, paths, args.quick, args.prefreed)
                                                        for _ in range(runs))
    report(results, sizes)


def report(results, sizes):
    chips = list(CHIPS)
    width = max(map(len, METHODS))
    print(f"{'us per chip':<{width}}  " + "  ".join(f"{c:>19}" for c in chips))
    for name in METHODS:
        print(f"{name:<{width}}  " + "  ".join(f"{results[name, c]:>19.1f}" if (name, c) in results else f"{'-':>19}"
                                              for c in chips))
    print()

    def ratio(num, den, chip):
        return results[num, chip] / results[den, chip] if (num, chip) in results else float("nan")

    real = [c for c in chips if c.startswith("real")]
    goals = [
        ('NumPy reader "c" / mstar_raw "c"', lambda c: ratio('NumPy reader "c"', 'mstar_raw "c"', c), ">=", 1.0),
        ('NumPy reader "r" / mstar_raw "r"', lambda c: ratio('NumPy reader "r"', 'mstar_raw "r"', c), ">=", 1.0),
        ("literal steps header / mstar_header", lambda c: ratio("literal steps header", "mstar_header", c), ">=", 2.5),
        ('literal steps "ap" / mstar_raw "ap"', lambda c: ratio('literal steps "ap"', 'mstar_raw "ap"', c), ">=", 15.0),
        ('floor / mstar_raw "ap"', lambda c: ratio("floor (read + frombuffer)", 'mstar_raw "ap"', c), ">=", 0.7),
    ]
    lines = []
    for label, value, op, goal in goals:
        values = [value(c) for c in chips]
        met = all(v >= goal for c, v in zip(chips, values) if c in real)
        lines.append((label, values, f"{op} {goal:g} on the real chips: {'met' if met else 'MISSED'}"))
    per_byte = {c: results['mstar_raw "ap"', c] / sizes[c] for c in real}
    layout = per_byte["real 01.04"] / per_byte["real 01.05"]
    lwidth = max(len(line[0]) for line in lines)
    print(f"{'ratio':<{lwidth}}  " + "  ".join(f"{c:>19}" for c in chips) + "  goal")
    for label, values, verdict in lines:
        print(f"{label:<{lwidth}}  " + "  ".join(f"{v:>19.2f}" for v in values) + f"  {verdict}")
    print(f'\nmstar_raw "ap" per byte, 01.04 / 01.05 layout: {layout:.2f}  '
          f"(goal <= 1.15: {'met' if layout <= 1.15 else 'MISSED'})")

    print("\nMarkdown:\n")
    print("| method | " + " | ".join(chips) + " |")
    print("|---|" + "---:|" * len(chips))
    for name in METHODS:
        print(f"| {name} | " + " | ".join(f"{results[name, c]:,.1f}".replace(",", " ") if (name, c) in results
                                          else "-" for c in chips) + " |")


if __name__ == "__main__":
    main()
