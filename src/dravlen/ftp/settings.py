"""The options of an FTP section: their names, defaults and checks, and the
label that names a server in messages and class names.

=============  =========================================  ==================
option         meaning                                    default
=============  =========================================  ==================
host           server name or address                     (required)
port           control port                               21 (990 for
                                                          implicit TLS)
user           login name                                 anonymous
password       login password                             (empty)
timeout        socket timeout, seconds (and the           30
               longest a whole reply may take)
pasv           passive data connections                   true
encoding       text encoding of the control connection    utf-8
tls            explicit TLS (AUTH TLS, then PROT P):      false
               true; TLS from the first byte: implicit
verify         check the server's certificate and name    true
cafile         CA certificates (PEM) to trust instead     (the system store)
               of the system store
certfile       client certificate (PEM), for servers      (none)
               that require one; may hold the key too
keyfile        the client certificate's private key       (in certfile)
               (PEM, no passphrase)
maxreply       bytes of one reply, all its lines          1 MiB
maxlisting     bytes of one directory listing             256 MiB
max_rate       bytes a second a call's data connections   0 (no limit)
               move at most, together: ``2M``, ``512k``
timezone       the zone of the server's LIST times:       (learnt: MDTM)
               ``UTC``, an offset such as ``+09:00``,
               or a name such as ``Asia/Tokyo``
proxy          the proxy every connection goes through:   (the environment:
               ``socks5://[user[:password]@]host:port``,  ALL_PROXY,
               ``socks5h://...`` or ``http://...``;       NO_PROXY)
               ``none`` or empty: no proxy
=============  =========================================  ==================

Where the values come from (file, environment, URL, keywords) is told
apart only here: each source is checked once, where it enters, into one
`FTPSettings` value that everything else reads.

* settings given in code (`dravlen.ftp.server`): `given_settings` checks
  them and `hold` keeps the value with the in-memory section of
  `dravlen.config`, whose text options stay for the compiled core (it
  reads ``pasv`` there);
* a section of the INI file and the environment: read afresh for each new
  client, and turned into a value once per reading of the configuration
  (kept with the reading, `dravlen.config.Configer.derived`).

`ftp_settings` hands out the value of a section, whichever it is.  A bad
value is a `ConfigError` naming the section, the option and its source.
"""

from __future__ import annotations

import codecs
import functools
import math
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import timedelta, timezone, tzinfo
from pathlib import Path
from types import MappingProxyType
from typing import Any
from urllib.parse import quote
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from dravlen.config import IN_CODE, Configer, ConfigError, EnvConfig, bad_value
from dravlen.ftp.wire.bounds import DEFAULT as DEFAULT_LIMITS
from dravlen.ftp.wire.bounds import Limits, server_of
from dravlen.ftp.wire.proxy import OFF as PROXY_OFF
from dravlen.ftp.wire.proxy import parse_proxy
from dravlen.ftp.wire.rate import parse_rate
from dravlen.urls import hide_password

__all__ = ["DEFAULTS", "IMPLICIT", "IMPLICIT_PORT", "OPTIONS", "FTPSettings", "KeptLogin", "default_port",
           "ftp_settings", "given_settings", "held_settings", "hold", "kept_login", "label"]

#: Every option but ``host`` and its default, as `dravlen.ftp.server` and
#: the checks below both take them.
DEFAULTS: Mapping[str, Any] = MappingProxyType({
    "port": 21, "user": "anonymous", "password": "", "timeout": 30, "pasv": True,
    "encoding": "utf-8", "tls": False, "verify": True, "cafile": "", "certfile": "", "keyfile": "",
    "maxreply": DEFAULT_LIMITS.reply, "maxlisting": DEFAULT_LIMITS.listing, "timezone": "",
    "max_rate": 0,
    # None: not set, so the environment decides (`dravlen.ftp.wire.proxy.route_for`).
    "proxy": None,
})
#: The options an FTP section may hold.
OPTIONS: tuple[str, ...] = ("host", *DEFAULTS)

#: The value of ``tls`` for TLS from the first byte (implicit FTPS); true is
#: explicit TLS (``AUTH TLS``), false none.
IMPLICIT = "implicit"
#: The port of implicit FTPS, its default.
IMPLICIT_PORT = 990


