"""Connecting an ftplib client and logging it in, with errors that name the
server (scheme, user, host, port; never the password).

`open_client` is what `dravlen.base.BasePath._new_client` does with a new
client: connect, then over TLS when the section asks for it (AUTH TLS,
login, PROT P), else log in.  A refused login is a `dravlen.base.LoginError`.
"""

from __future__ import annotations

import ftplib
import re
import socket
import ssl
from typing import Any

from dravlen.config import FTPSettings

__all__ = ["hide_password", "is_url", "open_client", "tls_module"]


# A URL's start: a scheme, then "://".
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def is_url(text: str) -> bool:
    """Whether *text* begins with a scheme and "://"."""
    return "://" in text and _URL.match(text) is not None


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


def tls_module() -> Any:
    """dravlen.ftp.tls, imported on first use (it loads ssl's contexts)."""
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


def open_client(client: ftplib.FTP, settings: FTPSettings) -> None:
    """Connect *client* and log it in (over TLS when *settings* ask); every
    failure names the server and the user, never the password."""
    from dravlen.base import LoginError  # base imports this module

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
