"""The docs' images. The gallery: one real chip per target type of tests/data, its amplitude and its
amplitude in dB, loaded by vantrel itself (``Catalog.load``), drawn with matplotlib's Agg backend.
The figures that the reader's help texts show (``_static/...``): those its demonstration draws.

    python docs/make_gallery.py OUTDIR      # OUTDIR/gallery.md, OUTDIR/gallery/*.png
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")  # no display needed, and none opened

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from readme_pages import write  # noqa: E402

import vantrel as vt  # noqa: E402
# The dB scale of the PNG export, so that the gallery shows what `vantrel export --format png` writes.
from vantrel.defaults import DB_RANGE  # noqa: E402

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
CHIPS = [os.path.join(REPO, "tests", "data", folder) for folder in ("release", "real_mstar")]


def chosen() -> list[vt.Record]:
    """The first chip in path order of each target type, in order of target type."""
    first: dict[str, vt.Record] = {}
    for record in vt.scan(CHIPS).unique():
        first.setdefault(record.target_type, record)
    return [first[name] for name in sorted(first)]


def figure(record: vt.Record, path: str) -> None:
    one = vt.Catalog([record])
    amplitude = one.load(size=None, ofmt="a")[0]
    decibels = one.load(size=None, ofmt="a", db=True)[0]
    fig, (left, right) = plt.subplots(1, 2, figsize=(6.4, 3.0), layout="constrained")
    # A few bright scatterers would leave the rest black: the linear scale stops at the 99.5th percentile.
    image = left.imshow(amplitude, cmap="gray", vmin=0, vmax=float(np.percentile(amplitude, 99.5)))
    fig.colorbar(image, ax=left, label="amplitude")
    image = right.imshow(decibels, cmap="gray", vmin=DB_RANGE[0], vmax=DB_RANGE[1])
    fig.colorbar(image, ax=right, label="dB")
    for axes, title in ((left, "amplitude"), (right, "amplitude in dB")):
        axes.set_title(title)
        axes.set_axis_off()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def generate(out: str) -> None:
    folder = os.path.join(out, "gallery")
    os.makedirs(folder, exist_ok=True)
    lines = ["# Gallery", "",
             "One real chip of each target type in the project's test data (`tests/data`), loaded with",
             "`Catalog.load(size=None)` at its own size: the amplitude as stored (left, up to its 99.5th",
             f"percentile) and `load(db=True)` (right, {DB_RANGE[0]:g} to {DB_RANGE[1]:g} dB, the scale of the",
             "PNG export). Made by `docs/make_gallery.py` when these pages are built.", ""]
    records = chosen()
    for record in records:
        name = os.path.basename(record.path)
        figure(record, os.path.join(folder, name + ".png"))
        lines += [f"## {record.target_type}", "",
                  f"```{{figure}} gallery/{name}.png", f":alt: {record.target_type} {name}", "",
                  f"`{name}`: serial {record.serial}, depression {record.depression:g}°, azimuth "
                  f"{record.azimuth:g}°, {record.rows} x {record.columns}.", "```", ""]
    write(os.path.join(out, "gallery.md"), "\n".join(lines))
    for stale in set(os.listdir(folder)) - {os.path.basename(r.path) + ".png" for r in records}:
        os.remove(os.path.join(folder, stale))


def reader_figures(static: str) -> None:
    """The images that ``mstar_raw``'s help text names, in its order, as the reader's demonstration
    (``python -m vantrel.datasets``, which runs those examples) draws them without a display."""
    names = re.findall(r"\.\. image:: \./_static/(\S+)", vt.mstar_raw.__doc__ or "")
    if not names:
        return  # the portable reader's help shows none
    os.makedirs(static, exist_ok=True)
    env = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
    with tempfile.TemporaryDirectory(dir=static) as scratch:
        subprocess.run([sys.executable, "-m", "vantrel.datasets"], cwd=scratch, env={**env, "MPLBACKEND": "Agg"},
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        drawn = sorted(name for name in os.listdir(scratch) if name.endswith(".png"))
        if len(drawn) != len(names):
            raise RuntimeError(f"the demonstration drew {drawn}, the help text shows {names}")
        for source, name in zip(drawn, names):
            os.replace(os.path.join(scratch, source), os.path.join(static, name))


if __name__ == "__main__":
    generate(sys.argv[1])
