"""At most N connections to one server per process, shared by every thread
and every filesystem object that talks to it.

A `Gate` per server (scheme, user, host, port) hands out connected clients:
an idle one where there is one, else the right to connect while fewer than
the limit are open, else a wait.  A client given back stays open for the
next taker on any thread, so a pool of worker threads (Dask's, say) keeps
as many logins as it uses at once, not one per thread.  A server that turns
a connection away with ``421`` (too many connections) lowers the limit to
what this process has open, and the taker waits for one of those.

With a `ClusterLimit` (Dask), every connection a gate makes also holds a
lease of one `distributed.Semaphore` named after the server, so the limit
holds across all the worker processes of a cluster: a lease is taken before
a login and given back when that connection closes.

While a thread holds a client, the client sits in the thread's store
(`dravlen.base.Local`) under the path class's key, so the core's members and
`RemotePath`'s use it, drop it and replace it as they always do; what is
there when the thread is done is what goes back.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from dravlen.base import BasePath, Local, close_quietly
from dravlen.ftp.wire.replies import RETRY, busy

__all__ = ["DEFAULT_LIMIT", "ClusterLimit", "Gate", "gate_for", "holding"]

#: Connections per server and process unless told otherwise.
DEFAULT_LIMIT = 8
#: Seconds an idle connection is kept for the next taker.
KEEP_IDLE = 2.0

_gates: dict[str, Gate] = {}
_gates_lock = threading.Lock()
_held = threading.local()  # per thread: {key: depth} of clients taken from a gate


class ClusterLimit:
    """At most *leases* connections to the server *where* across a Dask
    cluster: one `distributed.Semaphore` per server, reached from the
    scheduler this process's Dask client (or worker) talks to."""

    def __init__(self, where: str, leases: int) -> None:
        self.where = where
        self.leases = leases
        self._semaphore: Any = None
        self._lock = threading.Lock()

    def _get(self) -> Any:
        with self._lock:
            if self._semaphore is None:
                try:
                    from distributed import Semaphore

                    self._semaphore = Semaphore(max_leases=self.leases, name=f"dravlen {self.where}")
                except (ImportError, ValueError) as exc:
                    raise RuntimeError(f"cluster_connections for {self.where} needs a running Dask"
                                       f" cluster (distributed's Client or worker) in this process: {exc}") from exc
            return self._semaphore

    def acquire(self, wait: float) -> None:
        if not self._get().acquire(timeout=wait):
            raise TimeoutError(f"no connection to {self.where} came free in the cluster within {wait:g} s"
                               f" (at most {self.leases} across it)")

    def release(self, count: int) -> None:
        semaphore = self._semaphore
        for _ in range(count):
            try:
                semaphore.release()
            except Exception:
                pass  # the scheduler lets a lease lapse when its holder is gone


