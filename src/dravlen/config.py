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

Each backend declares the options its sections know and checks their values
(the FTP backend's are in `dravlen.ftp.settings`); this module only reads
them.

Any option a backend does not know in a section that it reads, or a
``DRAVLEN_<SECTION>_<OPTION>`` variable for it, is a `ConfigError` that suggests the option meant: a
misspelt ``passwrod`` would otherwise be ignored and show up as a refused
login.  Variables for sections that are never read are left alone.

Sections may also be held in memory (`EnvConfig.add_section`): that is how
``dravlen.ftp.server(...)`` binds a path class to settings given in code.
They take the place of a file's section of the same name, and the
environment does not change them.  Beside its options, such a section may
hold the value its backend made of them (`EnvConfig.held_value`), so that
the backend takes that value as it is instead of reading the text again;
the text stays for whoever reads the section as a section.

Nothing is read at import: each `EnvConfig.init_configer()` call reads the
file and the environment afresh, and the backends call it only when they make
a client.  Inside ``with EnvConfig.reading():`` the calling thread's calls
share one reading, so that making a client reads the configuration once;
what a backend makes of a reading can be kept with it (`Configer.derived`),
so that it is made once too.  Every problem is a `ConfigError` (a
`ValueError`) whose message names the section, the option and where the
value came from (`bad_value`).
"""

from __future__ import annotations

import configparser
import difflib
import functools
import os
import threading
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, ClassVar

__all__ = ["IN_CODE", "ConfigError", "Configer", "EnvConfig", "bad_value"]

#: Where the options of a section held in memory come from, as messages say it.
IN_CODE = "the settings given in code"


class ConfigError(ValueError):
    """A setting is missing or unusable; the message says which and where."""


def bad_value(section: str, option: str, value: str | None, origin: str, expected: str) -> ConfigError:
    """The error for *value* (as text) of *option* in *section*, set in
    *origin*, which is not *expected*."""
    return ConfigError(
        f"dravlen configuration [{section}] {option} = {value!r} (from {origin}): expected {expected}"
    )


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
        #: What backends made of this reading, each under a key of its own,
        #: so that one reading is turned into values once.
        self.derived: dict[Hashable, object] = {}
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
                return IN_CODE
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
        return bad_value(section, option, value, self.origin(section, option), expected)

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


class EnvConfig:
    """Reads dravlen's settings from the INI file and the environment.

    `init_configer()` gives the parser; `check_section` refuses the options
    of a section that its backend does not know.
    """

    ENV_FILE = "DRAVLEN_CONFIG"
    ENV_PREFIX = "DRAVLEN_"
    DEFAULT_FILE = "~/.config/dravlen/dravlen.ini"

    # Sections given in code: name -> options (text values, as in a file).
    _memory: ClassVar[dict[str, dict[str, str]]] = {}
    # What their backends made of them: name -> value.
    _values: ClassVar[dict[str, object]] = {}
    _memory_lock = threading.Lock()
    # The reading that init_configer() hands out on this thread inside reading().
    _pinned = threading.local()

    @classmethod
    def add_section(cls, name: str, options: Mapping[str, object], known: Sequence[str],
                    made: object = None) -> str:
        """Hold the section *name* with *options* in memory and return *name*.

        Every later `init_configer()` holds it, in place of a file's section
        of that name.  *known* are the options the section's backend knows.
        *made*, if given, is what the backend made of *options*, handed
        back by `held_value`.  Adding the same options again under the same
        name is harmless; other options under a name already held are a
        `ConfigError`.
        """
        values = {str(key).lower(): _text(value) for key, value in options.items() if value is not None}
        for option in values:
            _check_option(name, option, lambda: IN_CODE, known)
        with cls._memory_lock:
            held = cls._memory.get(name)
            if held is not None and (held != values or (made is not None and cls._values.get(name, made) != made)):
                raise ConfigError(f"dravlen configuration [{name}] is already held with other settings")
            cls._memory[name] = values
            if made is not None:
                cls._values[name] = made
        return name

    @classmethod
    def held_value(cls, name: str) -> object:
        """The value held with the in-memory section *name* (`add_section`),
        or None."""
        with cls._memory_lock:
            return cls._values.get(name)

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
    @contextmanager
    def reading(cls) -> Iterator[Configer]:
        """One reading of the configuration for the calling thread: inside the
        block `init_configer()` returns it instead of reading again."""
        held = getattr(cls._pinned, "configer", None)
        if held is not None:  # an outer block's reading goes on
            yield held
            return
        configer = cls._pinned.configer = cls._read()
        try:
            yield configer
        finally:
            cls._pinned.configer = None

    @classmethod
    def init_configer(cls) -> Configer:
        """Read the INI file (if any) and overlay the environment: afresh on
        each call, but once only inside `reading()`."""
        held: Configer | None = getattr(cls._pinned, "configer", None)
        return held if held is not None else cls._read()

    @classmethod
    def _read(cls) -> Configer:
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
    def check_section(cls, configer: Configer, section: str, known: Sequence[str]) -> None:
        """A `ConfigError` for the first option of *section* that is not in
        *known* (the options its backend reads), naming the one likely meant."""
        if configer.has_section(section) or section == configparser.DEFAULTSECT:
            for option in configer.options(section):
                _check_option(section, option, functools.partial(configer.origin, section, option), known)

    @classmethod
    def missing(cls, configer: Configer, section: str, option: str) -> ConfigError:
        """The error for a required *option* that *section* does not set."""
        where = configer.source_file or f"a file named by {cls.ENV_FILE}"
        return ConfigError(
            f"dravlen configuration [{section}] has no {option}: set {option} in [{section}] of {where}"
            f" or set {cls.env_name(section, option)}"
        )


def _text(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _check_option(section: str, option: str, origin: Callable[[], str], known: Sequence[str]) -> None:
    """A `ConfigError` for an option not in *known*, with the likely one meant."""
    if option in known:
        return
    close = difflib.get_close_matches(option, known, n=1, cutoff=0.6)
    hint = f"; did you mean {close[0]!r}?" if close else "."
    raise ConfigError(
        f"dravlen configuration [{section}] has an unknown option {option!r} (from {origin()}){hint}"
        f" Known options: {', '.join(known)}."
    )
