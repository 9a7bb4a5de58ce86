"""What every dravlen path backend shares.

* `BasePath`, the base class of backends such as `dravlen.ftp.path.FTPPath`:
  a POSIX path (a `PurePosixPath`) plus the calling thread's connected client;
* `PathMeta`, its metaclass, which checks each backend's ``_section``;
* `Local`, the per-thread store of clients;
* `retry`, the decorator that backends put on each operation so that a lost
  or refused connection is replaced and the operation tried again.

A backend sets ``_section`` (a one-element tuple naming its configuration
section, see `dravlen.config`) and ``_creator`` (the client class), and
implements ``_reset(section)``: drop the thread's client from `Local`, build a
new unconnected one from ``_read_config(section)``, store it in `Local` under
``_key_on_thread()``, and *return* any exception instead of raising it.
`BasePath` then connects and logs that client in (`BasePath._new_client`),
over explicit TLS when the section asks for it (`dravlen.ftp.tls`), and
hands it out as ``self.client``.  How an FTP client connects and logs in,
and how it is brought back in step after an error, live beside the FTP
backend (`dravlen.ftp.login`, `dravlen.ftp.resync`); a refused login is a
`LoginError`, which no member takes for an answer about a path.
"""

from __future__ import annotations

import ftplib
import functools
import os
import sys
import threading
import time
from collections.abc import Callable, Hashable
from pathlib import PurePath, PurePosixPath
from types import FrameType
from typing import Any, Concatenate, ParamSpec, Self, TypeVar

from dravlen.config import ConfigError, EnvConfig, FTPSettings
from dravlen.ftp.codec import escaping
from dravlen.ftp.login import hide_password, is_url, open_client, tls_module
from dravlen.ftp.resync import in_step

__all__ = ["BasePath", "Local", "LoginError", "PathMeta", "retry"]


class LoginError(PermissionError):
    """The server refused the login (or TLS), naming the server and the user.

    Not an `ftplib.Error`: a refused login is the answer about the session,
    never about a path, so no member takes it for "missing" and `retry`
    does not log in again (servers that ban after failed logins count each).
    """


# Errors that mean the client's connection is gone or unusable; socket.timeout
# is TimeoutError and BrokenPipeError is a ConnectionError.  Other OSErrors
# (FileNotFoundError from a local file, say) say nothing about the connection.
LOST_CONNECTION: tuple[type[BaseException], ...] = (EOFError, ConnectionError, TimeoutError)

_P = ParamSpec("_P")
_R = TypeVar("_R")
_S = TypeVar("_S", bound="BasePath")


def _close_quietly(client: object) -> None:
    # Closing only releases the sockets; nothing is sent, so nothing can hang.
    close = getattr(client, "close", None)
    if close is not None:
        try:
            close()
        except Exception:
            pass


# ---------------------------------------------------------------------------
# Per-thread clients

class _Clients(dict[Hashable, Any]):
    """One thread's clients.  threading.local frees it when its thread ends,
    and the clients' sockets are closed then rather than left to the GC.

    Not at interpreter shutdown: a thread the interpreter did not wait for
    may still be reading from one of them, and closing a reply file another
    thread holds aborts the process.  The process's end closes the sockets.
    """

    __slots__ = ()

    def __del__(self, _close: Callable[[object], None] = _close_quietly,
                _finalizing: Callable[[], bool] = sys.is_finalizing) -> None:
        if _finalizing():
            return
        for client in self.values():
            _close(client)


_TLS = threading.local()


class Local:
    """Per-thread store of clients, keyed by `BasePath._key_on_thread()`.

    Backed by `threading.local`, so each thread sees only its own clients and
    a thread's clients are closed and freed when the thread ends.  Removing
    or replacing a client only forgets it; `BasePath._drop_client` is what
    closes a client that is known to be broken.
    """

    __slots__ = ()

    @staticmethod
    def getattr(key: Hashable, default: Any = None) -> Any:
        """The calling thread's client under *key*, or *default*."""
        try:
            return _TLS.clients.get(key, default)
        except AttributeError:  # this thread has stored nothing yet
            return default

    @staticmethod
    def setattr(key: Hashable, client: Any) -> None:
        """Store *client* under *key* for the calling thread."""
        try:
            clients = _TLS.clients
        except AttributeError:
            clients = _TLS.clients = _Clients()
        clients[key] = client

    @staticmethod
    def delattr(key: Hashable) -> None:
        """Forget the calling thread's client under *key*, if any.

        The client itself is left alone (not closed, nothing sent): whoever
        still holds it may go on using it, and once nobody does its sockets
        close with it.
        """
        try:
            _TLS.clients.pop(key, None)
        except AttributeError:
            pass

    @staticmethod
    def clear() -> None:
        """Remove and close all of the calling thread's clients."""
        clients = _TLS.__dict__.pop("clients", None)
        if clients:
            for client in clients.values():
                _close_quietly(client)
            clients.clear()


