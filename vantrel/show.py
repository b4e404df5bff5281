"""A quick look at one chip: amplitude in dB and phase side by side, titled from its header."""

from __future__ import annotations

import os
import sys


def has_display() -> bool:
    return sys.platform in ("darwin", "win32") or bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def plot_chip(path: str, output: str | None = None, *, linear: bool = False) -> str | None:
    """Shows the chip in a window, or writes it as a PNG (to `output` exactly, or without a display
    to the chip's file name with ".png" in the current folder); returns the file written, if any.
    The PNG replaces an existing file only once it is written whole."""
    import numpy as np

    from . import mstar_header, mstar_raw

    header = mstar_header(path)
    planes = mstar_raw(path, "ap")
    if output is None and not has_display():
        output = os.path.basename(path) + ".png"
    import matplotlib

    if output is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    amplitude, phase = planes[..., 0], planes[..., 1]
    finite = amplitude[np.isfinite(amplitude)]
    if linear:
        shown, unit = amplitude, "amplitude"
        low, high = (np.percentile(finite, (0.5, 99.5)) if finite.size else (0, 1))
    else:
        with np.errstate(divide="ignore", invalid="ignore"):
            shown = 20 * np.log10(amplitude)
        levels = shown[np.isfinite(shown)]
        unit = "amplitude (dB)"
        # Speckle and a few bright scatterers: the percentiles keep both in view.
        low, high = (np.percentile(levels, (1, 99.9)) if levels.size else (0, 1))
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.8), layout="constrained")
    image = left.imshow(np.clip(shown, low, high), cmap="gray", vmin=low, vmax=high)
    figure.colorbar(image, ax=left, label=unit)
    left.set_title(unit)
    image = right.imshow(phase, cmap="twilight")
    figure.colorbar(image, ax=right, label="phase (rad)")
    right.set_title("phase")
    figure.suptitle(f"{header.get('TargetType', '?')} {header.get('TargetSerNum', '?')}, "
                    f"depression {header.get('DesiredDepression', '?')}°, azimuth {header.get('TargetAz', '?')}°"
                    f"  ({os.path.basename(path)})")
    try:
        if output is None:
            plt.show()
        else:
            from ._files import atomic_write

            with atomic_write(output) as file:  # a file object: the name gets no ".png" added
                figure.savefig(file, format="png", dpi=100)
    finally:
        plt.close(figure)
    return output