def default_port(tls: object) -> int:
    """The port where none is given, for *tls* as set (a value or its text)."""
    return IMPLICIT_PORT if _text(tls).strip().lower() == IMPLICIT else int(DEFAULTS["port"])


def label(*, tls: bool | str, user: str, host: str, port: int) -> str:
    """The server as messages and class names show it: scheme, user, host
    and port, never the password (``ftps`` for either kind of TLS)."""
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
    #: False, True (explicit) or `IMPLICIT`: true whenever TLS is used.
    tls: bool | str = False
    verify: bool = True
    cafile: str = ""
    certfile: str = ""
    keyfile: str = ""
    maxreply: int = DEFAULT_LIMITS.reply
    maxlisting: int = DEFAULT_LIMITS.listing
    timezone: str = ""
    #: Bytes a second the data connections of one call move at most; 0: no limit.
    max_rate: int = 0
    #: The proxy URL; "" for none; None: not set (the environment decides).
    proxy: str | None = None

    @functools.cached_property
    def zone(self) -> tzinfo | None:
        """The zone of the server's LIST times; None: learnt from the server."""
        return _zone(self.timezone) if self.timezone else None

    @property
    def implicit(self) -> bool:
        """Whether TLS starts at the first byte (implicit FTPS)."""
        return self.tls == IMPLICIT

    @property
    def limits(self) -> Limits:
        """What the server may send (see `dravlen.ftp.wire.Limits`)."""
        return Limits(reply=self.maxreply, listing=self.maxlisting)

    def __repr__(self) -> str:
        # The password is left out so that a logged or printed settings
        # object never shows it.
        shown = ", ".join(f"{name}={_shown(name, getattr(self, name))!r}" for name in OPTIONS if name != "password")
        return f"FTPSettings({shown}, password=***)"

    @property
    def where(self) -> str:
        """The server as messages name it (`label`)."""
        return label(tls=self.tls, user=self.user, host=self.host, port=self.port)

    def options(self) -> dict[str, Any]:
        """Every option and its value, as a section holds them."""
        return {name: getattr(self, name) for name in OPTIONS}


def ftp_settings(section: str, configer: Configer | None = None, *, require_host: bool = True) -> FTPSettings:
    """The settings of FTP section *section*, checked, with defaults applied.

    Settings given in code are their held value (`hold`).  A section of the
    file and the environment is read from *configer*, a reading of the
    configuration (`EnvConfig.init_configer()` when not given: inside
    ``EnvConfig.reading()``, the one of the client being made), and turned
    into a value once per reading.  *require_host* false allows a missing
    host (its value is then ``""``), for callers that only need the options
    that do not connect.
    """
    held = held_settings(section)
    if held is not None:
        return held
    c = configer if configer is not None else EnvConfig.init_configer()
    key = (FTPSettings, section)
    settings = c.derived.get(key)
    if not isinstance(settings, FTPSettings):
        EnvConfig.check_section(c, section, OPTIONS)
        # A missing host is told before any other value is read.
        if require_host and not c.get(section, "host", fallback="").strip():
            raise EnvConfig.missing(c, section, "host")
        given = {option: c.get(section, option) for option in OPTIONS if c.has_option(section, option)}
        settings = c.derived[key] = _checked(section, given, lambda option: c.origin(section, option))
    if require_host and not settings.host:
        raise EnvConfig.missing(c, section, "host")
    return settings


def where_of(path_or_class: Any, client: Any = None) -> str | None:
    """The server of a path (or path class) as messages name it: its
    settings' label, never a password.  Where they cannot be read, the
    address of *client* when one is given, else None.  A message must not
    fail for want of a name."""
    cls: Any = path_or_class if isinstance(path_or_class, type) else type(path_or_class)
    try:
        return ftp_settings(cls._section[0]).where
    except (ValueError, TypeError, AttributeError, IndexError):  # ConfigError is a ValueError
        return None if client is None else server_of(client)


def given_settings(section: str, options: Mapping[str, object]) -> FTPSettings:
    """The settings given in code (URL parts and keywords) for *section*,
    checked now, with defaults for what *options* leaves out.

    A value is taken as its text would be read from a file (``port="2121"``
    is 2121, ``pasv="no"`` false), and a bad one is a `ConfigError` naming
    the section, the option and the settings given in code."""
    return _checked(section, {key: value for key, value in options.items() if value is not None},
                    lambda option: IN_CODE)


