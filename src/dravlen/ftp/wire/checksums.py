"""A file's hash as its server computes it: the draft ``HASH`` command
(``FEAT`` line ``HASH SHA-256*;SHA-1;MD5;CRC32``, the starred one selected,
``OPTS HASH`` selecting another; answered ``213 SHA-256 0-<end> <hex>
<path>``), or the older ``XSHA512``/``XSHA256``/``XSHA1``/``XMD5``/``XCRC``
(answered ``250 <hex>`` or ``213 <hex>``, sometimes with more words).
Which of them a server has is what its ``FEAT`` announces (`features`):
nothing is probed.

A reply is trusted for nothing but one token of hex digits of the
algorithm's length; a ``HASH`` reply about another algorithm, another path
or a range that is not the whole file is no hash of the file.  The same
algorithms hash local bytes (`Algorithm.new`), so that a copy is compared
with what the server holds (`confirm_hash`).
"""

from __future__ import annotations

import dataclasses
import ftplib
import hashlib
import os
import string
import zlib
from collections.abc import Callable
from pathlib import PurePosixPath
from typing import Any, BinaryIO, Protocol, cast

from dravlen.ftp.settings import where_of
from dravlen.ftp.wire.client import send_together
from dravlen.ftp.wire.dialects import features, word
from dravlen.ftp.wire.names import command_text
from dravlen.ftp.wire.replies import IncompleteTransfer, lost, not_understood, operation
from dravlen.ftp.wire.transfer import size_or_none

__all__ = ["ALGORITHMS", "VERIFY", "Algorithm", "ChecksumMismatch", "ChecksumUnavailable", "HashCheck", "Hasher",
           "algorithm_named", "confirm_hash", "file_hash", "hash_check", "offered", "remote_hash", "strongest"]


class Hasher(Protocol):
    def update(self, data: Any, /) -> None: ...

    def hexdigest(self) -> str: ...


class _Crc32:
    """zlib's CRC-32 with hashlib's face."""

    def __init__(self) -> None:
        self.value = 0

    def update(self, data: Any, /) -> None:
        self.value = zlib.crc32(data, self.value)

    def hexdigest(self) -> str:
        return f"{self.value:08x}"


@dataclasses.dataclass(frozen=True)
class Algorithm:
    """A hash both sides can compute: its name in ``HASH`` (``SHA-256``),
    the older command that asks for it (``XSHA256``), and its length in hex
    digits."""

    name: str
    command: str
    digits: int
    new: Callable[[], Hasher] = dataclasses.field(compare=False, repr=False)


#: Strongest first: where the caller names none, the first the server has.
ALGORITHMS = (
    Algorithm("SHA-256", "XSHA256", 64, hashlib.sha256),
    Algorithm("SHA-512", "XSHA512", 128, hashlib.sha512),
    Algorithm("SHA-1", "XSHA1", 40, hashlib.sha1),
    Algorithm("MD5", "XMD5", 32, hashlib.md5),
    Algorithm("CRC32", "XCRC", 8, _Crc32),
)

_BY_KEY = {a.name.replace("-", ""): a for a in ALGORITHMS}


def _key(name: str) -> str:
    return name.upper().replace("-", "").replace("_", "")


def algorithm_named(name: str) -> Algorithm:
    """The algorithm *name* stands for (``"SHA-256"``, ``"sha256"``,
    ``"crc32"``...); ValueError naming it and those known otherwise."""
    if not isinstance(name, str):
        raise TypeError(f"algorithm must be a str, not {type(name).__name__}")
    found = _BY_KEY.get(_key(name))
    if found is None:
        raise ValueError(f"unknown hash algorithm {name!r}: one of {', '.join(a.name for a in ALGORITHMS)}")
    return found


class ChecksumUnavailable(OSError):
    """The server computes no hash of a file, or not the one asked for."""


