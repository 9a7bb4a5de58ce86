"""What every dravlen path backend shares.

* `BasePath`, the base class of backends such as `dravlen.ftp.path.FTPPath`:
  a POSIX path (a `PurePosixPath`) plus the calling thread's connected client;
* `PathMeta`, its metaclass, which checks each backend's ``_section`` and keeps
  a registry of backends by class name;
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
hands it out as ``self.client``.  A failure to connect names the server
(scheme, user, host, port; never the password); a refused login is a
`LoginError`, which no member takes for an answer about a path.
"""

from __future__ import annotations

import ftplib
import functools
import os
import re
import select
import socket
import ssl
import sys
import threading
import time
import weakref
from collections.abc import Callable, Hashable
from pathlib import PurePath, PurePosixPath
from typing import Any, Concatenate, ParamSpec, Self, TextIO, TypeVar

from dravlen.config import ConfigError, EnvConfig, FTPSettings
from dravlen.ftp.codec import escaping

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
    and the clients' sockets are closed then rather than left to the GC."""

    __slots__ = ()

    def __del__(self, _close: Callable[[object], None] = _close_quietly) -> None:
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
            # Operations call one another (write -> parent.mkdir() -> exists):
            # only the outermost retries, so an operation is tried again as a
            # whole and the attempts do not multiply level by level.  An inner
            # call still drops a client it found unusable.
            outer = getattr(_NESTING, "depth", 0)
            _NESTING.depth = outer + 1
            try:
                try:
                    return func(*args, **kwargs)
                except BaseException as exc:
                    # The path object may come by keyword too: FTPPath.read(self=p).
                    # The retries run outside this handler so that the error
                    # finally raised does not carry the first one as its context.
                    self = args[0] if args else kwargs.get("self")
                    if (not isinstance(self, BasePath) or not _drop_after(self, exc, caught)
                            or attempts == 1 or outer):
                        raise
                return _retry_after_failure(func, self, args, kwargs, caught, attempts, backoff)
            finally:
                _NESTING.depth = outer

        return wrapper

    return decorate


# How many retry-wrapped calls the thread is inside.
_NESTING = threading.local()


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


# ---------------------------------------------------------------------------
# Bringing a control connection back in step

def _wait_readable(sock: socket.socket, seconds: float) -> bool:
    # poll, unlike select, has no FD_SETSIZE limit on the descriptor number.
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(max(0, int(seconds * 1000 + 0.999))))


def _wait_writable(sock: socket.socket, seconds: float) -> bool:
    poller = select.poll()
    poller.register(sock, select.POLLOUT)
    return bool(poller.poll(max(0, int(seconds * 1000 + 0.999))))


