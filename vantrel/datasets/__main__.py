"""Launcher of the MSTAR demonstration: ``python -m vantrel.datasets`` (or ``make demo``).

The demonstration lives in the extension module ``vantrel.datasets.mstar``: it runs when that
module is executed under the name "__main__". ``python -m`` cannot run an extension module, so
this launcher has importlib load it, names it "__main__" and executes it; the module then
prints the header and value ranges of the bundled sample chip and shows two matplotlib figures.

Without a display (on Linux and the like: neither DISPLAY nor WAYLAND_DISPLAY set) and with a
non-interactive matplotlib backend (Agg is chosen when none is configured), each figure is written
to ``mstar_demo_<n>.png`` in the current directory instead, and the file is named on stderr.
"""

import importlib.util
import sys

from vantrel._display import has_display

MODULE = "vantrel.datasets.mstar"


def _non_interactive(backend: str) -> bool:
    try:
        from matplotlib.backends.registry import BackendFilter, backend_registry
    except ImportError:  # matplotlib < 3.9
        from matplotlib.rcsetup import non_interactive_bk  # type: ignore[attr-defined]

        return backend.lower() in non_interactive_bk
    return backend.lower() in backend_registry.list_builtin(BackendFilter.NON_INTERACTIVE)  # type: ignore[no-untyped-call]


def _save_figures_on_show() -> None:
    """Make ``pyplot.show`` write the open figures to PNG files, if the set-up calls for it."""
    try:
        import matplotlib
    except ImportError:
        return  # the demonstration reports the missing matplotlib itself
    # None while no backend is chosen; reading rcParams['backend'] would choose one
    backend = matplotlib.rcParams._get_backend_or_none()  # type: ignore[attr-defined]
    if backend is None:
        matplotlib.use("Agg")
    elif not _non_interactive(backend):
        return
    import matplotlib.pyplot as plt

    count = 0

    def show(*args: object, **kwargs: object) -> None:
        nonlocal count
        for number in plt.get_fignums():
            count += 1
            name = f"mstar_demo_{count}.png"
            plt.figure(number).savefig(name)
            plt.close(number)
            print(f"no display: figure saved as {name}", file=sys.stderr)

    plt.show = show


def main() -> None:
    spec = importlib.util.find_spec(MODULE)
    if spec is None or spec.loader is None:
        sys.exit(f"{MODULE} is not built: run `make demo` (or install the package) first")
    if not has_display():
        _save_figures_on_show()
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)  # the module's execution step runs the demonstration


if __name__ == "__main__":
    main()
