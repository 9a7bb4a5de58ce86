"""Connection settings for dravlen's backends.

Settings come from one INI file, overlaid by environment variables:

* the file is the one named by ``DRAVLEN_CONFIG`` if that is set, otherwise
  ``~/.config/dravlen/dravlen.ini`` if it exists, otherwise none;
* ``DRAVLEN_<SECTION>_<OPTION>=value`` then sets ``option`` of ``[section]``
  (``DRAVLEN_FTP_HOST=127.0.0.2``, ``DRAVLEN_FTP_PASV=false``).  The option is
  the part after the last underscore, so a section name may hold underscores
  (``DRAVLEN_FTP_BACKUP_PORT`` sets ``port`` of ``[ftp_backup]``).  The section
  is matched case-insensitively against the file's sections, and is taken in
  lower case when the file has none of that name; ``DRAVLEN_DEFAULT_<OPTION>``
  sets the INI ``[DEFAULT]`` section, which every section inherits.

An FTP section knows these options:

========  =========================================  ============
option    meaning                                    default
========  =========================================  ============
host      server name or address                     (required)
port      control port                               21
user      login name                                 anonymous
password  login password                             (empty)
timeout   socket timeout, seconds                    30
pasv      passive data connections                   true
encoding  text encoding of the control connection    utf-8
tls       explicit TLS (AUTH TLS, then PROT P)       false
verify    check the server's certificate and name    true
cafile    CA certificates (PEM) to trust instead     (the system store)
          of the system store
========  =========================================  ============

Any other option in a section that is read, or ``DRAVLEN_<SECTION>_<OPTION>``
variable for it, is a `ConfigError` that suggests the option meant: a
misspelt ``passwrod`` would otherwise be ignored and show up as a refused
login.  Variables for sections that are never read are left alone.

Sections may also be held in memory (`EnvConfig.add_section`): that is how
``dravlen.ftp.server(...)`` binds a path class to settings given in code.
They take the place of a file's section of the same name, and the
environment does not change them.

Nothing is read at import: each `EnvConfig.init_configer()` call reads the
file and the environment afresh, and the backends call it only when they make
a client.  Every problem is a `ConfigError` (a `ValueError`) whose message
names the section, the option and where the value came from.
"""

from __future__ import annotations

import codecs
import configparser
import difflib
import math
import os
import threading
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import quote

__all__ = ["ConfigError", "Configer", "EnvConfig", "FTPSettings"]


class ConfigError(ValueError):
    """A setting is missing or unusable; the message says which and where."""


