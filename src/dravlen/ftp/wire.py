"""The wire: every byte that comes from an FTP server, and every data
connection, go through here.

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
  line at most `Limits.listing_line` bytes and all of them at most
  `Limits.listing`; the client's ``retrlines`` (which the core lists
  through) and `listing_lines` use it.
* `size_told` reads the size a ``213`` reply gives, and refuses one no file
  can have; `confirm_size` is the one rule by which a transfer is confirmed,
  the core's too.

A bound that is passed ends the client's session (the rest of what the server
sends is not read) and raises `ServerLimit`, naming the server and the
setting that bounds it.  The caps are set far above what an honest server
sends; a server's settings can move them (``maxreply``, ``maxlisting``).

Data connections are opened and ended here, at the fewest round trips:
`ask_passive` sends ``TYPE I``, the commands that want binary mode
(``SIZE``), ``PASV`` or ``EPSV`` and ``REST`` together (`send_together`),
`transfer_told` opens the connection to the address asked for, `open_data`
and `open_upload` do both for a path (an upload making missing folders only
where the server refused it), `listing_lines` reads a listing, `finish` ends
a transfer.  A refused transfer is worded by `why_not_read` and
`why_not_written`, after probing the path only on that failure.  Several
commands sent before their replies are read are all answered before anything
else happens: no `_valid_reset` runs between them, since it would take the
replies still to come for stale ones.

Replies are read by what they say, the odd servers' too: a transfer command
answered by its completion alone moved nothing (`opening`); a server that
answers commands sent together in another order gets them one at a time
from then on (`out_of_turn`, `ONE_BY_ONE`); one that reads nothing after
PASV until the data connection is made gets it first (`DATA_FIRST`).
"""

from __future__ import annotations

import dataclasses
import ftplib
import select
import socket
import ssl
import time
from collections.abc import Callable, Iterator
from pathlib import PurePosixPath
from typing import TYPE_CHECKING, Any, cast

from dravlen.ftp.facts import NO_MLST, IncompleteTransfer, abandon, command_text, lost, not_understood
from dravlen.ftp.dialects import (DATA_FIRST, ENDED_AT_ONCE, ONE_BY_ONE, TRANSFER_WORDS, opening, out_of_turn,
                                  word)
from dravlen.ftp.resync import hang_up

__all__ = [
    "Address", "Bounded", "Client", "Limits", "ReplyReader", "ServerLimit", "ask_passive", "confirm_size",
    "connect_passive", "direct",
    "end_data", "finish", "incomplete", "listing_lines", "no_delay", "open_data", "open_upload",
    "passive_address", "preliminary", "read_lines", "send_together", "size_told", "transfer",
    "transfer_told", "why_not_read", "why_not_written",
]

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
        return _list(self, cmd, print if callback is None else callback)

    def sendcmd(self, cmd: str) -> str:
        # ftplib's transfers (and the wire's) send their transfer command
        # here: its opening reply is read by `opening`.
        reply: str = super().sendcmd(cmd)
        if cmd.partition(" ")[0].upper() in TRANSFER_WORDS:
            return opening(self, reply)
        return reply

    def ntransfercmd(self, cmd: str, rest: int | str | None = None) -> tuple[socket.socket, int | None]:
        """ftplib's, but where a data connection was made already (see
        `send_together`) it is the one used, for the address it went to."""
        held = self.__dict__.pop(_HELD, None)
        if held is None or not self.passiveserver:
            if held is not None:
                held[1].close()
            return super().ntransfercmd(cmd, rest)
        address, conn = held
        try:
            target = self.makepasv()
            if target != address:
                conn.close()
                conn = socket.create_connection(target, self.timeout, source_address=self.source_address)
            if rest is not None:
                self.sendcmd(f"REST {rest}")
            resp = self.sendcmd(cmd)
            if resp[0] != "1":
                raise ftplib.error_reply(resp)
        except BaseException:
            conn.close()
            raise
        return conn, ftplib.parse150(resp) if resp[:3] == "150" else None

    def close(self) -> None:
        held = self.__dict__.pop(_HELD, None)
        if held is not None:
            held[1].close()
        super().close()


