"""How a verb's path arguments become remote paths.

* `Servers`: the server and path of each path argument: the configuration
  section, ``--url`` (whose path, if any, is where relative paths start), or
  an ``ftp://``/``ftps://`` URL given as the argument itself; settings the
  command line gives (``--active`` ...) replace the section's or the URL's,
  for every server alike;
* passwords a URL leaves out (`dravlen.ftp.connect.credentials`): the
  section's, for its own host (or ``--url``'s, when it names none), then
  ``~/.netrc``'s for that host, then a prompt on a terminal;
* `expand`: wildcards in a path, matched here on listings (the server never
  sees a pattern).
"""

from __future__ import annotations

import fnmatch
import getpass
import re
import sys
from collections.abc import Iterator
from pathlib import PurePosixPath
from typing import Any

from dravlen.config import IN_CODE, ConfigError
from dravlen.ftp.cli.errors import Failure
from dravlen.ftp.cli.output import warning
from dravlen.ftp.connect import (
    bound_class,
    credentials,
    parse_url,
    server,
    settings_class,
)
from dravlen.ftp.remote import Entry, RemotePath
from dravlen.ftp.settings import ftp_settings
from dravlen.urls import is_url

__all__ = ["Servers", "expand"]

# The characters that make a path component a pattern; "[*]" stands for a
# literal "*", as in the shell.
_MAGIC = re.compile(r"[*?[]")


def _section_class(section: str) -> type[RemotePath]:
    if section == RemotePath._section[0]:
        return RemotePath
    # The section comes from the class, so another section needs a subclass.
    return bound_class(section)


class Servers:
    """The path object of each path argument of one command line.

    *overrides* (setting: value) replace those settings of every server the
    line names, the section's and each URL's alike."""

    def __init__(self, section: str, url: str | None, overrides: dict[str, Any] | None = None) -> None:
        self.section = section
        self.overrides = dict(overrides or {})
        self._classes: dict[tuple[Any, ...], type[RemotePath]] = {}
        self._passwords: dict[tuple[Any, ...], tuple[str, str]] = {}
        self._default: type[RemotePath] | None = None
        self.base = PurePosixPath(".")
        # The host of --url: the one a section naming no host gives its password to.
        self.anchor: str | None = None
        if url is not None:
            try:
                self.anchor = parse_url(url)["host"]
                # A URL's path is where relative path arguments start.
                self._default, path = self._from_url(url)
            except ValueError as exc:  # ConfigError too
                raise ValueError(f"--url: {exc}") from None
            if path is not None:
                self.base = PurePosixPath(path)

    @property
    def default(self) -> type[RemotePath]:
        """The class of the paths that are no URL: ``--url``'s server, else
        the section's (read at first use, as a path reads it)."""
        if self._default is None:
            if not self.overrides:
                self._default = _section_class(self.section)
            else:
                # The section's settings whole, then the command line's over them.
                options = {**ftp_settings(self.section).options(), **self.overrides}
                try:
                    self._default = settings_class(options)
                except ConfigError as exc:
                    raise _from_line(exc) from None
        return self._default

    def path(self, text: str) -> RemotePath:
        """The remote path *text* names: a URL of any server, or a path on the
        default server (relative ones below ``--url``'s path)."""
        if is_url(text):
            try:
                cls, path = self._from_url(text)
            except ValueError as exc:  # ConfigError too
                raise Failure(text, str(exc)) from None
            return cls(path if path is not None else ".")
        return self.default(self.base / text if text else self.base)

    def _from_url(self, url: str) -> tuple[type[RemotePath], str | None]:
        given = parse_url(url)
        path = given.pop("path")
        key = (given["tls"], given["host"].lower(), given.get("port", 21), given.get("user"))
        if "password" in given:
            # Another URL of this server and user may leave it out.
            self._passwords.setdefault(key, credentials(given["host"], given.get("user"), given["password"]))
        else:
            given["user"], given["password"] = self._password(key)
        given_key = key + (given["password"],)
        cls = self._classes.get(given_key)
        if cls is None:
            try:
                cls = self._classes[given_key] = server(**{**given, **self.overrides})
            except ConfigError as exc:
                raise _from_line(exc) from None
        return cls, path

    def _password(self, key: tuple[Any, ...]) -> tuple[str, str]:
        # Asked once per server and user, however many arguments name it.
        if key not in self._passwords:
            self._passwords[key] = self._lookup(*key)
        return self._passwords[key]

    def _lookup(self, tls: bool, host: str, port: int, user: str | None) -> tuple[str, str]:
        """(user, password) for a URL that gives no password."""

        def ask(user: str) -> str | None:
            if not sys.stdin.isatty():
                return None
            try:
                return getpass.getpass(f"Password for {'ftps' if tls else 'ftp'}://{user}@{host}:{port}: ")
            except EOFError:
                return None

        return credentials(host, user, section=self.section, anchor=self.anchor, ask=ask, warn=warning, tls=tls)


def _from_line(exc: ConfigError) -> ConfigError:
    """*exc*, about a value the command line gave (a URL's, an option's):
    `dravlen.ftp.server` calls it given in code."""
    return ConfigError(str(exc).replace(f"(from {IN_CODE})", "(from the command line)"))


def _has_wildcards(text: str) -> bool:
    return _MAGIC.search(text) is not None


def expand(path: RemotePath) -> Iterator[tuple[RemotePath, Entry | None]]:
    """The paths *path* names: itself, or what its wildcards match, in name
    order, with each match's listing entry.

    A pattern component is matched with `fnmatch` on the listing of each
    directory matched so far; like the shell, a name starting with "." is
    matched only by a pattern starting with ".".  No match is a `Failure`.
    """
    parts = path.path.parts
    first = next((i for i, part in enumerate(parts) if _has_wildcards(part)), None)
    if first is None:
        yield path, None
        return
    cls = type(path)
    found: list[tuple[RemotePath, Entry | None]] = [
        (cls(PurePosixPath(*parts[:first])) if first else cls("."), None)]
    for index in range(first, len(parts)):
        part, last = parts[index], index == len(parts) - 1
        if not _has_wildcards(part):
            found = [(directory.join(part), None) for directory, _ in found]
            continue
        matched: list[tuple[RemotePath, Entry | None]] = []
        for directory, _ in found:
            try:
                listing = sorted(directory.iterdir(detail=True), key=lambda pair: pair[1].name)
            except FileNotFoundError:
                if index == first:
                    raise Failure(directory, "No such file or directory") from None
                continue
            except NotADirectoryError:
                if index == first:
                    raise Failure(directory, "Not a directory") from None
                continue
            for child, entry in listing:
                if entry.name.startswith(".") and not part.startswith("."):
                    continue
                if not last and entry.kind not in ("dir", "link"):
                    continue
                if fnmatch.fnmatchcase(entry.name, part):
                    matched.append((child, entry))
        found = matched
    if not found:
        raise Failure(path, "no match")
    yield from found
