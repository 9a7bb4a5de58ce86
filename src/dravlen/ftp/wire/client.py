"""The client class the wire reads through (`Client`, and the `Bounded`
mixin the TLS client shares), commands sent together (`send_together`),
and data connections opened and ended at the fewest round trips
(`ask_passive`, `transfer`, `finish`)."""

from __future__ import annotations

import dataclasses
import errno
import ftplib
import os
import select
import socket
import ssl
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, cast

from dravlen.ftp.wire.bounds import DEFAULT, Limits, ReplyReader, ServerLimit, give_up, server_of, read_lines
from dravlen.ftp.wire.dialects import DATA_FIRST, ENDED_AT_ONCE, ONE_BY_ONE, TRANSFER_WORDS, opening, out_of_turn, word
from dravlen.ftp.wire.replies import lost

if TYPE_CHECKING:
    from dravlen.ftp.wire.proxy import Route

#: TCP keepalives of a control connection: first probe after this many
#: idle seconds, then one every so many, given up after so many unanswered.
#: A NAT or firewall that forgets an idle connection within minutes then
#: keeps it through an hour-long transfer, while the data connection works.
KEEPALIVE = {"TCP_KEEPIDLE": 60, "TCP_KEEPINTVL": 15, "TCP_KEEPCNT": 4}


