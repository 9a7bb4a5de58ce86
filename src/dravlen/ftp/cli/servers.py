"""What the command line adds around its commands.

* `Servers`: the server and path of each path argument: the configuration
  section, ``--url`` (whose path, if any, is where relative paths start), or
  an ``ftp://``/``ftps://`` URL given as the argument itself;
* passwords a URL leaves out (`dravlen.ftp.connect.credentials`): the
  section's, for its own host (or ``--url``'s, when it names none), then
  ``~/.netrc``'s for that host, then a prompt on a terminal;
* `expand`: wildcards in a path, matched here on listings (the server never
  sees a pattern);
* `show_conversation`: each command and reply on stderr (``--verbose``);
* `Failure` and `report`: one line per failure, naming the path and server;
* `get_file`: one file downloaded, with a bar on a terminal and its time kept.
"""

from __future__ import annotations

import fnmatch
import ftplib
import getpass
import os
import re
import sys
import threading
import time
import traceback
from pathlib import PurePosixPath
from typing import Any, Callable, Iterator, Optional

from dravlen.base import BasePath
from dravlen.config import ConfigError
from dravlen.ftp.connect import bound_class, credentials, parse_url, server
from dravlen.ftp.remote import Entry, RemotePath
from dravlen.ftp.settings import ftp_settings
from dravlen.urls import hide_password, is_url

__all__ = ["BLOCK", "Failure", "Servers", "StdoutClosed", "debug", "expand", "get_file", "human", "name_bytes",
           "names_for_stdout", "out", "report", "set_debug", "shown", "show_conversation", "to_stdout", "where_of",
           "words"]

# The characters that make a path component a pattern; "[*]" stands for a
# literal "*", as in the shell.
_MAGIC = re.compile(r"[*?[]")
_REPLY = re.compile(r"\d{3}[ -]")


class Failure(Exception):
    """An operation failed on *path* for *reason*; reported, then exit 1.
    A remote *path* (a path object) is reported with its server."""

    def __init__(self, path: object, reason: str, server: Optional[str] = None) -> None:
        text = hide_password(str(path))
        super().__init__(f"{text}: {reason}")
        self.path = text
        self.reason = reason
        self.server = server if server is not None else (where_of(path) if isinstance(path, BasePath) else None)


def shown(text: str) -> str:
    """*text* with every character that is not printable as a visible escape
    (``\\x1b``, ``\\n``, ``\\u202e``; a byte that was no valid text as
    ``\\xff``): a server's names cannot break a line or drive the terminal."""
    return "".join(c if c.isprintable() or c == " " else _escaped(c) for c in text)


def _escaped(char: str) -> str:
    if "\udc80" <= char <= "\udcff":  # a byte kept by surrogateescape
        return f"\\x{ord(char) - 0xdc00:02x}"
    return repr(char)[1:-1]


def names_for_stdout() -> Callable[[str], str]:
    """How a name goes to stdout: escaped as `shown` escapes it when stdout
    is a terminal (as ls does), so that no name a server gives can move the
    cursor, clear the screen or set the window's title; as it is, byte for
    byte, to a pipe or a file."""
    try:
        terminal = sys.stdout.isatty()
    except (AttributeError, ValueError):  # replaced, or closed
        terminal = False
    return shown if terminal else _as_is


def _as_is(text: str) -> str:
    return text


def where_of(path_or_class: Any) -> Optional[str]:
    """The server of a path (or path class) as messages name it, if its
    settings can be read."""
    cls: Any = path_or_class if isinstance(path_or_class, type) else type(path_or_class)
    try:
        return ftp_settings(cls._section[0]).where
    except (ConfigError, AttributeError, IndexError):
        return None


def words(verb: str, reason: str) -> str:
    """*reason*, preceded by what could not be done when it is a bare reply
    of the server ("553 Could not create file")."""
    return f"cannot {verb}: {reason}" if _REPLY.match(reason) else reason


_debugging = False


def set_debug(on: bool) -> None:
    global _debugging
    _debugging = on


def debug(exc: BaseException) -> None:
    # --debug: the traceback too, for whoever looks into the program itself.
    if _debugging:
        traceback.print_exception(exc)


def report(failure: Failure) -> None:
    underlying = failure.__cause__ or failure.__context__
    if underlying is not None:
        debug(underlying)
    line = f"dravlen: {shown(failure.path)}: {shown(failure.reason)}"
    if failure.server and failure.server not in failure.reason:
        line += f" (on {failure.server})"
    print(line, file=sys.stderr)


def human(size: int) -> str:
    """A size as ``ls -h`` shows it: 999, 1.5K, 12M."""
    if size < 1024:
        return str(size)
    value, unit = float(size), ""
    for unit in ("K", "M", "G", "T", "P"):
        value /= 1024
        if value < 1024:
            break
    return f"{value:.1f}{unit}" if value < 10 else f"{value:.0f}{unit}"


# ---------------------------------------------------------------------------
# servers and credentials


def _section_class(section: str) -> type[RemotePath]:
    if section == RemotePath._section[0]:
        return RemotePath
    # The section comes from the class, so another section needs a subclass.
    return bound_class(section)


