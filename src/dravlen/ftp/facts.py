"""What the FTP modules all know, each fact written once: how a reply is
classed, what a client has learnt about its server, the text a path may
carry in a command, a name a listing may give, and the reason an error
gives.  How a transfer is confirmed lives in `dravlen.ftp.wire`.

The core (`dravlen.ftp.path`) keeps its own copies of the capability names
and of the path check, in C++; tests/test_remote.py holds the two sides
to the same names and the same messages.
"""

from __future__ import annotations

import ftplib
import functools
from datetime import datetime, timedelta, timezone
from collections.abc import Callable
from typing import Any, TypeVar, cast

from dravlen.base import Retry, retry

__all__ = [
    "HOME", "LIST_ZONE", "NO_MDTM", "NO_MFMT", "NO_MLSD", "NO_MLST", "PLAIN_LIST", "RETRY", "IncompleteTransfer", "busy", "child_name", "command_text",
    "drop_on_interrupt", "lost", "not_understood", "operation", "reason", "server_time", "time_told", "utc_time",
]

# -- what a client has learnt about its server ---------------------------
# Set as attributes on the ftplib client, so that they go with it when it is
# replaced; the core reads and sets the same names.

#: The server does not know MLST.
NO_MLST = "_dravlen_no_mlst"
#: The server does not know MLSD.
NO_MLSD = "_dravlen_no_mlsd"
#: The server takes "LIST -a" for a path: list without options.
PLAIN_LIST = "_dravlen_plain_list"
#: The login directory, as PWD gave it.
HOME = "_dravlen_home"

CAPABILITIES = (NO_MLST, NO_MLSD, PLAIN_LIST, HOME)

#: The server does not know MFMT (setting a modification time): learnt and
#: read in Python only (touch(), sync); the core never sets a time.
NO_MFMT = "_dravlen_no_mfmt"
#: The server does not know MDTM: no exact time is asked of it again.
NO_MDTM = "_dravlen_no_mdtm"
#: The zone of the server's LIST times: a ``(tzinfo, learnt)`` pair, set
#: from the section's ``timezone`` or learnt from one file's MDTM, or
#: `UNKNOWN_ZONE` where it cannot be learnt.
LIST_ZONE = "_dravlen_list_zone"
UNKNOWN_ZONE = (None, False)


# -- replies --------------------------------------------------------------

def not_understood(exc: BaseException) -> bool:
    """Whether the reply in *exc* is 500 or 502: the server does not know
    the command (as opposed to refusing it for this path)."""
    return str(exc)[:3] in ("500", "502")


#: What the session's error for a greeting other than 220 says before the reply.
TURNED_AWAY = " turned the connection away: "


def busy(exc: BaseException) -> bool:
    """Whether *exc* is the server saying it has too many connections (421):
    a reply, or the session's error for such a greeting."""
    if not isinstance(exc, ftplib.error_temp):
        return False
    text = str(exc)
    return text[:3] == "421" or text.partition(TURNED_AWAY)[2][:3] == "421"


def lost(exc: BaseException) -> bool:
    """Whether after *exc* nothing read from the control connection belongs to
    any command: garbage (`ftplib.error_proto`) or the unread rest of an
    overlong line (ftplib's bare `ftplib.Error`)."""
    return type(exc) is ftplib.Error or isinstance(exc, ftplib.error_proto)


def reason(exc: BaseException) -> str:
    """The reason *exc* gives, for a message that names its subject itself:
    the OS's words for an OSError, else its text, else its class name."""
    if isinstance(exc, UnicodeError):
        return "the name is not valid text in the server's encoding"
    if isinstance(exc, OSError) and exc.strerror:
        return str(exc.strerror)
    return str(exc).strip() or type(exc).__name__


# -- path text ------------------------------------------------------------

def command_text(path: Any) -> str:
    """The path's text as it goes in a command.  A CR or LF would end the
    command line early and start another, and servers cut a name at a NUL:
    the first such character is a ValueError, in the core's words."""
    text: str = path.path.as_posix()
    for char in text:
        if char in "\r\n":
            what = "a line break"
        elif char == "\0":
            what = "a NUL character"
        else:
            continue
        raise ValueError(f"Remote path {text!r} holds {what}, which an FTP command cannot carry")
    return text


def child_name(name: str) -> bool:
    """Whether a name a server lists can be one entry of the listed folder:
    one path component, so not empty, not ``.`` or ``..``, and holding no
    ``/``, NUL, CR or LF.  Anything else would name something outside the
    folder (or another command): it names no entry, and is never joined or
    acted on.  The core applies the same rule."""
    return name not in ("", ".", "..") and not any(char in name for char in "/\0\r\n")


