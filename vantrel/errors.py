"""The errors and warnings a caller can catch on their own. Each subclasses the built-in class
raised before they existed, so that ``except ValueError`` and warning filters on ``UserWarning``
keep working."""

from __future__ import annotations

__all__ = ["ChipError", "ChangedSinceScanError", "SplitCountError", "SplitCountWarning"]


class ChipError(ValueError):
    """A chip file that cannot be read as a chip: damaged, cut short, or no longer a chip. The
    message starts with the file's path."""


class ChangedSinceScanError(ChipError):
    """A chip file that no longer says what the scan read (its size, header bytes or layout
    differ): scan the folder again."""


class SplitCountWarning(UserWarning):
    """A named split whose chips fall short of the published ones: classes without chips, or
    counts that differ from the published table."""


class SplitCountError(ValueError):
    """What ``SplitCountWarning`` warns of, raised instead with ``strict=True``."""


# How the native load's messages start after the path, for a chip changed since the scan.
_CHANGED = ": changed since the scan"


def chip_error(error: ValueError, paths: list[str]) -> ValueError:
    """The native load's ValueError as ChipError or ChangedSinceScanError when it names one of
    `paths` (every chip fault does); any other ValueError as it is."""
    message = str(error)
    path = next((p for p in paths if message.startswith(p + ": ")), None)
    if path is None:
        return error
    return (ChangedSinceScanError if message.startswith(path + _CHANGED) else ChipError)(message)