class Gate:
    """The connections of one process to one server."""

    def __init__(self, where: str, limit: int) -> None:
        self.where = where
        self.limit = limit
        self.open = 0  # connections made through the gate and not yet closed
        self.cluster: ClusterLimit | None = None
        self.pending = 0  # of `open`: allowed to connect, no cluster lease yet
        self.leased = 0  # cluster leases held
        self.idle: list[tuple[Any, float]] = []  # (client, since when)
        self.lowered = False  # set by a 421: a limit given later does not raise it
        self._cond = threading.Condition()
        self._reaper: threading.Thread | None = None

    def __repr__(self) -> str:
        return f"<Gate {self.where} {self.open}/{self.limit} open, {len(self.idle)} idle>"

    def set_limit(self, limit: int) -> None:
        with self._cond:
            if not self.lowered or limit < self.limit:
                self.limit = limit
            self._cond.notify_all()

    def take(self, wait: float) -> tuple[bool, Any]:
        """``(True, client)`` for an idle client, ``(True, None)`` for the
        right to connect (`made` or `failed` must follow), waiting up to
        *wait* seconds for either."""
        deadline = time.monotonic() + wait
        with self._cond:
            while True:
                if self.idle:
                    return True, self.idle.pop()[0]
                if self.open < self.limit:
                    self.open += 1
                    self.pending += 1
                    return True, None
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(
                        f"no connection to {self.where} came free within {wait:g} s"
                        f" ({self.open} open, at most {self.limit} per process)")
                self._cond.wait(left)

    def lease(self, wait: float) -> None:
        """Turn the right to connect given by `take` into one the cluster
        allows too (at once without a `ClusterLimit`)."""
        if self.cluster is not None:
            try:
                self.cluster.acquire(wait)
            except BaseException:
                with self._cond:
                    self.pending -= 1
                    self.open -= 1
                    self._cond.notify_all()
                raise
        with self._cond:
            self.pending -= 1
            self.leased += 1

    def _settle(self) -> int:
        """The cluster leases of connections that are gone, no longer
        counted as held; called with the lock held, after `open` went down,
        and handed to `_give_leases` once it is let go."""
        extra = max(0, self.leased - (self.open - self.pending))
        self.leased -= extra
        return extra

    def _give_leases(self, count: int) -> None:
        if count and self.cluster is not None:
            self.cluster.release(count)

    def failed(self, exc: BaseException | None) -> None:
        """The connection allowed by `take` was not made, or one held was
        dropped; a ``421`` lowers the limit to the connections open now (at
        least one)."""
        with self._cond:
            self.open -= 1
            gone = self._settle()
            if exc is not None and busy(exc):
                self.limit = max(1, min(self.limit, self.open))
                self.lowered = True
            self._cond.notify_all()
        self._give_leases(gone)

    def give(self, client: Any, usable: bool) -> None:
        """Take back a client; one that cannot be used, or beyond a limit
        lowered meanwhile, is closed."""
        gone = 0
        with self._cond:
            if usable and self.open <= self.limit:
                self.idle.append((client, time.monotonic()))
                if self._reaper is None:
                    self._reaper = threading.Thread(target=self._reap, name=f"idle {self.where}", daemon=True)
                    self._reaper.start()
            else:
                self.open -= 1
                gone = self._settle()
                close_quietly(client)
            self._cond.notify_all()
        self._give_leases(gone)

    def close_idle(self, older: float = 0.0) -> None:
        """Close the clients idle for *older* seconds or more (they log in
        again when next needed)."""
        now = time.monotonic()
        with self._cond:
            gone = [client for client, since in self.idle if now - since >= older]
            self.idle = [(client, since) for client, since in self.idle if now - since < older]
            self.open -= len(gone)
            leases = self._settle()
            self._cond.notify_all()
        for client in gone:
            close_quietly(client)
        self._give_leases(leases)

    def _reap(self) -> None:
        # Stays while clients come and go (a walk takes and gives one per
        # folder): it ends only after KEEP_IDLE seconds with none idle.
        empty_since: float | None = None
        while True:
            with self._cond:
                now = time.monotonic()
                if not self.idle:
                    empty_since = empty_since or now
                    if now - empty_since >= KEEP_IDLE:
                        self._reaper = None
                        return
                    self._cond.wait(KEEP_IDLE - (now - empty_since))
                    continue
                empty_since = None
                left = min(since for _, since in self.idle) + KEEP_IDLE - now
                if left > 0:
                    self._cond.wait(left)
            self.close_idle(KEEP_IDLE)


def gate_for(where: str, limit: int | None = None, cluster: int | None = None) -> Gate:
    """The process's gate for the server *where*; *limit*, when given, is
    its limit from now on (never above what a ``421`` taught); *cluster*,
    when given, the most connections to it across the Dask cluster."""
    with _gates_lock:
        gate = _gates.get(where)
        if gate is None:
            gate = _gates[where] = Gate(where, limit or DEFAULT_LIMIT)
            limit = None
        if cluster is not None and (gate.cluster is None or gate.cluster.leases != cluster):
            # The connections open now hold leases of the old limit, or none.
            gate.close_idle()
            if gate.open:
                raise ValueError(f"{where}: cluster_connections={cluster} while {gate.open} connections made"
                                 f" under {gate.cluster.leases if gate.cluster else 'no'} cluster limit are in use")
            gate.cluster = ClusterLimit(where, cluster)
    if limit is not None:
        gate.set_limit(limit)
    return gate


