"""Streaming transfers: raw file objects over one FTP data connection.

`Download` reads a ``RETR`` and `Upload` writes a ``STOR`` straight from and
to the data socket, so memory stays constant whatever the size.  While one is
open, its client is in the middle of a transfer: the thread that opened it
uses it to the end (or closes it) before it sends anything else.

A download read to its end is confirmed by the closing reply and by ``SIZE``
(asked after the transfer, or before it, with the passive address: then the
bytes moved must be what it said); one closed before its end is abandoned
and the client brought back in step (its closing reply read, one ``NOOP``
round) without reconnecting.  An upload
is confirmed on close by its closing reply and ``SIZE``; one given up after an
error is cut (the data connection reset), so the server does not take it for
whole, and the error says the remote file was left partly written.

A transfer given up with no wait (Ctrl-C) is ended by `abandon`: the data
connection is closed, then the session (`dravlen.ftp.wire.resync.hang_up`), and
the thread's client forgotten.  The core ends its own transfers the same way.
"""

from __future__ import annotations

import ftplib
import io
import socket
import struct
from typing import Any

from dravlen.base import Local
from dravlen.ftp.wire.client import ask_passive, end_data, transfer_told
from dravlen.ftp.wire.dialects import SIZE_ON_OPENING
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.pacing import Sender
from dravlen.ftp.wire.rate import RateLimit, client_limit
from dravlen.ftp.wire.replies import abandon
from dravlen.ftp.wire.resync import hang_up
from dravlen.ftp.wire.transfer import (
    confirm_size,
    incomplete,
    size_or_none,
    why_not_read,
)

__all__ = ["BufferedUpload", "Download", "TextUpload", "Upload", "read_whole"]


class _Abandoned(Exception):
    """Handled while the client is resynchronised: a transfer's closing reply
    is still to come."""


class _Transfer(io.RawIOBase):
    """One open data connection and the client it belongs to.  *start*: the
    byte of the file the transfer starts at (a resumed one, after ``REST``
    or for ``APPE``); *limit*: the rate limit of the call it belongs to
    (by default one of its own, from the server's ``max_rate``)."""

    def __init__(self, path: Any, client: ftplib.FTP, conn: socket.socket, *, start: int = 0,
                 limit: RateLimit | None = None) -> None:
        super().__init__()
        self._path = path
        self._where = path.path.as_posix()
        self._client = client
        self._conn: socket.socket | None = conn
        self._start = start
        self._limit = limit if limit is not None else client_limit(client)
        self.moved = 0

    def fileno(self) -> int:
        raise io.UnsupportedOperation("an FTP transfer has no file descriptor of its own")

    def _owned_here(self) -> bool:
        return Local.getattr(self._path._key_on_thread()) is self._client

    def _close_conn(self, reset: bool = False) -> None:
        conn, self._conn = self._conn, None
        if conn is None:
            return
        if reset:
            # A reset, not an orderly end: the server must not store a cut
            # upload as if it were whole.
            try:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
        else:
            end_data(conn)
        try:
            conn.close()
        except OSError:
            pass

    def _resync(self) -> None:
        """After the transfer was cut: bring the client in step, or drop it."""
        if self._owned_here():
            try:
                raise _Abandoned()
            except _Abandoned:
                self._path._valid_reset()
        else:
            # Closed from another thread (the garbage collector's, say): this
            # thread cannot bring the owner's conversation back in step;
            # ending the client's session makes its owner connect afresh.
            hang_up(self._client)

    def discard(self) -> None:
        """Give up at once, waiting for nothing: the data connection is cut,
        the session ended and the client forgotten (for KeyboardInterrupt)."""
        if self.closed:
            return
        self._close_conn(reset=True)
        if self._owned_here():
            abandon(self._path)
        else:
            hang_up(self._client)
        super().close()


#: The buffer a download of a told size starts with; it doubles as data comes.
_FIRST_BUFFER = 1 << 20


class Download(_Transfer):
    """The bytes of a ``RETR``, read from the data connection as they come.
    *expected* is the size the server told before the transfer; None asks
    for it once the transfer ended (the size of the whole file, where the
    transfer starts at byte *start*)."""

    def __init__(self, path: Any, client: ftplib.FTP, conn: socket.socket,
                 expected: int | None = None, *, start: int = 0, limit: RateLimit | None = None) -> None:
        super().__init__(path, client, conn, start=start, limit=limit)
        self._ended = False
        self._expected = expected

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.closed:
            raise ValueError("read from a closed FTP download")
        if self._ended:
            return 0
        assert self._conn is not None
        limit = self._limit
        try:
            # Under a limit, no more at once than its bucket holds.
            got = self._conn.recv_into(buffer, min(memoryview(buffer).nbytes, limit.block) if limit.rate else 0)
        except KeyboardInterrupt:
            self.discard()
            raise
        except BaseException:
            self._give_up()
            raise
        if got:
            self.moved += got
            limit.take(got)
            return got
        self._end()
        return 0

    def readall(self) -> bytes:
        """The rest of the file; where its size was told and nothing was read
        yet, straight into one buffer that grows with what arrives, never
        past that size (and a spare byte, which a longer file fills): the
        size a server claims does not decide how much memory is taken."""
        told = None if self._expected is None else self._expected - self._start
        if told is None or self.moved or self._ended or self.closed:
            return super().readall() or b""
        data = bytearray(min(told + 1, _FIRST_BUFFER))
        while True:
            view = memoryview(data)
            while self.moved < len(data) and self.readinto(view[self.moved:]):
                pass
            view.release()
            if self.moved < len(data) or len(data) > told:
                break
            data += bytes(min(len(data), told + 1 - len(data)))
        if self.moved > told:
            super().readall()  # to its end, where the count is found wrong
        return bytes(data[:self.moved])

    def _end(self) -> None:
        self._ended = True
        self._close_conn()
        try:
            self._client.voidresp()
            whole = self._start + self.moved
            if self._expected is None:
                confirm_size(self._path, self._client, whole, self._where)
            elif whole != self._expected:
                raise incomplete(self._path, whole, self._expected)
        except KeyboardInterrupt:
            self.discard()
            raise
        except ftplib.Error:
            # Its reply was read whole (a 426, a short SIZE).
            if self._owned_here():
                self._path._valid_reset()
            raise

    def _give_up(self) -> None:
        if not self._ended:
            self._ended = True
            self._close_conn()
            self._resync()

    def close(self) -> None:
        if not self.closed:
            try:
                self._give_up()  # before the end: abandon the transfer
            finally:
                super().close()