class ChecksumMismatch(IncompleteTransfer):
    """A copy whose hash is not the one the server tells for the file: not
    whole, so it is not kept (and, being an `IncompleteTransfer`, it is
    tried again)."""


# -- what the server has ----------------------------------------------------

#: Learnt on a client: the algorithm its ``HASH`` is set to now (the starred
#: one of FEAT, or the last ``OPTS HASH`` it took).
_SELECTED = "_dravlen_hash_selected"


def offered(client: Any) -> tuple[tuple[Algorithm, bool], ...]:
    """The algorithms the server of *client* announces, strongest first,
    each with whether it is asked with ``HASH`` (True) or with its older
    command (False); its FEAT is asked the first time."""
    feats = features(client)
    found: list[tuple[Algorithm, bool]] = []
    draft = feats.get("HASH")
    names: set[Algorithm] = set()
    if draft is not None:
        for item in draft.split(";"):
            item = item.strip()
            algorithm = _BY_KEY.get(_key(item.rstrip("*")))
            if algorithm is not None:
                names.add(algorithm)
                if item.endswith("*") and not hasattr(client, _SELECTED):
                    setattr(client, _SELECTED, algorithm)
    for algorithm in ALGORITHMS:
        if algorithm in names:
            found.append((algorithm, True))
        elif algorithm.command in feats:
            found.append((algorithm, False))
    return tuple(found)


def _choose(path: Any, client: Any, wanted: str | None) -> tuple[Algorithm, bool]:
    have = offered(client)
    if wanted is None:
        if have:
            return have[0]
        raise ChecksumUnavailable(f"{where_of(path, client)} computes no hash of a file (its FEAT announces"
                                  " neither HASH nor XSHA256, XSHA1, XMD5, XCRC)")
    algorithm = algorithm_named(wanted)
    for candidate in have:
        if candidate[0] == algorithm:
            return candidate
    has = ", ".join(a.name for a, _ in have) or "none"
    raise ChecksumUnavailable(f"{where_of(path, client)} computes no {algorithm.name} of a file (it has: {has})")


def strongest(path: Any) -> Algorithm:
    """The strongest algorithm the server of *path* computes;
    `ChecksumUnavailable`, naming the server, where it has none."""
    return _choose(path, path.client, None)[0]


# -- asking -----------------------------------------------------------------

def _hex_in(text: str, digits: int) -> str | None:
    """The one token of *text* that is *digits* hex digits, lower case;
    None where there is none, or more than one."""
    found = [t for t in text.split() if len(t) == digits and all(c in string.hexdigits for c in t)]
    return found[0].lower() if len(found) == 1 else None


def _same_path(told: str, sent: str) -> bool:
    """Whether the path a HASH reply names is the one asked about: the same
    text, or (a relative path being answered as an absolute one) the same
    names at its end."""
    told = told.strip()
    if len(told) > 1 and told[0] == told[-1] == '"':
        told = told[1:-1]
    if not told or told == sent:
        return True  # some servers name no path
    mine, theirs = PurePosixPath(sent).parts, PurePosixPath(told).parts
    return not PurePosixPath(sent).is_absolute() and len(theirs) > len(mine) and theirs[-len(mine):] == mine


def _from_hash_reply(reply: str, algorithm: Algorithm, sent: str, size: int | None) -> str | None:
    """The hex digest in a reply to ``HASH``: ``213 <algorithm> <start>-<end>
    <hex> <path>``, about *algorithm*, the whole file (from byte 0 to its
    *size*, where it is known) and the path *sent*; None for anything else.
    Only the last line counts (ProFTPD says ``213-Computing SHA-256
    digest`` first)."""
    reply = reply.rpartition("\n")[2]
    if reply[:4] != "213 ":
        return None
    parts = reply[4:].split(" ", 3)
    if len(parts) < 3 or _key(parts[0]) != _key(algorithm.name):
        return None
    start, dash, end = parts[1].partition("-")
    if not dash or start != "0" or not end.isdigit():
        return None
    # The end is the size (as the draft's examples) or, on some servers, the last byte.
    if size is not None and int(end) not in (size, size - 1):
        return None
    hexdigest = parts[2]
    if len(hexdigest) != algorithm.digits or not all(c in string.hexdigits for c in hexdigest):
        return None
    if not _same_path(parts[3] if len(parts) > 3 else "", sent):
        return None
    return hexdigest.lower()