def hold(section: str, settings: FTPSettings) -> str:
    """Hold *settings* as the in-memory section *section* (see
    `dravlen.config.EnvConfig.add_section`) and return *section*: its
    clients take the value, the compiled core the text of its options.
    Every option is held, so that nothing comes from a ``[DEFAULT]``
    section of the file."""
    return EnvConfig.add_section(section, settings.options(), OPTIONS, made=settings)


def held_settings(section: str) -> FTPSettings | None:
    """The settings held for *section* (`hold`), or None."""
    held = EnvConfig.held_value(section)
    return held if isinstance(held, FTPSettings) else None


@dataclass(frozen=True)
class KeptLogin:
    """The password a section keeps, with what decides where it may go: the
    section's host (``""``: it names none), its user (None: it names none)
    and whether it asks for TLS."""

    host: str
    user: str | None
    password: str
    tls: bool | str

    def __repr__(self) -> str:
        return f"KeptLogin(host={self.host!r}, user={self.user!r}, tls={self.tls!r}, password=***)"


def kept_login(section: str, configer: Configer | None = None) -> KeptLogin | None:
    """The login section *section* keeps, None if it keeps no password.

    Only the options a login needs are read (and the names of the others
    checked): a section may lend its password to a connection it does not
    make, and its other values are checked when it makes one."""
    held = held_settings(section)
    if held is not None:
        return KeptLogin(host=held.host, user=held.user, password=held.password, tls=held.tls)
    c = configer if configer is not None else EnvConfig.init_configer()
    EnvConfig.check_section(c, section, OPTIONS)
    if not c.has_option(section, "password"):
        return None
    tls = c.get(section, "tls", fallback=None)
    return KeptLogin(
        host=c.get(section, "host", fallback="").strip(),
        user=c.get(section, "user") if c.has_option(section, "user") else None,
        password=c.get(section, "password"),
        tls=False if tls is None else _tls(section, tls, lambda option: c.origin(section, option)),
    )


# ---------------------------------------------------------------------------
# Checking: one path for every source, so that the same value is taken or
# refused alike and named alike whether it came from a file, the
# environment, a URL or a keyword.

_Origin = Callable[[str], str]


