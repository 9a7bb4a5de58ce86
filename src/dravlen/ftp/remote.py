"""`RemotePath`: the FTP path class that users import.

It is `dravlen.ftp.path.FTPPath` (the compiled core: ``exists``, ``is_dir()``,
``mtime``, ``read()``, ``write()``, ``upload()``, ``glob()``, ``mkdir()``,
``delete()``) plus the everyday work built beside it in Python: streaming
(`open`, `download`), metadata (`info`, `size`, `iterdir`), `rename`, and
walking (`walk`, `rglob`, `find`).  It shares the core's per-thread clients,
``retry`` and resynchronisation, and never changes what the core's members
do.  Like `FTPPath` it talks to the server of the configuration section
``[ftp]``; `dravlen.ftp.server` hands out subclasses bound to other servers.
"""

from __future__ import annotations

import contextlib
import errno
import fnmatch
import ftplib
import io
import logging
import os
import time
from collections.abc import Callable, Iterator
from dataclasses import replace
from datetime import datetime
from pathlib import PurePosixPath
from typing import IO, TYPE_CHECKING, Any, BinaryIO, Literal, overload

from dravlen.base import LOST_CONNECTION, BasePath, Local, replaying
from dravlen.ftp.everyday import Everyday, Stat
from dravlen.ftp.path import FTPPath
from dravlen.ftp.settings import ftp_settings
from dravlen.ftp.wire.bounds import server_of
from dravlen.ftp.wire.checksums import (
    ChecksumMismatch,
    ChecksumUnavailable,
    hash_check,
    remote_hash,
)
from dravlen.ftp.wire.client import ask_passive, transfer
from dravlen.ftp.wire.dialects import NO_MDTM, NO_MLST
from dravlen.ftp.wire.listing import Entry, list_dir, parse_mlst
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.rate import RateLimit, rate_limit
from dravlen.ftp.wire.replies import IncompleteTransfer, not_understood, operation
from dravlen.ftp.wire.streams import BufferedUpload, Download, TextUpload, Upload
from dravlen.ftp.wire.times import server_time, time_told
from dravlen.ftp.wire.transfer import (
    open_continued,
    open_data,
    open_upload,
    size_or_none,
    size_told,
    why_not_read,
)
from dravlen.whole import Busy, open_partial, partial_name, temporary_name

if TYPE_CHECKING:
    from dravlen.ftp import tree

__all__ = ["ChecksumMismatch", "ChecksumUnavailable", "Entry", "IncompleteTransfer", "RemotePath", "RenameUncertain",
           "Stat"]

# A walk deeper than this is taken for a loop of links that the server shows
# as directories without telling their identity.
MAX_DEPTH = 200

_BLOCK = 1 << 20  # bytes moved per read in download()
#: A file of this many bytes or more is downloaded over several connections
#: when the caller does not say how many (`dravlen.ftp.tree.segments`).
SEGMENTED_FROM = 64 << 20

log = logging.getLogger(__name__)


_from_parts: Any = getattr(PurePosixPath, "_from_parsed_parts", None)


class _Got:
    """What one `RemotePath.download` call told its callbacks, across its tries."""

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
    """The server of *path* as messages name it (its label, never a password)."""
    try:
        return ftp_settings(path._section[0], require_host=False).where
    except (ValueError, TypeError):  # a message must not fail for want of a name (ConfigError too)
        return server_of(Local.getattr(path._key_on_thread()))


class RenameUncertain(OSError):
    """The connection was lost after the new name was sent: the server may
    or may not have renamed the entry."""


