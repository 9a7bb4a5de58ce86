"""A transfer of a path: opened (`open_data`, `open_upload`, which makes
missing folders only where the server refused), a listing read
(`listing_lines`), a refusal worded (`why_not_read`, `why_not_written`), and
the one rule that confirms a transfer (`confirm_size`), the core's too."""

from __future__ import annotations

import ftplib
import socket
from pathlib import PurePosixPath
from typing import Any

from dravlen.ftp.wire.bounds import MAX_SIZE, ServerLimit, server_of
from dravlen.ftp.wire.client import Address, ask_passive, list_into, transfer
from dravlen.ftp.wire.dialects import NO_MLST, features
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.replies import IncompleteTransfer, abandon, not_understood




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


def restarts(client: ftplib.FTP) -> bool:
    """Whether the server says in its ``FEAT`` that ``REST`` goes with every
    transfer (``REST STREAM``), ``STOR`` among them."""
    return features(client).get("REST", "").upper().startswith("STREAM")


def open_continued(path: Any, offset: int) -> tuple[ftplib.FTP, socket.socket]:
    """Continue the upload of *path*, whose first *offset* bytes the server
    has: ``REST`` and ``STOR`` where the server offers ``REST STREAM``, else
    (or where it refuses them) ``APPE``.  The client and the data
    connection.  Where the server takes neither, the last refusal is raised
    (4xx too: ProFTPD answers 451 for good where it allows no restart); it
    was read whole, so the client is in step."""
    where = command_text(path)
    client = path.client
    if restarts(client):
        answers, address = ask_passive(client, [], after=(f"REST {offset}",))
        if not isinstance(answers[0], BaseException):
            try:
                return client, transfer(path, client, address, "STOR " + where)
            except (ftplib.error_perm, ftplib.error_temp):
                pass  # ProFTPD takes REST, then refuses STOR after it unless AllowStoreRestart
    return open_data(path, "APPE " + where)


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
        list_into(path.client, command, lines.append)
    except KeyboardInterrupt:
        abandon(path)
        raise
    except BaseException:
        # A refusal after the transfer was read whole; anything else leaves
        # the closing reply to come: _valid_reset tells the two apart.
        path._valid_reset()
        raise
    return lines



def size_told(reply: str, client: Any = None) -> int:
    """The size in a ``213`` reply to SIZE.  Any other reply is
    `ftplib.error_reply`; a size no file can have is `ServerLimit`."""
    text = reply[3:].strip()
    if reply[:3] != "213" or not (text.isascii() and text.isdigit()):
        raise ftplib.error_reply(reply)
    if len(text) > 19 or int(text) > MAX_SIZE:
        raise ServerLimit(f"{server_of(client) if client is not None else 'the server'} claims a size of"
                          f" {text[:40]} bytes, which no file has")
    return int(text)


def size_or_none(reply: str | ftplib.Error) -> int | None:
    """The size a reply to SIZE sent with others tells; None for a refusal
    or a reply that tells none (a size no file can have is still raised)."""
    if isinstance(reply, str):
        try:
            return size_told(reply)
        except ftplib.error_reply:
            pass
    return None


def confirm_size(path: Any, client: ftplib.FTP, moved: int, where: str,
                 answer: str | ftplib.Error | None = None) -> None:
    """The one rule by which a transfer is confirmed: raise
    `IncompleteTransfer` unless the size the server tells
    for *where* is *moved*: its ``SIZE``, or where it does not know SIZE
    (500, 502) the size fact of its ``MLST`` (aioftp has that, not SIZE).
    A server that tells neither cannot confirm; its closing reply is then
    taken.  Any other refusal confirms nothing, so the transfer is not taken
    as whole.  The client is still in binary mode from the transfer (servers
    refuse SIZE in ASCII mode).  *answer* is the reply to a SIZE sent
    already, with other commands."""
    try:
        if isinstance(answer, ftplib.Error):
            raise answer
        reply = answer if answer is not None else client.sendcmd("SIZE " + where)
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
