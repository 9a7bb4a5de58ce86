"""The wire: every byte that comes from an FTP server, read under bounds.

A server is untrusted input.  What it sends on the control connection and in
listings is read here and nowhere else, so that no reply or listing can make
a client wait without end or take memory without end, and no line can be
split where the server did not end it:

* `Client` (and the TLS client built on the same `Bounded` mixin) reads its
  control connection through a `ReplyReader`: one reply, all its lines, must
  come whole within the client's timeout (the timeout bounds the reply, not
  each read) and within `Limits.reply` bytes, each line within `Limits.line`;
  a line ends at LF alone, so a CR inside a name stays inside it.
* `read_lines` reads a listing from its data connection as it streams, each
  line at most `Limits.listing_line` bytes and all of them at most `Limits.listing`;
  the client's ``retrlines`` (which the core lists through) uses it.
* `size_told` reads the size a ``213`` reply gives, and refuses one no file
  can have; `confirm_size` is the one rule by which a transfer is confirmed.

A bound that is passed ends the client's session (the rest of what the server
sends is not read) and raises `ServerLimit`, naming the server and the
setting that bounds it.  The caps are set far above what an honest server
sends; a server's settings can move them (``maxreply``, ``maxlisting``).
"""

from __future__ import annotations

import dataclasses
import ftplib
import socket
import ssl
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, cast

from dravlen.ftp.resync import hang_up

__all__ = ["Bounded", "Client", "Limits", "ReplyReader", "ServerLimit", "confirm_size", "end_data", "read_lines",
           "size_told"]

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


def _where(client: Any) -> str:
    host = getattr(client, "host", "") or "?"
    if ":" in host:
        host = f"[{host}]"
    return f"ftp://{host}:{getattr(client, 'port', 21)}"


def _give_up(client: Any) -> None:
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
        timeout = self.sock.gettimeout()
        blocking = timeout != 0.0
        try:
            while True:
                end = self.buf.find(b"\n", self.pos)
                if end >= 0:
                    return self._take(end + 1)
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
        finally:
            if blocking and self.deadline is not None and not self.timed_out:
                try:
                    self.sock.settimeout(timeout)
                except OSError:
                    pass

    def _take(self, end: int) -> str:
        line = self.buf[self.pos:end].decode(self.encoding, "surrogateescape")
        self.pos = end
        return line

    def close(self) -> None:
        self.closed = True


# The mixin is typed as the ftplib client it is mixed into.
if TYPE_CHECKING:
    _Client = ftplib.FTP
else:
    _Client = object


class Bounded(_Client):
    """What makes an ``ftplib.FTP`` client read its server under bounds (see
    the module's text); mixed in before the ftplib class."""

    limits: Limits = DEFAULT

    def _read_replies(self) -> None:
        assert self.sock is not None
        self.file = cast(Any, ReplyReader(self.sock, self.encoding))

    def connect(self, host: str = "", port: int = 0, timeout: float = -999,
                source_address: Any = None) -> str:
        # ftplib's connect, with the reply reader in place before the greeting.
        if host:
            self.host = host
        if port > 0:
            self.port = port
        if timeout != -999:
            self.timeout = timeout
        if self.timeout is not None and not self.timeout:
            raise ValueError("Non-blocking socket (timeout=0) is not supported")
        if source_address is not None:
            self.source_address = source_address
        self.sock = socket.create_connection((self.host, self.port), self.timeout,
                                             source_address=self.source_address)
        self.af = self.sock.family
        self._read_replies()
        welcome: str = self.getresp()
        self.welcome = welcome
        return welcome

    def getmultiline(self) -> str:
        reader: Any = self.file
        bounded = isinstance(reader, ReplyReader)
        if bounded and self.timeout is not None and reader.deadline is None:
            reader.deadline = time.monotonic() + self.timeout
        try:
            line: str = self.getline()
            if line[3:4] != "-":
                return line
            code, size, lines = line[:3], len(line), [line]
            while True:
                next_line: str = self.getline()
                size += len(next_line) + 1
                if size > self.limits.reply:
                    _give_up(self)
                    raise ServerLimit(f"{_where(self)} sent a reply longer than {self.limits.reply} bytes"
                                      " (maxreply)")
                lines.append(next_line)
                if next_line[:3] == code and next_line[3:4] != "-":
                    return "\n".join(lines)
        except TimeoutError:
            if bounded and reader.timed_out:
                _give_up(self)
                raise TimeoutError(f"{_where(self)} did not send a whole reply within {self.timeout:g} s") from None
            raise
        except ServerLimit as exc:
            _give_up(self)
            if str(exc).startswith("ftp"):
                raise
            raise ServerLimit(f"{_where(self)} sent {exc}") from None
        finally:
            if bounded:
                reader.deadline = None

    @property
    def maxline(self) -> int:
        return self.limits.line

    @maxline.setter
    def maxline(self, value: int) -> None:
        self.limits = dataclasses.replace(self.limits, line=value)

    def retrlines(self, cmd: str, callback: Callable[[str], Any] | None = None) -> str:
        if callback is None:
            callback = print
        self.sendcmd("TYPE A")
        with self.transfercmd(cmd) as conn:
            for line in read_lines(self, conn):
                callback(line)
            end_data(conn)
        reply: str = self.voidresp()
        return reply