class RemotePath(Everyday, FTPPath):
    """A path on an FTP server: the core's members and the everyday ones
    (pathlib's names among them, from `dravlen.ftp.everyday`)."""

    # -- metadata ----------------------------------------------------------

    def info(self) -> Entry:
        """Kind, size and modification time (aware, UTC) of the path.

        One ``MLST`` where the server has it (whose kind is the server's:
        some report where a link points, some the link); elsewhere the entry
        of the path's line in its parent's one listing, and for a file its
        exact time (``MDTM``: a listing tells the minute).
        FileNotFoundError if there is nothing.
        """
        return self._info(exact=True)

    @operation
    def _info(self, exact: bool) -> Entry:
        """`info`; with *exact* false, a listing's time stays as listed
        (to the minute, as `iterdir` gives it)."""
        where = command_text(self)
        name = self.path.name
        client = self.client
        if not hasattr(client, NO_MLST):
            try:
                reply = client.sendcmd("MLST " + where)
            except ftplib.error_perm as exc:
                self._valid_reset()
                if not not_understood(exc):
                    raise FileNotFoundError(f"'{self.path}' does not exist.") from exc
                setattr(self.client, NO_MLST, True)
            else:
                for line in reply.split("\n")[1:]:
                    if line.startswith(" "):
                        entry = parse_mlst(line[1:], name or where)
                        if entry is not None:
                            return entry
                        break
        if name in ("", ".", ".."):  # no line of its own in a listing
            if self.is_dir():
                return Entry(name or where, "dir", None, None)
            raise FileNotFoundError(f"'{self.path}' does not exist.")
        try:
            siblings = list_dir(self.parent)
        except (FileNotFoundError, NotADirectoryError) as exc:
            raise FileNotFoundError(f"'{self.path}' does not exist.") from exc
        for entry in siblings:
            if entry.name == name:
                if exact and entry.kind == "file" and not entry.exact:
                    # A LIST time tells the minute at best: the exact one is asked.
                    when = server_time(self.client, where)
                    if when is not None:
                        entry = replace(entry, mtime=when, precision=1, zone_slack=0)
                return entry
        raise FileNotFoundError(f"'{self.path}' does not exist.")

    @property
    def size(self) -> int:
        """The size of the file in bytes (`info`, or ``SIZE`` where it does
        not tell); IsADirectoryError for a directory."""
        entry = self._info(exact=False)
        if entry.kind == "dir":
            raise IsADirectoryError(f"'{self.path}' is a directory.")
        if entry.size is not None:
            return entry.size
        return self._size_command()

    @operation
    def _size_command(self) -> int:
        where = command_text(self)
        client = self.client
        client.voidcmd("TYPE I")
        try:
            reply = client.sendcmd("SIZE " + where)
        except ftplib.error_perm as exc:
            self._valid_reset()
            raise FileNotFoundError(f"'{self.path}' has no size the server tells: {exc}") from exc
        return size_told(reply)

    @overload
    def iterdir(self, detail: Literal[False] = ...) -> Iterator[RemotePath]: ...
    @overload
    def iterdir(self, detail: Literal[True]) -> Iterator[tuple[RemotePath, Entry]]: ...

    def iterdir(self, detail: bool = False) -> Iterator[Any]:
        """The entries of the directory, from one ``MLSD`` or ``LIST``: path
        objects, or with *detail* ``(path, Entry)`` pairs (kind, size, time)."""
        entries = list_dir(self)  # listed now, so that errors show at the call
        return ((self._child(e.name), e) if detail else self._child(e.name) for e in entries)

    def _child(self, name: str) -> RemotePath:
        # A listed name holds no "/" and is no "." or "..": it needs none of
        # the parsing that join() does for any text, which costs more than
        # reading its listing line.  pathlib's parts are used where this
        # Python has them as 3.11 does, else the path is joined.
        path = self.path
        try:
            child = _from_parts(path._drv, path._root, path._parts + [name])  # type: ignore[attr-defined]
        except (AttributeError, TypeError):
            child = path / name
        return type(self)(child)

    # -- streaming ---------------------------------------------------------

    @overload
    def open(self, mode: Literal["rb"] = ...) -> io.BufferedReader: ...
    @overload
    def open(self, mode: Literal["wb"]) -> io.BufferedWriter: ...
    @overload
    def open(self, mode: Literal["r", "w", "rt", "wt"], *, encoding: str | None = ...,
             errors: str | None = ..., newline: str | None = ...) -> io.TextIOWrapper: ...
    @overload
    def open(self, mode: str, *, encoding: str | None = ..., errors: str | None = ...,
             newline: str | None = ...) -> IO[Any]: ...

    def open(self, mode: str = "rb", *, encoding: str | None = None, errors: str | None = None,
             newline: str | None = None) -> IO[Any]:
        """A file object streaming the remote file: ``"rb"``/``"r"`` read it
        (``RETR``), ``"wb"``/``"w"`` replace it (``STOR`` at once; where the
        server refuses it for a missing folder, the folders are made and
        ``STOR`` sent again), in constant memory.

        A reader read to its end checks the server's ``SIZE``; closed before,
        it abandons the transfer and leaves the client in step.  A writer
        checks ``SIZE`` on close; left by an exception in a ``with`` block it
        cuts the upload, and the exception notes the partly written file.
        Until it is closed, the thread's client is busy with this transfer.
        """
        if not isinstance(mode, str):
            raise TypeError(f"mode must be a str, not {type(mode).__name__}")
        kind = mode.replace("t", "") if "b" not in mode else mode
        if kind not in ("rb", "wb", "r", "w"):
            raise ValueError(f"mode {mode!r} is not one of 'rb', 'wb', 'r', 'w'")
        if "b" in mode and (encoding is not None or errors is not None or newline is not None):
            raise ValueError("binary mode takes no encoding, errors or newline")
        if kind in ("rb", "r"):
            reader = io.BufferedReader(self._download())
            if kind == "rb":
                return reader
            return io.TextIOWrapper(reader, encoding=encoding or "utf-8", errors=errors, newline=newline)
        writer = BufferedUpload(self._upload())
        if kind == "wb":
            return writer
        return TextUpload(writer, encoding=encoding or "utf-8", errors=errors, newline=newline)

    def _reader(self) -> Download:
        where = command_text(self)
        try:
            client, conn = open_data(self, "RETR " + where)
        except ftplib.error_perm as exc:
            raise why_not_read(self, exc) from exc
        return Download(self, client, conn)

    _download = operation(_reader)

    @operation
    def _upload(self) -> Upload:
        client, conn = open_upload(self)
        return Upload(self, client, conn)

    def download(self, local_path: str | os.PathLike[str], progress: Callable[[int], object] | None = None,
                 *, keep_time: bool = False, sized: Callable[[int | None], object] | None = None,
                 resume: bool = False, max_rate: int | str | RateLimit | None = None,
                 verify: str = "size", segments: int | None = None) -> int:
        """Copy the remote file to *local_path*; its size in bytes.

        The bytes go to a temporary file beside *local_path*, which takes its
        name only once the transfer ended and the server's ``SIZE`` agreed.
        A try that fails on the way (a lost connection, a 4xx, a short
        transfer) is tried again from where it got to (``REST``), the bytes
        written so far kept.  On a failure that ends the call the temporary
        file is removed and an existing *local_path* is left as it was.

        With *resume*, the temporary file has one name (`partial_name`,
        ``.NAME.dravlen-part``), kept when the call fails, and a later call
        with *resume* continues it where it ended, as ``curl -C -`` and
        ``lftp get -c`` do: sizes alone are compared and the partial file
        is taken for the start of the server's file.  It is started again
        from zero (and a warning names the path and the server) where the
        server tells no size, its file is shorter than the partial one or
        dated after it was last written (``MDTM``), or it refuses ``REST``.
        Unlike curl and lftp, a file of *local_path*'s own name is never
        taken for a partial one: it may be an older whole copy, and what
        was appended to it would be neither; it is replaced once the new
        copy is whole.  A partial file is locked while it is written
        (`dravlen.whole.Busy` where another call holds it).

        *progress* is called with the number of bytes of each block as it
        arrives (and, where a try starts at another byte than the last one
        ended, with the difference: the bytes a partial file held already,
        or minus those dropped to start again), *sized* once before the
        first with the size the server told (None where it told none).
        With *keep_time*, the file gets the server's modification time.
        *max_rate* (bytes a second, or text such as ``"2M"``) overrides the
        server's ``max_rate`` for this call.
        *segments*: how many connections move the file at once, each a
        ``REST`` and ``RETR`` of its own part written in place
        (`dravlen.ftp.tree.segments`); None takes its ``AUTO_SEGMENTS`` for
        a file whose ``SIZE`` tells `SEGMENTED_FROM` bytes or more, 1 forces
        one.  A server that refuses ``REST`` gets one connection (a log
        record says so), and so do a file whose size the server does not
        tell and one continued with *resume*.
        With *verify* ``"hash"``, the bytes are hashed as they are written
        and must also match the server's hash of the file (`checksum`, the
        strongest it has): `ChecksumMismatch` where they do not, and
        nothing is kept (nor a partial file); a server with no hash keeps
        the size rule.

        No probe comes first: ``TYPE I``, ``SIZE``, ``MDTM`` and ``PASV`` go
        together, then ``RETR`` (``REST``, where it continues a file, in
        one more round trip); only a refused ``RETR`` asks what the path is.
        """
        target = os.fspath(local_path)
        if not isinstance(target, str):
            raise TypeError(f"local_path must be a text path, not {target!r}")
        if os.path.isdir(target):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        if segments is not None and (not isinstance(segments, int) or isinstance(segments, bool) or segments < 1):
            raise ValueError(f"segments must be a whole number of at least 1, not {segments!r}")
        limit = self._call_limit(max_rate)
        folder, base = os.path.split(os.path.abspath(target))
        part = os.path.join(folder, partial_name(base) if resume else temporary_name(base))
        try:
            sink = open_partial(part, fresh=not resume)
        except Busy:
            raise
        except OSError as exc:  # the temporary name means nothing to a user
            raise type(exc)(exc.errno, exc.strerror, folder) from None
        got = _Got(progress, sized)
        whole = False
        try:
            with sink:
                check = hash_check(self, verify)
                when = self._fetch_into(sink if check is None else check.writing(sink), got, keep_time, limit,
                                        segments)
                size = sink.tell()
                if check is not None:
                    check.confirm_file(self, sink)
            try:
                os.replace(part, target)
            except OSError as exc:
                raise type(exc)(exc.errno, exc.strerror, target) from None
            whole = True
        finally:
            if not whole and not resume:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(part)
        if keep_time:
            if when is None:  # a server without MDTM: its listing's time
                # The file is whole already: a time that cannot be had is only left out.
                with contextlib.suppress(OSError, ftplib.Error):
                    when = self._info(exact=False).mtime
            if when is not None:
                os.utime(target, (time.time(), when.timestamp()))
        return size

    def checksum(self, algorithm: str | None = None) -> tuple[str, str]:
        """The server's hash of the file: ``(algorithm, hexdigest)``, the
        digest in lower case.  *algorithm* is one of ``"SHA-256"``,
        ``"SHA-512"``, ``"SHA-1"``, ``"MD5"``, ``"CRC32"`` (case and dashes
        aside); None takes the strongest the server has.  Asked with ``HASH``
        or the older ``XSHA256`` and kin, whichever its ``FEAT`` announces;
        `ChecksumUnavailable` where it announces neither, or not that
        algorithm."""
        chosen, hexdigest = self._checksum(algorithm)
        return chosen.name, hexdigest

    _checksum = operation(remote_hash)

    def _call_limit(self, max_rate: int | str | RateLimit | None) -> RateLimit:
        return call_limit(type(self), max_rate)

    @operation
    def _fetch_into(self, sink: BinaryIO, got: _Got, keep_time: bool, limit: RateLimit,
                    segments: int | None = 1) -> datetime | None:
        """One try of `download`: the file from the byte *sink* ends at (what
        earlier tries wrote, flushed), into *sink*; the time the server told.
        From byte 0, over *segments* connections as `download` takes them."""
        where = command_text(self)
        client = self.client
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

            parts.fetch(self, sink, got, limit, client, address, size, when, segments, server_label(self))
            return when
        if offset:
            why = why_not_continued(offset, size, when, os.fstat(sink.fileno()).st_mtime)
            if why is None and offset != size:
                try:
                    client.sendcmd(f"REST {offset}")
                except ftplib.error_perm as exc:  # a whole reply: the client is in step
                    why = f"the server refuses REST ({exc})"
            if why is not None:
                log.warning("'%s' on %s: starting again from byte 0: %s", self.path, server_label(self), why)
                sink.seek(0)
                sink.truncate()
                offset = 0
        got.at(offset)
        if offset and offset == size:
            return when  # the partial file is the whole file: nothing to move
        try:
            conn = transfer(self, client, address, "RETR " + where)
        except ftplib.error_perm as exc:
            raise why_not_read(self, exc) from exc
        # The size told before the transfer is what it must come to: no SIZE after.
        raw = Download(self, client, conn, size, start=offset, limit=limit)
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

    def upload_from(self, local_path: str | os.PathLike[str], progress: Callable[[int], object] | None = None,
                    *, resume: bool = False, max_rate: int | str | RateLimit | None = None) -> int:
        """Copy the local file *local_path* to this path; its size in bytes.

        ``STOR`` at once (where the server refuses it for a missing folder,
        the folders are made and ``STOR`` sent again), then the server's
        ``SIZE`` must be the local size.  A try that fails on the way is
        tried again from where the server's copy ended: its ``SIZE``, then
        ``REST`` and ``STOR`` where the server's ``FEAT`` offers ``REST
        STREAM``, else (or where it refuses them) ``APPE``; a server that
        takes neither gets the whole file again.

        With *resume*, the first try does the same with a file already on
        the server, as ``lftp put -c`` does: sizes alone are compared and
        the server's file is taken for the start of the local one (one of
        the same size is taken as whole, and nothing is sent).  One larger
        than the local file is never continued: the file is sent whole, and
        a warning names the path and the server.  *progress* and *max_rate*
        as for `download`.  The core's ``upload`` is unchanged.
        """
        source = os.fspath(local_path)
        if not isinstance(source, str):
            raise TypeError(f"local_path must be a text path, not {source!r}")
        limit = self._call_limit(max_rate)
        with open(source, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            self._store_from(file, size, _Got(progress, None), [resume], limit)
        return size

    @operation
    def _store_from(self, file: BinaryIO, size: int, got: _Got, continuing: list[bool], limit: RateLimit) -> None:
        """One try of `upload_from`; *continuing[0]*: whether what the server
        has is the start of the file (resume asked, or a try before this one
        sent some of it), set for the tries after this one."""
        offset = self._stored_part(size) if continuing[0] else 0
        continuing[0] = True
        got.at(offset)
        if offset and offset == size:
            return  # the server's file is whole already (its size is the local one)
        opened = None
        if offset:
            try:
                opened = open_continued(self, offset)
            except (ftplib.error_perm, ftplib.error_temp) as exc:
                log.warning("'%s' on %s: starting again from byte 0: the server continues no upload (%s)",
                            self.path, server_label(self), exc)
                offset = 0
                got.at(0)
        client, conn = opened if opened is not None else open_upload(self)
        raw = Upload(self, client, conn, start=offset, limit=limit)
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

    def _stored_part(self, size: int) -> int:
        """How much of a local file of *size* bytes the server's file holds,
        by its ``SIZE``: 0 where it has none, or one larger (said in a warning)."""
        client = self.client
        client.voidcmd("TYPE I")
        try:
            there = size_or_none(client.sendcmd("SIZE " + command_text(self)))
        except ftplib.error_perm:
            return 0  # nothing there (or nothing the server can size): from the start
        if there is not None and there > size:
            log.warning("'%s' on %s: starting again from byte 0: the server's file holds %d bytes, more than"
                        " the %d of the local file", self.path, server_label(self), there, size)
            return 0
        return there or 0

    # -- rename ------------------------------------------------------------

    def rename(self, target: str | os.PathLike[str] | RemotePath) -> RemotePath:
        """Rename the entry to *target* on the same server (``RNFR``,
        ``RNTO``); the new path object.

        FileNotFoundError when there is nothing to rename; when the server
        refuses the new name, FileExistsError if something is there,
        FileNotFoundError if its folder is missing, else PermissionError
        with the server's reply.
        """
        if isinstance(target, BasePath) and type(target) is not type(self):
            raise TypeError(f"cannot rename '{self.path}' to {target!r}: another server's path")
        new = type(self)(target)
        return self._rename(new)

    @operation
    def _rename(self, new: RemotePath) -> RemotePath:
        source, destination = command_text(self), command_text(new)
        client = self.client
        try:
            client.sendcmd("RNFR " + source)
        except ftplib.error_perm as exc:
            self._valid_reset()
            if not self.exists:
                if replaying() and new.exists:
                    return new  # renamed by the try whose reply was lost
                raise FileNotFoundError(f"'{self.path}' does not exist: {exc}") from exc
            raise PermissionError(f"cannot rename '{self.path}': {exc}") from exc
        try:
            client.voidcmd("RNTO " + destination)
        except (ftplib.error_perm, ftplib.error_temp) as exc:
            # Pure-FTPd refuses a new name with 451: no retry renames it.
            self._valid_reset()
            # Some servers (busybox) take any RNFR, and refuse the RNTO of a
            # missing path in the words of any other refusal.
            if not self.exists:
                if replaying() and new.exists:
                    return new  # renamed by the try whose reply was lost
                raise FileNotFoundError(f"'{self.path}' does not exist: {exc}") from exc
            if new.exists:
                raise FileExistsError(
                    f"cannot rename '{self.path}' to '{new.path}': it exists ({exc})") from exc
            if not new.parent.exists:
                raise FileNotFoundError(
                    f"cannot rename '{self.path}' to '{new.path}': '{new.parent.path}' does not exist"
                ) from exc
            raise PermissionError(f"cannot rename '{self.path}' to '{new.path}': {exc}") from exc
        except LOST_CONNECTION as exc:
            self._drop_client()
            raise RenameUncertain(
                f"the connection was lost after asking to rename '{self.path}' to '{new.path}';"
                " whether it was renamed is unknown") from exc
        if new.name != new.name.strip() and not new.exists:
            # Some servers (Pure-FTPd) turn a blank that ends a new
            # name into '_' and report success all the same.
            raise FileNotFoundError(
                f"the server renamed '{self.path}' but nothing is at '{new.path}': it changed the"
                " new name (blanks at either end?)")
        return new

    # -- walking -----------------------------------------------------------

    def _own_identity(self, entries: list[Entry]) -> str | None:
        # Servers that tell identities (MLSD "unique") tell the top's too.
        if any(e.unique for e in entries):
            try:
                return self._info(exact=False).unique
            except FileNotFoundError:
                return None
        return None

    def walk(self, top_down: bool = True, on_error: Callable[[OSError], None] | None = None,
             detail: bool = False) -> Iterator[tuple[RemotePath, list[Any], list[Any]]]:
        """``(directory, dirnames, filenames)`` for the directory and every
        directory below it, from one listing each, like `os.walk`.

        Links (and other entries that are no directory) are among the
        filenames and never followed; where a server shows a link as a
        directory, one leading back to a directory being walked is left out.
        Top-down, pruning *dirnames* in place prunes the walk.  With *detail*
        the lists hold `Entry` objects instead of names.  Listing errors are
        raised, or passed to *on_error* and the directory skipped.
        """
        try:
            entries = list_dir(self)
        except OSError as exc:
            if on_error is None:
                raise
            on_error(exc)
            return
        top = self._own_identity(entries)
        yield from self._walk(entries, top_down, on_error, detail, [top] if top else [], 0)

    def _walk(self, entries: list[Entry], top_down: bool, on_error: Callable[[OSError], None] | None,
              detail: bool, ancestors: list[str], depth: int
              ) -> Iterator[tuple[RemotePath, list[Any], list[Any]]]:
        if depth > MAX_DEPTH:
            raise OSError(f"'{self.path}' is more than {MAX_DEPTH} directories deep: a loop of links?")
        dirs = [e for e in entries if e.kind == "dir" and not (e.unique and e.unique in ancestors)]
        files = [e for e in entries if e.kind != "dir"]
        dir_items: list[Any] = dirs if detail else [e.name for e in dirs]
        file_items: list[Any] = files if detail else [e.name for e in files]
        if top_down:
            yield self, dir_items, file_items
        by_name = {e.name: e for e in dirs}
        for item in dir_items:
            entry = item if detail else by_name.get(item)
            if entry is None:
                continue
            child = self.join(entry.name)
            try:
                below = list_dir(child)
            except OSError as exc:
                if on_error is None:
                    raise
                on_error(exc)
                continue
            inner = ancestors + [entry.unique] if entry.unique else ancestors
            yield from child._walk(below, top_down, on_error, detail, inner, depth + 1)
        if not top_down:
            yield self, dir_items, file_items

    def rglob(self, pattern: str) -> Iterator[RemotePath]:
        """The entries matching *pattern* in this directory and every one
        below it (`find` of ``"**/" + pattern``)."""
        return self.find("**/" + pattern)

    def find(self, pattern: str) -> Iterator[RemotePath]:
        """The entries below this directory whose relative path matches
        *pattern*: ``/``-separated `fnmatch` patterns, where ``**`` stands for
        any number of directories (``"data/**/*.csv"``); one listing per
        directory visited, links never followed."""
        if not isinstance(pattern, str):
            raise TypeError(f"pattern must be a str, not {type(pattern).__name__}")
        if pattern.startswith("/"):
            raise ValueError(f"pattern {pattern!r} must be relative")
        parts = [part for part in pattern.split("/") if part not in ("", ".")]
        if not parts:
            raise ValueError(f"pattern {pattern!r} matches nothing below '{self.path}'")
        cache: dict[PurePosixPath, list[Entry]] = {}
        top = self._own_identity(self._listing(cache))
        seen: set[PurePosixPath] = set()
        for found in self._find(parts, cache, [top] if top else [], 0):
            if found.path not in seen:
                seen.add(found.path)
                yield found

    def _listing(self, cache: dict[PurePosixPath, list[Entry]]) -> list[Entry]:
        entries = cache.get(self.path)
        if entries is None:
            entries = cache[self.path] = list_dir(self)
        return entries

    def _find(self, parts: list[str], cache: dict[PurePosixPath, list[Entry]],
              ancestors: list[str], depth: int) -> Iterator[RemotePath]:
        if depth > MAX_DEPTH:
            raise OSError(f"'{self.path}' is more than {MAX_DEPTH} directories deep: a loop of links?")
        head, rest = parts[0], parts[1:]
        entries = self._listing(cache)
        if head == "**":
            if rest:
                yield from self._find(rest, cache, ancestors, depth)
            else:
                yield self
            for entry in entries:
                if entry.kind == "dir" and not (entry.unique and entry.unique in ancestors):
                    inner = ancestors + [entry.unique] if entry.unique else ancestors
                    yield from self.join(entry.name)._find(parts, cache, inner, depth + 1)
            return
        for entry in entries:
            if not fnmatch.fnmatchcase(entry.name, head):
                continue
            child = self.join(entry.name)
            if not rest:
                yield child
            elif entry.kind == "dir" and not (entry.unique and entry.unique in ancestors):
                inner = ancestors + [entry.unique] if entry.unique else ancestors
                yield from child._find(rest, cache, inner, depth + 1)

    # -- whole trees (dravlen.ftp.tree) --------------------------------------

    def upload_tree(self, local: str | os.PathLike[str], *, connections: int = 4,
                    progress: Callable[[tree.Progress], object] | None = None,
                    temporary_names: bool = False, resume: bool = False,
                    max_rate: int | str | RateLimit | None = None, verify: str = "size") -> tree.Outcome:
        """Make this path the copy of the local file or tree *local* over
        *connections* connections, skipping files already here; see
        `dravlen.ftp.tree.upload_tree`."""
        from dravlen.ftp import tree  # the engine loads with its first tree

        return tree.upload_tree(local, self, connections=connections, progress=progress,
                                temporary_names=temporary_names, resume=resume, max_rate=max_rate, verify=verify)

    def download_tree(self, local: str | os.PathLike[str], *, connections: int = 4,
                      progress: Callable[[tree.Progress], object] | None = None, resume: bool = False,
                      max_rate: int | str | RateLimit | None = None, verify: str = "size") -> tree.Outcome:
        """Make *local* the copy of this file or tree over *connections*
        connections, skipping files already there; see `dravlen.ftp.tree.download_tree`."""
        from dravlen.ftp import tree  # the engine loads with its first tree

        return tree.download_tree(self, local, connections=connections, progress=progress, resume=resume,
                                  max_rate=max_rate, verify=verify)

    def remove_tree(self, *, connections: int = 4,
                    progress: Callable[[tree.Progress], object] | None = None) -> tree.Outcome:
        """Remove this file, link or tree over *connections* connections, links
        as links; see `dravlen.ftp.tree.remove_tree`."""
        from dravlen.ftp import tree  # the engine loads with its first tree

        return tree.remove_tree(self, connections=connections, progress=progress)