class Client(Bounded, ftplib.FTP):
    """``ftplib.FTP`` that reads its server under bounds."""


#: A data connection made before the transfer command, and the passive
#: address it went to; the next transfer to that address takes it.
_HELD = "_dravlen_held_data"

#: How long the reply to a command after PASV is awaited before the data
#: connection is made, in case the server waits for it.
DATA_GRACE = 0.25


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


# ---------------------------------------------------------------------------
# Data connections: opened and ended here, and nowhere else

#: The control socket of a client whose commands go out without Nagle's wait.
_NODELAY = "_dravlen_nodelay"


def no_delay(client: ftplib.FTP) -> None:
    """Let commands sent before the last one's reply go out at once: else
    Nagle's rule holds each back until the server acknowledges the one
    before, which it does with its reply (a round trip per command again).
    Once per connection."""
    sock: Any = client.sock
    if getattr(client, _NODELAY, None) is not sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        setattr(client, _NODELAY, sock)


def send_together(client: ftplib.FTP, commands: list[str]) -> list[str | ftplib.Error]:
    """Send *commands* at once, then read one reply to each, in order: one
    round trip.  A refusal takes its command's place in the list; a reply
    after which the conversation is lost is raised.

    A server that answers them in another order (a positive reply that
    cannot be its command's) has had all its replies read, so the client is
    in step: the commands are sent again one at a time, as they are to that
    client from then on (`ONE_BY_ONE`).  A command after ``PASV`` whose
    reply does not come at once may be waiting for the data connection
    (Twisted reads nothing after PASV until then): it is made, and kept for
    the transfer (`DATA_FIRST`)."""
    _drop_held(client)
    replies: list[str | ftplib.Error] = []
    if len(commands) > 1 and not getattr(client, ONE_BY_ONE, False):
        no_delay(client)
        for command in commands:
            client.putcmd(command)
        for _ in commands:
            replies.append(_reply(client, commands, replies))
        if not any(out_of_turn(command, reply) for command, reply in zip(commands, replies)):
            return replies
        _drop_held(client)
        setattr(client, ONE_BY_ONE, True)
        replies = []
    for command in commands:
        client.putcmd(command)
        replies.append(_reply(client, commands, replies))
    return replies


def _reply(client: ftplib.FTP, commands: list[str], before: list[str | ftplib.Error]) -> str | ftplib.Error:
    """The reply to the next of *commands* (*before* holds the replies read
    already), or the refusal it is."""
    at = len(before)
    if at and word(commands[at - 1]) in ("PASV", "EPSV"):
        _data_first(client, before[at - 1])
    try:
        reply: str = client.getresp()
    except ftplib.Error as exc:
        if lost(exc):
            raise
        return exc
    return reply


def _data_first(client: ftplib.FTP, passive: str | ftplib.Error) -> None:
    """Before the reply to a command sent after PASV (*passive* being PASV's
    reply): where it has not come within `DATA_GRACE` (at once, on a server
    known to wait so), make the data connection PASV asked for and keep it
    for the transfer.  Only where the wire opens the transfer (a plain
    client); elsewhere the reply is awaited as any other."""
    reader = client.file
    if (not isinstance(passive, str) or type(client).ntransfercmd is not Bounded.ntransfercmd
            or not isinstance(reader, ReplyReader) or reader.waiting()):
        return
    if not getattr(client, DATA_FIRST, False):
        poller = select.poll()
        poller.register(cast(socket.socket, client.sock), select.POLLIN)
        if poller.poll(int(DATA_GRACE * 1000)):
            return
        setattr(client, DATA_FIRST, True)
    try:
        address = passive_address(client, passive)
    except ftplib.Error:
        return  # no passive address: a reply out of turn, found once all are read
    client.__dict__[_HELD] = (address, connect_passive(client, address))


