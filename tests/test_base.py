"""BasePath, Local, retry and _valid_reset, on `StandIn`, a Python backend
(FTPPath's use of them is tested in test_surface.py and test_faults.py).

pyftpdlib runs in a thread of this process on 127.0.0.2 and counts what it
sees, so the tests can tell a reconnect or a round trip from none."""

from __future__ import annotations

import collections, ftplib, gc, io, logging, os, select, socket, sys, threading, time, weakref
from pathlib import PurePosixPath, PureWindowsPath

import pytest
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

from dravlen.base import BasePath, Local, LoginError, Retry, retry
from dravlen.config import ConfigError
import dravlen.ftp.wire.session  # noqa: F401  (the session of ftplib clients)

USER, PASSWORD = "tester", "s3cret"
BIG_NAME, BIG_SIZE = "big.bin", 1 << 20
WAIT = BasePath._RESYNC_WAIT


class StandIn(BasePath):
    _section = ("ftp",)
    _creator = ftplib.FTP  # opened by the FTP session, which dravlen.ftp.wire.session registers

    def _reset(self, section):
        try:
            Local.setattr(self._key_on_thread(), self._creator(**self._read_config(section)))
        except Exception as exc:
            return exc

    @retry(ftplib.error_temp, ftplib.error_reply)
    def size(self):
        self.client.voidcmd("TYPE I")  # servers refuse SIZE in ASCII mode
        return self.client.size(self.path.as_posix())


def within(seconds, condition):
    """Wait (bounded) until condition() holds; its last value."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


class FTPd:
    """pyftpdlib on 127.0.0.2, served by a thread, counting what it sees.

    ``counts`` has "connect", "disconnect" and each command word; ``fail_next = n``
    makes the next n commands after login answer 421 (counted as "421") and
    close; ``idle`` (seconds) and ``idle_silent`` close idle connections,
    with pyftpdlib's 421 or without a word."""

    def __init__(self, root, idle=300, idle_silent=False):
        self.root, self.counts, self.fail_next = root, collections.Counter(), 0
        self.user, self.password = USER, PASSWORD
        count, authorizer = self.counts.update, DummyAuthorizer()
        authorizer.add_user(USER, PASSWORD, str(root), perm="elradfmwMT")
        outer = self

        class Handler(FTPHandler):
            timeout = idle
            auth_failed_timeout = 0  # answer a wrong password at once

            def on_connect(self):
                count(["connect"])

            def on_disconnect(self):
                count(["disconnect"])

            def pre_process_command(self, line, cmd, arg):
                count([cmd])
                if outer.fail_next > 0 and cmd not in ("USER", "PASS"):
                    outer.fail_next -= 1
                    count(["421"])
                    self.respond(f"421 Closing now (failure {outer.counts['421']})")
                    return self.close_when_done()
                return super().pre_process_command(line, cmd, arg)

            def handle_timeout(self):
                self.close() if idle_silent else super().handle_timeout()

        Handler.authorizer = authorizer
        self.ioloop = IOLoop()
        self.server = FTPServer(("127.0.0.2", 0), Handler, ioloop=self.ioloop)
        self.host, self.port = self.server.address[:2]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="pyftpdlib", daemon=True)
        self._thread.start()

    def _serve(self):
        try:
            while not self._stop.is_set():
                self.ioloop.loop(0.01, blocking=False)
        finally:
            self.server.close_all()

    def stop(self):
        self._stop.set()
        self._thread.join(10)


def point(monkeypatch, srv, section="ftp"):
    """Section *section* of the configuration names server *srv*."""
    for key in ("host", "port", "user", "password"):
        monkeypatch.setenv(f"DRAVLEN_{section.upper()}_{key.upper()}", str(getattr(srv, key)))