def _text(value: object) -> str:
    """*value* as a file would hold it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _refused(section: str, option: str, value: object, origin: _Origin, expected: str) -> ConfigError:
    return bad_value(section, option, _text(value), origin(option), expected)


def _integer(section: str, option: str, value: object, origin: _Origin) -> int:
    if type(value) is int:
        return value
    try:
        return int(_text(value))
    except ValueError:
        raise _refused(section, option, value, origin, "an integer") from None


def _number(section: str, option: str, value: object, origin: _Origin) -> float:
    if type(value) is float:
        return value
    try:  # an int too: its text reads as float does (one too large is inf)
        return float(_text(value))
    except ValueError:
        raise _refused(section, option, value, origin, "a number") from None


def _boolean(section: str, option: str, value: object, origin: _Origin) -> bool:
    if type(value) is bool:
        return value
    try:
        return Configer.BOOLEAN_STATES[_text(value).lower()]
    except KeyError:
        raise _refused(section, option, value, origin,
                       "a boolean (true/false, yes/no, on/off, 1/0)") from None


def _tls(section: str, value: object, origin: _Origin) -> bool | str:
    """``tls`` as set: `IMPLICIT`, ``explicit`` (true) or a boolean."""
    word = _text(value).strip().lower()
    if word in (IMPLICIT, "explicit"):
        return IMPLICIT if word == IMPLICIT else True
    try:
        return _boolean(section, "tls", value, origin)
    except ConfigError:
        raise _refused(section, "tls", value, origin,
                       "true (explicit TLS), implicit (TLS from the first byte) or false") from None


def _shown(option: str, value: object) -> object:
    """*value* of *option* as messages show it: a proxy URL without its password."""
    return hide_password(value) if option == "proxy" and isinstance(value, str) else value


def _proxy(section: str, given: Mapping[str, object], origin: _Origin, pasv: bool) -> str | None:
    """``proxy`` as set: its URL, checked; "" for none; None where unset."""
    if "proxy" not in given:
        return None
    value = _text(given["proxy"]).strip()
    if value.lower() in PROXY_OFF:
        return ""
    try:
        parse_proxy(value)
    except ValueError as exc:
        raise bad_value(section, "proxy", hide_password(value), origin("proxy"),
                        f"socks5://[user[:password]@]host:port, socks5h://..., http://... or none ({exc})") from None
    if not pasv:
        raise _refused(section, "pasv", given.get("pasv", False), origin,
                       "true where a proxy is set: active mode cannot work through a proxy")
    return value


def _checked(section: str, given: Mapping[str, object], origin: _Origin) -> FTPSettings:
    """The settings of *given* (an option's value as set, text or a Python
    value), checked in the order of `OPTIONS`, with defaults for the rest.
    *origin(option)* names where an option was set."""

    def text(option: str, default: str) -> str:
        return _text(given[option]) if option in given else default

    def whole(option: str) -> int:
        return _integer(section, option, given[option], origin) if option in given else int(DEFAULTS[option])

    def refused(option: str, expected: str) -> ConfigError:
        return _refused(section, option, given[option], origin, expected)

    host = text("host", "").strip()
    port = whole("port") if "port" in given else None
    if port is not None and not 0 < port < 65536:
        raise refused("port", "a port number from 1 to 65535")
    timeout = (_number(section, "timeout", given["timeout"], origin) if "timeout" in given
               else float(DEFAULTS["timeout"]))
    if not (timeout > 0 and math.isfinite(timeout)):
        raise refused("timeout", "a positive number of seconds")
    encoding = text("encoding", DEFAULTS["encoding"]).strip()
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise refused("encoding", "a text encoding known to Python") from None
    user = text("user", DEFAULTS["user"])
    password = text("password", DEFAULTS["password"])

    def flag(option: str) -> bool:
        return _boolean(section, option, given[option], origin) if option in given else bool(DEFAULTS[option])

    def size(option: str) -> int:
        value = whole(option)
        if value < 1024:
            raise refused(option, "a number of bytes, at least 1024")
        return value

    def pem(option: str, expected: str) -> str:
        name = text(option, "").strip()
        if not name:
            return ""
        path = Path(name).expanduser()
        try:
            with open(path, "rb"):
                pass
        except OSError as exc:
            problem = "missing" if isinstance(exc, FileNotFoundError) else exc.strerror or "unreadable"
            raise refused(option, f"{expected} ({path}: {problem})") from None
        if not path.is_file():
            raise refused(option, f"{expected} ({path} is no file)")
        return str(path)

    pasv, verify = flag("pasv"), flag("verify")
    tls = _tls(section, given["tls"], origin) if "tls" in given else bool(DEFAULTS["tls"])
    if port is None:
        port = default_port(tls)
    cafile = pem("cafile", "a file of PEM certificates")
    certfile = pem("certfile", "a file holding a PEM client certificate")
    keyfile = pem("keyfile", "a file holding the PEM private key of certfile")
    if keyfile and not certfile:
        raise refused("keyfile", "no keyfile without certfile (the client certificate it is the key of)")
    if certfile and not tls:
        raise refused("certfile", "no client certificate where tls is false (it is sent only over TLS)")
    maxreply, maxlisting = size("maxreply"), size("maxlisting")
    zone = text("timezone", "").strip()
    if zone:
        try:
            _zone(zone)
        except ValueError:
            raise refused("timezone", "UTC, an offset such as +09:00, or a zone name such as Asia/Tokyo") from None
    try:
        max_rate = parse_rate(given["max_rate"]) if "max_rate" in given else 0
    except ValueError:
        raise refused("max_rate", "bytes a second: a whole number, or one with k, M or G after it"
                      " (2M is 2 MiB a second); 0 for no limit") from None
    proxy = _proxy(section, given, origin, pasv)
    return FTPSettings(host=host, port=port, user=user, password=password, timeout=timeout, pasv=pasv,
                       encoding=encoding, tls=tls, verify=verify, cafile=cafile, certfile=certfile,
                       keyfile=keyfile, maxreply=maxreply,
                       maxlisting=maxlisting, timezone=zone, max_rate=max_rate, proxy=proxy)


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