def _drop_held(client: ftplib.FTP) -> None:
    held = client.__dict__.pop(_HELD, None)
    if held is not None:
        held[1].close()


Address = tuple[str, int]


def ask_passive(client: ftplib.FTP, first: list[str], then: tuple[str, ...] = (),
                after: tuple[str, ...] = ()) -> tuple[list[str | ftplib.Error], Address | None]:
    """Send *first*, ``TYPE I``, *then* (commands that want binary mode, such
    as ``SIZE``), ``PASV`` (``EPSV`` over IPv6) and *after* (``REST``, which
    only the transfer command may follow) together; the replies to *first*,
    *then* and *after*, and the passive address (None for a client in
    active mode, whose PORT goes with the transfer)."""
    passive = ["PASV" if client.af == socket.AF_INET else "EPSV"] if client.passiveserver else []
    replies = send_together(client, [*first, "TYPE I", *then, *passive, *after])
    binary, address_at = len(first), len(first) + 1 + len(then)
    for reply in [replies[binary], *replies[address_at:address_at + len(passive)]]:
        if isinstance(reply, BaseException):
            raise reply  # every reply read: the client is in step
    answers = replies[:binary] + replies[binary + 1:address_at] + replies[address_at + len(passive):]
    if not passive:
        return answers, None
    reply = replies[address_at]
    assert isinstance(reply, str)
    return answers, passive_address(client, reply)


def passive_address(client: ftplib.FTP, reply: str) -> Address:
    """The data address a PASV (IPv4) or EPSV reply gives; as ftplib does,
    PASV's host is the control connection's peer unless the client trusts
    the server's."""
    peer = client.sock.getpeername()  # type: ignore[union-attr]
    if client.af == socket.AF_INET:
        host, port = ftplib.parse227(reply)
        if not getattr(client, "trust_server_pasv_ipv4_address", False):
            host = peer[0]
        return host, port
    return ftplib.parse229(reply, peer)


def transfer(path: Any, client: ftplib.FTP, address: Address | None, command: str) -> socket.socket:
    """Send *command* (RETR, STOR, APPE) to the passive *address*; the data
    connection.  A refusal is raised as the `ftplib.error_perm` it is, the
    client left in step."""
    return transfer_told(path, client, address, command)[0]


def transfer_told(path: Any, client: ftplib.FTP, address: Address | None,
                  command: str) -> tuple[socket.socket, int | None]:
    """`transfer`, and the size a RETR's opening reply tells ("150 ...
    (N bytes)"; None where it tells none)."""
    if address is not None:
        # ftplib's ntransfercmd (TLS wrapping and all) asks for the passive
        # address itself; here it was asked for already, with TYPE I.
        client.makepasv = lambda: address  # type: ignore[method-assign]
    try:
        return client.ntransfercmd(command)
    except ftplib.error_perm:
        path._valid_reset()
        raise
    finally:
        if address is not None:
            del client.makepasv


def open_data(path: Any, command: str) -> tuple[ftplib.FTP, socket.socket]:
    """Send *command* (RETR, STOR, APPE) in binary mode; the client and the
    data connection.  A refusal is raised as the `ftplib.error_perm` it is."""
    client = path.client
    _, address = ask_passive(client, [])
    return client, transfer(path, client, address, command)


def _folders_above(path: Any) -> list[PurePosixPath]:
    """The folders holding *path*, nearest first, without "/" and "."."""
    return [p for p in path.path.parents if p.name]