# ---------------------------------------------------------------------------
# retry

def retry(
    *exception_types: type[BaseException], attempts: int = 3, backoff: float = 0.05
) -> Callable[[Callable[Concatenate[_S, _P], _R]], Callable[Concatenate[_S, _P], _R]]:
    """Decorator factory: retry an operation on a fresh client.

    The decorated function takes the path object first.  When it raises one
    of *exception_types*, or an error that means the conversation with the
    server is lost -- `EOFError`, `ConnectionError`, `TimeoutError`, a reply
    that is no reply (`ftplib.error_proto`, ftplib's "got more than N
    bytes"), or any error while the thread's client is visibly unusable
    (closed, or its reply file broken by an earlier read that timed out, say
    in a generator that no wrapper covers) -- the thread's client is dropped
    and closed, so that the next attempt connects afresh, and the call is
    tried again after a short sleep (*backoff*, doubling), *attempts* times
    in all; the last attempt's error is raised.  A wrapped call made inside
    another one on the same thread is not retried itself (it only drops an
    unusable client): the outermost call is retried as a whole.  Other
    exceptions pass at once, and a successful call's result is returned
    unchanged.  The wrapper copies the function's name, qualified
    name, doc, module and annotations, so it can wrap functions implemented
    in C.
    """
    for kind in exception_types:
        if not (isinstance(kind, type) and issubclass(kind, BaseException)):
            raise TypeError(f"retry() takes exception classes, not {kind!r}")
    if attempts < 1:
        raise ValueError("retry() needs at least one attempt")
    caught = exception_types + LOST_CONNECTION

    def decorate(func: Callable[Concatenate[_S, _P], _R]) -> Callable[Concatenate[_S, _P], _R]:
        @functools.wraps(func)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            try:
                return func(*args, **kwargs)
            except BaseException as exc:
                # The path object may come by keyword too: FTPPath.read(self=p).
                # The retries run outside this handler so that the error
                # finally raised does not carry the first one as its context.
                self = args[0] if args else kwargs.get("self")
                if (not isinstance(self, BasePath) or not _drop_after(self, exc, caught)
                        or attempts == 1 or _inside_retry(sys._getframe(1))):
                    raise
            return _retry_after_failure(func, self, args, kwargs, caught, attempts, backoff)

        return wrapper

    return decorate


def _inside_retry(frame: FrameType | None) -> bool:
    """Whether *frame* or one of its callers is a retry wrapper.

    Operations call one another (write -> parent.mkdir() -> exists): only the
    outermost retries, so an operation is tried again as a whole and the
    attempts do not multiply level by level; an inner call still drops a
    client it found unusable.  Asked only when a call failed, from the
    thread's own stack (which runs on through native members), so that a
    call that succeeds pays nothing for it.
    """
    while frame is not None:
        if frame.f_code is _WRAPPER_CODE:
            return True
        frame = frame.f_back
    return False


# Every retry wrapper runs this one code object (any function will do to
# make one; the wrapper is never called).
_WRAPPER_CODE = retry()(lambda path: None).__code__
_get_ident = threading.get_ident


# What a closed client or one whose reply file a timed-out read broke raises
# (exactly these classes: "cannot read from timed out object", "I/O operation
# on closed file", None has no attribute "sendall").  Subclasses such as
# FileNotFoundError are a member's own verdict, not the client's state.
_BROKEN_CLIENT_ERRORS = frozenset({OSError, ValueError, AttributeError})


def _drop_after(path: BasePath, exc: BaseException, caught: tuple[type[BaseException], ...]) -> bool:
    """Drop the thread's client if *exc* shows it unusable; whether to try again."""
    if isinstance(exc, caught):
        path._drop_client()
        return True
    kind = type(exc)
    if (kind is ftplib.Error or isinstance(exc, ftplib.error_proto)
            or (kind in _BROKEN_CLIENT_ERRORS and path._client_unusable())):
        # Garbage, or the unread rest of an overlong line (ftplib's bare
        # Error), means that what is read next belongs to no command: the
        # conversation is as lost as a closed connection.
        path._drop_client()
        return True
    return False  # the path object is not touched for any other error


