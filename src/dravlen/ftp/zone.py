"""The times of a LIST listing: the server's wall clock, to the minute (or
the day), moved to UTC once the server's zone is known: set in the
section (``timezone``), or learnt once per connection from one file's
exact time (MDTM)."""

from __future__ import annotations

import time
from dataclasses import replace
from datetime import timedelta, timezone, tzinfo
from typing import TYPE_CHECKING, Any

from dravlen.ftp.facts import LIST_ZONE, NO_MDTM, UNKNOWN_ZONE, server_time

if TYPE_CHECKING:
    from dravlen.ftp.listing import Listing

__all__ = ["DAY", "MINUTE", "SEASON", "ZONE_SPAN", "in_utc", "zone_of"]

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
