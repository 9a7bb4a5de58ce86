"""What the command line shows, and how.

* names: escaped by `shown` on a terminal, byte for byte to a pipe or file;
* `report`: one line per failure on stderr, naming the path and server,
  with a traceback too under ``--debug``;
* `show_conversation`: each command and reply on stderr (``--verbose``);
* `warnings_on_stderr`: the library's warnings, one line each;
* `Bar`: the one progress bar, of a file or of a tree, on a terminal only.
"""

from __future__ import annotations

import ftplib
import logging
import os
import sys
import threading
import traceback
from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self

from dravlen.ftp.cli.errors import Failure, Failures, StdoutClosed, where_of, words

if TYPE_CHECKING:
    from dravlen.ftp.tree import Progress

__all__ = ["Bar", "debug", "human", "name_bytes", "names_for_stdout", "out", "report", "set_debug", "show_conversation",
           "shown", "warning", "warnings_on_stderr"]


# ---------------------------------------------------------------------------
# names


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


def name_bytes(name: str) -> bytes:
    # Bytes of a name that were not valid text come out as they came in.
    return name.encode("utf-8", "surrogateescape")


def out(data: bytes) -> None:
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise StdoutClosed() from None


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
# stderr


_debugging = False


def set_debug(on: bool) -> None:
    global _debugging
    _debugging = on


def debug(exc: BaseException) -> None:
    # --debug: the traceback too, for whoever looks into the program itself.
    if _debugging:
        traceback.print_exception(exc)


def report(error: Failure | Failures) -> None:
    """One line per failure; a tree's end with a line that counts them and
    says how far it got."""
    if isinstance(error, Failures):
        for where, reason in error.failures:
            print(f"dravlen: {shown(where)}: {shown(words(error.doing, reason))}", file=sys.stderr)
        server = where_of(error.remote)
        on = f" on {server}" if server else ""
        print(f"dravlen: {len(error.failures)} failed{on}; {error.progress.summary()} done", file=sys.stderr)
        return
    underlying = error.__cause__ or error.__context__
    if underlying is not None:
        debug(underlying)
    line = f"dravlen: {shown(error.path)}: {shown(error.reason)}"
    if error.server and error.server not in error.reason:
        line += f" (on {error.server})"
    print(line, file=sys.stderr)


def warning(text: str) -> None:
    print(f"dravlen: warning: {shown(text)}", file=sys.stderr, flush=True)


class _Warnings(logging.Handler):
    """The library's warnings (a listing line left out, say) as one line
    each on stderr, escaped: the names in them are a server's."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            if record.levelno < logging.WARNING:  # a note, shown with --verbose
                print(f"dravlen: note: {shown(record.getMessage())}", file=sys.stderr, flush=True)
                return
            warning(record.getMessage())
        except Exception:  # noqa: BLE001 - logging's own rule: a failed report never ends the run
            self.handleError(record)


def warnings_on_stderr() -> None:
    logger = logging.getLogger("dravlen")
    if not any(isinstance(handler, _Warnings) for handler in logger.handlers):
        logger.addHandler(_Warnings(logging.WARNING))


_shown_lock = threading.Lock()


def show_conversation() -> None:
    """Show every command sent and every reply read, on stderr, for every
    client of this process (the password as ***), and the library's notes
    (one connection for a file, where the server refuses REST)."""
    logging.getLogger("dravlen").setLevel(logging.INFO)
    for handler in logging.getLogger("dravlen").handlers:
        if isinstance(handler, _Warnings):
            handler.setLevel(logging.INFO)
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
# progress


# Below this width a tree's bar gives up the rate and the time left for its counts.
_NARROW = 80
_WIDE_FORMAT = "{l_bar}{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}, {rate_fmt}{postfix}]"
_NARROW_FORMAT = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt}{unit}{postfix}"


class Bar:
    """Progress on stderr when it is a terminal (tqdm), nothing elsewhere;
    closed on leaving its ``with`` block.

    A file's bar counts its *size* bytes (`advance`), in tqdm's own format,
    which fits any width.  A *tree*'s is called with the engine's `Progress`
    and counts bytes with the files beside them, or (*in_files*, for a
    removal) files; files found complete are counted as skipped, in words.
    """

    def __init__(self, label: str, size: int | None = None, *, tree: bool = False, in_files: bool = False) -> None:
        self.in_files = in_files
        self.done = 0
        self.bar: Any = None
        if not sys.stderr.isatty():
            return
        from tqdm import tqdm  # only a terminal shows a bar

        try:
            columns, lines = os.get_terminal_size(sys.stderr.fileno())
        except OSError:
            columns = lines = 0
        # Fits the terminal as it is resized; one that tells no size (0 x 0)
        # would get no bar at all, so it is taken for 80 x 24.
        form = None if not tree else _NARROW_FORMAT if 0 < columns < _NARROW else _WIDE_FORMAT
        units: dict[str, Any] = ({"unit": " files"} if in_files
                                 else {"unit": "B", "unit_scale": True, "unit_divisor": 1024})
        self.bar = tqdm(total=0 if tree else size, file=sys.stderr, dynamic_ncols=bool(columns and lines),
                        ncols=None if columns else 80, nrows=None if lines else 24, leave=True,
                        desc=label, bar_format=form, **units)

    def sized(self, size: int | None) -> None:
        """A file's size, once it is known."""
        if self.bar is not None and size is not None:
            self.bar.total = size
            self.bar.refresh()

    def advance(self, count: int) -> None:
        if self.bar is not None:
            self.bar.update(count)

    def __call__(self, progress: Progress) -> None:
        bar = self.bar
        if bar is None:
            return
        total, done = ((progress.files_total, progress.files_done) if self.in_files
                       else (progress.bytes_total, progress.bytes_done))
        if bar.total != total:
            bar.total = total
        if not self.in_files:
            more = "+" if progress.listing else ""
            text = f"{progress.files_done}/{progress.files_total}{more} files"
            if progress.skipped:
                text += f", {progress.skipped} skipped"
            bar.set_postfix_str(text, refresh=False)
        bar.update(done - self.done)
        self.done = done

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 trace: TracebackType | None) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