class Servers:
    """The path object of each path argument of one command line."""

    def __init__(self, section: str, url: Optional[str]) -> None:
        self.section = section
        self._classes: dict[tuple[Any, ...], type[RemotePath]] = {}
        self._passwords: dict[tuple[Any, ...], tuple[str, str]] = {}
        self.base = PurePosixPath(".")
        # The host of --url: the one a section naming no host gives its password to.
        self.anchor: Optional[str] = None
        if url is None:
            self.default = _section_class(section)
        else:
            self.anchor = parse_url(url)["host"]
            # A URL's path is where relative path arguments start.
            self.default, path = self._from_url(url)
            if path is not None:
                self.base = PurePosixPath(path)

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

    def _from_url(self, url: str) -> tuple[type[RemotePath], Optional[str]]:
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
            cls = self._classes[given_key] = server(**given)
        return cls, path

    def _password(self, key: tuple[Any, ...]) -> tuple[str, str]:
        # Asked once per server and user, however many arguments name it.
        if key not in self._passwords:
            self._passwords[key] = self._lookup(*key)
        return self._passwords[key]

    def _lookup(self, tls: bool, host: str, port: int, user: Optional[str]) -> tuple[str, str]:
        """(user, password) for a URL that gives no password."""

        def ask(user: str) -> Optional[str]:
            if not sys.stdin.isatty():
                return None
            try:
                return getpass.getpass(f"Password for {'ftps' if tls else 'ftp'}://{user}@{host}:{port}: ")
            except EOFError:
                return None

        return credentials(host, user, section=self.section, anchor=self.anchor, ask=ask, warn=_warn, tls=tls)


def _warn(text: str) -> None:
    print(f"dravlen: warning: {text}", file=sys.stderr)


# ---------------------------------------------------------------------------
# wildcards


def has_wildcards(text: str) -> bool:
    return _MAGIC.search(text) is not None


def expand(path: RemotePath) -> Iterator[tuple[RemotePath, Optional[Entry]]]:
    """The paths *path* names: itself, or what its wildcards match, in name
    order, with each match's listing entry.

    A pattern component is matched with `fnmatch` on the listing of each
    directory matched so far; like the shell, a name starting with "." is
    matched only by a pattern starting with ".".  No match is a `Failure`.
    """
    parts = path.path.parts
    first = next((i for i, part in enumerate(parts) if has_wildcards(part)), None)
    if first is None:
        yield path, None
        return
    cls = type(path)
    found: list[tuple[RemotePath, Optional[Entry]]] = [
        (cls(PurePosixPath(*parts[:first])) if first else cls("."), None)]
    for index in range(first, len(parts)):
        part, last = parts[index], index == len(parts) - 1
        if not has_wildcards(part):
            found = [(directory.join(part), None) for directory, _ in found]
            continue
        matched: list[tuple[RemotePath, Optional[Entry]]] = []
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


# ---------------------------------------------------------------------------
# --verbose


_shown_lock = threading.Lock()


def show_conversation() -> None:
    """Show every command sent and every reply read, on stderr, for every
    client of this process (the password as ***)."""
    put_command, get_line = ftplib.FTP.putcmd, ftplib.FTP.getline

    def say(prefix: str, host: str, text: str) -> None:
        with _shown_lock:
            try:
                print(f"{prefix} {host} {shown(text)}", file=sys.stderr, flush=True)
            except (OSError, ValueError):
                pass

    def putcmd(self: ftplib.FTP, line: str) -> None:
        say("--->", self.host, line[:5] + "***" if line[:5].upper() == "PASS " else line)
        put_command(self, line)

    def getline(self: ftplib.FTP) -> str:
        # Each line as read: the clients' reply readers differ, their lines do not.
        line = get_line(self)
        say("<---", self.host, line)
        return line

    ftplib.FTP.putcmd = putcmd  # type: ignore[method-assign]
    ftplib.FTP.getline = getline  # type: ignore[method-assign]


# ---------------------------------------------------------------------------
# output and single files


class StdoutClosed(Exception):
    """The reader of stdout went away (``... | head``)."""


def out(data: bytes) -> None:
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise StdoutClosed() from None


def name_bytes(name: str) -> bytes:
    # Bytes of a name that were not valid text come out as they came in.
    return name.encode("utf-8", "surrogateescape")


BLOCK = 1 << 20


def to_stdout(path: RemotePath) -> None:
    try:
        stream = path.open("rb")
    except FileNotFoundError:
        raise Failure(path, "No such file or directory") from None
    except IsADirectoryError:
        raise Failure(path, "Is a directory") from None
    # Streamed block by block: memory stays flat whatever the file's size.
    with stream:
        while block := stream.read1(BLOCK):
            out(block)


def get_file(path: RemotePath, local: Optional[str]) -> None:
    """Download one file: under a temporary name beside its own, renamed
    once whole, then given the server's time; a bar on a terminal."""
    if local == "-":
        to_stdout(path)
        return
    target = local if local is not None else (path.name or ".")
    if os.path.isdir(target):  # into that directory, like cp
        target = os.path.join(target, path.name)
    try:
        entry = path.info()
    except FileNotFoundError:
        raise Failure(path, "No such file or directory") from None
    if entry.kind == "dir":
        raise Failure(path, "Is a directory (use -r)")
    bar = file_bar(entry.size, path.name)
    try:
        path.download(target, progress=None if bar is None else bar.update)
    finally:
        if bar is not None:
            bar.close()
    if entry.mtime is not None:
        os.utime(target, (time.time(), entry.mtime.timestamp()))


def file_bar(size: Optional[int], name: str) -> Any:
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    try:
        columns, lines = os.get_terminal_size(sys.stderr.fileno())
    except OSError:
        columns = lines = 0
    # Fits the terminal as it is resized; one that tells no size (0 x 0)
    # would get no bar at all, so it is taken for 80 x 24.
    return tqdm(total=size, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
                dynamic_ncols=bool(columns and lines), ncols=None if columns else 80,
                nrows=None if lines else 24, leave=True,
                desc=shown(name)[:30] or "get")