class Configer(configparser.ConfigParser):
    """The parser `EnvConfig.init_configer` returns.

    A plain `configparser.ConfigParser` without interpolation (a ``%`` in a
    password is just a ``%``) that remembers where its values came from, so
    that `getint`, `getfloat` and `getboolean` fail with a `ConfigError`
    naming the section, the option and the file or environment variable.
    """

    def __init__(self) -> None:
        super().__init__(interpolation=None)
        #: The INI file that was read, if any.
        self.source_file: Path | None = None
        #: Sections given in code rather than read from the file or environment.
        self.in_memory: set[str] = set()
        self._env_names: dict[tuple[str, str], str] = {}

    def sections(self) -> list[str]:
        """The sections of the file and the environment; those held in memory
        for settings given in code (`in_memory`) are not listed, though
        every other method finds them."""
        return [name for name in super().sections() if name not in self.in_memory]

    def read_path(self, path: Path) -> None:
        """Read the INI file *path*; unreadable or malformed files are `ConfigError`."""
        try:
            with open(path, encoding="utf-8") as handle:
                self.read_file(handle, source=str(path))
        except configparser.Error as exc:
            raise ConfigError(f"dravlen configuration {path} is not valid INI: {exc}") from exc
        except (OSError, UnicodeDecodeError) as exc:
            raise ConfigError(f"cannot read dravlen configuration {path}: {exc}") from exc
        self.source_file = path

    def overlay_env(self, environ: Mapping[str, str], prefix: str, skip: frozenset[str] = frozenset()) -> None:
        """Set options from ``<prefix><SECTION>_<OPTION>`` variables of *environ*."""
        prefix = prefix.upper()
        for name in sorted(environ):
            upper = name.upper()
            if not upper.startswith(prefix) or upper in skip:
                continue
            section_part, _, option = name[len(prefix):].rpartition("_")
            if not section_part or not option:
                continue
            section = self._section_for(section_part)
            if section != configparser.DEFAULTSECT and not self.has_section(section):
                self.add_section(section)
            option = self.optionxform(option)
            self.set(section, option, environ[name])
            self._env_names[(section, option)] = name

    def _section_for(self, env_part: str) -> str:
        wanted = env_part.upper()
        if wanted == configparser.DEFAULTSECT:
            return configparser.DEFAULTSECT
        for section in self.sections():
            if section.upper() == wanted:
                return section
        return env_part.lower()

    def origin(self, section: str, option: str) -> str:
        """Where the value of *option* in *section* was set, for messages."""
        option = self.optionxform(option)
        if section in self.in_memory and self.has_option(section, option):
            own = self._sections.get(section, {})  # type: ignore[attr-defined]
            if option in own:
                return "the settings given in code"
        exact = self._env_names.get((section, option))
        if exact:
            return exact
        places = [str(self.source_file)] if self.source_file else []
        inherited = self._env_names.get((configparser.DEFAULTSECT, option))
        if inherited:
            places.append(inherited)
        return " or ".join(places) or "built-in defaults"

    def bad_value(self, section: str, option: str, expected: str) -> ConfigError:
        """The error for an unusable value of *option* in *section*."""
        value = self.get(section, option, raw=True, fallback=None)
        return ConfigError(
            f"dravlen configuration [{section}] {option} = {value!r}"
            f" (from {self.origin(section, option)}): expected {expected}"
        )

    def getint(self, section: str, option: str, **kwargs: Any) -> Any:
        try:
            return super().getint(section, option, **kwargs)
        except ValueError:
            raise self.bad_value(section, option, "an integer") from None

    def getfloat(self, section: str, option: str, **kwargs: Any) -> Any:
        try:
            return super().getfloat(section, option, **kwargs)
        except ValueError:
            raise self.bad_value(section, option, "a number") from None

    def getboolean(self, section: str, option: str, **kwargs: Any) -> Any:
        try:
            return super().getboolean(section, option, **kwargs)
        except ValueError:
            raise self.bad_value(section, option, "a boolean (true/false, yes/no, on/off, 1/0)") from None


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

    def __repr__(self) -> str:
        # The password is left out so that a logged or printed settings
        # object never shows it.
        shown = ", ".join(
            f"{name}={getattr(self, name)!r}"
            for name in ("host", "port", "user", "timeout", "pasv", "encoding", "tls", "verify", "cafile")
        )
        return f"FTPSettings({shown}, password=***)"

    @property
    def where(self) -> str:
        """The server as messages name it: scheme, user, host and port, never the password."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        user = quote(self.user, safe="")
        return f"{'ftps' if self.tls else 'ftp'}://{user}@{host}:{self.port}"


#: The options an FTP section may hold.
FTP_OPTIONS = ("host", "port", "user", "password", "timeout", "pasv", "encoding", "tls", "verify", "cafile")


class EnvConfig:
    """Reads dravlen's settings from the INI file and the environment.

    `init_configer()` gives the raw parser; `ftp_settings(section)` gives the
    checked options of an FTP section with their defaults applied.
    """

    ENV_FILE = "DRAVLEN_CONFIG"
    ENV_PREFIX = "DRAVLEN_"
    DEFAULT_FILE = "~/.config/dravlen/dravlen.ini"

    # Sections given in code: name -> options (text values, as in a file).
    _memory: dict[str, dict[str, str]] = {}
    _memory_lock = threading.Lock()

    @classmethod
    def add_section(cls, name: str, options: Mapping[str, object]) -> str:
        """Hold the section *name* with *options* in memory and return *name*.

        Every later `init_configer()` holds it, in place of a file's section
        of that name.  Adding the same options again under the same name is
        harmless; other options under a name already held are a `ConfigError`.
        """
        values = {str(key).lower(): _text(value) for key, value in options.items() if value is not None}
        for option in values:
            _check_option(name, option, lambda: "the settings given in code")
        with cls._memory_lock:
            held = cls._memory.get(name)
            if held is not None and held != values:
                raise ConfigError(f"dravlen configuration [{name}] is already held with other settings")
            cls._memory[name] = values
        return name

    @classmethod
    def memory_section(cls, name: str) -> dict[str, str] | None:
        """A copy of the options of the in-memory section *name*, or None."""
        with cls._memory_lock:
            held = cls._memory.get(name)
            return dict(held) if held is not None else None

    @classmethod
    def config_file(cls) -> Path | None:
        """The INI file to read: ``$DRAVLEN_CONFIG``, else the default file if present."""
        named = os.environ.get(cls.ENV_FILE)
        if named:
            path = Path(named).expanduser()
            if not path.is_file():
                raise ConfigError(f"{cls.ENV_FILE}={named!r} does not name a file")
            return path
        try:
            default = Path(cls.DEFAULT_FILE).expanduser()
        except RuntimeError:  # no home directory to expand "~" to
            return None
        return default if default.is_file() else None

    @classmethod
    def init_configer(cls) -> Configer:
        """Read the INI file (if any) and overlay the environment, afresh on each call."""
        configer = Configer()
        path = cls.config_file()
        if path is not None:
            configer.read_path(path)
        configer.overlay_env(os.environ, cls.ENV_PREFIX, skip=frozenset({cls.ENV_FILE}))
        with cls._memory_lock:
            held = list(cls._memory.items())
        for name, options in held:
            if configer.has_section(name):
                configer.remove_section(name)
            configer.add_section(name)
            for option, value in options.items():
                configer.set(name, option, value)
            configer.in_memory.add(name)
        return configer

    @classmethod
    def env_name(cls, section: str, option: str) -> str:
        """The environment variable that sets *option* of *section*."""
        return f"{cls.ENV_PREFIX}{section.upper()}_{option.upper()}"

    @classmethod
    def ftp_settings(cls, section: str, configer: Configer | None = None, *,
                     require_host: bool = True) -> FTPSettings:
        """The options of FTP section *section*, checked, with defaults applied.

        *require_host* false allows a missing host (its value is then ``""``),
        for callers that only need the options that do not connect.
        """
        c = configer if configer is not None else cls.init_configer()
        if c.has_section(section) or section == configparser.DEFAULTSECT:
            for option in c.options(section):
                _check_option(section, option, lambda option=option: c.origin(section, option))
        host = c.get(section, "host", fallback="").strip()
        if require_host and not host:
            where = c.source_file or f"a file named by {cls.ENV_FILE}"
            raise ConfigError(
                f"dravlen configuration [{section}] has no host: set host in [{section}] of {where}"
                f" or set {cls.env_name(section, 'host')}"
            )
        port: int = c.getint(section, "port", fallback=21)
        if not 0 < port < 65536:
            raise c.bad_value(section, "port", "a port number from 1 to 65535")
        timeout: float = c.getfloat(section, "timeout", fallback=30.0)
        if not (timeout > 0 and math.isfinite(timeout)):
            raise c.bad_value(section, "timeout", "a positive number of seconds")
        encoding = c.get(section, "encoding", fallback="utf-8").strip()
        try:
            codecs.lookup(encoding)
        except LookupError:
            raise c.bad_value(section, "encoding", "a text encoding known to Python") from None
        return FTPSettings(
            host=host,
            port=port,
            user=c.get(section, "user", fallback="anonymous"),
            password=c.get(section, "password", fallback=""),
            timeout=timeout,
            pasv=c.getboolean(section, "pasv", fallback=True),
            encoding=encoding,
            tls=c.getboolean(section, "tls", fallback=False),
            verify=c.getboolean(section, "verify", fallback=True),
            cafile=_cafile(c, section),
        )


def _cafile(c: Configer, section: str) -> str:
    cafile = c.get(section, "cafile", fallback="").strip()
    if cafile:
        path = Path(cafile).expanduser()
        if not path.is_file():
            raise c.bad_value(section, "cafile", "a file of PEM certificates")
        cafile = str(path)
    return cafile


def _text(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _check_option(section: str, option: str, origin: Any) -> None:
    """A `ConfigError` for an option no FTP section knows, with the likely one meant."""
    if option in FTP_OPTIONS:
        return
    close = difflib.get_close_matches(option, FTP_OPTIONS, n=1, cutoff=0.6)
    hint = f"; did you mean {close[0]!r}?" if close else "."
    raise ConfigError(
        f"dravlen configuration [{section}] has an unknown option {option!r} (from {origin()}){hint}"
        f" Known options: {', '.join(FTP_OPTIONS)}."
    )
