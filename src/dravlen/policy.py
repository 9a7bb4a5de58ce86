"""A retry policy as a value: how often an operation is tried, how long to
wait between tries, and which failures are worth another try (`Retry`), and
the tries of one piece of work under it (`Tries`), which alone decide when
to try again.  `dravlen.base.retry` asks one `Tries` per failed call; work
that keeps its own loop (several connections at once, say) asks its own."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable
from typing import Any

__all__ = ["LOST_CONNECTION", "Retry", "Tries"]

# Errors that mean the client's connection is gone or unusable; socket.timeout
# is TimeoutError and BrokenPipeError is a ConnectionError.  Other OSErrors
# (FileNotFoundError from a local file, say) say nothing about the connection.
LOST_CONNECTION: tuple[type[BaseException], ...] = (EOFError, ConnectionError, TimeoutError)


@dataclasses.dataclass(frozen=True)
class Retry:
    """A retry policy: how often, how long to wait, and for what.

    * *attempts*: tries in all (at least one);
    * *backoff*: seconds before the second try, doubling for each later one;
    * *transient*: the exception classes worth another try on a fresh
      client (what means a lost connection is always among them);
    * *lost*: a test for other errors that leave the conversation lost
      (for `retry`, the client's `Session.lost` is asked as well);
    * *busy*, *busy_patience*, *busy_wait*: a server that says it is full is
      tried again every *busy_wait* seconds for up to *busy_patience*
      seconds from its first refusal, without using up attempts.

    Every loop asks `tries()` and follows `Tries.wait_after`.
    """

    attempts: int = 3
    backoff: float = 0.05
    transient: tuple[type[BaseException], ...] = ()
    lost: Callable[[BaseException], bool] | None = None
    busy: Callable[[BaseException], bool] | None = None
    busy_patience: float = 0.0
    busy_wait: float = 0.5

    def __post_init__(self) -> None:
        for kind in self.transient:
            if not (isinstance(kind, type) and issubclass(kind, BaseException)):
                raise TypeError(f"retry() takes exception classes, not {kind!r}")
        if self.attempts < 1:
            raise ValueError("retry() needs at least one attempt")
        if not (self.backoff >= 0 and self.busy_patience >= 0 and self.busy_wait >= 0):
            raise ValueError(f"retry waits must not be negative: {self!r}")
        missing = tuple(kind for kind in LOST_CONNECTION if kind not in self.transient)
        if missing:
            object.__setattr__(self, "transient", self.transient + missing)

    def is_transient(self, exc: BaseException) -> bool:
        """Whether *exc* is worth another try on a fresh client."""
        return isinstance(exc, self.transient) or (self.lost is not None and self.lost(exc))

    def delay(self, tries: int) -> float:
        """Seconds to wait after the *tries*-th failed try."""
        return self.backoff * (1 << (tries - 1))

    def but(self, **changes: Any) -> Retry:
        """This policy with *changes*."""
        return dataclasses.replace(self, **changes)

    def tries(self) -> Tries:
        """A count of tries of one piece of work under this policy."""
        return Tries(self)


class Tries:
    """The tries of one piece of work: `wait_after` says whether to try again.

    ``unanswered`` tells whether a try failed after its command may have
    reached the server unanswered (the connection or the conversation was
    lost): what that command did stays done, so a removal tried again may
    find its path gone.
    """

    __slots__ = ("policy", "failed", "busy_since", "unanswered")

    def __init__(self, policy: Retry) -> None:
        self.policy = policy
        self.failed = 0
        self.busy_since: float | None = None
        self.unanswered = False

    def wait_after(self, exc: BaseException, now: float | None = None, lost: bool = False) -> float | None:
        """The seconds to wait before trying again after *exc*, or None to give up.

        *lost*: the caller found the conversation lost by its own means (the
        client's session says so, say), which the policy's classes may not show.
        """
        policy = self.policy
        lost = lost or isinstance(exc, LOST_CONNECTION) or (policy.lost is not None and policy.lost(exc))
        self.unanswered = self.unanswered or lost
        if policy.busy is not None and policy.busy(exc):
            now = time.monotonic() if now is None else now
            if self.busy_since is None:
                self.busy_since = now
            if now - self.busy_since < policy.busy_patience:
                return policy.busy_wait
            return None
        if (lost or policy.is_transient(exc)) and self.failed < policy.attempts - 1:
            self.failed += 1
            return policy.delay(self.failed)
        return None