def _depths() -> dict[Any, int]:
    try:
        return _held.depths  # type: ignore[no-any-return]
    except AttributeError:
        _held.depths = {}
        return _held.depths  # type: ignore[no-any-return]


def connect(gate: Gate, probe: BasePath, wait: float) -> Any:
    """A connected client from *gate* (idle, or newly made by *probe*'s
    class), put in the calling thread's store; waits while the server is
    full, as `RETRY` says (other failures to connect are raised at once)."""
    key = probe._key_on_thread()
    tries = RETRY.tries()
    while True:
        _, client = gate.take(wait)
        if client is not None:
            Local.setattr(key, client)
            return client
        # A cluster whose connections are all in use is waited for as a full server is.
        gate.lease(max(wait, RETRY.busy_patience))
        try:
            Local.delattr(key)
            client = probe.client  # made, connected and logged in
        except BaseException as exc:
            gate.failed(exc)
            pause = tries.wait_after(exc) if busy(exc) else None
            if pause is None:
                raise
            time.sleep(pause)
            continue
        return client


def release(gate: Gate, probe: BasePath) -> None:
    """Give the calling thread's client for *probe*'s class back to *gate*."""
    key = probe._key_on_thread()
    client = Local.getattr(key)
    if client is None:
        # Dropped after an error; the connection it stood for is gone.
        gate.failed(None)
        return
    usable = not probe._client_unusable()
    Local.delattr(key)
    gate.give(client, usable)


@contextmanager
def holding(gate: Gate, probe: BasePath, wait: float) -> Iterator[Any]:
    """Run the block with a client of *gate* in the thread's store; nested
    blocks on the same thread share it."""
    key = probe._key_on_thread()
    depths = _depths()
    depth = depths.get(key, 0)
    if depth == 0 and Local.getattr(key) is not None:
        # The thread already has a client of its own (made outside any
        # gate): it is used and left where it is.
        yield Local.getattr(key)
        return
    if depth:
        depths[key] = depth + 1
        try:
            yield Local.getattr(key)
        finally:
            depths[key] -= 1
        return
    client = connect(gate, probe, wait)
    depths[key] = 1
    try:
        yield client
    finally:
        depths.pop(key, None)
        release(gate, probe)


class Lease:
    """A client of a gate kept across calls from any thread (an open file's):
    `bound` puts it in the calling thread's store for one call, and
    `give_back` returns it to the gate."""

    def __init__(self, gate: Gate, probe: BasePath, wait: float) -> None:
        self.gate = gate
        self.probe = probe
        self.wait = wait
        self.client: Any = None  # None: none held (not yet, or dropped)

    @contextmanager
    def bound(self) -> Iterator[Any]:
        key = self.probe._key_on_thread()
        depths = _depths()
        saved, depth = Local.getattr(key), depths.get(key, 0)
        try:
            if self.client is None:
                Local.delattr(key)
                self.client = connect(self.gate, self.probe, self.wait)
            else:
                Local.setattr(key, self.client)
            depths[key] = 1
            yield self.client
        finally:
            current = Local.getattr(key)
            if current is None and self.client is not None:
                self.gate.failed(None)  # dropped after an error
            self.client = current
            if saved is not None:
                Local.setattr(key, saved)
            else:
                Local.delattr(key)
            if depth:
                depths[key] = depth
            else:
                depths.pop(key, None)

    def give_back(self) -> None:
        client, self.client = self.client, None
        if client is not None:
            try:
                usable = not self.probe._session().unusable(client)
            except Exception:
                usable = False
            self.gate.give(client, usable)
