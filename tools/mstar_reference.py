"""Saves what the reader module (CPython 3.13) gives for every real chip in tests/data, so that
interpreters without it can check the portable readers against it bit for bit:

    python3.13 tools/mstar_reference.py OUTDIR

OUTDIR/<chip>.json holds the header as [key, value] pairs in order, OUTDIR/<chip>.npy the "ap"
array (as a contiguous copy: its bits, NaNs included). OUTDIR/loads.npz holds the dataset layer's
loads of the same chips in each format, dtype and scale, keyed "ofmt,dtype,db", for other builds
(another architecture, the portable file reads) to match bit for bit.
"""

import json
import os
import pathlib
import sys

import numpy as np

from vantrel.datasets.mstar import mstar_header, mstar_raw

# (ofmt, dtypes, decibels too)
LOADS = (("a", ("float32", "float64"), True), ("ap", ("float32", "float64"), True),
         ("r", ("float32", "float64"), False), ("c", ("complex64", "complex128"), False))

REPO = pathlib.Path(__file__).resolve().parent.parent


def main() -> None:
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    chips = sorted((REPO / "tests/data/real_mstar").glob("HB*"))
    for chip in chips:
        header = list(mstar_header(str(chip)).items())
        # Each writer is called within its own iteration: binding the loop variables late is safe here.
        for name, write in ((f"{chip.name}.json", lambda f: f.write(json.dumps(header).encode())),  # noqa: B023
                            (f"{chip.name}.npy",
                             lambda f: np.save(f, np.ascontiguousarray(mstar_raw(str(chip), "ap"))))):  # noqa: B023
            temporary = out / (name + ".tmp")
            with open(temporary, "wb") as f:
                write(f)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, out / name)
    save_loads(out)
    print(f"{len(chips)} chips' reference results in {out}")


def save_loads(out: pathlib.Path) -> None:
    import vantrel

    catalog = vantrel.scan(REPO / "tests/data/real_mstar")
    loads = {f"{ofmt},{dtype},{db}": catalog.load(ofmt=ofmt, dtype=dtype, db=db, progress=False)
             for ofmt, dtypes, decibels in LOADS for dtype in dtypes for db in (False, True)[:1 + decibels]}
    temporary = out / "loads.npz.tmp"
    with open(temporary, "wb") as f:
        np.savez(f, **loads)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, out / "loads.npz")


if __name__ == "__main__":
    main()
