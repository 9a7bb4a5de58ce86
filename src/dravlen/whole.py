"""A local file that appears whole or not at all.

Whatever fills it (a download, a copy) writes into a new file beside the
target; the target takes that file's name only once the writing ended
without an exception, so a failure leaves an existing target as it was
and no partial file behind.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator
from typing import BinaryIO

__all__ = ["PART_SUFFIX", "temporary_name", "whole_file"]

#: The end of every temporary name: a folder kept in step (a sync) leaves
#: such names alone, and a user can tell what a failure left behind.
PART_SUFFIX = ".dravlen-part"


def temporary_name(name: str) -> str:
    """A hidden name beside *name* for its content while it is written, new
    each time (a random part), short enough for any file system."""
    return f".{name[:80]}.{secrets.token_hex(4)}{PART_SUFFIX}"


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
