"""The names pathlib users type, on `RemotePath`, each at the fewest round trips.

`PureNames` are the path-only ones (``suffix``, ``parents``, ``with_name``,
``/`` on either side, ...): no server is asked.  `Everyday` holds the ones
that talk to the server (``read_bytes``, ``write_text``, ``is_file``,
``stat``, ``unlink``, ``touch``).

What a round trip costs, not a command, decides how they talk:

* a transfer sends ``TYPE I`` and ``PASV`` together and reads both replies
  (`open_data`): one wait instead of two;
* an upload sends ``STOR`` at once, and makes missing folders only when the
  server refused it and a folder made then shows that was why, the ``MKD``
  sent with the next ``TYPE I`` and ``PASV`` (`open_upload`);
* ``read_bytes`` asks for the ``SIZE`` in the same round trip as ``TYPE I``
  and ``PASV``, and the bytes that come must be that many (`read_whole`):
  three waits where a ``SIZE`` after the transfer makes four; a server whose
  ``RETR`` reply tells the same size is taken at its word from then on.

Several commands sent before their replies are read are all answered before
anything else happens here: no `_valid_reset` runs between them, since it
would take the replies still to come for stale ones.
"""

from __future__ import annotations

import ftplib
import io
import os
import socket
import stat as stat_module
import time
from pathlib import PurePath, PurePosixPath
from typing import IO, TYPE_CHECKING, Any, NamedTuple, Self

from dravlen.base import BasePath
from dravlen.ftp.facts import NO_MFMT, command_text, lost, not_understood, operation, set_time
from dravlen.ftp.wire import size_told
from dravlen.ftp.streams import Download, open_transfer
from dravlen.ftp.tls import end_data

if TYPE_CHECKING:
    from dravlen.ftp.listing import Entry

__all__ = ["Everyday", "PureNames", "Stat", "ask_passive", "no_delay", "open_data", "open_upload", "passive_address",
           "read_whole", "send_together", "transfer", "transfer_told"]


