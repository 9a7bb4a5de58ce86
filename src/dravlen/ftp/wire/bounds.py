"""What a server sends, read under bounds: one reply (`ReplyReader`, the
control connection's reader), one listing (`read_lines`), each line, and a
size (`MAX_SIZE`).  A bound that is passed ends the session and raises
`ServerLimit`, naming the server and the setting that bounds it."""

from __future__ import annotations

import dataclasses
import socket
import time
from collections.abc import Iterator
from typing import Any

from dravlen.ftp.wire.resync import hang_up

MiB = 1 << 20

#: No file on any file system is larger than this; a size beyond it is a lie.
MAX_SIZE = (1 << 63) - 1


@dataclasses.dataclass(frozen=True)
class Limits:
    """How much a server may send.

    * *reply*: bytes of one reply, all its lines (1 MiB: a ``FEAT`` or
      ``HELP`` reply is a few KiB; a ``STAT`` of a folder is read as a
      listing, not a reply);
    * *line*: bytes of one reply line (ftplib's own 8 KiB);
    * *listing_line*: bytes of one listing line (64 KiB: a name is at most
      255 bytes, a link's target at most 4 KiB);
    * *listing*: bytes of one listing (256 MiB: about two million entries).
    """

    reply: int = MiB
    line: int = 8192
    listing_line: int = 64 << 10
    listing: int = 256 * MiB


DEFAULT = Limits()


class ServerLimit(OSError):
    """A server sent more than its client takes (a reply, a line, a listing)
    or a size no file can have.  Not worth another try: the same server
    sends the same.  Raised in the middle of a reply or a transfer, the
    client's session has been ended; being no reply of the server's (no
    `ftplib.Error`), whoever holds the client drops it."""


def server_of(client: Any) -> str:
    host = getattr(client, "host", "") or "?"
    if ":" in host:
        host = f"[{host}]"
    return f"ftp://{host}:{getattr(client, 'port', 21)}"


def give_up(client: Any) -> None:
    # What the server still sends is not read: the session ends here.
    hang_up(client)


class ReplyReader:
    """The control connection's lines, read from the socket as bytes.

    Stands where ftplib keeps ``client.file``: ``readline(limit)`` gives one
    line (with its LF), decoded in the client's encoding.  With a deadline
    set (`Bounded.getmultiline` sets one per reply) every wait ends by it,
    however slowly the server drips.  On a non-blocking socket (the resync
    reads so) it gives a whole line that has arrived, else ``""``.
    """

    def __init__(self, sock: socket.socket, encoding: str) -> None:
        self.sock, self.encoding = sock, encoding
        self.buf = bytearray()
        self.pos = 0  # where the unread part of buf begins
        self.chunk = bytearray(65536)
        self.deadline: float | None = None
        self.timed_out = False  # a read timed out: where the reply stood is unknown
        self.eof = False
        self.closed = False
        self.back: list[str] = []  # lines handed back (`unread`), read again first

    def _fill(self, wait: float | None) -> bool:
        """Read what comes; False if nothing could be read without waiting."""
        try:
            if wait is not None:
                self.sock.settimeout(wait)
            got = self.sock.recv_into(self.chunk)
        except BlockingIOError:
            return False
        except TimeoutError:
            self.timed_out = True
            raise
        if got == 0:
            self.eof = True
        if self.pos:
            del self.buf[:self.pos]
            self.pos = 0
        self.buf += memoryview(self.chunk)[:got]
        return True

    def readline(self, limit: int = -1) -> str:
        if self.closed:
            raise ValueError("the control connection is closed")
        if self.timed_out:
            raise OSError("cannot read from timed out object")
        if self.back:
            return self.back.pop(0)
        end = self.buf.find(b"\n", self.pos)
        if end >= 0:  # a line that has come already: no wait to bound
            return self._take(end + 1)
        timeout = self.sock.gettimeout()
        blocking = timeout != 0.0
        try:
            while True:
                if limit >= 0 and len(self.buf) - self.pos >= limit:
                    # Never handed on in pieces: the rest would read as a line of its own.
                    raise ServerLimit(f"a reply line longer than {limit - 1} bytes")
                if self.eof:
                    return self._take(len(self.buf))
                wait = None
                if blocking and self.deadline is not None:
                    wait = self.deadline - time.monotonic()
                    if wait <= 0:
                        self.timed_out = True
                        raise TimeoutError("the reply did not come whole in time")
                    if timeout is not None:
                        wait = min(wait, timeout)
                if not self._fill(wait):
                    return ""
                end = self.buf.find(b"\n", self.pos)
                if end >= 0:
                    return self._take(end + 1)
        finally:
            if blocking and self.deadline is not None and not self.timed_out:
                try:
                    self.sock.settimeout(timeout)
                except OSError:
                    pass

    def unread(self, reply: str) -> None:
        """Hand a reply already read back, to be read again next (by
        ``getresp`` or by a resync, which then drops it as stale)."""
        self.back[:0] = [line + "\r\n" for line in reply.split("\n")]

    def waiting(self) -> bool:
        """Whether a whole line has come that no one has read."""
        return bool(self.back) or self.buf.find(b"\n", self.pos) >= 0

    def _take(self, end: int) -> str:
        line = self.buf[self.pos:end].decode(self.encoding, "surrogateescape")
        self.pos = end
        return line

    def close(self) -> None:
        self.closed = True


def read_lines(client: Any, conn: socket.socket, limits: Limits | None = None) -> Iterator[str]:
    """The lines of a listing as they come from its data connection *conn*,
    decoded in the client's encoding (undecodable bytes kept as escapes),
    each without its LF (and the CR before it).  A line ends at LF alone.
    A line or a listing past its bound ends the client's session (the data
    connection is the caller's to close) and raises `ServerLimit`."""
    if limits is None:
        limits = getattr(client, "limits", DEFAULT)
    encoding = getattr(client, "encoding", "utf-8")
    pending = bytearray()
    total = 0
    while True:
        block = conn.recv(1 << 16)
        if not block:
            break
        total += len(block)
        if total > limits.listing:
            give_up(client)
            raise ServerLimit(f"{server_of(client)} sent a listing longer than {limits.listing} bytes (maxlisting)")
        pending += block
        start = 0
        while (end := pending.find(b"\n", start)) >= 0:
            yield _line(pending, start, end, encoding)
            start = end + 1
        del pending[:start]
        if len(pending) > limits.listing_line:
            give_up(client)
            raise ServerLimit(f"{server_of(client)} sent a listing line longer than {limits.listing_line} bytes")
    if pending:
        yield _line(pending, 0, len(pending), encoding)


def _line(data: bytearray, start: int, end: int, encoding: str) -> str:
    if end > start and data[end - 1] == 0x0D:
        end -= 1
    return bytes(data[start:end]).decode(encoding, "surrogateescape")