class Client(Bounded, ftplib.FTP):
    """``ftplib.FTP`` that reads its server under bounds."""


def end_data(conn: socket.socket) -> None:
    """End a data connection's TLS layer in order (its close_notify), as
    ftplib's own transfers do before closing: vsftpd takes an upload whose
    TLS stream just stops for one cut short ("426 Failure reading network
    stream").  A plain connection has no such layer."""
    if isinstance(conn, ssl.SSLSocket):
        try:
            conn.unwrap()
        except (ssl.SSLError, OSError):
            pass  # the transfer's reply on the control connection decides


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
            _give_up(client)
            raise ServerLimit(f"{_where(client)} sent a listing longer than {limits.listing} bytes (maxlisting)")
        pending += block
        start = 0
        while (end := pending.find(b"\n", start)) >= 0:
            yield _line(pending, start, end, encoding)
            start = end + 1
        del pending[:start]
        if len(pending) > limits.listing_line:
            _give_up(client)
            raise ServerLimit(f"{_where(client)} sent a listing line longer than {limits.listing_line} bytes")
    if pending:
        yield _line(pending, 0, len(pending), encoding)


def _line(data: bytearray, start: int, end: int, encoding: str) -> str:
    if end > start and data[end - 1] == 0x0D:
        end -= 1
    return bytes(data[start:end]).decode(encoding, "surrogateescape")


def size_told(reply: str, client: Any = None) -> int:
    """The size in a ``213`` reply to SIZE.  Any other reply is
    `ftplib.error_reply`; a size no file can have is `ServerLimit`."""
    text = reply[3:].strip()
    if reply[:3] != "213" or not (text.isascii() and text.isdigit()):
        raise ftplib.error_reply(reply)
    if len(text) > 19 or int(text) > MAX_SIZE:
        raise ServerLimit(f"{_where(client) if client is not None else 'the server'} claims a size of"
                          f" {text[:40]} bytes, which no file has")
    return int(text)


def confirm_size(path: Any, client: ftplib.FTP, moved: int, where: str) -> None:
    """The one rule by which a transfer is confirmed: raise
    `dravlen.ftp.facts.IncompleteTransfer` unless the server's ``SIZE`` of
    *where* is *moved*.  A server that does not know SIZE (500, 502) cannot
    confirm; its closing reply is then taken.  Any other refusal confirms
    nothing, so the transfer is not taken as whole.  The client is still in
    binary mode from the transfer (servers refuse SIZE in ASCII mode)."""
    from dravlen.ftp.facts import IncompleteTransfer, not_understood

    try:
        reply = client.sendcmd("SIZE " + where)
    except ftplib.error_perm as exc:
        if "ascii" in str(exc).lower():
            # Right after a binary transfer the type is binary: the replies
            # read were not those of the commands sent.
            raise ftplib.error_temp(f"451 The size of '{path.path}' was refused in ASCII mode after a binary"
                                    f" transfer: the client is out of step ({exc})") from exc
        path._valid_reset()
        if not_understood(exc):
            return
        # Not confirmed is not whole (Pure-FTPd, say, stores a name with
        # a blank at its end under another name, and has no SIZE for it).
        raise IncompleteTransfer(
            f"426 Transfer of '{path.path}' not confirmed: {moved} bytes moved, but the server tells no size:"
            f" {exc}") from exc
    told = size_told(reply, client)
    if told != moved:
        raise IncompleteTransfer(f"426 Transfer of '{path.path}' incomplete: {moved} bytes moved, the server has {told}")
