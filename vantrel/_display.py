"""Whether a window can be shown: ``vantrel show`` and ``python -m vantrel.datasets`` ask the same
question. Imports only os and sys: the launcher of the demonstration stays cheap."""

import os
import sys


def has_display() -> bool:
    """True unless this is a system that needs a display (Linux and the like) and neither DISPLAY
    nor WAYLAND_DISPLAY is set."""
    return sys.platform in ("darwin", "win32") or bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