@pytest.fixture(autouse=True)
def isolated(monkeypatch, tmp_path):
    """No DRAVLEN_* settings from outside, and no client left behind."""
    for name in [n for n in os.environ if n.upper().startswith("DRAVLEN_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("HOME", str(tmp_path))
    logging.getLogger("pyftpdlib").setLevel(logging.ERROR)
    yield
    Local.clear()


@pytest.fixture
def make_ftpd(tmp_path, monkeypatch):
    started = []

    def make(section="ftp", **options):
        root = tmp_path / f"root-{section}-{len(started)}"
        root.mkdir()
        (root / BIG_NAME).write_bytes(os.urandom(BIG_SIZE))
        started.append(FTPd(root, **options))
        point(monkeypatch, started[-1], section)
        return started[-1]

    yield make
    Local.clear()  # before the servers go, so their counts stay meaningful
    for ftpd in started:
        ftpd.stop()


@pytest.fixture
def ftpd(make_ftpd):
    return make_ftpd()


# -- the path value and the class ------------------------------------------

@pytest.mark.parametrize("given, text, name, parent", [
    ("/srv/data/file.txt", "/srv/data/file.txt", "file.txt", "/srv/data"),
    (PurePosixPath("a//b/./c"), "a/b/c", "c", "a/b"),
    (PureWindowsPath("dir\\file.txt"), "dir/file.txt", "file.txt", "dir"),
    (type("Like", (), {"__fspath__": lambda self: "/x/y"})(), "/x/y", "y", "/x"),
    ("file.txt", "file.txt", "file.txt", "."), ("/", "/", "", "/"), ("", ".", "", "."),
    (b"/bytes", None, None, None), (3, None, None, None), (None, None, None, None),
])
def test_path_semantics(given, text, name, parent):
    if text is None:
        pytest.raises(TypeError, StandIn, given)
        return
    p = StandIn(given)
    assert type(p.path) is PurePosixPath and p.path.as_posix() == text
    assert (str(p), repr(p), p.name) == (text, f"StandIn({text!r})", name)
    assert type(p.parent) is StandIn and p.parent.path.as_posix() == parent
    joined = p.join("n")
    assert type(joined) is StandIn and joined == p / "n" and joined.parent == p
    assert (p / "/abs").path.as_posix() == "/abs"
    # Equal by class and path: a class with another section is another server.
    Other = type("Other", (StandIn,), {"_section": ("other",)})
    assert StandIn(p) == p and hash(StandIn(text)) == hash(p) and len({p, StandIn(text)}) == 1
    assert p != Other(text) and p != joined and p != text


@pytest.mark.parametrize("section", ["ftp", ("a", "b"), (), (3,), ("",), (type("S", (str,), {})("x"),)])
def test_section_must_be_one_exact_str(section):
    with pytest.raises(TypeError, match="_section"):
        type("Broken", (StandIn,), {"_section": section})


# -- clients ---------------------------------------------------------------

def test_one_client_per_class_section_and_thread(make_ftpd):
    first, second = make_ftpd("ftp"), make_ftpd("mirror")
    (second.root / "only-on-mirror").write_text("m")
    Mirror = type("StandIn", (StandIn,), {"_section": ("mirror",)})  # the same name: only the section differs
    p = StandIn("/")
    main = p.client
    assert StandIn("/elsewhere").client is main and main.pwd() == "/"
    assert Mirror("/").client is not main and sorted(Mirror("/").client.nlst()) == [BIG_NAME, "only-on-mirror"]
    seen = []
    worker = threading.Thread(target=lambda: seen.extend(
        [p.client is main, p.client is p.client, p.client.pwd(), weakref.ref(p.client)]))
    worker.start()
    worker.join(30)
    assert seen[:3] == [False, True, "/"]
    gc.collect()
    assert seen[3]() is None and p.client is main
    assert within(5, lambda: first.counts["disconnect"] == 1), "a finished thread's client was not closed"
    assert (first.counts["connect"], first.counts["PASS"], second.counts["connect"]) == (2, 2, 1)


def test_a_new_client_reads_the_configuration_once(ftpd, monkeypatch):
    from dravlen.config import EnvConfig
    from dravlen.ftp.path import FTPPath

    reads, real = [], EnvConfig._read.__func__
    monkeypatch.setattr(EnvConfig, "_read", classmethod(lambda cls: reads.append(1) or real(cls)))
    for cls in (StandIn, FTPPath):  # the core's _reset reads "pasv" too
        reads.clear()
        assert cls("/").client.pwd() == "/" and reads == [1]
    assert EnvConfig.init_configer() is not EnvConfig.init_configer()  # outside a client's making: afresh


def test_failures_while_making_a_client_leave_nothing_behind(ftpd, monkeypatch):
    p = StandIn("/")
    key = p._key_on_thread()
    monkeypatch.setenv("DRAVLEN_FTP_PASSWORD", "wrong")
    with pytest.raises(LoginError, match="530"):  # not an ftplib.Error: no member reads it as "missing"
        p.client
    assert Local.getattr(key) is None
    assert within(5, lambda: ftpd.counts["disconnect"] == 1), "the failed login's connection stayed open"
    monkeypatch.setenv("DRAVLEN_FTP_TIMEOUT", "never")  # read by _reset, which returns the error
    with pytest.raises(ConfigError, match="timeout"):
        p.client
    assert Local.getattr(key) is None


# -- retry -----------------------------------------------------------------

def test_retry_survives_a_421_on_a_fresh_client_and_makes_bounded_attempts_only(ftpd):
    p = StandIn(f"/{BIG_NAME}")
    first = p.client
    ftpd.fail_next = 1
    assert p.size() == BIG_SIZE and ftpd.counts["connect"] == 2 and ftpd.counts["421"] == 1
    assert p.client is not first and first.sock is None  # dropped and closed
    ftpd.fail_next, started = 100, time.monotonic()
    with pytest.raises(ftplib.error_temp, match=r"failure 4\)"):  # the last of three attempts
        p.size()
    assert time.monotonic() - started < 5 and (ftpd.counts["421"], ftpd.counts["connect"]) == (4, 4)
    assert Local.getattr(p._key_on_thread()) is None  # the broken client is not kept
    ftpd.fail_next = 0
    assert p.size() == BIG_SIZE and ftpd.counts["connect"] == 5
    client = p.client
    with pytest.raises(ftplib.error_perm, match="550"):  # other errors pass at once
        StandIn("/missing").size()
    assert p.client is client and ftpd.counts["connect"] == 5


@pytest.mark.parametrize("silent", [False, True], ids=["421-then-close", "silent-close"])
def test_retry_survives_an_idle_closed_connection(make_ftpd, silent):
    ftpd = make_ftpd(idle=0.3, idle_silent=silent)
    p = StandIn(f"/{BIG_NAME}")
    first = p.client
    assert within(5, lambda: ftpd.counts["disconnect"] == 1), "the server did not close the idle connection"
    assert p.size() == BIG_SIZE and p.client is not first and ftpd.counts["connect"] == 2


def test_retry_replaces_a_client_broken_by_a_timed_out_read(ftpd):
    # A read that timed out outside any wrapper (say in a generator) breaks
    # ftplib's reply file for good; the next call fails on it with a plain OSError.
    p = StandIn(f"/{BIG_NAME}")
    client = p.client
    client.sock.settimeout(0.05)
    with pytest.raises(TimeoutError):
        client.getline()
    assert p.size() == BIG_SIZE and p.client is not client and ftpd.counts["connect"] == 2


# -- _valid_reset ----------------------------------------------------------

def _interrupt(data):
    raise InterruptedError("stop at the first byte")


def test_valid_reset_keeps_each_server_in_step_after_abandoned_downloads(server, home, monkeypatch):
    point(monkeypatch, server)
    (home.path / BIG_NAME).write_bytes(os.urandom(BIG_SIZE))
    p = StandIn(f"{home.remote}/{BIG_NAME}")
    client, replies = p.client, []
    for _ in range(30):
        try:
            client.retrbinary(f"RETR {p.path}", _interrupt, blocksize=1)
        except InterruptedError as caught:
            p._valid_reset()
            assert sys.exc_info()[1] is caught
        else:
            pytest.fail("the download was not interrupted")
        assert Local.getattr(p._key_on_thread()) is client, "it reconnected"
        replies.append(client.sendcmd(f"SIZE {p.path}"))
    assert replies == [f"213 {BIG_SIZE}"] * 30
    # A stale reply that came late would be waiting now.
    assert not select.select([client.sock], [], [], 2 * WAIT)[0]


def test_valid_reset_after_a_plain_550_costs_no_round_trip(ftpd):
    p = StandIn("/")
    client = p.client
    for _ in range(50):
        try:
            client.sendcmd("MDTM no-such-file")
        except ftplib.error_perm as caught:
            p._valid_reset()
            assert sys.exc_info()[1] is caught
    assert ftpd.counts["MDTM"] == 50 and ftpd.counts["NOOP"] == 0
    assert p.client is client and client.pwd() == "/" and ftpd.counts["connect"] == 1


class ScriptedServer:
    """The server end of a socketpair whose client end is stored as the
    thread's client of *p*; a thread plays *script*: ("send", bytes),
    ("sleep", seconds), ("answer", expected command, reply) or ("close",)."""

    def __init__(self, p, script):
        ours, self.sock = socket.socketpair()
        ours.settimeout(10)
        self.sock.settimeout(10)
        self.client = ftplib.FTP()
        self.client.sock, self.client.file = ours, ours.makefile("r", encoding="utf-8")
        Local.setattr(p._key_on_thread(), self.client)
        self.heard, self.sent_first = [], threading.Event()
        threading.Thread(target=self._play, args=(script,), daemon=True).start()

    def _play(self, script):
        lines = self.sock.makefile("rb")
        try:
            for step in script:
                if step[0] == "sleep":
                    time.sleep(step[1])
                elif step[0] == "close":
                    self.sock.close()
                else:
                    if step[0] == "answer":
                        self.heard.append(lines.readline())
                    self.sock.sendall(step[-1])
                    self.sent_first.set()
        except OSError:
            pass
        finally:
            self.sock.close()


def reset_after(p, handled):
    """_valid_reset while *handled* (an abandoned download, a 550) is handled; the seconds it took."""
    try:
        raise handled("550 as if from RETR" if handled is ftplib.error_perm else "abandoned download")
    except handled as caught:
        started = time.monotonic()
        p._valid_reset()
        assert sys.exc_info()[1] is caught
        return time.monotonic() - started


IN_STEP = [("answer", b"NOOP\r\n", b"200 Zzz...\r\n"), ("answer", b"PWD\r\n", b'257 "/"\r\n')]


@pytest.mark.parametrize("handled, script", [
    (InterruptedError, [("sleep", 0.03), ("send", b"426 Transfer aborted\r\n")]),
    (InterruptedError, [("send", b"22"), ("sleep", 0.03), ("send", b"6-File successfully tr"), ("sleep", 0.03),
                        ("send", b"ansferred\r\n2"), ("sleep", 0.03), ("send", b"26 0.001 seconds\r"),
                        ("sleep", 0.03), ("send", b"\n")]),
    (InterruptedError, [("send", b"150 0.000 seconds (measured here), 1000.00 Mbytes per second\r\n")]),
    (InterruptedError, [("send", b"451-Local error\r\n 451 in the text is no end\r\n451 End\r\n"),
                        ("send", b"226 A stale second reply\r\n")]),
    # Two replies in one segment: once the first is read, ftplib's file holds
    # the second while the socket has nothing more to read.
    ("buffered", [("send", b"150 Opening BINARY mode data connection\r\n226 Done\r\n")]),
    ("buffered", [("send", b"550 No such file\r\n200 a stray reply\r\n")]),
    (ftplib.error_perm, [("send", b"200 a stray reply\r\n")]),
], ids=["426-late", "multiline-in-pieces", "lone-150", "multiline-and-stale", "buffered-226", "buffered-after-550",
        "stray-after-550"])
def test_valid_reset_reads_what_is_pending_then_makes_a_noop_round(ftpd, handled, script):
    p = StandIn("/")
    played = ScriptedServer(p, script + IN_STEP)
    if handled is not InterruptedError:  # let what is sent first arrive
        assert played.sent_first.wait(5) and select.select([played.client.sock], [], [], 5)[0]
    if handled == "buffered":
        time.sleep(0.05)
        handled = ftplib.error_perm if played.client.getline().startswith("550") else InterruptedError
        assert not select.select([played.client.sock], [], [], 0)[0]
    elapsed = reset_after(p, handled)
    assert Local.getattr(p._key_on_thread()) is played.client, "it reconnected"
    assert played.client.sendcmd("PWD") == '257 "/"'
    assert played.heard == [b"NOOP\r\n", b"PWD\r\n"] and elapsed < WAIT and ftpd.counts["connect"] == 0


@pytest.mark.parametrize("handled, script, slow", [
    (InterruptedError, [("sleep", 3 * WAIT)], True),
    (InterruptedError, [("send", b"426 Transfer aborted\r\n"), ("sleep", 3 * WAIT)], True),
    (InterruptedError, [("close",)], False),
    (InterruptedError, [("send", b"226-never ends\r\n"), ("close",)], False),
    (ftplib.error_perm, [("close",)], False),
    ("server gone", [("close",)], False),
], ids=["no-closing-reply", "no-noop-reply", "closed", "closed-mid-reply", "closed-after-550", "server-gone"])
def test_valid_reset_replaces_what_cannot_be_put_in_step(ftpd, handled, script, slow):
    p = StandIn("/")
    played = ScriptedServer(p, script)
    gone = handled == "server gone"
    if gone:
        ftpd.stop()
    elif handled is ftplib.error_perm:
        assert select.select([played.client.sock], [], [], 5)[0]  # the close has arrived
    elapsed = reset_after(p, InterruptedError if gone else handled)
    assert played.client.sock is None, "the old client was not closed"
    assert (WAIT <= elapsed < 4 * WAIT) if slow else elapsed < WAIT
    fresh = Local.getattr(p._key_on_thread())
    if gone:  # dropped, so the next use connects again
        assert fresh is None
        with pytest.raises(ConnectionRefusedError):
            p.client
    else:
        assert fresh is not None and fresh is not played.client and fresh.pwd() == "/"
        assert ftpd.counts["connect"] == 1


def test_a_retry_policy_counts_tries_and_waits_for_a_full_server_apart():
    full = ftplib.error_temp("421 Too many connections")
    policy = Retry(attempts=3, backoff=0.5, transient=(ftplib.error_temp,), busy=lambda e: str(e)[:3] == "421",
                   busy_patience=10, busy_wait=2)
    assert EOFError in policy.transient and policy.is_transient(ConnectionResetError())
    tries = policy.tries()
    # A full server does not use up attempts, for busy_patience seconds from its first refusal.
    assert [tries.wait_after(full, now) for now in (100, 105, 109.9, 110)] == [2, 2, 2, None]
    assert [tries.wait_after(ftplib.error_temp("450 busy file")) for _ in range(3)] == [0.5, 1.0, None]
    assert policy.tries().wait_after(ftplib.error_perm("550 no")) is None
    assert policy.but(attempts=1).tries().wait_after(EOFError()) is None
    with pytest.raises(ValueError, match="at least one attempt"):
        Retry(attempts=0)


def test_retry_waits_for_a_full_server_as_long_as_its_policy_says(ftpd):
    policy = Retry(attempts=2, backoff=0, transient=(ftplib.error_temp,), busy=lambda e: str(e)[:3] == "421",
                   busy_patience=0.5, busy_wait=0.01)
    size = retry(policy=policy)(StandIn.size.__wrapped__)
    p = StandIn(f"/{BIG_NAME}")
    ftpd.fail_next = 5  # more refusals than attempts: those of a full server use up none
    assert size(p) == BIG_SIZE and ftpd.counts["421"] == 5
    ftpd.fail_next, started = 1000, time.monotonic()
    with pytest.raises(ftplib.error_temp, match="421"):
        size(p)
    assert 0.5 <= time.monotonic() - started < 3


class Nested(BasePath):
    """Operations that call one another, each wrapped by retry, failing on every try."""

    calls: list[str] = []

    @retry(ftplib.error_temp, backoff=0)
    def inner(self):
        self.calls.append("inner")
        raise ftplib.error_temp("421 still down")

    @retry(ftplib.error_temp, backoff=0)
    def middle(self):
        self.calls.append("middle")
        return self.inner()

    @retry(ftplib.error_temp, backoff=0)
    def outer(self):
        self.calls.append("outer")
        return self.middle()


def test_retry_tries_an_operation_again_as_a_whole_not_at_every_level():
    Nested.calls = []
    with pytest.raises(ftplib.error_temp, match="still down"):
        Nested("/x").outer()
    assert Nested.calls == ["outer", "middle", "inner"] * 3
    Nested.calls = []
    with pytest.raises(ftplib.error_temp):  # called on its own, the inner one retries
        Nested("/x").inner()
    assert Nested.calls == ["inner"] * 3
    # While this thread is inside outer(), another thread's call is outermost on its own.
    seen = []
    def beside():
        Nested.calls = []
        with pytest.raises(ftplib.error_temp):
            Nested("/y").inner()
        seen.append(list(Nested.calls))
    def middle(self):
        if not seen:
            thread = threading.Thread(target=beside)
            thread.start()
            thread.join()
        return self.inner()
    plain, Nested.middle = Nested.middle, retry(ftplib.error_temp, backoff=0)(middle)
    try:
        with pytest.raises(ftplib.error_temp):
            Nested("/x").outer()
    finally:
        Nested.middle = plain
    assert seen == [["inner"] * 3]


def test_a_native_member_calling_another_is_retried_as_a_whole():
    from dravlen.ftp.path import FTPPath

    class Down:
        encoding, asked = "utf-8", []

        def nlst(self, path):
            self.asked.append(path)
            raise ftplib.error_temp("421 still down")

    Downed = type("Downed", (FTPPath,), {"client": Down()})
    with pytest.raises(ftplib.error_temp):
        Downed("/d/f").is_dir()  # is_dir -> exists: three tries in all, not three of three
    assert Down.asked == ["/d/f"] * 3


@pytest.mark.parametrize("encoding", ["utf-8", "latin-1", "cp1252", "UTF8"])
def test_the_client_encoding_carries_any_bytes_both_ways(encoding):
    from dravlen.ftp.wire.codec import escaping

    name = escaping(encoding)
    raw = b"caf\xe9 \xc3\xa9 \xff\xfe\x80 plain\r\n"
    # ftplib reads replies and listings through a text file over the socket
    line = io.TextIOWrapper(io.BytesIO(raw), encoding=name, newline="").readline()
    assert line.encode(name) == raw
    assert line == raw.decode(encoding, "surrogateescape")  # valid text reads as the encoding has it
    with pytest.raises(LookupError):
        escaping("no-such-encoding")