def _make_folders(path: Any, client: ftplib.FTP) -> Address | None:
    """After the server refused to store *path*: make the missing folders
    above it, and ask for the next passive address in the same round trip.

    Its own folder first (one missing level is the common case); where that
    is refused, every level at once, top first, in one more round trip:
    those that exist are refused and nothing else happens to them.  Its
    folder refused again means it is there (the refusal had another reason,
    or someone made it meanwhile) or cannot be made: the next STOR tells."""
    folders = _folders_above(path)
    replies, address = ask_passive(client, ["MKD " + folders[0].as_posix()] if folders else [])
    if not folders or not isinstance(replies[0], BaseException) or len(folders) == 1:
        return address
    down = folders[::-1]
    replies, address = ask_passive(client, ["MKD " + folder.as_posix() for folder in down])
    made = [folder for folder, reply in zip(down, replies) if not isinstance(reply, BaseException)]
    if made and made[-1] != folders[0]:
        raise PermissionError(
            f"'{path.path}': made the folder(s) {', '.join(map(str, made))} on the server, but not"
            f" '{folders[0]}': {replies[-1]}")
    if not made:
        for reply in replies:
            if isinstance(reply, ftplib.error_temp):
                raise reply  # a passing refusal: tried again
    return address


def why_not_written(path: Any, refused: ftplib.Error) -> OSError:
    """The error for a STOR or APPE the server refused, after probing what
    the path and its folder are (only on that failure)."""
    try:
        if path.info().kind == "dir":
            return IsADirectoryError(f"'{path.path}' is a directory.")
    except FileNotFoundError:
        pass
    folder = path.parent
    if folder.name:
        try:
            if folder.info().kind != "dir":
                return NotADirectoryError(f"'{path.path}': '{folder.path}' is no folder.")
        except FileNotFoundError:
            return FileNotFoundError(f"'{path.path}': its folder '{folder.path}' does not exist ({refused}).")
    return PermissionError(f"'{path.path}' cannot be written: {refused}")


def open_upload(path: Any) -> tuple[ftplib.FTP, socket.socket]:
    """STOR *path* at once; where that is refused because its folder is
    missing, make the folders and STOR again.  The client and the data
    connection."""
    command = "STOR " + command_text(path)
    try:
        return open_data(path, command)
    except ftplib.error_perm as exc:
        if not_understood(exc):
            raise why_not_written(path, exc) from exc
    client = path.client
    address = _make_folders(path, client)
    try:
        return client, transfer(path, client, address, command)
    except ftplib.error_perm as exc:
        raise why_not_written(path, exc) from exc


def why_not_read(path: Any, refused: ftplib.Error) -> OSError:
    """The error for a RETR the server refused, after probing what the path
    is (only on that failure)."""
    if not path.exists:
        return FileNotFoundError(f"'{path.path}' does not exist.")
    if path.is_dir():
        return IsADirectoryError(f"'{path.path}' is a directory.")
    return PermissionError(f"'{path.path}' cannot be read: {refused}")


def listing_lines(path: Any, command: str) -> list[str]:
    """The lines a listing command sends over its data connection, read by
    the wire under its bounds (a line ends at LF alone).

    Every exception while the transfer is open leaves the thread's client in
    step (its closing reply read, a NOOP round) or ends it: a
    KeyboardInterrupt abandons it at once rather than wait on the server."""
    lines: list[str] = []
    try:
        _list(path.client, command, lines.append)
    except KeyboardInterrupt:
        abandon(path)
        raise
    except BaseException:
        # A refusal after the transfer was read whole; anything else leaves
        # the closing reply to come: _valid_reset tells the two apart.
        path._valid_reset()
        raise
    return lines


def _list(client: ftplib.FTP, command: str, callback: Callable[[str], Any]) -> str:
    """Send the listing *command* in ASCII mode and hand each line to
    *callback* as it comes (`read_lines`); the closing reply."""
    client.voidcmd("TYPE A")
    with client.transfercmd(command) as conn:
        if not getattr(client, ENDED_AT_ONCE, False):  # else the listing is empty
            for line in read_lines(client, conn):
                callback(line)
        return finish(client, conn)