class Upload(_Transfer):
    """A ``STOR`` (or a resumed ``APPE``) written straight to the data connection."""

    def __init__(self, path: Any, client: ftplib.FTP, conn: socket.socket, *, start: int = 0,
                 limit: RateLimit | None = None) -> None:
        super().__init__(path, client, conn, start=start, limit=limit)
        self._cut = False
        self._sender = Sender(conn)

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        if self.closed:
            raise ValueError("write to a closed FTP upload")
        view = memoryview(data).cast("B")
        if self._cut:
            return len(view)  # what a buffer flushes after an abort goes nowhere
        assert self._conn is not None
        limit = self._limit
        try:
            if not limit.rate:
                self._sender.send(view)
            for at in range(0, len(view) if limit.rate else 0, limit.block):
                piece = view[at:at + limit.block]
                limit.take(len(piece))
                self._sender.send(piece)
        except KeyboardInterrupt:
            self._cut = True
            self.discard()
            raise
        except BaseException:
            self.abort()
            raise
        self.moved += len(view)
        return len(view)

    def abort(self) -> None:
        """Cut the upload: the data connection is reset, the client brought in step."""
        if not self._cut and self._conn is not None:
            self._cut = True
            self._close_conn(reset=True)
            self._resync()

    def close(self) -> None:
        if self.closed:
            return
        try:
            if not self._cut and self._conn is not None:
                self._close_conn()
                try:
                    self._client.voidresp()
                    confirm_size(self._path, self._client, self._start + self.moved, self._where)
                except KeyboardInterrupt:
                    self._cut = True
                    self.discard()
                    raise
                except ftplib.Error:
                    if self._owned_here():
                        self._path._valid_reset()
                    raise
        finally:
            super().close()


def _note_partial(path: Any, exc: BaseException | None) -> None:
    if exc is not None:
        exc.add_note(f"'{path.path}' on the server was left partly written")


class BufferedUpload(io.BufferedWriter):
    """A buffered `Upload` whose ``with`` block, left by an exception, cuts
    the upload instead of completing it."""

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        if kind is not None:
            raw = self.raw
            if isinstance(raw, Upload):
                raw.abort()
                _note_partial(raw._path, exc)
        super().__exit__(kind, exc, tb)


class TextUpload(io.TextIOWrapper):
    """`BufferedUpload`'s rule, for text."""

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        if kind is not None:
            raw = getattr(self.buffer, "raw", None)
            if isinstance(raw, Upload):
                raw.abort()
                _note_partial(raw._path, exc)
        super().__exit__(kind, exc, tb)


def read_whole(path: Any) -> bytes:
    """The bytes of *path*: ``TYPE I``, ``SIZE`` and ``PASV`` in one round
    trip, then ``RETR``; the bytes moved must be the size told (else
    IncompleteTransfer).  Where the server's opening reply to RETR told the
    same size, that client's later reads take the size from there and send
    no SIZE.  Where the server told no size (a refusal here may be a name it
    cannot size, or a missing file the RETR then names), the transfer asks
    for it once it ended, as any download does."""
    where = command_text(path)
    client = path.client
    # Read from the opening reply only where the path holds no "(": a name
    # could otherwise carry a size of its own into that reply's text.
    plain = "(" not in where
    on_opening = plain and getattr(client, SIZE_ON_OPENING, False)
    replies, address = ask_passive(client, [], () if on_opening else ("SIZE " + where,))
    expected = size_or_none(replies[0]) if replies else None
    try:
        conn, opened = transfer_told(path, client, address, "RETR " + where)
    except ftplib.error_perm as exc:
        raise why_not_read(path, exc) from exc
    if on_opening:
        expected = opened  # None where it told none this time: SIZE after the transfer
    elif plain and expected is not None and opened == expected:
        setattr(client, SIZE_ON_OPENING, True)
    with Download(path, client, conn, expected) as raw:
        data: bytes = raw.readall()
    return data
