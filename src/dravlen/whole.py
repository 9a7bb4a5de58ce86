"""A local file that appears whole or not at all.

Whatever fills it (a download, a copy) writes into a new file beside the
target; the target takes that file's name only once the writing ended
without an exception, so a failure leaves an existing target as it was
and no partial file behind.  Work that may be continued later writes under
one name instead (`partial_name`, `open_partial`), which it keeps.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import secrets
from collections.abc import Iterator
from typing import BinaryIO

__all__ = ["PART_SUFFIX", "Busy", "Partial", "open_partial", "partial_name", "temporary_name", "whole_file"]

#: The end of every temporary name: a folder kept in step (a sync) leaves
#: such names alone, and a user can tell what a failure left behind.
PART_SUFFIX = ".dravlen-part"


def temporary_name(name: str) -> str:
    """A hidden name beside *name* for its content while it is written, new
    each time (a random part), short enough for any file system."""
    return f".{name[:80]}.{secrets.token_hex(4)}{PART_SUFFIX}"


def partial_name(name: str) -> str:
    """The hidden name beside *name* of its content while it is written by
    work that may be continued later (a resumed download): the same each
    time, so that the next call finds it; a long name is cut and told
    apart by a digest of the whole."""
    if len(name) > 80:
        name = f"{name[:72]}.{hashlib.sha256(os.fsencode(name)).hexdigest()[:8]}"
    return f".{name}{PART_SUFFIX}"


class Busy(OSError):
    """Another writer holds the partial file."""


def open_partial(path: str, fresh: bool = False) -> BinaryIO:
    """The file *path* opened for writing at its end (made if missing; with
    *fresh*, emptied first), locked for this writer alone where the system
    has `fcntl`: two calls continuing one partial file would interleave
    their bytes.  `Busy` names the file when another holds it."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_BINARY", 0), 0o666)
    try:
        try:
            import fcntl
        except ImportError:  # no advisory locks here
            pass
        else:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise Busy(f"{path} is being written by another download") from None
        if fresh and os.fstat(fd).st_size:
            # Only a file with content: ext4 flushes a file truncated to 0
            # as it is closed (auto_da_alloc), 0.25 s a 512 MiB download.
            os.ftruncate(fd, 0)
        sink = open(fd, "r+b")  # noqa: SIM115 - returned open, for the caller's with
    except BaseException:
        os.close(fd)
        raise
    sink.seek(0, os.SEEK_END)
    return sink


class Partial:
    """The file a copy of *local* is written into, the same across the
    tries of one copy, so that a try continues what the one before wrote.

    With *resume*, its name is `partial_name`'s, kept when the copy fails
    and continued by the next one with *resume*; else a temporary name,
    emptied by the first `open` and removed by `drop`."""

    __slots__ = ("fresh", "path", "resume")

    def __init__(self, local: str, resume: bool) -> None:
        folder, name = os.path.split(local)
        self.path = os.path.join(folder or ".", partial_name(name) if resume else temporary_name(name))
        self.resume = resume
        self.fresh = not resume

    def open(self) -> BinaryIO:
        file = open_partial(self.path, self.fresh)
        self.fresh = False
        return file

    def drop(self) -> None:
        """The copy is given up: a temporary file goes, a resumable one stays."""
        if not self.resume:
            try:
                os.unlink(self.path)
            except OSError:
                pass


@contextlib.contextmanager
def whole_file(target: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file to write *target*'s new content into.

    The file is made with the permissions ``open()`` would give *target*
    (the umask applies).  Failing to make it is named by the folder, failing
    to rename it by *target*: the temporary name means nothing to a user.
    """
    target = os.fspath(target)
    folder, base = os.path.split(os.path.abspath(target))
    while True:
        temporary = os.path.join(folder, temporary_name(base))
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, folder) from None
    try:
        with open(fd, "wb") as sink:
            yield sink
        try:
            os.replace(temporary, target)
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, target) from None
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
