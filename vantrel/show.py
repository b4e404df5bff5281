"""A quick look at one chip: amplitude in dB and phase side by side, titled from its header."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def plot_chip(path: str, *, linear: bool = False) -> Figure:
    """The chip's amplitude and phase side by side, titled from its header, as a pyplot figure.

    Parameters
    ----------
    path : str
        The chip file.
    linear : bool
        The amplitude as it is stored, instead of in dB.

    Returns
    -------
    matplotlib.figure.Figure
        A figure of pyplot's: ``plt.show()`` shows it, ``figure.savefig`` writes it, and
        ``plt.close(figure)`` lets it go.

    Raises
    ------
    OSError, ValueError
        When the chip cannot be read.
    ImportError
        When matplotlib is not installed.
    """
    import matplotlib.pyplot as plt
    import numpy as np

    from ._reader import reader

    header = reader().mstar_header(path)
    planes = reader().mstar_raw(path, "ap")
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
    return figure
