"""A rate limit on the data connections of one call (`RateLimit`), and the
text that sets one (`parse_rate`: ``2M``, ``512k``, ``100000``).

One call (a download, an upload, a tree over several connections) shares one
`RateLimit`: every block read from or written to any of its data
connections is taken from one token bucket, so four connections under
``2M`` move 2 MiB a second together, not each.  The bucket holds a tenth of
a second's worth (at least `_LEAST`): a burst stays short, and a block
larger than what is held is let through at once and paid for by the
thread that moved it, and by those that come after it, waiting.
"""

from __future__ import annotations

import re
import threading
import time

__all__ = ["MAX_RATE", "RateLimit", "client_limit", "parse_rate", "rate_limit"]

_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
_RATE = re.compile(r"\s*([0-9]+(?:\.[0-9]+)?)\s*([kmg]?)(?:i?b)?\s*", re.IGNORECASE)
#: The least a bucket holds, in bytes: one block of a transfer at a low rate.
_LEAST = 16 << 10
#: The client's attribute holding its server's ``max_rate`` (set as it
#: connects), for the transfers that belong to no call of their own.
MAX_RATE = "_dravlen_max_rate"


def parse_rate(text: object) -> int:
    """Bytes per second from *text*: a whole number, or one with ``k``, ``M``
    or ``G`` after it (KiB, MiB, GiB, as curl's ``--limit-rate`` reads
    them: ``2M`` is 2,097,152); 0 is no limit.  ValueError naming *text*
    for anything else."""
    if isinstance(text, int) and not isinstance(text, bool):
        value = text
    else:
        m = _RATE.fullmatch(str(text))
        if m is None:
            raise ValueError(f"a rate is bytes per second, a number with k, M or G after it (such as 2M"
                             f" or 512k), not {str(text)!r}")
        value = int(float(m[1]) * _UNITS[m[2].lower()])
    if value < 0:
        raise ValueError(f"a rate cannot be negative: {text!r}")
    return value


class RateLimit:
    """A token bucket of *rate* bytes a second, shared by threads (0: no limit).

    `take` is called with the bytes just moved (or about to be); what the
    bucket does not hold is owed, and the caller sleeps until it is paid.
    The debt is shared: a thread that takes while another is waiting waits
    for both, so the threads together keep to the rate.
    """

    __slots__ = ("_lock", "_stamp", "_tokens", "block", "rate")

    def __init__(self, rate: int) -> None:
        if not isinstance(rate, int) or isinstance(rate, bool) or rate < 0:
            raise ValueError(f"a rate limit is a whole number of bytes a second (0: none), not {rate!r}")
        self.rate = rate
        #: The most a transfer should move at once under this limit.
        self.block = max(_LEAST, rate // 10)
        self._lock = threading.Lock()
        self._tokens = float(self.block)
        self._stamp = time.monotonic()

    def take(self, count: int) -> None:
        """Account for *count* bytes; sleep while the bucket is in debt."""
        if count <= 0 or not self.rate:
            return
        with self._lock:
            now = time.monotonic()
            self._tokens = min(float(self.block), self._tokens + (now - self._stamp) * self.rate)
            self._stamp = now
            self._tokens -= count
            wait = -self._tokens / self.rate
        if wait > 0:
            time.sleep(wait)

    def __repr__(self) -> str:
        return f"RateLimit({self.rate})"


def rate_limit(rate: int | str | RateLimit) -> RateLimit:
    """The limit of one call: *rate* as it is where it is one already (shared
    with the caller), else a new one of that many bytes a second (or its
    text, `parse_rate`; 0: none)."""
    if isinstance(rate, RateLimit):
        return rate
    return RateLimit(parse_rate(rate))


def client_limit(client: object) -> RateLimit:
    """A limit of its own for a transfer of *client* that belongs to no
    call with one: its server's ``max_rate``."""
    return RateLimit(getattr(client, MAX_RATE, 0))
