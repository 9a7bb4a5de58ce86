"""A worker's side of the tree operations: its connection and the errors a
task raises.  When a failed task is tried again is `RETRY`'s to say, asked
by the pool; a removal tried again after a lost reply is judged here."""

from __future__ import annotations

import ftplib
import socket
from collections.abc import Callable

from dravlen.base import LOST_CONNECTION, BasePath, Local
from dravlen.ftp.wire.dialects import NO_MDTM, NO_MLSD, PLAIN_LIST
from dravlen.ftp.wire.replies import IncompleteTransfer, reason
from dravlen.ftp.wire.times import time_told
from dravlen.ftp.wire.listing import Entry, Listing, list_dir, parse_list
from dravlen.ftp.wire.client import passive_address, passive_ipv4, send_together
from dravlen.ftp.wire.transfer import confirm_size, listing_lines

#: Connections used when the caller does not say.
DEFAULT_CONNECTIONS = 4
BLOCK = 64 * 1024
# Progress reports within a large file at most this often (in bytes).
REPORT_EVERY = 1 << 20
# How long a worker that was told to stop may take to end its transfer and
# remove what it left, before its sockets are shut under it.
STOP_WAIT = 2.0


# ---------------------------------------------------------------------------
# errors inside a worker, and whether to try again


#: Commands sent before their replies are read, at most: what they and their
#: replies take stays well inside the sockets' buffers.
ASKED_AT_ONCE = 100


class Final(Exception):
    """A failure that trying again cannot mend; its text is the reason.

    *clean*: raised between commands, so the client is still in step;
    otherwise a transfer was left half-way and the client must go.
    """

    def __init__(self, reason: str, clean: bool = True) -> None:
        super().__init__(reason)
        self.clean = clean


class Stopped(Exception):
    """The operation is being stopped."""


#: The removals whose refusal, in a step tried again after a try whose reply
#: was lost, may only say that the path is gone.
_REMOVALS = ("DELE", "RMD")


# ---------------------------------------------------------------------------
# tasks and workers


class Task:
    __slots__ = ("label", "run", "directory", "top", "given_up")

    def __init__(self, label: str, run: Callable[[Worker], None], directory: bool = False,
                 top: bool = False, given_up: Callable[[], None] | None = None) -> None:
        self.label = label
        self.run = run
        self.directory = directory  # made or read before the files in it
        self.top = top  # the tree's own top: its failure is the operation's
        self.given_up = given_up  # told when the task fails for good