def keep_alive(sock: socket.socket) -> None:
    """Turn on TCP keepalives on *sock*, with `KEEPALIVE`'s timing where the
    platform lets it be set (macOS names the idle time TCP_KEEPALIVE).  A
    platform that refuses one keeps its default: it costs the connection
    nothing."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    except OSError:
        return
    for name, value in KEEPALIVE.items():
        option = getattr(socket, name, None)
        if option is None and name == "TCP_KEEPIDLE":
            option = getattr(socket, "TCP_KEEPALIVE", None)
        if option is not None:
            try:
                sock.setsockopt(socket.IPPROTO_TCP, option, value)
            except OSError:
                pass


# The mixin is typed as the ftplib client it is mixed into.
if TYPE_CHECKING:
    _Client = ftplib.FTP
else:
    _Client = object


class Bounded(_Client):
    """What makes an ``ftplib.FTP`` client read its server under bounds (see
    the module's text); mixed in before the ftplib class."""

    limits: Limits = DEFAULT
    #: The proxy every connection goes through (`dravlen.ftp.wire.proxy`),
    #: None for none; and the host it is asked for, the control's and data's.
    route: Route | None = None
    data_host: str = ""

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
        if self.route is None:
            self.sock = socket.create_connection((self.host, self.port), self.timeout,
                                                 source_address=self.source_address)
            self.af = self.sock.family
        else:
            # Through the proxy; data connections go where this one went.
            self.data_host, self.af = self.route.proxy.target(self.host, self.port)
            self.sock = self.route.open(self.data_host, self.port, self.timeout, self.source_address)
        keep_alive(self.sock)  # before TLS, if any, wraps it
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
                    give_up(self)
                    raise ServerLimit(f"{server_of(self)} sent a reply longer than {self.limits.reply} bytes"
                                      " (maxreply)")
                lines.append(next_line)
                if next_line[:3] == code and next_line[3:4] != "-":
                    return "\n".join(lines)
        except TimeoutError:
            if bounded and reader.timed_out:
                give_up(self)
                raise TimeoutError(f"{server_of(self)} did not send a whole reply within {self.timeout:g} s") from None
            raise
        except ServerLimit as exc:
            give_up(self)
            if str(exc).startswith("ftp"):
                raise
            raise ServerLimit(f"{server_of(self)} sent {exc}") from None
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
        return list_into(self, cmd, print if callback is None else callback)

    def sendcmd(self, cmd: str) -> str:
        # ftplib's transfers (and the wire's) send their transfer command
        # here: its opening reply is read by `opening`.
        reply: str = super().sendcmd(cmd)
        if cmd.partition(" ")[0].upper() in TRANSFER_WORDS:
            return opening(self, reply)
        return reply

    def makepasv(self) -> tuple[str, int]:
        # ftplib's, by `passive_address` (which knows a proxy's route).
        return passive_address(self, self.sendcmd("PASV" if self.af == socket.AF_INET else "EPSV"))

    def ntransfercmd(self, cmd: str, rest: int | str | None = None) -> tuple[socket.socket, int | None]:
        """ftplib's for a plain data connection (the TLS client wraps it),
        opened by `connect_passive`; where a data connection was made already
        (see `send_together`) it is the one used, for the address it went to."""
        held = self.__dict__.pop(_HELD, None)
        if not self.passiveserver:
            if held is not None:
                held[1].close()
            refuse_active(self)
            return ftplib.FTP.ntransfercmd(self, cmd, rest)
        address, conn = held if held is not None else (None, None)
        try:
            target = self.makepasv()
            if target != address:
                if conn is not None:
                    conn.close()
                conn = connect_passive(self, target)
            if rest is not None:
                self.sendcmd(f"REST {rest}")
            resp = self.sendcmd(cmd)
            if resp[0] == "2":  # as ftplib: a 200 before the 150 of a command `opening` does not read
                resp = self.getresp()
            if resp[0] != "1":
                raise ftplib.error_reply(resp)
        except BaseException:
            if conn is not None:
                conn.close()
            raise
        return cast(socket.socket, conn), ftplib.parse150(resp) if resp[:3] == "150" else None

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
    the server's.  Through a proxy the control connection's peer is the
    proxy: the host is the one the proxy was asked for, always."""
    route = getattr(client, "route", None)
    peer = ((client.data_host, client.port) if route is not None  # type: ignore[attr-defined]
            else client.sock.getpeername())  # type: ignore[union-attr]
    if client.af == socket.AF_INET:
        host, port = ftplib.parse227(reply)
        if route is not None or not getattr(client, "trust_server_pasv_ipv4_address", False):
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
    if address is not None and direct(client) and _HELD not in client.__dict__:
        return _overlapped(path, client, address, command)
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


def _overlapped(path: Any, client: ftplib.FTP, address: Address,
                command: str) -> tuple[socket.socket, int | None]:
    """`transfer_told` for a `direct` client: the data connection's handshake
    and the transfer command travel at once (one round trip where ftplib
    takes two); nothing goes on the connection before the opening reply."""
    conn = start_passive(client, address)
    try:
        resp = client.sendcmd(command)
        if resp[0] != "1":
            raise ftplib.error_reply(resp)
        connected(conn, client.timeout)
    except ftplib.error_perm:
        conn.close()
        if path is not None:
            path._valid_reset()
        raise
    except BaseException:
        conn.close()
        raise
    return conn, ftplib.parse150(resp) if resp[:3] == "150" else None


def passive_ipv4(client: ftplib.FTP) -> bool:
    """Whether *client*'s data connections come from PASV replies (passive
    mode over IPv4), the ones that can be asked ahead."""
    return bool(client.passiveserver) and client.af == socket.AF_INET


def direct(client: ftplib.FTP) -> bool:
    """Whether a transfer's data connection can be opened here rather than by
    ftplib: plain FTP (no TLS layer to add), passive, IPv4."""
    return type(client).ntransfercmd in (ftplib.FTP.ntransfercmd, Bounded.ntransfercmd) and passive_ipv4(client)


def preliminary(client: ftplib.FTP) -> None:
    """Read the reply that opens a transfer (150), as ftplib's transfercmd
    does; a completion instead is a transfer of nothing (`opening`)."""
    resp = opening(client, client.getresp())
    if resp[0] != "1":
        raise ftplib.error_reply(resp)


def connect_passive(client: ftplib.FTP, address: Address) -> socket.socket:
    """A plain data connection to the passive *address* (a `direct`
    client's, whose transfer command the caller sends itself), through the
    client's proxy where it has one."""
    route: Route | None = getattr(client, "route", None)
    if route is not None:
        return route.open(address[0], address[1], client.timeout, client.source_address,
                          what=f"the data connection to port {address[1]}")
    return socket.create_connection(address, client.timeout, source_address=client.source_address)


def refuse_active(client: ftplib.FTP) -> None:
    """Active mode through a proxy cannot work: the server would connect
    back to the proxy's side.  The settings refuse it first; this holds for
    a client set to active mode after."""
    route: Route | None = getattr(client, "route", None)
    if route is not None:
        raise route.refuses_active()


def start_passive(client: ftplib.FTP, address: Address) -> socket.socket:
    """A plain data connection to the passive *address* whose TCP handshake
    has begun but is not awaited, so that the transfer command can go out
    meanwhile; `connected` waits for it.  Every server tried takes the
    command before its data connection (it waits for the connection, as it
    does in active mode)."""
    if getattr(client, "route", None) is not None:
        return connect_passive(client, address)  # a tunnel is whole once the proxy has answered
    conn = socket.socket(client.af, socket.SOCK_STREAM)
    try:
        if client.source_address is not None:
            conn.bind(client.source_address)
        conn.setblocking(False)
        failed = conn.connect_ex(address)
        if failed not in (0, errno.EINPROGRESS):
            raise OSError(failed, f"{os.strerror(failed)}: the data connection to {address[0]}:{address[1]}")
    except BaseException:
        conn.close()
        raise
    return conn


def connected(conn: socket.socket, timeout: Any) -> socket.socket:
    """*conn* from `start_passive`, once its handshake is done; then it
    blocks, with *timeout* (a client's: ftplib's stand-in for "the default"
    too), as ftplib's data connections do."""
    if not isinstance(timeout, (int, float)):
        timeout = socket.getdefaulttimeout()
    if not select.select([], [conn], [], timeout)[1]:
        raise TimeoutError(f"the data connection was not made within {timeout} s")
    failed = conn.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
    if failed:
        raise OSError(failed, f"{os.strerror(failed)}: the data connection")  # its subclass, by errno
    conn.settimeout(timeout)
    return conn


def finish(client: ftplib.FTP, conn: socket.socket) -> str:
    """End a transfer whose data has all gone or come: the data connection
    ended in order and closed, then the transfer's closing reply read."""
    end_data(conn)
    conn.close()
    reply: str = client.voidresp()
    return reply


def finish_then(client: ftplib.FTP, conn: socket.socket, commands: list[str]) -> list[str | ftplib.Error]:
    """`finish`, with *commands* sent as soon as the data has all gone and
    their replies read after the transfer's closing reply: a round trip
    sooner, for a server that reads them only once the transfer has ended
    (`waits_out_transfers`).  Their replies (or refusals), in order; a
    failed transfer is raised once they are read, the client in step."""
    end_data(conn)
    conn.close()
    no_delay(client)
    for command in commands:
        client.putcmd(command)
    replies: list[str | ftplib.Error] = []
    try:
        client.voidresp()
    except ftplib.Error as exc:
        if lost(exc):
            raise
        for _ in commands:
            replies.append(_reply(client, commands, replies))
        raise
    for _ in commands:
        replies.append(_reply(client, commands, replies))
    if any(out_of_turn(command, reply) for command, reply in zip(commands, replies)):
        raise ftplib.error_proto(f"replies out of turn after a transfer: {replies!r:.200}")
    return replies


def list_into(client: ftplib.FTP, command: str, callback: Callable[[str], Any]) -> str:
    """Send the listing *command* in ASCII mode and hand each line to
    *callback* as it comes (`read_lines`); the closing reply."""
    if direct(client):
        # TYPE A and PASV in one round trip; the handshake beside the command.
        replies = send_together(client, ["TYPE A", "PASV"])
        for reply in replies:
            if isinstance(reply, BaseException):
                raise reply  # every reply read: the client is in step
        conn = _overlapped(None, client, passive_address(client, cast(str, replies[1])), command)[0]
    else:
        client.voidcmd("TYPE A")
        conn = client.transfercmd(command)
    with conn:
        if not getattr(client, ENDED_AT_ONCE, False):  # else the listing is empty
            for line in read_lines(client, conn):
                callback(line)
        return finish(client, conn)
