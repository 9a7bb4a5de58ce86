"""What every dravlen path backend shares.

* `BasePath`, the base class of backends such as `dravlen.ftp.path.FTPPath`:
  a POSIX path (a `PurePosixPath`) plus the calling thread's connected client;
* `PathMeta`, its metaclass, which checks each backend's ``_section``;
* `Local`, the per-thread store of clients;
* `Retry`, a retry policy as a value, and `retry`, the decorator that
  backends put on each operation so that a lost or refused connection is
  replaced and the operation tried again;
* `Session` and `register_session`: what a backend tells this module about
  its clients (how one is connected and logged in, when it is unusable, how
  it is brought back in step after an error).

A backend sets ``_section`` (a one-element tuple naming its configuration
section, see `dravlen.config`) and ``_creator`` (the client class), and
implements ``_reset(section)``: drop the thread's client from `Local`, build a
new unconnected one from ``_read_config(section)``, store it in `Local` under
``_key_on_thread()``, and *return* any exception instead of raising it.
`BasePath` then has the client's `Session` connect and log it in
(`BasePath._new_client`) and hands it out as ``self.client``.  The session
is found from the client class, registered with `register_session`; a
package whose sessions are costly to import registers a loader instead
(`register_loader`), called the first time one of its path classes needs a
session (``dravlen.ftp`` registers one).  A
refused login is a `LoginError`, which no member takes for an answer about a
path.
"""

from __future__ import annotations

import functools
import os
import sys
import threading
import time
from collections.abc import Callable, Hashable
from pathlib import PurePath, PurePosixPath
from types import FrameType
from typing import Any, Concatenate, ParamSpec, Self, TypeVar

from dravlen.config import EnvConfig
from dravlen.sessions import Session, register_loader, register_session, session_for
from dravlen.policy import LOST_CONNECTION, Retry, Tries
from dravlen.urls import hide_password, is_url

__all__ = ["LOST_CONNECTION", "BasePath", "Local", "LoginError", "PathMeta", "Retry", "Session", "Tries",
           "bound_class", "close_quietly", "register_loader", "register_session", "replaying", "retry"]


class LoginError(PermissionError):
    """The server refused the login (or TLS), naming the server and the user.

    Not a protocol error: a refused login is the answer about the session,
    never about a path, so no member takes it for "missing" and `retry`
    does not log in again (servers that ban after failed logins count each).
    """


_P = ParamSpec("_P")
_R = TypeVar("_R")
_S = TypeVar("_S", bound="BasePath")