def set_time(client: ftplib.FTP, where: str, when: float) -> bool:
    """Give the remote file *where* the time *when* (a POSIX timestamp, kept to
    the second) with ``MFMT``; whether the server did.  A server that does not
    know the command is remembered on the client (`NO_MFMT`) and not asked
    again; any other refusal is raised."""
    if getattr(client, NO_MFMT, False):
        return False
    stamp = datetime.fromtimestamp(int(when), timezone.utc).strftime("%Y%m%d%H%M%S")
    try:
        client.sendcmd(f"MFMT {stamp} {where}")
    except ftplib.error_perm as exc:
        if not not_understood(exc):
            raise
        setattr(client, NO_MFMT, True)
        return False
    return True


def server_time(client: ftplib.FTP, where: str) -> datetime | None:
    """The exact modification time (UTC, to the second) ``MDTM`` gives for
    *where*, or None where the server gives none: it does not know the
    command (remembered on the client, `NO_MDTM`), refuses it for this
    path, or answers with no time."""
    if getattr(client, NO_MDTM, False):
        return None
    try:
        reply: str | ftplib.Error = client.sendcmd("MDTM " + where)
    except ftplib.error_perm as exc:
        reply = exc
    return time_told(client, reply)


def time_told(client: ftplib.FTP, reply: str | ftplib.Error) -> datetime | None:
    """The time in the reply (or refusal) *reply* to ``MDTM``; see `server_time`."""
    if isinstance(reply, ftplib.Error):
        if not_understood(reply):
            setattr(client, NO_MDTM, True)
        return None
    if reply[:3] != "213":
        return None
    return utc_time(reply[4:].strip().partition(".")[0])  # to the second


def utc_time(value: str) -> datetime | None:
    """The time of a ``YYYYMMDDHHMMSS[.sss]`` value (MLSx ``modify``, MDTM),
    always UTC; None for any other text."""
    whole, _, fraction = value.partition(".")
    if len(whole) != 14 or not whole.isascii() or not whole.isdigit():
        return None
    try:  # by hand: strptime costs more than the rest of a line's parsing
        when = datetime(int(whole[:4]), int(whole[4:6]), int(whole[6:8]), int(whole[8:10]),
                        int(whole[10:12]), int(whole[12:]), tzinfo=timezone.utc)
    except ValueError:
        return None
    if fraction.isascii() and fraction.isdigit():
        when += timedelta(microseconds=int((fraction + "000000")[:6]))
    return when


# -- transfers ------------------------------------------------------------

class IncompleteTransfer(ftplib.error_temp, ConnectionError):
    """A transfer that ended without all of the file: the bytes moved and the
    server's ``SIZE`` differ, or the server tells no size for what was stored.

    Both an `ftplib.error_temp` (so `dravlen.base.retry` tries it again) and
    a ConnectionError (so callers that catch lost transfers catch it).
    """


#: How FTP work is tried again: on a fresh client after a lost connection,
#: a 4xx reply (a transfer found short among them) or an unexpected reply,
#: three times in all; a full server (421) is waited for up to 10 s.
RETRY = Retry(
    attempts=3, backoff=0.05, transient=(ftplib.error_temp, ftplib.error_reply),
    lost=lost, busy=busy, busy_patience=10.0, busy_wait=0.5,
)


_F = TypeVar("_F", bound=Callable[..., Any])


def abandon(path: Any) -> None:
    """Give up the thread's client of *path* at once, in the middle of
    whatever it was doing: dropping it ends its session (``QUIT`` without
    waiting, then closed: see `FTPSession.end`), so the next use connects.
    Whoever holds a data connection closes it first."""
    path._drop_client()


def drop_on_interrupt(func: _F) -> _F:
    """Wrap a member whose first argument is the path: a KeyboardInterrupt
    (which no retry catches) can stop a client between a command and its
    reply, so the thread's client is abandoned and the next use connects."""

    @functools.wraps(func)
    def wrapper(path: Any, *args: Any, **kwargs: Any) -> Any:
        try:
            return func(path, *args, **kwargs)
        except KeyboardInterrupt:
            abandon(path)
            raise

    return wrapper  # type: ignore[return-value]


def operation(func: _F) -> _F:
    """An FTP operation beside the core's: tried again under `RETRY` as the
    core's members are, and its client dropped on Ctrl-C."""
    return drop_on_interrupt(cast(_F, retry(policy=RETRY)(func)))
