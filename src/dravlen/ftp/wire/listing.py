"""Directory listings with details: kind, size and time of every entry.

`list_dir` asks the server once (``MLSD`` where the server has it, else
``LIST -a``, else plain ``LIST``) and parses each line with `parse_mlsd` or
`parse_list`; no entry is probed on its own.

Names on a server are hostile input.  An ``MLSD`` name is everything after
the first blank, exactly.  A Unix long-listing line is read by its columns:
the name starts after the one blank that follows the date, so blanks at
either end of a name survive.  A link line whose text holds " -> " more than
once is split where the target takes as many bytes as the size column says;
where that does not tell one arrow, it is left out (and logged), never
guessed.  The core's glob() reads lines by the same rule.  Names that cannot
name a child of the listed directory (``.``, ``..``, empty, holding ``/`` or
NUL) are left out too.  Bytes that are not
valid in the client's encoding are kept as lone surrogates
(``surrogateescape``), so no name is lost or merged with another.
"""

from __future__ import annotations

import ftplib
import functools
import logging
import re
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any

from dravlen.ftp.wire.dialects import HOME, NO_MLSD, PLAIN_LIST
from dravlen.ftp.wire.names import child_name, command_text
from dravlen.ftp.wire.replies import not_understood, operation
from dravlen.ftp.wire.times import DAY, MINUTE, ZONE_SPAN, in_utc, utc_time, zone_of
from dravlen.ftp.wire.transfer import listing_lines

if TYPE_CHECKING:
    from dravlen.base import BasePath

__all__ = ["KINDS", "KIND_NAMES", "KIND_WORDS", "Entry", "Listing", "ambiguous_link", "list_dir", "parse_list", "parse_mlsd", "parse_mlst", "parse_mlsx_facts"]

log = logging.getLogger(__name__)

#: The kinds an entry can be.
KINDS = ("file", "dir", "link", "other")
#: Each kind's name where one is shown (fsspec's ``type``, the command
#: line's ``stat``), and its words in a sentence ("is a symbolic link").
KIND_NAMES = {"file": "file", "dir": "directory", "link": "link", "other": "other"}
KIND_WORDS = {"file": "file", "dir": "directory", "link": "symbolic link", "other": "special file"}


@dataclass(frozen=True)
class Entry:
    """One entry of a directory as its server lists it."""

    name: str
    kind: str  # "file" | "dir" | "link" | "other"
    size: int | None  # None when the listing does not tell
    mtime: datetime | None  # timezone-aware UTC; None when unknown
    target: str | None = None  # a link's target, where the listing tells it unambiguously
    unique: str | None = None  # the server's identity of the entry (MLSD "unique"), if given
    # How far the true time may lie from mtime: it lies in [mtime, mtime +
    # precision) in seconds (a LIST line tells the minute, or only the day),
    # give or take zone_slack where the listing's zone is not known exactly.
    precision: int = 1
    zone_slack: int = 0

    @property
    def exact(self) -> bool:
        """Whether mtime is the true time to the second, in UTC."""
        return self.mtime is not None and self.precision <= 1 and not self.zone_slack

    def window(self) -> tuple[float, float] | None:
        """The earliest and the latest POSIX time the entry's true
        modification time can have; None where the listing gives no time."""
        if self.mtime is None:
            return None
        earliest = self.mtime.timestamp()
        return earliest - self.zone_slack, earliest + self.precision + self.zone_slack

    @property
    def is_dir(self) -> bool:
        return self.kind == "dir"

    @property
    def is_file(self) -> bool:
        return self.kind == "file"

    @property
    def is_link(self) -> bool:
        return self.kind == "link"


class _Unreadable(Exception):
    """A listing line that is no entry in any format known here."""


class _Ambiguous(Exception):
    """A link line whose text holds " -> " more than once, and whose size
    column does not tell which arrow parts name from target."""


class _Leaves(Exception):
    """A listing line whose name cannot be an entry of the listed directory
    (empty, holding "/", NUL, CR or LF): it would name something elsewhere."""


class Listing(list[Entry]):
    """The entries of a directory, and in ``skipped`` the listing lines that
    name an entry that could not be told apart (a link line such as
    ``a -> b -> c``) or whose name cannot be an entry of the directory
    (``../x``, ``/x``, a NUL), so that whoever copies or compares a tree can
    say so."""

    skipped: list[str]

    def __init__(self, entries: Any = (), skipped: Any = ()) -> None:
        super().__init__(entries)
        self.skipped = list(skipped)