# -- the wire --------------------------------------------------------------

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
    after which the conversation is lost is raised."""
    if len(commands) > 1:
        no_delay(client)
    for command in commands:
        client.putcmd(command)
    replies: list[str | ftplib.Error] = []
    for _ in commands:
        try:
            replies.append(client.getresp())
        except ftplib.Error as exc:
            if lost(exc):
                raise
            replies.append(exc)
    return replies


Address = tuple[str, int]


def ask_passive(client: ftplib.FTP, first: list[str],
                then: tuple[str, ...] = ()) -> tuple[list[str | ftplib.Error], Address | None]:
    """Send *first*, ``TYPE I``, *then* (commands that want binary mode, such
    as ``SIZE``) and ``PASV`` (``EPSV`` over IPv6) together; the replies to
    *first* and *then*, and the passive address (None for a client in active
    mode, which gets its TYPE I with the transfer)."""
    passive = client.passiveserver
    binary = ["TYPE I", *then] if then or passive else []
    commands = [*first, *binary, *(["PASV" if client.af == socket.AF_INET else "EPSV"] if passive else [])]
    replies = send_together(client, commands) if commands else []
    for reply in ([replies[len(first)]] if binary else []) + (replies[-1:] if passive else []):
        if isinstance(reply, BaseException):
            raise reply  # every reply read: the client is in step
    answers = replies[:len(first)] + replies[len(first) + 1:len(first) + len(binary)]
    if not passive:
        return answers, None
    reply = replies[-1]
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
    if address is None:
        return open_transfer(path, command)[1], None
    # ftplib's ntransfercmd (TLS wrapping and all) asks for the passive
    # address itself; here it was asked for already, with TYPE I.
    client.makepasv = lambda: address  # type: ignore[method-assign]
    try:
        return client.ntransfercmd(command)
    except ftplib.error_perm:
        path._valid_reset()
        raise
    finally:
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


def _why_not_written(path: Any, refused: ftplib.Error) -> OSError:
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
            raise _why_not_written(path, exc) from exc
    client = path.client
    address = _make_folders(path, client)
    try:
        return client, transfer(path, client, address, command)
    except ftplib.error_perm as exc:
        raise _why_not_written(path, exc) from exc


def _why_not_read(path: Any, refused: ftplib.Error) -> OSError:
    """The error for a RETR the server refused, after probing what the path
    is (only on that failure)."""
    if not path.exists:
        return FileNotFoundError(f"'{path.path}' does not exist.")
    if path.is_dir():
        return IsADirectoryError(f"'{path.path}' is a directory.")
    return PermissionError(f"'{path.path}' cannot be read: {refused}")


#: Learnt on a client: its server's RETR opening reply tells the file's size
#: ("150 ... (N bytes)", vsftpd and ProFTPD do), and told what SIZE did.
SIZE_ON_OPENING = "_dravlen_size_on_opening"


def _size_or_none(reply: str | ftplib.Error) -> int | None:
    if isinstance(reply, str):
        try:
            return size_told(reply)
        except ftplib.error_reply:
            pass
    return None


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
    expected = _size_or_none(replies[0]) if replies else None
    try:
        conn, opened = transfer_told(path, client, address, "RETR " + where)
    except ftplib.error_perm as exc:
        raise _why_not_read(path, exc) from exc
    if on_opening:
        expected = opened  # None where it told none this time: SIZE after the transfer
    elif plain and expected is not None and opened == expected:
        setattr(client, SIZE_ON_OPENING, True)
    with Download(path, client, conn, expected) as raw:
        data: bytes = raw.readall()
    return data


# -- the path alone ---------------------------------------------------------

def _part(path: BasePath, other: Any) -> Any:
    """*other* as a part to join to *path*: its path where it is one of this
    class's, a TypeError where it is another server's."""
    if isinstance(other, BasePath):
        if type(other) is not type(path):
            raise TypeError(f"cannot join '{path.path}' and {other!r}: another server's path")
        return other.path
    return other


class PureNames:
    """pathlib's names that need no server, on the path object's own class."""

    __slots__ = ()
    path: PurePosixPath

    @property
    def suffix(self) -> str:
        return self.path.suffix

    @property
    def suffixes(self) -> list[str]:
        return self.path.suffixes

    @property
    def stem(self) -> str:
        return self.path.stem

    @property
    def parts(self) -> tuple[str, ...]:
        return self.path.parts

    @property
    def parents(self) -> tuple[Self, ...]:
        return tuple(type(self)(p) for p in self.path.parents)  # type: ignore[call-arg]

    def with_name(self, name: str) -> Self:
        return type(self)(self.path.with_name(name))  # type: ignore[call-arg]

    def with_stem(self, stem: str) -> Self:
        return type(self)(self.path.with_stem(stem))  # type: ignore[call-arg]

    def with_suffix(self, suffix: str) -> Self:
        return type(self)(self.path.with_suffix(suffix))  # type: ignore[call-arg]

    def joinpath(self, *others: str | os.PathLike[str] | BasePath) -> Self:
        assert isinstance(self, BasePath)
        return type(self)(self.path.joinpath(*(_part(self, o) for o in others)))

    def __truediv__(self, other: str | os.PathLike[str] | BasePath) -> Self:
        return self.joinpath(other)

    def __rtruediv__(self, other: str | os.PathLike[str]) -> Self:
        if not isinstance(other, (str, PurePath, os.PathLike)) or isinstance(other, BasePath):
            return NotImplemented
        return type(self)(PurePosixPath(other) / self.path)  # type: ignore[call-arg]

    def match(self, pattern: str) -> bool:
        return self.path.match(pattern)


# -- the path on its server ---------------------------------------------------

_MODES = {"dir": stat_module.S_IFDIR, "file": stat_module.S_IFREG, "link": stat_module.S_IFLNK}


class Stat(NamedTuple):
    """What `Everyday.stat` tells: the kind ("file", "dir", "link", "other"),
    the size in bytes (None for a directory) and the modification time as a
    UTC timestamp (None where the server does not tell it)."""

    kind: str
    st_size: int | None
    st_mtime: float | None

    @property
    def st_mode(self) -> int:
        """The type bits of the kind (``stat.S_ISDIR`` and the like work);
        no permission bits, which FTP does not tell in a standard way."""
        return _MODES.get(self.kind, 0)


class Everyday(PureNames):
    """pathlib's names that talk to the server."""

    __slots__ = ()

    if TYPE_CHECKING:
        client: ftplib.FTP
        exists: bool

        def info(self) -> Entry: ...
        def _size_command(self) -> int: ...
        def _valid_reset(self) -> None: ...
        def open(self, mode: str, *, encoding: str | None = ..., errors: str | None = ...,
                 newline: str | None = ...) -> IO[Any]: ...

    def stat(self) -> Stat:
        """Kind, size and modification time: one ``MLST`` where the server has
        it (plus one ``SIZE`` for a file whose size it leaves out); else the
        path's line in its parent's listing.  FileNotFoundError if there is
        nothing."""
        entry = self.info()
        size = entry.size
        if size is None and entry.kind == "file":
            size = self._size_command()
        when = entry.mtime.timestamp() if entry.mtime is not None else None
        return Stat(entry.kind, size if entry.kind != "dir" else None, when)

    def is_file(self) -> bool:
        """Whether the path is a file (as the server's ``MLST`` or listing
        tells: a link, where the server shows it as one, is not)."""
        try:
            return self.info().kind == "file"
        except FileNotFoundError:
            return False

    @operation
    def read_bytes(self) -> bytes:
        """The whole file: one ``RETR``, as many bytes as ``SIZE`` told."""
        return read_whole(self)

    @operation
    def read_text(self, encoding: str | None = None, errors: str | None = None,
                  newline: str | None = None) -> str:
        """The whole file decoded (UTF-8 unless *encoding* says otherwise),
        newlines as `open` reads them."""
        buffer = io.BytesIO()
        # Made first: an unknown encoding or newline is refused before any transfer.
        with io.TextIOWrapper(buffer, encoding=encoding or "utf-8", errors=errors, newline=newline) as reader:
            buffer.write(read_whole(self))
            buffer.seek(0)
            return reader.read()

    @operation
    def write_bytes(self, data: Any) -> int:
        """Replace the file with *data* (bytes-like), making missing folders;
        the number of bytes.  Confirmed by ``SIZE``."""
        view = memoryview(data)
        with self.open("wb") as writer:
            writer.write(view)
        return view.nbytes

    @operation
    def write_text(self, data: str, encoding: str | None = None, errors: str | None = None,
                   newline: str | None = None) -> int:
        """Replace the file with *data* encoded (UTF-8 unless *encoding* says
        otherwise; ``"\\n"`` written as *newline*, as `open` does); the
        number of characters."""
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        with self.open("w", encoding=encoding, errors=errors, newline=newline) as writer:
            written: int = writer.write(data)
        return written

    @operation
    def unlink(self, missing_ok: bool = False) -> None:
        """Remove the file or link (``DELE``).  FileNotFoundError if nothing is
        there (unless *missing_ok*), IsADirectoryError for a directory."""
        where = command_text(self)
        try:
            self.client.delete(where)
        except ftplib.error_perm as exc:
            self._valid_reset()
            if not_understood(exc):
                raise
            try:
                kind = self.info().kind
            except FileNotFoundError:
                if missing_ok:
                    return
                raise FileNotFoundError(f"'{self.path}' does not exist.") from exc
            if kind == "dir":
                raise IsADirectoryError(f"'{self.path}' is a directory.") from exc
            raise PermissionError(f"'{self.path}' cannot be removed: {exc}") from exc

    @operation
    def touch(self, exist_ok: bool = True) -> None:
        """Make the file, empty, where nothing is; an existing one keeps its
        bytes and gets the time now where the server sets times (``MFMT``),
        else is left as it was.  FileExistsError when something is there and
        not *exist_ok*; the folder is not made (FileNotFoundError)."""
        where = command_text(self)
        client = self.client
        if not exist_ok:
            if self.exists:
                raise FileExistsError(f"'{self.path}' exists.")
        elif not hasattr(client, NO_MFMT):
            try:
                if set_time(client, where, time.time()):
                    return
            except ftplib.error_perm:
                self._valid_reset()  # nothing there, say: made below
        # Appending nothing makes a missing file and leaves one that is
        # there (or came meanwhile) as it was, where STOR would empty it.
        try:
            client, conn = open_data(self, "APPE " + where)
        except ftplib.error_perm as exc:
            raise _why_not_written(self, exc) from exc
        end_data(conn)
        conn.close()
        client.voidresp()
        name = self.path.name
        if name != name.strip():
            # Some servers (Pure-FTPd) store a name with blanks at its ends
            # under another name and say nothing: ask for it by its own.
            try:
                client.sendcmd("SIZE " + where)
            except ftplib.error_perm as exc:
                self._valid_reset()
                if not not_understood(exc):
                    raise FileNotFoundError(
                        f"the server took '{self.path}' but has nothing by that name: it changed"
                        " the name (blanks at either end?)") from exc
