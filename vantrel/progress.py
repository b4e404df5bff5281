"""Progress bars for long native runs: tqdm on stderr, updated a few times a second from the
thread that waits for the workers, so that the bar costs the work nothing."""

from __future__ import annotations

import sys
import time
from typing import Any

# With progress=None a bar appears only for a run that lasts longer than this, on a terminal.
QUIET_SECONDS = 0.5


class Progress:
    """A context whose ``update(done, total)`` drives a bar when one is wanted.

    `show` True: always; False: never; None: when stderr is a terminal and the run lasts longer
    than half a second. tqdm is imported only when a bar is shown.
    """

    def __init__(self, show: bool | None, description: str, unit: str) -> None:
        # No stderr at all (a GUI's interpreter, a daemon): nowhere to draw, even when asked.
        self.show = (show if show is not None else _stderr_is_terminal()) and sys.stderr is not None
        self.delay = 0.0 if show else QUIET_SECONDS
        self.description, self.unit = description, unit
        self.bar: Any = None  # a tqdm bar, once the work takes a while
        self.started = time.monotonic()

    def __enter__(self) -> Progress:
        return self

    def update(self, done: int, total: int) -> None:
        if not self.show:
            return
        if self.bar is None:
            if time.monotonic() - self.started < self.delay:
                return
            from tqdm import tqdm

            self.bar = tqdm(total=total, desc=self.description, unit=self.unit, file=sys.stderr, dynamic_ncols=True)
        if self.bar.total != total:
            self.bar.total = total
        self.bar.update(done - self.bar.n)

    def __exit__(self, *exc_info: object) -> None:
        if self.bar is not None:
            self.bar.close()


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