class _ControlReplies:
    """Reads whole replies from an ftplib client's control connection, with
    every wait bounded.

    ftplib reads replies through ``client.file``, a text file over the
    socket.  A read that hits the socket's timeout breaks that file for good,
    so here the socket is made non-blocking while replies are read, waits are
    done with poll(), and ``client.file.readline`` returns only what has
    arrived: that includes what the file had already buffered, which poll()
    on the socket cannot see.  A line that arrives in pieces is put together
    here.  A multi-line reply (``226-...`` up to ``226 ...``) counts as one.
    """

    __slots__ = ("client", "sock", "file", "lines", "partial")

    def __init__(self, client: ftplib.FTP):
        if client.sock is None or client.file is None:
            raise EOFError("the client is closed")
        self.client = client
        self.sock: socket.socket = client.sock
        self.file: TextIO = client.file
        self.lines: list[str] = []
        self.partial = ""

    def _read_available(self) -> bool:
        """Take in the lines that have arrived; True if anything had."""
        readline = self.file.readline
        limit = self.client.maxline
        got = False
        for _ in range(1024):
            chunk = readline(limit + 1)
            if not chunk:
                break
            got = True
            text = self.partial + chunk
            if text.endswith("\n"):
                self.partial = ""
                self.lines.append(text.rstrip("\r\n"))
            elif len(text) > limit:
                raise ftplib.error_proto(f"reply line longer than {limit} characters")
            else:
                self.partial = text
        return got

    def _at_eof(self) -> bool:
        try:
            return self.sock.recv(1, socket.MSG_PEEK) == b""
        except BlockingIOError:
            return False
        except ValueError:
            # A TLS socket cannot peek; the TLS client's socket notes the
            # end of the stream when a read meets it.
            return bool(getattr(self.sock, "at_eof", False))
        except OSError:
            return True

    def _take_reply(self) -> str | None:
        lines = self.lines
        while lines:
            first = lines[0]
            code = first[:3]
            if not (len(code) == 3 and code.isascii() and code.isdigit()):
                del lines[0]  # a blank line or stray text is no reply
                continue
            if first[3:4] != "-":
                del lines[0]
                return first
            for end in range(1, len(lines)):
                if lines[end][:3] == code and lines[end][3:4] != "-":
                    del lines[:end + 1]
                    return first
            return None
        return None

    def pending(self) -> bool:
        """Whether anything has arrived that no one has read, without waiting."""
        return bool(self.lines) or bool(self.partial) or self._read_available() or _wait_readable(self.sock, 0)

    def next_reply(self, deadline: float) -> str | None:
        """The next whole reply's first line, or None if none came by *deadline*."""
        while True:
            reply = self._take_reply()
            if reply is not None:
                return reply
            if self._read_available():
                continue
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not _wait_readable(self.sock, remaining):
                return None
            if not self._read_available() and self._at_eof():
                raise EOFError("the server closed the control connection")

    def drain(self) -> None:
        """Drop every whole reply that has already arrived."""
        self._read_available()
        while self._take_reply() is not None:
            pass

    def send(self, line: str, deadline: float) -> None:
        data = memoryview((line + "\r\n").encode(self.client.encoding))
        while data:
            if not _wait_writable(self.sock, deadline - time.monotonic()):
                raise TimeoutError("the control connection does not take a command")
            data = data[self.sock.send(data):]

    def resync(self, transfer_pending: bool, wait: float) -> bool:
        """Bring the client in step with the server; False if that failed.

        *transfer_pending*: a transfer was abandoned, so its closing reply
        (226, 426, 451, a multi-line reply, or one more 150) is still to come.
        """
        sock = self.sock
        timeout = sock.gettimeout()
        sock.setblocking(False)
        try:
            if transfer_pending:
                # Read the transfer's own closing reply first: a NOOP sent at
                # once can be answered before the server notices the data
                # connection is gone and sends it, and our 200 would then be
                # followed by a stale 426.  The closing reply is whatever
                # comes next, even a 1xx: Pure-FTPd sometimes closes an
                # abandoned download with a lone "150 0.000 seconds ..." and
                # sends nothing after it.
                if self.next_reply(time.monotonic() + wait) is None:
                    return False  # no closing reply: where the server is, is unknown
            elif not self.pending():
                # An error reply was read whole and nothing else came.
                return True
            # Whatever has come besides is stale; the reply to one NOOP then
            # shows that the next reply read is the next command's.
            self.drain()
            deadline = time.monotonic() + wait
            self.send("NOOP", deadline)
            while True:
                reply = self.next_reply(deadline)
                if reply is None:
                    return False
                if reply.startswith("200"):
                    return True
        finally:
            try:
                sock.settimeout(timeout)
            except OSError:
                pass


# ---------------------------------------------------------------------------
# Connecting and logging in

# A URL's start: a scheme, then "://".
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def hide_password(url: str) -> str:
    """*url* with the password of its user part, if any, shown as ``***``."""
    match = _URL.match(url)
    if not match:
        return url
    rest = url[match.end():]
    authority_end = len(rest)
    for stop in "/?#":
        found = rest.find(stop)
        if found != -1:
            authority_end = min(authority_end, found)
    if "@" not in rest[:authority_end] and ":" in rest[:authority_end] and "@" in rest[authority_end:]:
        # A password holding an unescaped "/", "?" or "#" ends the host part
        # early: all up to the last "@" may be the password.
        authority_end = rest.rindex("@")
        return url[:match.end()] + rest[:rest.index(":")] + ":***" + rest[authority_end:]
    authority = rest[:authority_end]
    userinfo, at, hostport = authority.rpartition("@")
    if at and ":" in userinfo:
        authority = userinfo.split(":", 1)[0] + ":***@" + hostport
    return url[:match.end()] + authority + rest[authority_end:]


def _tls() -> Any:
    from dravlen.ftp import tls

    return tls


def _named(exc: BaseException, message: str) -> BaseException:
    """An exception of *exc*'s class (its errno kept) carrying *message*."""
    kind = type(exc)
    try:
        if isinstance(exc, OSError) and exc.errno is not None:
            return kind(exc.errno, message)
        return kind(message)
    except Exception:
        return ConnectionError(message)


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return str(exc.strerror)
    return str(exc) or type(exc).__name__