def direct(client: ftplib.FTP) -> bool:
    """Whether a transfer's data connection can be opened here rather than by
    ftplib: plain FTP (no TLS layer to add), passive, IPv4."""
    return (type(client).ntransfercmd in (ftplib.FTP.ntransfercmd, Bounded.ntransfercmd)
            and bool(client.passiveserver) and client.af == socket.AF_INET)


def preliminary(client: ftplib.FTP) -> None:
    """Read the reply that opens a transfer (150), as ftplib's transfercmd
    does; a completion instead is a transfer of nothing (`opening`)."""
    resp = opening(client, client.getresp())
    if resp[0] != "1":
        raise ftplib.error_reply(resp)


def connect_passive(client: ftplib.FTP, address: Address) -> socket.socket:
    """A plain data connection to the passive *address* (a `direct`
    client's, whose transfer command the caller sends itself)."""
    return socket.create_connection(address, client.timeout, source_address=client.source_address)


def finish(client: ftplib.FTP, conn: socket.socket) -> str:
    """End a transfer whose data has all gone or come: the data connection
    ended in order and closed, then the transfer's closing reply read."""
    end_data(conn)
    conn.close()
    reply: str = client.voidresp()
    return reply


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
    `dravlen.ftp.facts.IncompleteTransfer` unless the size the server tells
    for *where* is *moved*: its ``SIZE``, or where it does not know SIZE
    (500, 502) the size fact of its ``MLST`` (aioftp has that, not SIZE).
    A server that tells neither cannot confirm; its closing reply is then
    taken.  Any other refusal confirms nothing, so the transfer is not taken
    as whole.  The client is still in binary mode from the transfer (servers
    refuse SIZE in ASCII mode)."""
    try:
        reply = client.sendcmd("SIZE " + where)
    except ftplib.error_perm as exc:
        if "ascii" in str(exc).lower():
            # Right after a binary transfer the type is binary: the replies
            # read were not those of the commands sent.
            raise ftplib.error_temp(f"451 The size of '{path.path}' was refused in ASCII mode after a binary"
                                    f" transfer: the client is out of step ({exc})") from exc
        path._valid_reset()
        if not not_understood(exc):
            # Not confirmed is not whole (Pure-FTPd, say, stores a name with
            # a blank at its end under another name, and has no SIZE for it).
            raise _unconfirmed(path, moved, exc) from exc
        told = _listed_size(path, client, moved, where)
    else:
        told = size_told(reply, client)
    if told is not None and told != moved:
        raise incomplete(path, moved, told)


def _unconfirmed(path: Any, moved: int, exc: ftplib.Error) -> IncompleteTransfer:
    return IncompleteTransfer(
        f"426 Transfer of '{path.path}' not confirmed: {moved} bytes moved, but the server tells no size: {exc}")


def _listed_size(path: Any, client: ftplib.FTP, moved: int, where: str) -> int | None:
    """The size fact of *where*'s ``MLST`` entry; None where the server has
    no MLST (remembered, `NO_MLST`) or its entry tells no size."""
    if getattr(client, NO_MLST, False):
        return None
    try:
        reply = client.sendcmd("MLST " + where)
    except ftplib.error_perm as exc:
        path._valid_reset()
        if not not_understood(exc):
            raise _unconfirmed(path, moved, exc) from exc
        setattr(client, NO_MLST, True)
        return None
    for line in reply.split("\n")[1:]:
        if line.startswith(" "):  # the entry: " fact=value;...; path"
            for fact in line[1:].partition(" ")[0].split(";"):
                name, _, value = fact.partition("=")
                if name.lower() == "size":
                    return size_told("213 " + value, client)
            return None
    return None


def incomplete(path: Any, moved: int, told: int) -> IncompleteTransfer:
    """The error of a transfer that moved *moved* bytes of a file the server
    says holds *told*."""
    return IncompleteTransfer(f"426 Transfer of '{path.path}' incomplete: {moved} bytes moved, the server has {told}")
