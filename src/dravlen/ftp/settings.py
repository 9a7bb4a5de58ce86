"""The options of an FTP section: their names, defaults and checks, and the
label that names a server in messages and class names.

=============  =========================================  ==================
option         meaning                                    default
=============  =========================================  ==================
host           server name or address                     (required)
port           control port                               21
user           login name                                 anonymous
password       login password                             (empty)
timeout        socket timeout, seconds (and the           30
               longest a whole reply may take)
pasv           passive data connections                   true
encoding       text encoding of the control connection    utf-8
tls            explicit TLS (AUTH TLS, then PROT P)       false
verify         check the server's certificate and name    true
cafile         CA certificates (PEM) to trust instead     (the system store)
               of the system store
maxreply       bytes of one reply, all its lines          1 MiB
maxlisting     bytes of one directory listing             256 MiB
timezone       the zone of the server's LIST times:       (learnt: MDTM)
               ``UTC``, an offset such as ``+09:00``,
               or a name such as ``Asia/Tokyo``
=============  =========================================  ==================

Where the values come from (file, environment, settings given in code) is
`dravlen.config`'s business; a bad value is a `ConfigError` naming the
section, the option and its source.
"""

from __future__ import annotations

import codecs
import math
import re
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import timedelta, timezone, tzinfo
from pathlib import Path
from types import MappingProxyType
from typing import Any
from urllib.parse import quote
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from dravlen.config import Configer, EnvConfig
from dravlen.ftp.wire.bounds import DEFAULT as DEFAULT_LIMITS, Limits

__all__ = ["DEFAULTS", "OPTIONS", "FTPSettings", "ftp_settings", "label"]

#: Every option but ``host`` and its default, as `dravlen.ftp.server` and
#: the checks below both take them.
DEFAULTS: Mapping[str, Any] = MappingProxyType({
    "port": 21, "user": "anonymous", "password": "", "timeout": 30, "pasv": True,
    "encoding": "utf-8", "tls": False, "verify": True, "cafile": "",
    "maxreply": DEFAULT_LIMITS.reply, "maxlisting": DEFAULT_LIMITS.listing, "timezone": "",
})
#: The options an FTP section may hold.
OPTIONS: tuple[str, ...] = ("host", *DEFAULTS)


def label(*, tls: bool, user: str, host: str, port: int) -> str:
    """The server as messages and class names show it: scheme, user, host
    and port, never the password."""
    host = f"[{host}]" if ":" in host else host
    return f"{'ftps' if tls else 'ftp'}://{quote(user, safe='')}@{host}:{port}"


@dataclass(frozen=True)
class FTPSettings:
    """The checked options of one FTP section."""

    host: str
    port: int
    user: str
    password: str
    timeout: float
    pasv: bool
    encoding: str
    tls: bool = False
    verify: bool = True
    cafile: str = ""
    maxreply: int = DEFAULT_LIMITS.reply
    maxlisting: int = DEFAULT_LIMITS.listing
    timezone: str = ""

    @property
    def zone(self) -> tzinfo | None:
        """The zone of the server's LIST times; None: learnt from the server."""
        return _zone(self.timezone) if self.timezone else None

    @property
    def limits(self) -> Limits:
        """What the server may send (see `dravlen.ftp.wire.Limits`)."""
        return Limits(reply=self.maxreply, listing=self.maxlisting)

    def __repr__(self) -> str:
        # The password is left out so that a logged or printed settings
        # object never shows it.
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in OPTIONS if name != "password")
        return f"FTPSettings({shown}, password=***)"

    @property
    def where(self) -> str:
        """The server as messages name it (`label`)."""
        return label(tls=self.tls, user=self.user, host=self.host, port=self.port)


def ftp_settings(section: str, configer: Configer | None = None, *, require_host: bool = True) -> FTPSettings:
    """The options of FTP section *section*, checked, with defaults applied.

    *configer* is a reading of the configuration (`EnvConfig.init_configer()`
    when not given).  *require_host* false allows a missing host (its value
    is then ``""``), for callers that only need the options that do not
    connect.
    """
    c = configer if configer is not None else EnvConfig.init_configer()
    EnvConfig.check_section(c, section, OPTIONS)
    host = c.get(section, "host", fallback="").strip()
    if require_host and not host:
        raise EnvConfig.missing(c, section, "host")
    port: int = c.getint(section, "port", fallback=DEFAULTS["port"])
    if not 0 < port < 65536:
        raise c.bad_value(section, "port", "a port number from 1 to 65535")
    timeout: float = c.getfloat(section, "timeout", fallback=float(DEFAULTS["timeout"]))
    if not (timeout > 0 and math.isfinite(timeout)):
        raise c.bad_value(section, "timeout", "a positive number of seconds")
    encoding = c.get(section, "encoding", fallback=DEFAULTS["encoding"]).strip()
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise c.bad_value(section, "encoding", "a text encoding known to Python") from None
    return FTPSettings(
        host=host,
        port=port,
        user=c.get(section, "user", fallback=DEFAULTS["user"]),
        password=c.get(section, "password", fallback=DEFAULTS["password"]),
        timeout=timeout,
        pasv=c.getboolean(section, "pasv", fallback=DEFAULTS["pasv"]),
        encoding=encoding,
        tls=c.getboolean(section, "tls", fallback=DEFAULTS["tls"]),
        verify=c.getboolean(section, "verify", fallback=DEFAULTS["verify"]),
        cafile=_cafile(c, section),
        maxreply=_bytes(c, section, "maxreply"),
        maxlisting=_bytes(c, section, "maxlisting"),
        timezone=_timezone(c, section),
    )


_OFFSET = re.compile(r"([+-])([0-9]{1,2})(?::?([0-9]{2}))?")


def _zone(text: str) -> tzinfo:
    """The zone *text* names: ``UTC``, ``+09:00`` (or ``+0900``, ``-5``), or
    a name in the system's zone database; ValueError otherwise."""
    if text.upper() in ("UTC", "Z", "GMT"):
        return timezone.utc
    m = _OFFSET.fullmatch(text)
    if m is not None:
        minutes = int(m[2]) * 60 + int(m[3] or 0)
        if minutes > 14 * 60:
            raise ValueError(text)
        return timezone(timedelta(minutes=-minutes if m[1] == "-" else minutes))
    try:
        return ZoneInfo(text)
    except (ZoneInfoNotFoundError, ValueError):
        raise ValueError(text) from None


def _timezone(c: Configer, section: str) -> str:
    text = c.get(section, "timezone", fallback="").strip()
    if text:
        try:
            _zone(text)
        except ValueError:
            raise c.bad_value(section, "timezone",
                              "UTC, an offset such as +09:00, or a zone name such as Asia/Tokyo") from None
    return text


def _bytes(c: Configer, section: str, option: str) -> int:
    """A bound on what the server may send, in bytes."""
    value: int = c.getint(section, option, fallback=DEFAULTS[option])
    if value < 1024:
        raise c.bad_value(section, option, "a number of bytes, at least 1024")
    return value


def _cafile(c: Configer, section: str) -> str:
    cafile = c.get(section, "cafile", fallback="").strip()
    if cafile:
        path = Path(cafile).expanduser()
        if not path.is_file():
            raise c.bad_value(section, "cafile", "a file of PEM certificates")
        cafile = str(path)
    return cafile

