"""How a reply or an error is classed (not understood, server full, the
conversation lost), the reason it gives, a transfer found short
(`IncompleteTransfer`), and how FTP work is tried again (`RETRY`,
`operation`)."""

from __future__ import annotations

import ftplib
import functools
from collections.abc import Callable
from typing import Any, TypeVar, cast

from dravlen.base import Retry, retry

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


# -- transfers ------------------------------------------------------------

class IncompleteTransfer(ftplib.error_temp, ConnectionError):
    """A transfer that ended without all of the file: the bytes moved and the
    server's ``SIZE`` differ, or the server tells no size for what was stored.

    Both an `ftplib.error_temp` (so `dravlen.base.retry` tries it again) and
    a ConnectionError (so callers that catch lost transfers catch it).
    """


#: How FTP work is tried again, by every loop that tries it (`operation`,
#: the tree engine's workers, the filesystem's connections): on a fresh
#: client after a lost connection, a 4xx reply (a transfer found short among
#: them) or an unexpected reply, three times in all; a full server (421) is
#: asked again every 0.5 s for up to 60 s, long enough for the connections
#: of the other processes sharing it (a Dask cluster's) to come free.
RETRY = Retry(
    attempts=3, backoff=0.05, transient=(ftplib.error_temp, ftplib.error_reply),
    lost=lost, busy=busy, busy_patience=60.0, busy_wait=0.5,
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
    """An FTP operation beside the core's: tried again under `RETRY` (a
    full server waited for), and its client dropped on Ctrl-C."""
    return drop_on_interrupt(cast(_F, retry(policy=RETRY)(func)))
