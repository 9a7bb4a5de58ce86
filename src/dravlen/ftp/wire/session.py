"""The FTP session: making an ftplib client, connecting it and logging it in
(over explicit or implicit TLS when the section asks), telling when it is unusable, and
bringing its control connection back in step after an error.

`FTPSession` is what `dravlen.base.BasePath` asks about clients of
`ftplib.FTP` (and its subclasses): this module registers it on import,
which `dravlen.ftp`'s loader does the first time one of its path classes
needs a client.  Everything it knows of a server comes from the section's
`FTPSettings` value (`ftp_settings`): held as it is for settings given in
code, made once per reading of the configuration for a section of the file
and environment (each new client reads it once,
`dravlen.config.EnvConfig.reading`).  Every failure to connect or log in
names the server and the user, never the password; a refused login is a
`dravlen.base.LoginError`.
"""

from __future__ import annotations

import ftplib
import re
import socket
import ssl
from typing import Any

from dravlen.base import BasePath, LoginError, register_session
from dravlen.config import ConfigError
from dravlen.ftp.settings import IMPLICIT_PORT, FTPSettings, ftp_settings
from dravlen.ftp.wire import client as wire
from dravlen.ftp.wire import replies
from dravlen.ftp.wire.codec import escaping
from dravlen.ftp.wire.dialects import LIST_ZONE
from dravlen.ftp.wire.proxy import ProxyError, route_for
from dravlen.ftp.wire.rate import MAX_RATE
from dravlen.ftp.wire.replies import reason
from dravlen.ftp.wire.resync import hang_up, in_step
from dravlen.ftp.wire.transfer import confirm_size

__all__ = ["FTPSession", "open_client"]


class FTPSession:
    """The session of ftplib clients (see `dravlen.base.Session`)."""

    def keywords(self, creator: Any, section: str) -> dict[str, Any]:
        """``timeout`` and ``encoding``, and the TLS ``context`` for a TLS client
        class when the section asks for TLS.  The encoding is the configured
        one with undecodable bytes kept as escapes (`dravlen.ftp.wire.codec`), so
        that names which are not valid text in it still round-trip."""
        settings = ftp_settings(section, require_host=False)
        keywords: dict[str, Any] = {"timeout": settings.timeout, "encoding": escaping(settings.encoding)}
        if settings.tls and isinstance(creator, type) and issubclass(creator, ftplib.FTP_TLS):
            keywords["context"] = _tls().context_for(settings)
        return keywords

    def connect(self, path: BasePath, client: ftplib.FTP, section: str) -> ftplib.FTP:
        """Connect *client* and log it in; over TLS when the section asks,
        replacing a plain ``ftplib.FTP`` by a TLS client."""
        settings = ftp_settings(section)
        if settings.tls and not isinstance(client, ftplib.FTP_TLS):
            client = _tls_client_for(path, client, settings)
        elif settings.implicit:
            if not isinstance(client, _tls().TLSClient):
                raise ConfigError(
                    f"dravlen configuration [{path._section[0]}] asks for implicit TLS, which the client class of"
                    f" {type(path).__name__} ({type(client).__qualname__}) cannot speak"
                )
            client.implicit = True
        elif type(client) is ftplib.FTP:
            # The plain client reads its server under the wire's bounds.
            bounded = wire.Client(timeout=settings.timeout, encoding=client.encoding)
            bounded.set_pasv(bool(client.passiveserver))
            client = bounded
        if isinstance(client, wire.Bounded):
            client.limits = settings.limits
        if settings.zone is not None:
            setattr(client, LIST_ZONE, (settings.zone, False))
        if settings.max_rate:
            setattr(client, MAX_RATE, settings.max_rate)  # for transfers outside a call's own limit
        open_client(client, settings)
        return client

    def unusable(self, client: ftplib.FTP) -> bool:
        """Closed, or its reply file broken by a read that timed out."""
        if client.sock is None or client.file is None or client.sock.fileno() < 0:
            return True
        if getattr(client.file, "timed_out", False) is True:  # the wire's reader
            return True
        raw = getattr(getattr(client.file, "buffer", None), "raw", None)
        return getattr(raw, "_timeout_occurred", False) is True

    def lost(self, exc: BaseException) -> bool:
        return replies.lost(exc)

    def end(self, client: ftplib.FTP) -> None:
        # A server whose transfer is cut without a QUIT may work on (ProFTPD
        # goes on listing for a gone client).
        hang_up(client)

    def in_step(self, client: ftplib.FTP, handled: BaseException | None, wait: float) -> bool:
        return in_step(client, handled, wait)

    def confirm(self, path: BasePath, client: ftplib.FTP, moved: int, where: str) -> None:
        confirm_size(path, client, moved, where)


def _tls() -> Any:
    """dravlen.ftp.wire.tls, imported on first use (it loads ssl's contexts)."""
    from dravlen.ftp.wire import tls

    return tls


def _tls_client_for(path: BasePath, client: ftplib.FTP, settings: FTPSettings) -> ftplib.FTP:
    """The TLS client that takes the place of the plain ``ftplib.FTP``
    that `_reset` made for a section that asks for TLS."""
    if type(client) is not ftplib.FTP:
        raise ConfigError(
            f"dravlen configuration [{path._section[0]}] asks for tls, but the client class of"
            f" {type(path).__name__} ({type(client).__qualname__}) is no ftplib.FTP_TLS"
        )
    tls = _tls()
    # The encoding is the one _reset gave the plain client (names that are
    # no valid text kept as escapes).
    secure = tls.TLSClient(timeout=settings.timeout, encoding=client.encoding, context=tls.context_for(settings))
    secure.set_pasv(settings.pasv)
    secure.implicit = settings.implicit
    return secure  # type: ignore[no-any-return]


