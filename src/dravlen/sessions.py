"""What a backend tells `dravlen.base` about its clients: a `Session` (how
one is connected and logged in, when it is unusable, how it is brought back
in step, how a transfer is confirmed), registered for the client class with
`register_session`.  A package whose sessions are costly to import registers
a loader instead (`register_loader`), called the first time one of its path
classes needs a session; this module imports nothing else of dravlen, so
registering costs a package's import nothing."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from dravlen.base import BasePath

__all__ = ["Session", "register_loader", "register_session", "session_for"]


class Session(Protocol):
    """How one backend's clients are opened, checked and put back in step.

    Registered for the backend's client class with `register_session`.
    Each method is called with configuration read once for the new client
    (inside `EnvConfig.reading()`).
    """

    def keywords(self, creator: Any, section: str) -> dict[str, Any]:
        """The keywords for ``creator(...)`` that do not connect (`_read_config`)."""

    def connect(self, path: BasePath, client: Any, section: str) -> Any:
        """Connect *client* and log it in; the client to use (it may stand in
        another one, a TLS client for a plain one, say).  Raises on failure."""

    def unusable(self, client: Any) -> bool:
        """Whether *client* can no longer be used (closed, or its reply
        stream broken)."""

    def lost(self, exc: BaseException) -> bool:
        """Whether after *exc* the conversation with the server is lost
        although the connection is not (garbage was read, say)."""

    def in_step(self, client: Any, handled: BaseException | None, wait: float) -> bool:
        """Bring *client* back in step after *handled*; False if that failed."""

    def end(self, client: Any) -> None:
        """End *client*'s session and close it, without waiting on the server
        (it may be in the middle of an exchange); never raises."""

    def confirm(self, path: BasePath, client: Any, moved: int, where: str) -> None:
        """Check that a transfer of *moved* bytes to or from *where* (the
        path's text) carried all of the file; raise a transient error of
        the backend's if it did not."""


_SESSIONS: dict[type, Session] = {}
_LOADERS: dict[str, Callable[[], object]] = {}
_SESSION_LOCK = threading.Lock()


def register_session(client_class: type, session: Session) -> None:
    """Make *session* the one for clients of *client_class* and its subclasses."""
    with _SESSION_LOCK:
        _SESSIONS[client_class] = session


def register_loader(package: str, load: Callable[[], object]) -> None:
    """Have *load()* register the sessions of the path classes defined in
    *package* or below, the first time one of them needs a session."""
    with _SESSION_LOCK:
        _LOADERS[package] = load


def session_for(cls: type, creator: Any) -> Session:
    """The session of *creator*'s clients, for path class *cls*."""
    kinds = creator.__mro__ if isinstance(creator, type) else type(creator).__mro__
    for attempt in (1, 2):
        for kind in kinds:
            session = _SESSIONS.get(kind)
            if session is not None:
                return session
        if attempt == 1:
            for klass in cls.__mro__:
                module = klass.__module__
                for package, load in list(_LOADERS.items()):
                    if module == package or module.startswith(package + "."):
                        load()
    raise TypeError(f"{cls.__qualname__}: no session is registered for its client class {creator!r}")
