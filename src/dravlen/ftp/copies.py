"""A remote file copied whole to or from a local one: `RemotePath.download`
and `RemotePath.upload_from`, as tries under `RETRY` (`fetch_into`,
`store_from`) that each continue where the last got to (``REST``, or
``APPE``), the partial file a later call may resume, the call's rate limit
(`call_limit`), and what is handed on: several connections for a big file
(`dravlen.ftp.tree.segments`), a hash to check (`dravlen.ftp.wire.checksums`).
The tree engine takes the same rules for its files."""

from __future__ import annotations

import contextlib
import errno
import ftplib
import logging
import os
import time
from collections.abc import Callable
from datetime import datetime
from typing import Any, BinaryIO

from dravlen.base import BasePath, Local
from dravlen.ftp.settings import ftp_settings, where_of
from dravlen.ftp.wire.checksums import hash_check
from dravlen.ftp.wire.client import ask_passive, transfer
from dravlen.ftp.wire.dialects import NO_MDTM
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.rate import RateLimit, rate_limit
from dravlen.ftp.wire.replies import IncompleteTransfer, operation
from dravlen.ftp.wire.streams import Download, Upload
from dravlen.ftp.wire.times import time_told
from dravlen.ftp.wire.transfer import open_continued, open_upload, size_or_none, why_not_read
from dravlen.whole import Busy, Partial

__all__ = ["SEGMENTED_FROM", "Got", "call_limit", "download", "fetch_into", "server_label", "start_again",
           "store_from", "stored_part", "upload_from", "upload_start", "why_not_continued"]

log = logging.getLogger(__name__)

_BLOCK = 1 << 20  # bytes moved per read
#: A file of this many bytes or more is downloaded over several connections
#: when the caller does not say how many (`dravlen.ftp.tree.segments`).
SEGMENTED_FROM = 64 << 20


class Got:
    """What one call told its callbacks (*progress*, *on_size*), across its tries."""

    __slots__ = ("on_size", "progress", "reported", "told")

    def __init__(self, progress: Callable[[int], object] | None,
                 on_size: Callable[[int | None], object] | None) -> None:
        self.progress, self.on_size = progress, on_size
        self.told = False
        self.reported = 0

    def sized(self, size: int | None) -> None:
        if not self.told:
            self.told = True
            if self.on_size is not None:
                self.on_size(size)

    def at(self, offset: int) -> None:
        """A try starts at byte *offset*: the difference from what was told goes."""
        self.add(offset - self.reported)

    def add(self, count: int) -> None:
        if count:
            self.reported += count
            if self.progress is not None:
                self.progress(count)


def why_not_continued(offset: int, size: int | None, when: datetime | None, written: float) -> str | None:
    """Why a partial file of *offset* bytes, last written at *written*, cannot
    be the start of the server's file of *size* bytes dated *when*; None
    where it can be taken for it (sizes alone, and a time where there is one)."""
    if size is None:
        return "no size is told to check the partial file against"
    if offset > size:
        return f"the partial file holds {offset} bytes, the server's file only {size}"
    if when is not None and when.timestamp() > written + 1:
        return "the server's file changed after the partial file was written"
    return None


def call_limit(cls: type[BasePath], max_rate: int | str | RateLimit | None) -> RateLimit:
    """The rate limit of one call on *cls*'s server, shared by all its
    connections: *max_rate* (a `RateLimit` is shared as it is), else the
    server's ``max_rate`` setting."""
    if max_rate is None:
        max_rate = ftp_settings(cls._section[0], require_host=False).max_rate
    return rate_limit(max_rate)


def server_label(path: Any) -> str:
    """The server of *path* as messages name it, else its thread's client's address."""
    return where_of(path, Local.getattr(path._key_on_thread())) or "?"


def start_again(path: Any, remote: Any, why: str) -> None:
    """Say in a warning that the copy of *remote* (on *path*'s server)
    starts again from byte 0, and *why*."""
    log.warning("'%s' on %s: starting again from byte 0: %s", remote, server_label(path), why)


def upload_start(path: Any, remote: Any, there: int | None, size: int) -> int:
    """Where an upload of *size* bytes continues the server's file *remote*
    of *there* bytes (None: none): at its end, taken for the start of the
    local file as lftp's ``put -c`` takes it; from 0 where it is larger
    (said in a warning)."""
    if there is not None and there > size:
        start_again(path, remote, f"the server's file holds {there} bytes, more than the {size} of the local file")
        return 0
    return there or 0


def download(path: Any, local_path: str | os.PathLike[str], progress: Callable[[int], object] | None,
             keep_time: bool, sized: Callable[[int | None], object] | None, resume: bool,
             max_rate: int | str | RateLimit | None, verify: str, segments: int | None) -> int:
    """`RemotePath.download` of *path*: its tries, each `fetch_into`."""
    target = os.fspath(local_path)
    if not isinstance(target, str):
        raise TypeError(f"local_path must be a text path, not {target!r}")
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    if segments is not None and (not isinstance(segments, int) or isinstance(segments, bool) or segments < 1):
        raise ValueError(f"segments must be a whole number of at least 1, not {segments!r}")
    limit = call_limit(type(path), max_rate)
    part = Partial(target, resume)
    try:
        sink = part.open()
    except Busy:
        raise
    except OSError as exc:  # the temporary name means nothing to a user
        raise type(exc)(exc.errno, exc.strerror, os.path.dirname(os.path.abspath(part.path))) from None
    got = Got(progress, sized)
    whole = False
    try:
        with sink:
            check = hash_check(path, verify)
            when = fetch_into(path, sink if check is None else check.writing(sink), got, keep_time, limit,
                                    segments)
            size = sink.tell()
            if check is not None:
                check.confirm_file(path, sink)
        try:
            os.replace(part.path, target)
        except OSError as exc:
            raise type(exc)(exc.errno, exc.strerror, target) from None
        whole = True
    finally:
        if not whole:
            part.drop()
    if keep_time:
        if when is None:  # a server without MDTM: its listing's time
            # The file is whole already: a time that cannot be had is only left out.
            with contextlib.suppress(OSError, ftplib.Error):
                when = path._info(exact=False).mtime
        if when is not None:
            os.utime(target, (time.time(), when.timestamp()))
    return size