def _from_older_reply(reply: str, algorithm: Algorithm) -> str | None:
    """The hex digest in a reply to XSHA256 and its kin: ``250`` or ``213``
    and one token of hex digits of the algorithm's length among the words
    of its last line (ProFTPD says ``250-Computing SHA256 digest`` first)."""
    reply = reply.rpartition("\n")[2]
    if reply[:4] not in ("250 ", "213 "):
        return None
    return _hex_in(reply[4:], algorithm.digits)


def _shown(reply: str) -> str:
    return reply if len(reply) <= 200 else reply[:200] + "..."


def remote_hash(path: Any, algorithm: str | None = None, size: int | None = None) -> tuple[Algorithm, str]:
    """The server's hash of the file *path*: the algorithm (*algorithm*, or
    the strongest the server has) and its hex digest, lower case.

    ``TYPE I``, ``SIZE`` (where *size* is not known: the range a HASH reply
    tells is checked against it), any ``OPTS HASH`` and ``HASH`` go in one
    round trip.  `ChecksumUnavailable` where the server has no such hash;
    FileNotFoundError (or the refusal) where it refuses to hash the path;
    `ftplib.error_reply` for a reply that is no hash of the file."""
    client = path.client
    chosen, draft = _choose(path, client, algorithm)
    where = command_text(path)
    label = where_of(path, client)
    ask = "HASH " + where if draft else f"{chosen.command} {where}"
    commands = ["TYPE I"]
    if size is None:
        commands.append("SIZE " + where)
    select = draft and getattr(client, _SELECTED, None) != chosen
    if select:
        commands.append("OPTS HASH " + chosen.name)
    commands.append(ask)
    replies = send_together(client, commands)
    if size is None:
        size = size_or_none(replies[1])
    if select:
        taken = replies[-2]
        if isinstance(taken, ftplib.Error) or taken[:3] != "200":
            if isinstance(taken, ftplib.error_temp):
                raise taken
            setattr(client, _SELECTED, None)  # unknown now
            raise ChecksumUnavailable(f"{label} refused to compute {chosen.name} (OPTS HASH): {taken}")
        setattr(client, _SELECTED, chosen)
    answer = replies[-1]
    if isinstance(answer, ftplib.error_perm):
        path._valid_reset()
        if not_understood(answer):
            raise ChecksumUnavailable(f"{label} does not know {word(ask)}, which its FEAT announces: {answer}")
        raise FileNotFoundError(f"{label}: '{path.path}' has no {chosen.name} the server tells: {answer}")
    if isinstance(answer, ftplib.Error):
        raise answer
    found = _from_hash_reply(answer, chosen, where, size) if draft else _from_older_reply(answer, chosen)
    if found is None:
        raise ftplib.error_reply(f"{label} answered {word(ask)} of '{path.path}' with no {chosen.name} of the"
                                 f" whole file: {_shown(answer)}")
    return chosen, found


def file_hash(local: str, algorithm: Algorithm, block: int = 1 << 20) -> str:
    """The hex digest of the local file *local*, read in blocks."""
    hasher = algorithm.new()
    with open(local, "rb") as source:
        while data := source.read(block):
            hasher.update(data)
    return hasher.hexdigest()


# -- a copy confirmed by hash -------------------------------------------------

