"""Writing a file so that nothing a user has is lost: the new content goes to a temporary file in
the same folder (an unnamed one where the system allows, so that not even a kill leaves it
behind), is flushed and fsync'ed, and only then renamed over the name given. On any failure or
interrupt the temporary goes and an existing file stays as it was.

Only regular files are replaced: a name that is a device, a FIFO or a socket (or a link to one) is
refused, and a symbolic link keeps being a link: the file it points to is written, in its folder."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Callable, Iterator
from typing import IO, Any


def check_output(path: str | os.PathLike[str]) -> str:
    """The path to write, as given; a user's mistake (an empty name, a folder, a device, FIFO or
    socket, a folder that is missing or not writable) raises before any work is done."""
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if not name:
        raise ValueError("the output file name is empty")
    if os.path.isdir(name):
        raise IsADirectoryError(21, "is a folder, not a file name", name)
    folder = os.path.dirname(target(name)) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError(2, "no such folder", folder)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(13, "cannot write in this folder", folder)
    return name


def target(name: str) -> str:
    """The file a write of `name` replaces: `name`, or for a symbolic link the file it points to.

    Raises FileExistsError for a name that exists and is no regular file (a device, a FIFO, a
    socket, or a link to one): such a file is never replaced."""
    try:
        info = os.stat(name)
    except (FileNotFoundError, NotADirectoryError):
        info = None
    if info is not None and not stat.S_ISREG(info.st_mode) and not stat.S_ISDIR(info.st_mode):
        raise FileExistsError(17, "exists and is not a regular file; nothing was written", name)
    return os.path.realpath(name) if os.path.islink(name) else name


def _temporary_name() -> str:
    # Short whatever the name given: a legal name of 255 bytes still has room for its temporary.
    return f".vt{os.urandom(6).hex()}.tmp"


def _link_unnamed(fd: int, folder: str, name: str) -> None:
    """Gives the unnamed file `fd` a temporary name beside `name`, then renames it over `name`."""
    folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for _ in range(100):
            temporary = _temporary_name()
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
def atomic_write(path: str | os.PathLike[str], mode: str = "wb", *, sync_folder: bool = True, **options: Any) -> Iterator[IO[Any]]:
    """An open file whose content replaces `path` when the block ends without an exception.

    `sync_folder=False` leaves the folder's sync to the caller (``fsync_folder(folder)``), for one
    sync after many files."""
    given = check_output(path)
    name = target(given)
    folder = os.path.dirname(os.path.abspath(name))
    fd, temporary = -1, None
    if hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # not every file system has unnamed files
            fd = os.open(folder, os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    if fd < 0:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".vt", suffix=".tmp")
        os.chmod(temporary, 0o666 & ~_umask())
    try:
        with open(fd, mode, **options) as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
            target(name)  # made a device or a FIFO meanwhile: still never replaced
            if temporary is None:
                _link_unnamed(file.fileno(), folder, name)
            else:
                os.replace(temporary, name)
                temporary = None
    except BaseException as error:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        if isinstance(error, OSError) and error.filename is None and error.errno is not None:
            # A full disk, say: the message names the file it could not write.
            raise OSError(error.errno, error.strerror, given) from error
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


@contextlib.contextmanager
def folder_written_whole(folder: str, check: Callable[[str], None]) -> Iterator[str]:
    """A new temporary folder beside `folder` to build its new content in; when the block ends
    without an exception it takes the place of `folder`. It starts as a copy of what `folder`
    holds, made of hard links (no data is copied, and the old files stay as they are): files the
    block replaces (by ``atomic_write``) change only in the new folder, the others are kept.

    `folder` is claimed first: created if missing, and locked (``flock``) for as long as the block
    runs, so that a second writer of the same folder is refused (FileExistsError) rather than mixed
    in. `check(folder)` runs under the lock, before the block. The swap is one ``renameat2`` exchange
    where the system has it: a reader, or an interrupt at any moment, finds either the old content
    whole or the new one whole (a kill leaves at most a hidden ``.vt*.tmp`` folder beside it)."""
    if os.path.islink(folder):  # a link stays a link: the folder it points to is the one replaced
        folder = os.path.realpath(folder)
    created = False
    with contextlib.suppress(FileExistsError):
        os.mkdir(folder)
        created = True
    try:
        yield from _claimed(folder, check)
    except BaseException:
        if created:  # made for this export, which failed: not left behind
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        raise


def _claimed(folder: str, check: Callable[[str], None]) -> Iterator[str]:
    import fcntl
    import shutil

    lock = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise FileExistsError(17, "is being written by another export", folder) from None
        check(folder)
        parent = os.path.dirname(os.path.abspath(folder))
        building = tempfile.mkdtemp(dir=parent, prefix=".vt", suffix=".tmp")
        try:
            os.chmod(building, 0o777 & ~_umask())
            shutil.copytree(folder, building, symlinks=True, copy_function=_link_or_copy, dirs_exist_ok=True)
            yield building
            _exchange(building, folder)  # `building` now holds the old content
        finally:
            shutil.rmtree(building, ignore_errors=True)
        fsync_folder(parent)
    finally:
        os.close(lock)


def _link_or_copy(source: str, destination: str) -> None:
    try:
        os.link(source, destination, follow_symlinks=False)
    except OSError:  # a file system without hard links, a file of another user under protected_hardlinks
        import shutil

        shutil.copy2(source, destination)


def _exchange(new: str, old: str) -> None:
    import ctypes

    exchange = 2  # RENAME_EXCHANGE
    libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = getattr(libc, "renameat2", None)
    at_cwd = -100
    if renameat2 is not None and renameat2(at_cwd, os.fsencode(new), at_cwd, os.fsencode(old), exchange) == 0:
        return
    # No exchange here (an old C library, a file system without it): two renames, the old one set aside first.
    aside = new + ".old"
    os.rename(old, aside)
    try:
        os.rename(new, old)
    except BaseException:
        os.rename(aside, old)
        raise
    os.rename(aside, new)