def _retry_after_failure(
    func: Callable[..., _R], self: BasePath, args: tuple[Any, ...], kwargs: dict[str, Any],
    caught: tuple[type[BaseException], ...], attempts: int, backoff: float,
) -> _R:
    for attempt in range(1, attempts):
        time.sleep(backoff * (1 << (attempt - 1)))
        try:
            return func(*args, **kwargs)
        except BaseException as exc:
            if not _drop_after(self, exc, caught) or attempt == attempts - 1:
                raise
    raise AssertionError("unreachable")  # pragma: no cover


def _check_section(class_name: str, section: object) -> None:
    if not (type(section) is tuple and len(section) == 1 and type(section[0]) is str and section[0]):
        raise TypeError(
            f"{class_name}._section must be a one-element tuple holding a section name"
            f" (a str), such as ('ftp',); got {section!r}"
        )


class PathMeta(type):
    """Metaclass of path classes.

    It checks, when a class is made, that a ``_section`` set in its body is a
    one-element tuple holding an exact `str` (`_reset` is given
    ``_section[0]`` and accepts nothing else).
    """

    @classmethod
    def __prepare__(mcls, name: str, bases: tuple[type, ...], /, **kwargs: Any) -> dict[str, object]:
        return {}

    def __new__(mcls, name: str, bases: tuple[type, ...], namespace: dict[str, Any], /,
                **kwargs: Any) -> PathMeta:
        if "_section" in namespace:
            _check_section(name, namespace["_section"])
        return super().__new__(mcls, name, bases, namespace, **kwargs)


