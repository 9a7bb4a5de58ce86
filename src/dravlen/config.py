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
========  =========================================  ============

Nothing is read at import: each `EnvConfig.init_configer()` call reads the
file and the environment afresh, and the backends call it only when they make
a client.  Every problem is a `ConfigError` (a `ValueError`) whose message
names the section, the option and where the value came from.
"""

from __future__ import annotations

import codecs
import configparser
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

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
        self._env_names: dict[tuple[str, str], str] = {}

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


class EnvConfig:
    """Reads dravlen's settings from the INI file and the environment.

    `init_configer()` gives the raw parser; `ftp_settings(section)` gives the
    checked options of an FTP section with their defaults applied.
    """

    ENV_FILE = "DRAVLEN_CONFIG"
    ENV_PREFIX = "DRAVLEN_"
    DEFAULT_FILE = "~/.config/dravlen/dravlen.ini"

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
        )
