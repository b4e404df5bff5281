"""Saves what the reader module (CPython 3.13) gives for every real chip in tests/data, so that
interpreters without it can check the portable readers against it bit for bit:

    python3.13 tools/mstar_reference.py OUTDIR

OUTDIR/<chip>.json holds the header as [key, value] pairs in order, OUTDIR/<chip>.npy the "ap"
array (as a contiguous copy: its bits, NaNs included).
"""

import json
import os
import pathlib
import sys

import numpy as np

from vantrel.datasets.mstar import mstar_header, mstar_raw

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
    print(f"{len(chips)} chips' reference results in {out}")


if __name__ == "__main__":
    main()
