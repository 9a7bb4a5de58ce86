"""The times a server tells: MDTM (exact, UTC) and MFMT, a
``YYYYMMDDHHMMSS`` value, and LIST's wall-clock times moved to UTC once
the server's zone is known: set in the section (``timezone``), or learnt once
per connection from one file's exact time (MDTM)."""

from __future__ import annotations

import ftplib
import time
from dataclasses import replace
from datetime import datetime, timedelta, timezone, tzinfo
from typing import TYPE_CHECKING, Any

from dravlen.ftp.wire.dialects import LIST_ZONE, NO_MDTM, NO_MFMT, UNKNOWN_ZONE
from dravlen.ftp.wire.replies import not_understood

if TYPE_CHECKING:
    from dravlen.ftp.wire.listing import Listing



def set_time(client: ftplib.FTP, where: str, when: float) -> bool:
    """Give the remote file *where* the time *when* (a POSIX timestamp, kept to
    the second) with ``MFMT``; whether the server did.  A server that does not
    know the command is remembered on the client (`NO_MFMT`) and not asked
    again; any other refusal is raised."""
    if getattr(client, NO_MFMT, False):
        return False
    stamp = datetime.fromtimestamp(int(when), timezone.utc).strftime("%Y%m%d%H%M%S")
    try:
        client.sendcmd(f"MFMT {stamp} {where}")
    except ftplib.error_perm as exc:
        if not not_understood(exc):
            raise
        setattr(client, NO_MFMT, True)
        return False
    return True


def server_time(client: ftplib.FTP, where: str) -> datetime | None:
    """The exact modification time (UTC, to the second) ``MDTM`` gives for
    *where*, or None where the server gives none: it does not know the
    command (remembered on the client, `NO_MDTM`), refuses it for this
    path, or answers with no time."""
    if getattr(client, NO_MDTM, False):
        return None
    try:
        reply: str | ftplib.Error = client.sendcmd("MDTM " + where)
    except ftplib.error_perm as exc:
        reply = exc
    return time_told(client, reply)


def time_told(client: ftplib.FTP, reply: str | ftplib.Error) -> datetime | None:
    """The time in the reply (or refusal) *reply* to ``MDTM``; see `server_time`."""
    if isinstance(reply, ftplib.Error):
        if not_understood(reply):
            setattr(client, NO_MDTM, True)
        return None
    if reply[:3] != "213":
        return None
    return utc_time(reply[4:].strip().partition(".")[0])  # to the second


def utc_time(value: str) -> datetime | None:
    """The time of a ``YYYYMMDDHHMMSS[.sss]`` value (MLSx ``modify``, MDTM),
    always UTC; None for any other text."""
    whole, _, fraction = value.partition(".")
    if len(whole) != 14 or not whole.isascii() or not whole.isdigit():
        return None
    try:  # by hand: strptime costs more than the rest of a line's parsing
        when = datetime(int(whole[:4]), int(whole[4:6]), int(whole[6:8]), int(whole[8:10]),
                        int(whole[10:12]), int(whole[12:]), tzinfo=timezone.utc)
    except ValueError:
        return None
    if fraction.isascii() and fraction.isdigit():
        when += timedelta(microseconds=int((fraction + "000000")[:6]))
    return when

#: Seconds a LIST time covers: a minute, or a day for a date without a time.
MINUTE, DAY = 60, 86400
#: How far a server's own zone may lie from UTC, either way.
ZONE_SPAN = 14 * 3600
#: How far a zone learnt now may be off for a time in another season (a
#: change to or from summer time).
SEASON = 3600


def zone_of(path: Any, entries: Listing) -> tuple[tzinfo | None, bool]:
    """The zone of the server's LIST times, and whether it was learnt (not
    given): the section's ``timezone``, else learnt once per connection
    by asking one listed file's exact time (MDTM, UTC) and comparing.  A
    time that changed between the two answers, or an offset no zone has,
    teaches nothing; a server without MDTM is not asked again."""
    client = path.client
    known = getattr(client, LIST_ZONE, None)
    if known is not None:
        return known  # type: ignore[no-any-return]
    for entry in entries:
        if entry.kind != "file" or entry.precision != MINUTE or entry.mtime is None:
            continue
        exact = server_time(client, (path.path / entry.name).as_posix())
        if exact is None:
            if getattr(client, NO_MDTM, False):
                setattr(client, LIST_ZONE, UNKNOWN_ZONE)
            return UNKNOWN_ZONE
        offset = entry.mtime - exact.replace(second=0, microsecond=0)
        if offset.total_seconds() % 900 or abs(offset) > timedelta(seconds=ZONE_SPAN):
            return UNKNOWN_ZONE
        zone = (timezone(offset), True)
        setattr(client, LIST_ZONE, zone)
        return zone
    return UNKNOWN_ZONE


def in_utc(entries: Listing, zone: tuple[tzinfo | None, bool]) -> Listing:
    """LIST's wall-clock times moved to UTC by the server's *zone*; where
    it is not known they stay as listed, each with the slack that says so."""
    place, learnt = zone
    if place is None:
        return entries
    now = time.time()
    moved = type(entries)(skipped=entries.skipped)
    for entry in entries:
        if entry.mtime is None or not entry.zone_slack:
            moved.append(entry)
            continue
        when = entry.mtime.replace(tzinfo=place).astimezone(timezone.utc)
        # An offset learnt now holds for now; summer time may move older ones.
        slack = SEASON if learnt and abs(when.timestamp() - now) > DAY else 0
        moved.append(replace(entry, mtime=when, zone_slack=slack))
    return moved