def _named(exc: BaseException, message: str) -> BaseException:
    """An exception of *exc*'s class (its errno kept) carrying *message*."""
    kind = type(exc)
    try:
        if isinstance(exc, OSError) and exc.errno is not None:
            return kind(exc.errno, message)
        return kind(message)
    except Exception:
        return ConnectionError(message)


def _untrusted(exc: ssl.SSLCertVerificationError, settings: FTPSettings) -> ssl.SSLCertVerificationError:
    where_from = f"the CA file {settings.cafile}" if settings.cafile else "the system's CA store"
    return ssl.SSLCertVerificationError(
        exc.errno,
        f"the TLS certificate of {settings.where} is not trusted: {exc.verify_message or exc.reason}"
        f" (checked against {where_from}; set cafile to the server's CA, or verify = false to"
        " skip the check)",
    )


#: Words of the TLS alerts a server sends when it wants a client
#: certificate it was not given, or refuses the one it was.
_CERTIFICATE_ALERTS = ("CERTIFICATE", "HANDSHAKE_FAILURE", "ACCESS_DENIED", "UNKNOWN_CA")


def _tls_failed(exc: ssl.SSLError, settings: FTPSettings, step: str) -> ssl.SSLError:
    """The error for TLS that failed while *step*, with what it likely means."""
    where, why = settings.where, exc.reason or reason(exc)
    alert = any(word in str(exc.reason) for word in _CERTIFICATE_ALERTS)
    # vsftpd at times closes without its alert reaching the client: TLS just ends.
    if alert or isinstance(exc, ssl.SSLEOFError):
        hint = (f"the server {'refused' if alert else 'may have refused'} the client certificate {settings.certfile}"
                if settings.certfile else "the server may require a client certificate: set certfile (and keyfile)")
        message = f"{where}: TLS failed while {step}: {why} ({hint})"
    elif settings.implicit and step == "connecting":
        message = (f"{where}: TLS failed at the first byte: {why} (implicit TLS; a server that speaks plain"
                   " FTP first, then AUTH TLS, wants tls = true, usually on port 21)")
    else:
        message = f"{where}: TLS failed while {step}: {why}"
    return _named(exc, message)  # type: ignore[return-value]


def _route(client: ftplib.FTP, settings: FTPSettings) -> None:
    """Give *client* the proxy its connections go through, if any (the
    setting, else the environment: `dravlen.ftp.wire.proxy.route_for`)."""
    try:
        route = route_for(settings.proxy, settings.host, settings.port, settings.where)
    except ValueError as exc:
        raise ConfigError(f"{settings.where}: {exc}") from None
    if route is not None and not isinstance(client, wire.Bounded):
        raise ConfigError(f"{settings.where} is reached through the proxy {route.proxy.label} (set by {route.origin}),"
                          f" which the client class {type(client).__qualname__} cannot do")
    if route is not None and not settings.pasv:
        raise route.refuses_active()
    if isinstance(client, wire.Bounded):
        client.route = route


def open_client(client: ftplib.FTP, settings: FTPSettings) -> None:
    """Connect *client* and log it in (over TLS when *settings* ask); every
    failure names the server and the user, never the password."""
    where = settings.where
    _route(client, settings)
    try:
        client.connect(settings.host, settings.port)
    except ProxyError:
        raise  # it names the proxy and the server already
    except socket.gaierror as exc:
        raise _named(exc, f"cannot find the host of {where}: {reason(exc)}") from None
    except TimeoutError as exc:
        silent = f"{where} did not answer within {settings.timeout:g} s"
        if settings.port == IMPLICIT_PORT and not settings.implicit:
            # Port 990's server waits for TLS from the first byte: silence is what it says.
            silent += " (port 990 is implicit FTPS's: for TLS from the first byte, set tls = implicit)"
        raise _named(exc, silent) from None
    except ConnectionRefusedError as exc:
        raise _named(exc, f"{where} refused the connection") from None
    except ssl.SSLCertVerificationError as exc:
        raise _untrusted(exc, settings) from None
    except ssl.SSLError as exc:
        raise _tls_failed(exc, settings, "connecting") from None
    except OSError as exc:
        raise _named(exc, f"cannot connect to {where}: {reason(exc)}") from None
    except EOFError:
        raise ConnectionResetError(f"{where} closed the connection before its greeting") from None
    except ftplib.Error as exc:
        raise _named(exc, f"{where}{replies.TURNED_AWAY}{exc}") from None
    step = "logging in"
    try:
        if settings.tls and not settings.implicit:
            step = "starting TLS"
            client.auth()  # type: ignore[attr-defined]
            step = "logging in"
        client.login(settings.user, settings.password)
        if settings.tls:
            step = "protecting the data connections"
            client.prot_p()  # type: ignore[attr-defined]
    except ssl.SSLCertVerificationError as exc:
        raise _untrusted(exc, settings) from None
    except ssl.SSLError as exc:
        raise _tls_failed(exc, settings, step) from None
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
        raise _named(exc, f"{where}: {step} failed: {reason(exc)}") from None


register_session(ftplib.FTP, FTPSession())