class BasePath(metaclass=PathMeta):
    """A path on a remote server, and the thread's client to reach it.

    ``path`` is a `pathlib.PurePosixPath`: ``path.as_posix()`` is what goes in
    protocol commands and ``str(path)`` what goes in messages.  Two paths are
    equal when they have the same class and the same path; classes that use
    different configuration sections are different classes.

    ``client`` is the calling thread's client for this class's section: made
    by the backend's `_reset`, then connected and logged in here, on first use
    in each thread.
    """

    __slots__ = ("path",)

    path: PurePosixPath

    #: The configuration section, as a one-element tuple: ``("ftp",)``.
    _section: tuple[str] = ("ftp",)
    #: The client class `_reset` builds.
    _creator = ftplib.FTP
    #: Seconds `_valid_reset` waits for a reply before it reconnects instead.
    _RESYNC_WAIT = 0.25

    def __init__(self, path: str | os.PathLike[str] | PurePath | BasePath) -> None:
        if type(path) is PurePosixPath:
            self.path = path
        elif isinstance(path, BasePath):
            self.path = path.path
        elif isinstance(path, PurePath):
            self.path = PurePosixPath(path.as_posix())
        else:
            text = os.fspath(path)
            if not isinstance(text, str):
                raise TypeError(f"{type(self).__name__} needs a text path, not {text!r}")
            if is_url(text):
                # Taken as a path, "ftp://h/x" would be the relative "ftp:/h/x".
                raise ValueError(
                    f"{type(self).__name__} takes a path on its server, not the URL"
                    f" {hide_password(text)!r}; dravlen.ftp.server(url) gives a class bound to that server"
                )
            self.path = PurePosixPath(text)

    # -- the path --------------------------------------------------------

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.path.as_posix()!r})"

    def __str__(self) -> str:
        return str(self.path)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self.path == other.path

    def __hash__(self) -> int:
        return hash((type(self), self.path))

    @property
    def name(self) -> str:
        """The last component of the path (``""`` for ``/`` and ``.``)."""
        return self.path.name

    @property
    def parent(self) -> Self:
        """The path's parent, of the same class: ``.`` for a one-component
        relative path, ``/`` for ``/``."""
        return type(self)(self.path.parent)

    def join(self, name: str | os.PathLike[str]) -> Self:
        """``path / name``, of the same class (an absolute *name* replaces the path)."""
        return type(self)(self.path / name)

    __truediv__ = join

    # -- the client ------------------------------------------------------

    @property
    def client(self) -> ftplib.FTP:
        """The calling thread's connected client for this class's section."""
        client: ftplib.FTP | None = Local.getattr(self._key_on_thread())
        if client is None:
            client = self._new_client()
        return client

    def _key_on_thread(self) -> tuple[str, str, int]:
        """The calling thread's key for its client in `Local`."""
        return (type(self).__qualname__, self._section[0], _get_ident())

    def _reset(self, section: str) -> BaseException | None:
        """Replace the thread's client by a new, unconnected one stored in
        `Local`; return the exception on failure, None on success."""
        raise NotImplementedError(f"{type(self).__name__} does not implement _reset")

    def _read_config(self, section: str) -> dict[str, Any]:
        """The keywords for ``_creator(...)`` that do not connect: ``timeout`` and
        ``encoding``, and the TLS ``context`` for a TLS client class when the
        section asks for TLS.

        The encoding is the configured one with undecodable bytes kept as
        escapes (`dravlen.ftp.codec`), so that names which are not valid
        text in it still round-trip.
        """
        settings = EnvConfig.ftp_settings(section, require_host=False)
        keywords: dict[str, Any] = {"timeout": settings.timeout, "encoding": escaping(settings.encoding)}
        creator = self._creator
        if settings.tls and isinstance(creator, type) and issubclass(creator, ftplib.FTP_TLS):
            keywords["context"] = tls_module().context_for(settings)
        return keywords

    def _new_client(self) -> ftplib.FTP:
        """Make the thread's client through `_reset`, then connect and log it in.

        The one place where clients are made; on failure nothing is left in
        `Local` and the error is raised.
        """
        section = self._section[0]
        error = self._reset(section)
        if error is not None:
            raise error
        key = self._key_on_thread()
        client: ftplib.FTP | None = Local.getattr(key)
        if client is None:
            raise RuntimeError(f"{type(self).__qualname__}._reset({section!r}) stored no client")
        try:
            settings = EnvConfig.ftp_settings(section)
            if settings.tls and not isinstance(client, ftplib.FTP_TLS):
                client = self._tls_client_for(client, settings)
                Local.setattr(key, client)
            open_client(client, settings)
        except BaseException:
            Local.delattr(key)
            _close_quietly(client)
            raise
        return client

    def _tls_client_for(self, client: ftplib.FTP, settings: FTPSettings) -> ftplib.FTP:
        """The TLS client that takes the place of the plain ``ftplib.FTP``
        that `_reset` made for a section that asks for TLS."""
        if type(client) is not ftplib.FTP:
            raise ConfigError(
                f"dravlen configuration [{self._section[0]}] asks for tls, but the client class of"
                f" {type(self).__name__} ({type(client).__qualname__}) is no ftplib.FTP_TLS"
            )
        tls = tls_module()
        # The encoding is the one _reset gave the plain client (names that are
        # no valid text kept as escapes).
        secure: ftplib.FTP = tls.TLSClient(timeout=settings.timeout, encoding=client.encoding,
                                           context=tls.context_for(settings))
        secure.set_pasv(settings.pasv)
        return secure

    def _client_unusable(self) -> bool:
        """Whether the thread's client is there but can no longer be used:
        closed, or its reply file broken by a read that timed out."""
        client: ftplib.FTP | None = Local.getattr(self._key_on_thread())
        if client is None:
            return False
        if client.sock is None or client.file is None or client.sock.fileno() < 0:
            return True
        raw = getattr(getattr(client.file, "buffer", None), "raw", None)
        return getattr(raw, "_timeout_occurred", False) is True

    def _drop_client(self) -> None:
        """Remove and close the thread's client; the next use makes a new one."""
        key = self._key_on_thread()
        client = Local.getattr(key)
        Local.delattr(key)
        if client is not None:
            _close_quietly(client)

    def _valid_reset(self) -> None:
        """Bring the thread's client back in step after an error, without
        raising.

        Called inside an ``except`` block: `dravlen.ftp.resync.in_step` tells
        from the exception being handled what may still be pending on the
        control connection, and reads it (waiting at most ``_RESYNC_WAIT``
        seconds).  Where that fails the client is replaced through
        `_new_client`; if that fails too, it is dropped so the next operation
        connects.  The exception being handled stays the current one.
        """
        client: ftplib.FTP | None = Local.getattr(self._key_on_thread())
        if client is None:
            return
        # The native members call this inside their except scope, which makes
        # the exception the handled one: sys.exc_info() is what they caught.
        if in_step(client, sys.exc_info()[1], self._RESYNC_WAIT):
            return
        self._drop_client()
        try:
            self._new_client()
        except Exception:
            pass  # the next operation connects again and reports its own error