def _child_name(name: str) -> bool:
    """Whether *name* can name an entry inside the listed directory."""
    return child_name(name)


def _leaves_folder(name: str) -> bool:
    """A name that no entry of the listed directory can have, other than the
    directory itself and its parent: it is reported, never acted on."""
    return name not in (".", "..") and not child_name(name)


# ---------------------------------------------------------------------------
# MLSD / MLST

def parse_mlsx_facts(line: str) -> tuple[dict[str, str], str]:
    """Split an MLSD/MLST line into its facts (names folded to lower case)
    and its name: everything after the first blank, untouched.

    Raises ValueError when the line has no blank (no name)."""
    facts_text, blank, name = line.partition(" ")
    if not blank:
        raise ValueError(f"no name in the machine listing line {line!r}")
    facts: dict[str, str] = {}
    for fact in facts_text.split(";"):
        key, equals, value = fact.partition("=")
        if equals:
            facts[key.strip().lower()] = value
    return facts, name


def _entry_from_facts(facts: dict[str, str], name: str) -> Entry | None:
    kind_fact = facts.get("type", "")
    kind_lower = kind_fact.lower()
    target = None
    if kind_lower in ("cdir", "pdir"):
        return None
    if kind_lower == "file":
        kind = "file"
    elif kind_lower == "dir":
        kind = "dir"
    elif kind_lower.startswith(("os.unix=slink", "os.unix=symlink")):
        kind = "link"
        # "OS.unix=slink:/the/target" on some servers; the rest of the value
        # up to the ';' is the target, which the fact syntax bounds exactly.
        _, colon, rest = kind_fact.partition(":")
        target = rest if colon and rest else None
    else:
        kind = "other"
    size: int | None = None
    size_text = facts.get("size", "")
    if kind == "file" and size_text.isascii() and size_text.isdigit():
        size = int(size_text)
    return Entry(name=name, kind=kind, size=size, mtime=utc_time(facts.get("modify", "")),
                 target=target, unique=facts.get("unique") or None)


def parse_mlsd(line: str) -> Entry | None:
    """The entry an MLSD line names, or None for the directory itself, its
    parent, and lines naming no entry of the directory."""
    try:
        facts, name = parse_mlsx_facts(line)
    except ValueError:
        return None
    if not _child_name(name):
        return None
    return _entry_from_facts(facts, name)


def parse_mlst(line: str, name: str) -> Entry | None:
    """The entry an MLST fact line describes, named *name* (MLST gives a path
    where MLSD gives a name).  None where the facts give no type."""
    try:
        facts, _ = parse_mlsx_facts(line)
    except ValueError:
        return None
    if "type" not in facts:
        return None
    if facts["type"].lower() in ("cdir", "pdir"):
        facts = dict(facts, type="dir")
    return _entry_from_facts(facts, name)


# ---------------------------------------------------------------------------
# LIST: Unix long listings and DOS/IIS style