class Worker:
    """One thread's connection and what it knows about its state.

    *doing* says in words what the current command is for; a failure's
    reason starts with it, then gives the server's reply.
    """

    def __init__(self, cls: type[BasePath], anchor: str) -> None:
        self.cls = cls  # the path class of the tree's server
        self.path: BasePath = cls(anchor)
        self._binary_on: object = None  # the client last switched to TYPE I
        self.retired = False
        self.doing = ""
        # The step running now follows a try of it whose reply was lost (set
        # by the pool from the step's `Tries`): what that try sent may be done.
        self.replaying = False
        # The passive address a PASV sent at the end of the last download
        # gave (client, host, port): good for the next RETR on that client
        # only while no other command has gone.
        self._ahead: tuple[ftplib.FTP, str, int] | None = None
        # What another thread may shut to unblock this one when stopping.
        self.sockets: list[socket.socket] = []

    @property
    def client(self) -> ftplib.FTP:
        self._ahead = None  # whatever is sent next comes between that PASV and a RETR
        client: ftplib.FTP = self.path.client
        if client.sock is not None and client.sock not in self.sockets:
            self.sockets = [client.sock]
        return client

    def passive(self, client: ftplib.FTP, resp: str | None = None) -> tuple[str, int]:
        """The address of a passive data connection: from *resp*, the reply
        to a PASV already sent, or else from one sent now."""
        if resp is None:
            resp = client.sendcmd("PASV")
        if not resp.startswith("227"):
            raise ftplib.error_reply(resp)
        return passive_address(client, resp)

    def keep_ahead(self, client: ftplib.FTP, address: tuple[str, int]) -> None:
        """Keep *address*, given in answer to a PASV sent ahead, for the next transfer."""
        self._ahead = (client, *address)

    def give_up_ahead(self) -> None:
        """Before commands sent through the path rather than `client` (FEAT,
        HASH): a PASV sent ahead is given up, as `client` gives it up."""
        self.client  # noqa: B018 - the property's own work

    def take_ahead(self) -> tuple[str, int] | None:
        """The address kept by `keep_ahead`, if it is still good for this
        thread's client; it is used once."""
        ahead, self._ahead = self._ahead, None
        if ahead is None or ahead[0] is not Local.getattr(self.path._key_on_thread()):
            return None
        return ahead[1], ahead[2]

    def cmd(self, line: str, doing: str) -> str:
        """Send *line* and read its reply.  A removal refused in a step tried
        again after a lost reply, whose path is gone, was done by that try:
        its refusal is the answer instead of an error."""
        self.doing = doing
        try:
            return self.client.voidcmd(line)
        except ftplib.error_perm as exc:
            verb, _, remote = line.partition(" ")
            if verb in _REMOVALS and self.removed_unanswered(remote):
                return str(exc)
            raise

    def removed_unanswered(self, remote: str) -> bool:
        """Whether *remote*, refused by a removal in a step tried again after
        a try whose reply was lost, is gone: that try removed it."""
        if not self.replaying:
            return False
        self._binary_on = self._ahead = None  # the probe lists in ASCII mode
        return not self.cls(remote).exists  # type: ignore[attr-defined]

    def binary(self) -> ftplib.FTP:
        """The client, in binary mode (listings switch it to ASCII)."""
        client = self.client
        if self._binary_on is not client:
            client.voidcmd("TYPE I")
            self._binary_on = client
        return client

    def sizes(self, remotes: list[str]) -> list[str | ftplib.Error]:
        """The replies to SIZE of each of *remotes*, asked together in binary mode."""
        self.doing = "cannot confirm the file's size"
        return send_together(self.binary(), ["SIZE " + remote for remote in remotes])

    def confirm(self, remote: str, moved: int, ahead: bool = False,
                answer: str | ftplib.Error | None = None) -> None:
        """Confirm that the server holds *moved* bytes of *remote*, by the
        wire's one rule (`confirm_size`: `IncompleteTransfer` where it does
        not); asked in binary mode, where every server answers (some refuse
        SIZE in ASCII mode).  With *ahead*, the next transfer's PASV goes in
        the same round trip, last (some servers read nothing after a PASV
        until its data connection is made), and its address is kept.
        *answer*: the reply to a SIZE asked already (`sizes`)."""
        self.doing = "cannot confirm the file's size"
        client = self.binary()
        if answer is not None or not (ahead and passive_ipv4(client)):
            confirm_size(self.cls(remote), client, moved, remote, answer)
            return
        size, passive = send_together(client, ["SIZE " + remote, "PASV"])
        confirm_size(self.cls(remote), client, moved, remote, size)
        self.keep_passive(client, passive)

    def keep_passive(self, client: ftplib.FTP, passive: str | ftplib.Error) -> None:
        """Keep the address a PASV sent ahead was given, for the next
        transfer; a refusal keeps nothing (that transfer asks again)."""
        if isinstance(passive, str) and passive.startswith("227"):
            self.keep_ahead(client, passive_address(client, passive))

    def exact_time(self, remote: str) -> float | None:
        """The exact time (MDTM) of *remote* as a POSIX time, for a listing
        too coarse to decide by; None where the server tells none."""
        return self.exact_times([remote])[remote]

    def exact_times(self, remotes: list[str]) -> dict[str, float | None]:
        """`exact_time` of each of *remotes*, asked together (a round trip
        for a folder's worth, not one per file)."""
        self.doing = "cannot read the file's time"
        client = self.client
        times: dict[str, float | None] = dict.fromkeys(remotes)
        for start in range(0, len(remotes), ASKED_AT_ONCE):
            if getattr(client, NO_MDTM, False):
                break
            some = remotes[start:start + ASKED_AT_ONCE]
            for remote, reply in zip(some, send_together(client, ["MDTM " + r for r in some])):
                when = time_told(client, reply)
                times[remote] = None if when is None else when.timestamp()
        return times

    def make_dirs(self, remote: str) -> None:
        """Make the directory *remote* and its missing parents (the core's
        mkdir, which lists on this thread's client in ASCII mode)."""
        self.doing = "cannot create the directory"
        self._binary_on = self._ahead = None
        try:
            self.cls(remote).mkdir()  # type: ignore[attr-defined]
        finally:
            self._binary_on = None

    def listing(self, remote: str) -> Listing:
        """The entries of the directory *remote*, with every link shown as one;
        the lines the listing left out stay in its ``skipped``.

        Some servers' MLSD describes a link as what it points to (pyftpdlib),
        or leaves out a link that points nowhere (ProFTPD); followed, a link
        to a parent would never end, and a removal would empty its target.
        Where the entries came from MLSD, the directory's LIST is read too,
        and what LIST shows as a link is taken as one.
        """
        entries = self.list_once(remote)
        path = self.cls(remote)
        if hasattr(path.client, NO_MLSD):
            return entries  # LIST already: its kinds are the lines' own
        if hasattr(path.client, PLAIN_LIST):
            lines = listing_lines(path, "LIST " + remote)
        else:
            try:
                lines = listing_lines(path, "LIST -a " + remote)
            except ftplib.error_perm:
                # Taken as a path by servers that list dot-files anyway:
                # not asked again on this connection.
                lines = listing_lines(path, "LIST " + remote)
                setattr(path.client, PLAIN_LIST, True)
        links: dict[str, Entry] = {}
        for line in lines:
            entry = parse_list(line)
            if entry is not None and entry.kind == "link":
                links[entry.name] = entry
        if not links:
            return entries
        merged = [links.pop(e.name, e) for e in entries]
        return Listing(merged + list(links.values()), entries.skipped)

    def list_once(self, remote: str) -> Listing:
        """The entries of *remote* as one listing gives them (MLSD, else LIST)."""
        self.doing = "cannot list the directory"
        self._binary_on = self._ahead = None
        return list_dir(self.cls(remote))

    def why(self, exc: BaseException) -> str:
        """The reason a task failed: what could not be done, then the server's words."""
        text = reason(exc)
        if self.doing and isinstance(exc, (ftplib.Error, IncompleteTransfer) + LOST_CONNECTION):
            return f"{self.doing}: {text}"
        return text

    def recover(self, exc: BaseException) -> None:
        """Make sure the next command starts on a client in step."""
        if isinstance(exc, (ftplib.error_perm, IncompleteTransfer)) or (isinstance(exc, Final) and exc.clean):
            return  # a refusal is a whole reply, and these came between commands
        self.path._drop_client()
        self._binary_on = self._ahead = None

    def end_stopped_transfer(self) -> bool:
        """After a transfer left half-way because the work is stopping (its
        data connection closed), read the transfer's reply so the client is
        in step again; False, with the client dropped, if it cannot be."""
        client = self.client
        try:
            if client.sock is None:
                raise ConnectionError("closed")
            timeout = client.sock.gettimeout()
            client.sock.settimeout(STOP_WAIT)
            try:
                # 226, or 4xx for the transfer cut short; a transfer opened
                # here may still have its 150 to come first.
                if client.getresp().startswith("1"):
                    client.getresp()
            except (ftplib.error_temp, ftplib.error_perm):
                pass
            client.sock.settimeout(timeout)
            return True
        except Exception:
            self.path._drop_client()
            return False

    def shut(self) -> None:
        """Unblock this worker from another thread: its reads and writes fail."""
        for sock in list(self.sockets):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        client = Local.getattr(self.path._key_on_thread())
        if client is not None and client.sock is not None:
            try:
                client.sock.settimeout(1.0)
                client.quit()
            except Exception:
                pass
        Local.clear()  # the thread is ours: everything it holds goes
