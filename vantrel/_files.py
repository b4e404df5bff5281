"""Writing a file so that nothing a user has is lost: the new content goes to a temporary file in
the same folder (an unnamed one where the system allows, so that not even a kill leaves it
behind), is flushed and fsync'ed, and only then renamed over the name given. On any failure or
interrupt the temporary goes and an existing file stays as it was."""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from typing import IO, Any


def check_output(path: str | os.PathLike) -> str:
    """The path to write, as given; a user's mistake (an empty name, a folder, a folder that is
    missing or not writable) raises before any work is done."""
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if not name:
        raise ValueError("the output file name is empty")
    if os.path.isdir(name):
        raise IsADirectoryError(21, "is a folder, not a file name", name)
    folder = os.path.dirname(name) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError(2, "no such folder", folder)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(13, "cannot write in this folder", folder)
    return name


def _link_unnamed(fd: int, folder: str, name: str) -> None:
    """Gives the unnamed file `fd` a temporary name beside `name`, then renames it over `name`."""
    folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for _ in range(100):
            temporary = f".{os.path.basename(name)}.{os.urandom(6).hex()}.tmp"
            try:
                # A folder descriptor makes it linkat(AT_SYMLINK_FOLLOW): the file, not the /proc link.
                os.link(f"/proc/self/fd/{fd}", temporary, dst_dir_fd=folder_fd, follow_symlinks=True)
                break
            except FileExistsError:
                continue
        else:
            raise FileExistsError(17, "no free temporary name", folder)
    finally:
        os.close(folder_fd)
    temporary = os.path.join(folder, temporary)
    try:
        os.replace(temporary, name)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def atomic_write(path: str | os.PathLike, mode: str = "wb", *, sync_folder: bool = True, **options: Any) -> Iterator[IO[Any]]:
    """An open file whose content replaces `path` when the block ends without an exception.

    `sync_folder=False` leaves the folder's sync to the caller (``fsync_folder(folder)``), for one
    sync after many files."""
    name = check_output(path)
    folder = os.path.dirname(os.path.abspath(name))
    fd, temporary = -1, None
    if hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # not every file system has unnamed files
            fd = os.open(folder, os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    if fd < 0:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(name)}.", suffix=".tmp")
        os.chmod(temporary, 0o666 & ~_umask())
    try:
        with open(fd, mode, **options) as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
            if temporary is None:
                _link_unnamed(file.fileno(), folder, name)
            else:
                os.replace(temporary, name)
                temporary = None
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    if sync_folder:
        fsync_folder(folder)


def fsync_folder(folder: str) -> None:
    """Makes the renames in `folder` survive a crash (where the file system can sync a folder)."""
    with contextlib.suppress(OSError):
        folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(folder_fd)
        finally:
            os.close(folder_fd)


def _umask() -> int:
    try:  # read, not set and reset, so that no other thread ever sees another mask
        with open("/proc/self/status") as status:
            return next(int(line.split()[1], 8) for line in status if line.startswith("Umask:"))
    except (OSError, StopIteration, ValueError):
        return 0o022