_MONTHS = {m: i for i, m in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"), 1)}

# Columns: mode, links, owner and group (either may be missing), size (or a
# device's "major, minor"), then the date and exactly one blank before the
# name.  Owners and groups hold no blanks and sizes are digits, so these
# columns are fixed from the left and no text of the name can move them.
# Blanks are any white space, as str.split() takes it, and blanks before the
# mode are passed over.  The core reads the same columns in the same order
# (listing.cpp), so that glob() and list_dir() take the same names.
_UNIX = re.compile(
    r"\s*(?P<mode>[-dlcbpsDn?][-rwxsStTlL?]{9})\S*"
    r"\s+[0-9]+"
    r"(?:\s+\S+)?(?:\s+\S+)?"
    r"\s+(?:(?P<device>[0-9]+,\s*[0-9]+)|(?P<size>[0-9]+))"
    r"\s+(?:(?P<month>[A-Za-z]{3})\s+(?P<day>[0-9]{1,2})\s+(?:(?P<year>[0-9]{4})|(?P<hour>[0-9]{1,2}):(?P<minute>[0-9]{2}))"
    r"|(?P<iso>[0-9]{4}-[0-9]{2}-[0-9]{2})\s+(?P<isotime>[0-9]{2}:[0-9]{2}))"
    r"\s(?P<name>.*)",
    re.DOTALL,
)

_DOS = re.compile(
    r"(?P<month>[0-9]{2})-(?P<day>[0-9]{2})-(?P<year>[0-9]{2}|[0-9]{4}) +"
    r"(?P<hour>[0-9]{1,2}):(?P<minute>[0-9]{2}) *(?P<ampm>[AaPp][Mm])? +"
    r"(?:(?P<dir><DIR>) {1,10}|(?P<size>[0-9]+) )(?P<name>.*)",
    re.DOTALL,
)


def _unix_time(m: re.Match[str], now: datetime) -> datetime | None:
    return _when(m["month"], m["day"], m["year"], m["hour"], m["minute"], m["iso"], m["isotime"], now)


# The entries of a directory share few distinct dates: each is worked out once.
@functools.lru_cache(maxsize=4096)
def _when(month_text: str | None, day_text: str | None, year_text: str | None, hour_text: str | None,
          minute_text: str | None, iso: str | None, iso_time: str | None, now: datetime) -> datetime | None:
    try:
        if iso and iso_time:
            return datetime.strptime(f"{iso} {iso_time}", "%Y-%m-%d %H:%M").replace(tzinfo=timezone.utc)
        month = _MONTHS.get((month_text or "").lower())
        if month is None or day_text is None:
            return None
        day = int(day_text)
        if year_text:
            return datetime(int(year_text), month, day, tzinfo=timezone.utc)
        hour, minute = int(hour_text or ""), int(minute_text or "")
    except ValueError:
        return None
    # A date without a year is within the last six months (the ls rule):
    # this year's date unless that lies ahead, allowing a day for clocks
    # and time zones that differ.
    for year in (now.year, now.year - 1, now.year - 2, now.year - 3, now.year - 4):
        try:
            when = datetime(year, month, day, hour, minute, tzinfo=timezone.utc)
        except ValueError:  # 29 February of a year that has none
            continue
        if when <= now + timedelta(days=1):
            return when
    return None


def _split_link(text: str, size: int | None, encoding: str) -> tuple[str, str | None]:
    """A link's name and target from "name -> target".  Either may hold
    " -> " itself; the size column, the target's length in bytes, then tells
    which arrow parts them.  _Ambiguous where no single arrow fits."""
    arrows = [at for at in range(len(text)) if text.startswith(" -> ", at)]
    if not arrows:
        return text, None  # the line names the link alone
    if len(arrows) > 1:
        fitting = [at for at in arrows if size is not None and _byte_length(text[at + 4:], encoding) == size]
        if len(fitting) != 1:
            raise _Ambiguous(text)
        arrows = fitting
    return text[:arrows[0]], text[arrows[0] + 4:]


def _byte_length(text: str, encoding: str) -> int | None:
    try:  # names that are no valid text keep their bytes as escapes
        return len(text.encode(encoding, "surrogateescape"))
    except (LookupError, UnicodeError):
        return None


def _read_list_line(line: str, now: datetime | None, encoding: str = "utf-8") -> Entry | None:
    """The entry of a LIST line; None for lines that name no entry (totals,
    ``.``, ``..``, ambiguous links); _Unreadable for lines in no known format."""
    if now is None:
        now = datetime.now(timezone.utc)
    elif now.tzinfo is None:
        now = now.replace(tzinfo=timezone.utc)
    m = _UNIX.match(line)
    if m is not None:
        type_char = m["mode"][0]
        name = m["name"]
        target = None
        if type_char == "l":
            try:
                name, target = _split_link(name, int(m["size"]) if m["size"] is not None else None, encoding)
            except _Ambiguous:
                raise _Ambiguous(line) from None
        kind = {"-": "file", "d": "dir", "l": "link"}.get(type_char, "other")
        if _leaves_folder(name):
            raise _Leaves(line)
        if not _child_name(name):
            return None
        size = int(m["size"]) if m["size"] is not None and kind == "file" else None
        return Entry(name=name, kind=kind, size=size, mtime=_unix_time(m, now), target=target,
                     precision=DAY if m["year"] else MINUTE, zone_slack=ZONE_SPAN)
    m = _DOS.match(line)
    if m is not None:
        name = m["name"]
        if _leaves_folder(name):
            raise _Leaves(line)
        if not _child_name(name):
            return None
        year = int(m["year"])
        if len(m["year"]) == 2:  # as Windows reads two-digit years
            year += 2000 if year < 70 else 1900
        hour = int(m["hour"])
        if m["ampm"]:
            if hour > 12:
                raise _Unreadable(line)
            hour = hour % 12 + (12 if m["ampm"].lower() == "pm" else 0)
        try:
            when: datetime | None = datetime(year, int(m["month"]), int(m["day"]), hour,
                                             int(m["minute"]), tzinfo=timezone.utc)
        except ValueError:
            when = None
        if m["dir"]:
            return Entry(name=name, kind="dir", size=None, mtime=when, precision=MINUTE, zone_slack=ZONE_SPAN)
        return Entry(name=name, kind="file", size=int(m["size"]), mtime=when, precision=MINUTE,
                     zone_slack=ZONE_SPAN)
    stripped = line.strip()
    if not stripped or re.fullmatch(r"total \d+", stripped):
        return None
    raise _Unreadable(line)


def parse_list(line: str, now: datetime | None = None, encoding: str = "utf-8") -> Entry | None:
    """The entry of a LIST line (Unix long listing or DOS/IIS style), or None
    for lines naming no entry or in no known format.

    A link line whose name or target holds " -> " is split at the arrow after
    which the target takes as many bytes in *encoding* (the client's) as the
    size column says; where not exactly one arrow does, the line is left out.

    A LIST time is the server's wall-clock time, to the minute (or the
    day): it is given as if it were UTC, with the entry's ``precision``
    and ``zone_slack`` saying how far off it may be (`list_dir` learns the
    server's zone and gives UTC).  A Unix date without a year is placed
    within the six months before *now* (default: the current time), and
    one with a year but no time of day is taken at midnight.
    """
    try:
        return _read_list_line(line, now, encoding)
    except _Ambiguous:
        log.warning("left out the link line %r: its name and its target cannot be told apart", line)
        return None
    except (_Unreadable, _Leaves):
        return None


def ambiguous_link(line: str, encoding: str = "utf-8") -> bool:
    """Whether *line* is a link line whose name and target cannot be told
    apart (so a listing left it out)."""
    try:
        _read_list_line(line, None, encoding)
    except _Ambiguous:
        return True
    except Exception:
        pass  # an MLSD line, or one that leaves the folder
    return False


# ---------------------------------------------------------------------------
# Fetching a listing

def _raise_not_a_directory(path: BasePath, cause: BaseException | None) -> None:
    # Only where the listing was refused or listed no directory: the core's
    # probes tell a missing path, a file and an unreadable directory apart.
    if not path.exists:  # type: ignore[attr-defined]
        raise FileNotFoundError(f"'{path.path}' does not exist.") from cause
    if cause is not None and _is_directory(path):
        raise PermissionError(f"'{path.path}': the server refused to list it: {cause}") from cause
    raise NotADirectoryError(f"'{path.path}' is not a directory.") from cause


def _is_directory(path: BasePath) -> bool:
    try:
        return bool(path.is_dir())  # type: ignore[attr-defined]
    except FileNotFoundError:
        return False


def _fetch(path: BasePath) -> tuple[bool, list[str]]:
    """(True, MLSD lines) or (False, LIST lines) of the directory *path*."""
    client = path.client
    where = path.path.as_posix()
    if not hasattr(client, NO_MLSD):
        try:
            return True, listing_lines(path, "MLSD " + where)
        except ftplib.error_perm as exc:
            if not not_understood(exc):
                _raise_not_a_directory(path, exc)
            setattr(path.client, NO_MLSD, True)
    if where.startswith("-"):  # LIST would take it for options
        where = "./" + where
    if any(char.isspace() for char in where):
        # Servers that hand LIST's argument to ls split it at blanks: such a
        # folder is listed from inside.
        return False, _from_inside(path)
    client = path.client
    if not hasattr(client, PLAIN_LIST):
        try:
            return False, listing_lines(path, "LIST -a " + where)
        except ftplib.error_perm as first:
            try:
                lines = listing_lines(path, "LIST " + where)
            except ftplib.error_perm as exc:
                _raise_not_a_directory(path, exc)
                raise AssertionError("unreachable") from first  # pragma: no cover
            setattr(path.client, PLAIN_LIST, True)
            return False, lines
    try:
        return False, listing_lines(path, "LIST " + where)
    except ftplib.error_perm as exc:
        _raise_not_a_directory(path, exc)
        raise AssertionError("unreachable")  # pragma: no cover


def _from_inside(path: Any) -> list[str]:
    """The LIST lines of the folder *path*, listed from inside it: CWD
    there, LIST, then back to the login folder (where that fails, the
    client is dropped, so that no later relative path names another
    entry)."""
    client = path.client
    home = getattr(client, HOME, None)
    if home is None:
        home = ftplib.parse257(client.sendcmd("PWD"))
        setattr(client, HOME, home)
    try:
        client.sendcmd("CWD " + path.path.as_posix())
    except ftplib.error_perm as exc:
        path._valid_reset()
        _raise_not_a_directory(path, exc)
    try:
        if hasattr(client, PLAIN_LIST):
            return listing_lines(path, "LIST")
        try:
            return listing_lines(path, "LIST -a")
        except ftplib.error_perm:
            lines = listing_lines(path, "LIST")
            setattr(path.client, PLAIN_LIST, True)
            return lines
    finally:
        try:
            path.client.sendcmd("CWD " + home)
        except Exception:
            path._drop_client()


def command_path(path: BasePath) -> str:
    """The path as it goes in a command, refused as the core refuses it."""
    return command_text(path)


def _list_dir(path: Any) -> Listing:
    command_path(path)
    machine, lines = _fetch(path)
    encoding = getattr(path.client, "encoding", "utf-8")  # what a link's size counts
    now = datetime.now(timezone.utc)  # places LIST's dates without a year
    entries = Listing()
    seen_dot = False
    unreadable: list[str] = []
    for line in lines:
        try:
            if machine:
                try:
                    facts, name = parse_mlsx_facts(line)
                except ValueError:
                    raise _Unreadable(line) from None
                if _leaves_folder(name) and facts.get("type", "").lower() not in ("cdir", "pdir"):
                    raise _Leaves(line)
                entry = _entry_from_facts(facts, name) if _child_name(name) else None
            else:
                entry = _read_list_line(line, now, encoding)
                if entry is None and _is_dot_line(line):
                    seen_dot = True
        except _Leaves:
            log.warning("'%s': left out the listing line %r: its name cannot be an entry of the folder",
                        path.path, line)
            entries.skipped.append(line)
            continue
        except _Ambiguous:
            log.warning("'%s': left out the link line %r: its name and its target cannot be told apart",
                        path.path, line)
            entries.skipped.append(line)
            continue
        except _Unreadable:
            unreadable.append(line)
            continue
        if entry is not None:
            entries.append(entry)
    if unreadable:
        if machine or entries or seen_dot or not all(_ERROR_TEXT.fullmatch(line) for line in unreadable):
            # Left out, a line could hide an entry from whoever copies or deletes the folder.
            raise ValueError(
                f"'{path.path}': the server listed a line in no known format: {unreadable[0]!r}")
        # Only the words of ls ("x: No such file or directory"): no listing.
        _raise_not_a_directory(path, None)
    if not machine and not seen_dot:
        # LIST of a file lists the file, and LIST of a missing path lists
        # nothing on some servers; a directory listed with -a shows ".".
        # Without it, one probe settles what was listed.
        if not _is_directory(path):
            _raise_not_a_directory(path, None)
    if not machine:
        entries = in_utc(entries, zone_of(path, entries))
    return entries


def names_in(line: str) -> set[str]:
    """Every name a listing line that was left out could give its entry: a
    link line ``a -> b -> c`` may name ``a`` or ``a -> b``.  Whoever removes
    what a listing does not show keeps these."""
    m = _UNIX.match(line)
    if m is None:
        return {line.partition(" ")[2]} if ";" in line.partition(" ")[0] else set()
    text = m["name"]
    return {text} | {text[:at] for at in range(len(text)) if text.startswith(" -> ", at)}


#: What ls says in place of a listing: "name: No such file or directory".
_ERROR_TEXT = re.compile(r"(?:ls: )?[^\r\n]*: [A-Za-z][^\r\n]*")


def _is_dot_line(line: str) -> bool:
    m = _UNIX.match(line)
    return m is not None and m["name"] == "." and m["mode"][0] == "d"


@operation
def list_dir(path: Any) -> Listing:
    """The entries of the remote directory *path* (a `RemotePath`), in the
    server's order: one MLSD where the server has it, else one ``LIST -a``
    (plain ``LIST`` where ``-a`` is refused); no probe per entry.  Lines
    naming an entry that cannot be told apart are logged and kept in the
    result's ``skipped``.

    Raises FileNotFoundError for a missing path, NotADirectoryError for a
    file, ValueError for a listing line in no known format (naming it):
    leaving it out could hide an entry from whoever copies or deletes the
    directory."""
    return _list_dir(path)

