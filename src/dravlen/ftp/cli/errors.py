"""The errors of the command line and their exit statuses: `Failure` and
`Failures` (1, after one line per failure on stderr), `Reported` (1, the
lines said already), `Usage` (2), `StdoutClosed` (141); and the words a
failure is told in."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING

from dravlen.base import BasePath
from dravlen.ftp.settings import where_of
from dravlen.ftp.wire import replies
from dravlen.urls import hide_password

if TYPE_CHECKING:
    from dravlen.ftp.tree import Progress

__all__ = ["Failure", "Failures", "Reported", "StdoutClosed", "Usage", "failure_of", "reason_of", "where_of",
           "words"]

_REPLY = re.compile(r"\d{3}[ -]")


class Failure(Exception):
    """An operation failed on *path* for *reason*; reported, then exit 1.
    A remote *path* (a path object) is reported with its server."""

    def __init__(self, path: object, reason: str, server: str | None = None) -> None:
        text = hide_password(str(path))
        super().__init__(f"{text}: {reason}")
        self.path = text
        self.reason = reason
        self.server = server if server is not None else (where_of(path) if isinstance(path, BasePath) else None)


class Failures(Exception):
    """Paths of one tree operation failed, as (path, reason); each is
    reported, then exit 1.  *doing*: what could not be done ("download"),
    for reasons that are a bare reply; *remote*: the remote side, whose
    server the closing line names."""

    def __init__(self, failures: list[tuple[str, str]], progress: Progress, doing: str, remote: object) -> None:
        super().__init__(f"{len(failures)} failed")
        self.failures = failures
        self.progress = progress
        self.doing = doing
        self.remote = remote


class Reported(Exception):
    """Failures were reported already; exit 1."""


class Usage(Exception):
    """The arguments cannot be taken as given; exit 2."""


class StdoutClosed(Exception):
    """The reader of stdout went away (``... | head``)."""


class Stopped(Exception):
    """A tree verb stopped by Ctrl-C or SIGTERM; its text says how far it got."""


def words(verb: str, reason: str) -> str:
    """*reason*, preceded by what could not be done when it is a bare reply
    of the server ("553 Could not create file")."""
    return f"cannot {verb}: {reason}" if _REPLY.match(reason) else reason


def reason_of(exc: BaseException) -> str:
    return replies.reason(exc).rstrip(".")


def failure_of(exc: OSError, remote: object, reason: str | None = None) -> Failure:
    """The failure to report for *exc*: about the local file it names, if it
    names one (the local side failed), else about *remote*."""
    if exc.filename:
        return Failure(exc.filename, reason_of(exc).removeprefix(f"{exc.filename!r} "))
    return Failure(remote, reason if reason is not None else reason_of(exc))