def close_quietly(client: object) -> None:
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

    def __del__(self, _close: Callable[[object], None] = close_quietly,
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
                close_quietly(client)
            clients.clear()


# ---------------------------------------------------------------------------
# retry

def retry(
    *exception_types: type[BaseException], attempts: int = 3, backoff: float = 0.05,
    policy: Retry | None = None,
) -> Callable[[Callable[Concatenate[_S, _P], _R]], Callable[Concatenate[_S, _P], _R]]:
    """Decorator factory: retry an operation on a fresh client.

    The policy is *policy*, or one of *attempts* tries, waiting *backoff*
    seconds (doubling) between them, for *exception_types*; its `Tries`
    decide whether and when to try again (a full server is waited for as
    the policy says, without using up attempts).  The decorated
    function takes the path object first.  When it raises one of the
    policy's transient exceptions -- always among them `EOFError`,
    `ConnectionError`, `TimeoutError` -- or an error after which the
    client's session says the conversation is lost (garbage for a reply,
    say), or any error while the thread's client is visibly unusable
    (closed, or its reply stream broken by an earlier read that timed out,
    say in a generator that no wrapper covers), the thread's client is
    dropped and closed, so that the next attempt connects afresh, and the
    call is tried again after the policy's wait; the last attempt's error is
    raised.  A wrapped call made inside another one on the same thread is
    not retried itself (it only drops an unusable client): the outermost
    call is retried as a whole.  Other exceptions pass at once, and a
    successful call's result is returned unchanged.

    A try after one whose reply was lost runs with `replaying()` true: the
    command of that try may have been carried out.  A removal (`delete`,
    `unlink`) that then says its path does not exist is looked at once
    more: if the path is gone, that try removed it and the call returns
    None.  The wrapper copies the function's name, qualified name, doc,
    module and annotations, so it can wrap functions implemented in C.
    """
    if policy is None:
        policy = Retry(attempts=attempts, backoff=backoff, transient=exception_types)
    elif exception_types:
        raise TypeError("retry() takes exception classes or a policy, not both")

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
                if not isinstance(self, BasePath):
                    raise
                tries = policy.tries()
                wait = _drop_after(self, exc, tries)
                if wait is None or _inside_retry(sys._getframe(1)):
                    raise
            return _retry_after_failure(func, self, args, kwargs, tries, wait)

        return wrapper

    return decorate


def replaying() -> bool:
    """Whether the calling thread is trying a `retry`-wrapped call again
    after a try whose reply was lost (its connection or conversation broke
    after a command went): that command may have been carried out, so a
    removal or a rename that now finds its path gone was done by it."""
    return getattr(_REPLAY, "unanswered", False) is True


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
# Per thread: whether the try running now follows one whose reply was lost.
_REPLAY = threading.local()
# The members that remove what their path names (the backends' `delete`,
# pathlib's `unlink`) and say FileNotFoundError when nothing is there.
_REMOVALS = frozenset({"delete", "unlink"})


# What a closed client or one whose reply stream a timed-out read broke raises
# (exactly these classes: "cannot read from timed out object", "I/O operation
# on closed file", None has no attribute "sendall").  Subclasses such as
# FileNotFoundError are a member's own verdict, not the client's state.
_BROKEN_CLIENT_ERRORS = frozenset({OSError, ValueError, AttributeError})


def _drop_after(path: BasePath, exc: BaseException, tries: Tries) -> float | None:
    """Drop the thread's client if *exc* shows it unusable; the seconds to
    wait before trying again, or None not to."""
    policy = tries.policy
    kind = type(exc)
    # What is read next would belong to no command: the conversation is as
    # lost as a closed connection.
    lost = _session_says_lost(path, exc) or (kind in _BROKEN_CLIENT_ERRORS and path._client_unusable())
    if not (lost or policy.is_transient(exc)):
        return None  # the path object is not touched for any other error
    path._drop_client()
    return tries.wait_after(exc, lost=lost)


def _session_says_lost(path: BasePath, exc: BaseException) -> bool:
    try:
        session = path._session()
    except TypeError:  # a class without clients of a known kind
        return False
    return session.lost(exc)


def _removed_by_lost_try(func: Callable[..., Any], path: BasePath, exc: BaseException) -> bool:
    """Whether *exc*, raised by a removal tried again after a try whose reply
    was lost, says no more than that the path is gone: that try removed it.
    A child's absence, or a path that is still there, keeps the error."""
    if not isinstance(exc, FileNotFoundError) or getattr(func, "__name__", None) not in _REMOVALS:
        return False
    return not path.exists  # type: ignore[attr-defined]


def _retry_after_failure(
    func: Callable[..., _R], self: BasePath, args: tuple[Any, ...], kwargs: dict[str, Any], tries: Tries,
    wait: float,
) -> _R:
    outer = getattr(_REPLAY, "unanswered", False)
    try:
        while True:
            time.sleep(wait)
            _REPLAY.unanswered = tries.unanswered
            try:
                return func(*args, **kwargs)
            except BaseException as exc:
                if tries.unanswered and _removed_by_lost_try(func, self, exc):
                    return None  # type: ignore[return-value]
                next_wait = _drop_after(self, exc, tries)
                if next_wait is None:
                    raise
                wait = next_wait
    finally:
        _REPLAY.unanswered = outer


_BOUND: dict[tuple[type, str], type] = {}
_BOUND_LOCK = threading.Lock()


def bound_class(base: type[_S], section: str, name: str | None = None) -> type[_S]:
    """The one subclass of *base* bound to configuration section *section*
    (``_section`` is a class attribute, so another section needs a class);
    named *name*, by default ``Base[section]``, so its paths' repr shows it."""
    with _BOUND_LOCK:
        cls = _BOUND.get((base, section))
        if cls is None:
            name = name or f"{base.__name__}[{section}]"
            cls = type(name, (base,), {"__slots__": (), "_section": (section,),
                                       "__module__": base.__module__, "__qualname__": name})
            _BOUND[(base, section)] = cls
        return cls


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
    #: The client class `_reset` builds; its `Session` opens the clients.
    _creator: Any = None
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
    def client(self) -> Any:
        """The calling thread's connected client for this class's section."""
        client = Local.getattr(self._key_on_thread())
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

    def _session(self) -> Session:
        """The session of this class's clients (see `register_session`)."""
        return session_for(type(self), self._creator)

    def _read_config(self, section: str) -> dict[str, Any]:
        """The keywords for ``_creator(...)`` that do not connect, from the
        section *section*, as the client's session reads them."""
        return self._session().keywords(self._creator, section)

    def _new_client(self) -> Any:
        """Make the thread's client through `_reset`, then have its session
        connect and log it in.

        The one place where clients are made, reading the configuration
        once; on failure nothing is left in `Local` and the error is raised.
        """
        section = self._section[0]
        with EnvConfig.reading():
            error = self._reset(section)
            if error is not None:
                raise error
            key = self._key_on_thread()
            client = Local.getattr(key)
            if client is None:
                raise RuntimeError(f"{type(self).__qualname__}._reset({section!r}) stored no client")
            try:
                opened = self._session().connect(self, client, section)
                if opened is not client:
                    Local.setattr(key, opened)
                    client = opened
            except BaseException:
                Local.delattr(key)
                close_quietly(client)
                raise
        return client

    def _client_unusable(self) -> bool:
        """Whether the thread's client is there but can no longer be used."""
        client = Local.getattr(self._key_on_thread())
        if client is None:
            return False
        try:
            session = self._session()
        except TypeError:
            return False
        return session.unusable(client)

    def _drop_client(self) -> None:
        """Remove and close the thread's client; the next use makes a new one."""
        key = self._key_on_thread()
        client = Local.getattr(key)
        Local.delattr(key)
        if client is not None:
            try:
                end = self._session().end
            except TypeError:  # a class without clients of a known kind
                end = close_quietly
            end(client)

    def _valid_reset(self) -> None:
        """Bring the thread's client back in step after an error, without
        raising.

        Called inside an ``except`` block: the client's session tells from
        the exception being handled what may still be pending on the
        connection, and reads it (waiting at most ``_RESYNC_WAIT`` seconds).
        Where that fails the client is replaced through `_new_client`; if
        that fails too, it is dropped so the next operation connects.  The
        exception being handled stays the current one.
        """
        client = Local.getattr(self._key_on_thread())
        if client is None:
            return
        # The native members call this inside their except scope, which makes
        # the exception the handled one: sys.exc_info() is what they caught.
        try:
            if self._session().in_step(client, sys.exc_info()[1], self._RESYNC_WAIT):
                return
        except Exception:
            pass
        self._drop_client()
        try:
            self._new_client()
        except Exception:
            pass  # the next operation connects again and reports its own error