@operation
def fetch_into(path: Any, sink: BinaryIO, got: Got, keep_time: bool, limit: RateLimit,
                segments: int | None = 1) -> datetime | None:
    """One try of `download`: the file from the byte *sink* ends at (what
    earlier tries wrote, flushed), into *sink*; the time the server told.
    From byte 0, over *segments* connections as `download` takes them."""
    where = command_text(path)
    client = path.client
    offset = sink.tell()
    asks = ["SIZE " + where]
    if (keep_time or offset) and not getattr(client, NO_MDTM, False):
        asks.append("MDTM " + where)
    replies, address = ask_passive(client, [], tuple(asks))
    size = size_or_none(replies[0])
    when = time_told(client, replies[1]) if len(replies) > 1 else None
    got.sized(size)
    if not offset and size is not None and size > 1 and (
            segments is None and size >= SEGMENTED_FROM or (segments or 1) > 1):
        # The tree engine loads with the first big file.
        from dravlen.ftp.tree import segments as parts

        parts.fetch(path, sink, got, limit, client, address, size, when, segments, server_label(path))
        return when
    if offset:
        why = why_not_continued(offset, size, when, os.fstat(sink.fileno()).st_mtime)
        if why is None and offset != size:
            try:
                client.sendcmd(f"REST {offset}")
            except ftplib.error_perm as exc:  # a whole reply: the client is in step
                why = f"the server refuses REST ({exc})"
        if why is not None:
            start_again(path, path.path, why)
            sink.seek(0)
            sink.truncate()
            offset = 0
    got.at(offset)
    if offset and offset == size:
        return when  # the partial file is the whole file: nothing to move
    try:
        conn = transfer(path, client, address, "RETR " + where)
    except ftplib.error_perm as exc:
        raise why_not_read(path, exc) from exc
    # The size told before the transfer is what it must come to: no SIZE after.
    raw = Download(path, client, conn, size, start=offset, limit=limit)
    try:
        buffer = bytearray(_BLOCK)
        view = memoryview(buffer)
        while n := raw.readinto(view):
            sink.write(view[:n])
            got.add(n)
    except KeyboardInterrupt:
        raw.discard()
        raise
    finally:
        raw.close()
        sink.flush()  # what came is kept for the next try
    return when


def upload_from(path: Any, local_path: str | os.PathLike[str], progress: Callable[[int], object] | None,
                resume: bool, max_rate: int | str | RateLimit | None) -> int:
    """`RemotePath.upload_from` of *path*: its tries, each `store_from`."""
    source = os.fspath(local_path)
    if not isinstance(source, str):
        raise TypeError(f"local_path must be a text path, not {source!r}")
    limit = call_limit(type(path), max_rate)
    with open(source, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        store_from(path, file, size, Got(progress, None), [resume], limit)
    return size


@operation
def store_from(path: Any, file: BinaryIO, size: int, got: Got, continuing: list[bool], limit: RateLimit) -> None:
    """One try of `upload_from`; *continuing[0]*: whether what the server
    has is the start of the file (resume asked, or a try before this one
    sent some of it), set for the tries after this one."""
    offset = stored_part(path, size) if continuing[0] else 0
    continuing[0] = True
    got.at(offset)
    if offset and offset == size:
        return  # the server's file is whole already (its size is the local one)
    opened = None
    if offset:
        try:
            opened = open_continued(path, offset)
        except (ftplib.error_perm, ftplib.error_temp) as exc:
            start_again(path, path.path, f"the server continues no upload ({exc})")
            offset = 0
            got.at(0)
    client, conn = opened if opened is not None else open_upload(path)
    raw = Upload(path, client, conn, start=offset, limit=limit)
    file.seek(offset)
    try:
        while block := file.read(_BLOCK):
            raw.write(block)
            got.add(len(block))
    except KeyboardInterrupt:
        raw.discard()
        raise
    except BaseException:
        raw.abort()
        raise
    try:
        raw.close()
    except IncompleteTransfer:
        # Continued, yet not the size it must be: the server did not write
        # where it was asked to, and the next try sends the whole file.
        continuing[0] = not offset
        raise


def stored_part(path: Any, size: int) -> int:
    """How much of a local file of *size* bytes the server's file holds,
    by its ``SIZE``: 0 where it has none, or one larger (said in a warning)."""
    client = path.client
    client.voidcmd("TYPE I")
    try:
        there = size_or_none(client.sendcmd("SIZE " + command_text(path)))
    except ftplib.error_perm:
        return 0  # nothing there (or nothing the server can size): from the start
    return upload_start(path, path.path, there, size)