class HashCheck:
    """A transfer's bytes hashed as they move (`update`, or a file wrapped
    by `writing`), then compared with the server's hash of the file
    (`confirm`, `confirm_file`).  Made by `hash_check` before the transfer
    opens."""

    def __init__(self, algorithm: Algorithm) -> None:
        self.algorithm = algorithm
        self.hasher = algorithm.new()
        self.hashed = 0  # bytes fed so far

    def update(self, data: Any) -> None:
        self.hasher.update(data)
        self.hashed += len(memoryview(data))

    def follow(self, sink: Any, at: int) -> None:
        """Bring the hash to byte *at* of the file *sink* before a write
        there: begun again where the file was (a try that starts from byte
        0), or fed from the file the bytes it held already (a partial file
        continued), read once."""
        if at < self.hashed:
            self.hasher, self.hashed = self.algorithm.new(), 0
        if at > self.hashed:
            sink.flush()
            fd = sink.fileno()
            while self.hashed < at:
                data = os.pread(fd, min(_READ, at - self.hashed), self.hashed)
                if not data:
                    raise OSError(f"the file being written ended at byte {self.hashed}, before byte {at}")
                self.update(data)

    def writing(self, sink: BinaryIO) -> BinaryIO:
        """*sink* (a binary file), whose writes are hashed on their way."""
        return cast(BinaryIO, _HashingWriter(sink, self))

    def confirm(self, path: Any, moved: int) -> None:
        """`confirm_hash` of the *moved* bytes hashed."""
        confirm_hash(path, self.algorithm, self.hasher.hexdigest(), moved)

    def confirm_file(self, path: Any, sink: BinaryIO) -> None:
        """`confirm` of all that the file *sink* holds up to where it
        stands; on a mismatch the file is emptied first, so that nothing of
        it is kept, not even as a partial file to be continued."""
        size = sink.tell()
        self.follow(sink, size)
        try:
            self.confirm(path, size)
        except ChecksumMismatch:
            sink.seek(0)
            sink.truncate()
            raise


_READ = 1 << 20  # bytes read at a time from a local file


class _HashingWriter:
    """A binary file whose writes are hashed, each where the file stands."""

    __slots__ = ("check", "sink")

    def __init__(self, sink: BinaryIO, check: HashCheck) -> None:
        self.sink, self.check = sink, check

    def write(self, data: Any) -> int:
        self.check.follow(self.sink, self.sink.tell())
        written = self.sink.write(data)
        self.check.update(memoryview(data)[:written])
        return written

    def __getattr__(self, name: str) -> Any:
        return getattr(self.sink, name)


VERIFY = ("size", "hash")


@operation
def hash_check(path: Any, verify: str) -> HashCheck | None:
    """For *verify* ``"hash"`` on a server that computes one, the check a
    transfer of *path* feeds (its FEAT asked the first time, on the path's
    client: before any transfer opens); None for ``"size"``, and where the
    server has no hash, whose copies keep the size rule."""
    if verify not in VERIFY:
        raise ValueError(f"verify must be one of {', '.join(map(repr, VERIFY))}, not {verify!r}")
    if verify == "size":
        return None
    have = offered(path.client)
    return HashCheck(have[0][0]) if have else None


def confirm_hash(path: Any, algorithm: Algorithm, local: str, moved: int) -> None:
    """Raise `ChecksumMismatch`, naming the path and the server, unless the
    server's *algorithm* hash of *path* (a file of *moved* bytes) is *local*."""
    try:
        _, told = remote_hash(path, algorithm.name, moved)
    except (ftplib.Error, FileNotFoundError, ChecksumUnavailable) as exc:
        if lost(exc) or isinstance(exc, ftplib.error_temp):
            raise
        raise ChecksumMismatch(f"426 Transfer of '{path.path}' not confirmed: {where_of(path, path.client)} tells no"
                               f" {algorithm.name} of it: {exc}") from exc
    if told != local:
        raise ChecksumMismatch(f"426 Transfer of '{path.path}' does not match the file on {where_of(path, path.client)}:"
                               f" the server tells {algorithm.name} {told}, the bytes moved give {local}")