def _open(client: ftplib.FTP, settings: FTPSettings) -> None:
    """Connect *client* and log it in (over TLS when *settings* ask); every
    failure names the server and the user, never the password."""
    where = settings.where
    try:
        client.connect(settings.host, settings.port)
    except socket.gaierror as exc:
        raise _named(exc, f"cannot find the host of {where}: {_reason(exc)}") from None
    except TimeoutError as exc:
        raise _named(exc, f"{where} did not answer within {settings.timeout:g} s") from None
    except ConnectionRefusedError as exc:
        raise _named(exc, f"{where} refused the connection") from None
    except OSError as exc:
        raise _named(exc, f"cannot connect to {where}: {_reason(exc)}") from None
    except EOFError:
        raise ConnectionResetError(f"{where} closed the connection before its greeting") from None
    except ftplib.Error as exc:
        raise _named(exc, f"{where} turned the connection away: {exc}") from None
    step = "logging in"
    try:
        if settings.tls:
            step = "starting TLS"
            client.auth()  # type: ignore[attr-defined]
            step = "logging in"
        client.login(settings.user, settings.password)
        if settings.tls:
            step = "protecting the data connections"
            client.prot_p()  # type: ignore[attr-defined]
    except ssl.SSLCertVerificationError as exc:
        where_from = f"the CA file {settings.cafile}" if settings.cafile else "the system's CA store"
        raise ssl.SSLCertVerificationError(
            exc.errno,
            f"the TLS certificate of {where} is not trusted: {exc.verify_message or exc.reason}"
            f" (checked against {where_from}; set cafile to the server's CA, or verify = false to"
            " skip the check)",
        ) from None
    except ftplib.Error as exc:
        reply = str(exc)
        wants_tls = not settings.tls and re.search(r"TLS|SSL|encrypt|secur", reply, re.IGNORECASE)
        if wants_tls:
            # Asking again in clear text cannot help (Pure-FTPd says so with a 421).
            raise LoginError(
                f"{where} refused the login of user {settings.user!r}: {reply}"
                " (the server asks for TLS: use an ftps:// URL or tls = true)"
            ) from None
        if not isinstance(exc, ftplib.error_perm):
            raise _named(exc, f"{where}: {step} failed: {reply}") from None
        if step == "logging in":
            raise LoginError(f"{where} refused the login of user {settings.user!r}: {reply}") from None
        if step == "starting TLS":
            raise LoginError(f"{where} refused TLS (AUTH TLS): {reply}; the server may not offer FTPS") from None
        raise LoginError(f"{where} refused {step}: {reply}") from None
    except TimeoutError as exc:
        raise _named(exc, f"{where} did not answer within {settings.timeout:g} s while {step}") from None
    except (OSError, EOFError) as exc:
        raise _named(exc, f"{where}: {step} failed: {_reason(exc)}") from None


# ---------------------------------------------------------------------------
# Path classes

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
    ``_section[0]`` and accepts nothing else), and it records every subclass
    of `BasePath` by class name, so that a backend can be found by name
    (`PathMeta.backend`); a later class of the same name takes the place of
    the earlier one.
    """

    _backends: "weakref.WeakValueDictionary[str, PathMeta]" = weakref.WeakValueDictionary()

    @classmethod
    def __prepare__(mcls, name: str, bases: tuple[type, ...], /, **kwargs: Any) -> dict[str, object]:
        return {}

    def __new__(mcls, name: str, bases: tuple[type, ...], namespace: dict[str, Any], /,
                **kwargs: Any) -> PathMeta:
        if "_section" in namespace:
            _check_section(name, namespace["_section"])
        cls = super().__new__(mcls, name, bases, namespace, **kwargs)
        if any(isinstance(base, PathMeta) for base in bases):
            PathMeta._backends[name] = cls
        return cls

    @staticmethod
    def backend(name: str) -> "PathMeta":
        """The path class last defined with class name *name*."""
        try:
            return PathMeta._backends[name]
        except KeyError:
            known = ", ".join(sorted(PathMeta._backends)) or "none"
            raise KeyError(f"no path backend named {name!r} (known: {known})") from None

    @staticmethod
    def backends() -> dict[str, "PathMeta"]:
        """The path classes by class name."""
        return dict(PathMeta._backends)


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
            if "://" in text and _URL.match(text):
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
        return (type(self).__qualname__, self._section[0], threading.get_ident())

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
            keywords["context"] = _tls().context_for(settings)
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
            _open(client, settings)
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
        tls = _tls()
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

        Called inside an ``except`` block; the exception being handled tells
        what may still be pending on the control connection:

        * an `ftplib.Error` (550 from RETR, MDTM, ...): its reply was read
          whole, so nothing should be; this checks, without waiting, that
          nothing arrived, and costs no round trip when so;
        * anything else (an exception from a transfer's callback, say): the
          transfer was abandoned and its closing reply is still to come; that
          reply is awaited (at most ``_RESYNC_WAIT`` seconds) and read.

        When anything unexpected was there, stale replies are dropped and one
        NOOP round is made, whose 200 shows the client is in step.  Where any
        of that fails (no reply in time, connection closed, garbage) the
        client is replaced through `_new_client`; if that fails too, it is
        dropped so the next operation connects.  The exception being handled
        stays the current one.
        """
        key = self._key_on_thread()
        client: ftplib.FTP | None = Local.getattr(key)
        if client is None:
            return
        handled = sys.exc_info()[1]
        transfer_pending = handled is not None and not isinstance(handled, ftplib.Error)
        try:
            in_step = _ControlReplies(client).resync(transfer_pending, self._RESYNC_WAIT)
        except Exception:
            in_step = False
        if in_step:
            return
        self._drop_client()
        try:
            self._new_client()
        except Exception:
            pass  # the next operation connects again and reports its own error
