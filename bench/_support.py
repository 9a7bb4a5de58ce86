"""What the benchmarks share: loopback servers, their INI sections, timing,
and an ftplib client that records what is done on it.

The servers are those of the test-suite (``tests/servers.py``): pyftpdlib in a
child process and the unpacked Debian servers, each on its own 127.0.0.x
address.  `thread_server` adds a pyftpdlib server inside this process, for
comparison only: its loop then takes the GIL from the client being measured.
"""

from __future__ import annotations

import ftplib
import io
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests"))

import servers  # noqa: E402  (tests/servers.py)


# --------------------------------------------------------------------------
# servers


class ThreadServer:
    """pyftpdlib serving *root* from a thread of this process, on 127.0.0.1."""

    kind = "pyftpdlib-thread"

    def __init__(self, root: Path, host: str = "127.0.0.1"):
        import logging

        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.ioloop import IOLoop
        from pyftpdlib.servers import FTPServer

        # A handler of its own keeps pyftpdlib from logging every transfer to
        # stderr; its warnings and errors still show.
        quiet = logging.getLogger("pyftpdlib")
        if not quiet.handlers:
            quiet.addHandler(logging.StreamHandler())
        quiet.setLevel(logging.WARNING)
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.host = host
        self.user, self.password = servers.USER, servers.PASSWORD
        authorizer = DummyAuthorizer()
        authorizer.add_user(self.user, self.password, str(self.root), perm="elradfmwMT")
        handler = type("BenchHandler", (FTPHandler,), {"authorizer": authorizer})
        # An IOLoop of its own: by default every server of a process shares
        # one, and several threads would then run the same loop at once.
        self._server = FTPServer((self.host, 0), handler, ioloop=IOLoop())
        self.port = self._server.address[1]
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"timeout": 0.2}, daemon=True)
        self._thread.start()

    def connect(self, timeout: float = 30.0) -> ftplib.FTP:
        ftp = ftplib.FTP(timeout=timeout)
        ftp.connect(self.host, self.port)
        ftp.login(self.user, self.password)
        return ftp

    def stop(self) -> None:
        self._server.close_all()
        self._thread.join(5)


def ini_text(server, section: str) -> str:
    return (
        f"[{section}]\nhost = {server.host}\nport = {server.port}\n"
        f"user = {server.user}\npassword = {server.password}\n"
        "timeout = 30\npasv = true\nencoding = utf-8\n"
    )


def scratch(prefix: str) -> Path:
    """A fresh folder the FTP account of the Debian servers can walk through."""
    base = Path(tempfile.mkdtemp(prefix=prefix))
    os.chmod(base, 0o755)
    return base


def remove(path) -> None:
    shutil.rmtree(path, ignore_errors=True)


# --------------------------------------------------------------------------
# TIME_WAIT

# Every FTP transfer, even a one-line NLST, is a new data connection, and the
# side that closes it keeps its port in TIME_WAIT for 60 s.  A server's
# passive ports are taken from the ephemeral range (28,232 ports here), so a
# few thousand transfers a second fill it: bind() then slows down and
# connections fail.  Only ports of the same address collide, so tasks that
# make thousands of transfers take turns over servers on several addresses,
# and wait here if the one whose turn it is still has too many.

def _hex_address(host: str) -> str:
    return "".join(f"{int(part):02X}" for part in reversed(host.split(".")))


def lingering(host: str | None = None) -> int:
    """How many TCP connections in TIME_WAIT have *host* (IPv4) as their
    local address; all of this machine's when *host* is None."""
    prefix = _hex_address(host) + ":" if host else ""
    count = 0
    try:
        with open("/proc/net/tcp") as f:
            next(f)
            for line in f:
                fields = line.split(None, 4)
                if fields[3] == "06" and fields[1].startswith(prefix):
                    count += 1
    except OSError:
        pass
    return count


def settle(host: str | None = None, limit: int = 12000, timeout: float = 75.0) -> float:
    """Wait until fewer than *limit* connections of *host* linger in
    TIME_WAIT (at most *timeout* seconds); return the seconds waited."""
    start = time.monotonic()
    while lingering(host) >= limit and time.monotonic() - start < timeout:
        time.sleep(1.0)
    return time.monotonic() - start


# --------------------------------------------------------------------------
# timing


def interleaved(sides: dict, pairs: int, before=None):
    """Run each side's callable *pairs* times, alternating which goes first
    (AB, then BA), and return, by side, the seconds of every run on the
    clock and the seconds of CPU this thread spent in it.

    *before*, if given, is called (untimed) before every timed run with the
    side's name; it restores the state a run expects.
    """
    names = list(sides)
    wall: dict[str, list[float]] = {name: [] for name in names}
    cpu: dict[str, list[float]] = {name: [] for name in names}
    clock, cpu_clock = time.perf_counter, time.thread_time
    for i in range(pairs):
        order = names if i % 2 == 0 else names[::-1]
        for name in order:
            if before is not None:
                before(name)
            run = sides[name]
            start, start_cpu = clock(), cpu_clock()
            run()
            end_cpu, end = cpu_clock(), clock()
            wall[name].append(end - start)
            cpu[name].append(end_cpu - start_cpu)
    return wall, cpu


def ratio_interval(a: list[float], b: list[float], rounds: int = 2000, seed: int = 1):
    """A 95 % bootstrap interval of median(a) / median(b), resampling the runs in pairs."""
    import random

    rng = random.Random(seed)
    n = len(a)
    if n < 3:
        return (float("nan"), float("nan"))
    ratios = []
    for _ in range(rounds):
        picks = [rng.randrange(n) for _ in range(n)]
        ratios.append(statistics.median(a[i] for i in picks) / statistics.median(b[i] for i in picks))
    ratios.sort()
    return ratios[int(0.025 * rounds)], ratios[int(0.975 * rounds) - 1]


def median(values) -> float:
    return statistics.median(values)


def pair_ratio(a: list[float], b: list[float]) -> float:
    """The median of the run-by-run ratios a/b."""
    return statistics.median(x / y for x, y in zip(a, b))


def fmt_seconds(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.0f} µs"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def fmt_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(n) < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return str(n)


def ftputil_upload_tree(host, local, remote: str) -> None:
    """A local tree onto an ftputil host: ftputil has no tree upload, so this is the usual walk."""
    local = str(local)
    for folder, _dirs, files in os.walk(local):
        rel = os.path.relpath(folder, local)
        target = remote if rel == "." else f"{remote}/{Path(rel).as_posix()}"
        host.makedirs(target, exist_ok=True)
        for name in files:
            host.upload(os.path.join(folder, name), f"{target}/{name}")


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


# --------------------------------------------------------------------------
# a recording ftplib client


@dataclass
class Call:
    """One outermost method call made on a `Recorder`."""

    method: str
    args: tuple
    kwargs: dict
    raised: BaseException | None = None


@dataclass
class RawLine:
    """A line written straight to the control socket, not through ftplib."""

    line: str


@dataclass
class Journal:
    events: list = field(default_factory=list)
    #: Every line sent on a control connection, in order.
    wire: list = field(default_factory=list)

    def clear(self) -> None:
        self.events.clear()
        self.wire.clear()


class _Tap:
    """A control socket that copies what is sent on it into a journal.

    ftplib writes commands with ``sendall``; anything else that writes to the
    socket (the path classes' resync writes its NOOP with ``send``) is also
    recorded as a `RawLine`.
    """

    def __init__(self, sock, owner):
        self._sock = sock
        self._owner = owner
        self._partial = b""

    def _lines(self, data: bytes, raw: bool) -> None:
        text = self._partial + bytes(data)
        *complete, self._partial = text.split(b"\r\n")
        for chunk in complete:
            line = chunk.decode(self._owner.encoding, "replace")
            self._owner.journal.wire.append(line)
            if raw:
                self._owner.journal.events.append(RawLine(line))

    def sendall(self, data, *flags):
        result = self._sock.sendall(data, *flags)
        self._lines(data, raw=self._owner._depth == 0)
        return result

    def send(self, data, *flags):
        n = self._sock.send(data, *flags)
        self._lines(memoryview(data)[:n], raw=self._owner._depth == 0)
        return n

    def fileno(self):
        return self._sock.fileno()

    def __getattr__(self, name):
        return getattr(self._sock, name)


class Recorder(ftplib.FTP):
    """An `ftplib.FTP` that records, into the class's `journal`, each
    outermost call made on it (with what it raised) and every control line."""

    journal = Journal()
    _RECORDED = ("connect", "login", "nlst", "retrbinary", "retrlines", "storbinary",
                 "storlines", "sendcmd", "voidcmd", "mkd", "rmd", "delete", "rename",
                 "cwd", "pwd", "size", "mlsd", "dir", "quit", "abort", "transfercmd",
                 "ntransfercmd")

    def __init__(self, *args, **kwargs):
        self._depth = 0
        super().__init__(*args, **kwargs)

    def _after_connect(self):
        if self.sock is not None and not isinstance(self.sock, _Tap):
            self.sock = _Tap(self.sock, self)


def _recording(name):
    def method(self, *args, **kwargs):
        # The next class's method, so that a Recorder mixed into another
        # ftplib.FTP subclass records that class's answers.
        base = getattr(super(Recorder, self), name)
        if self._depth:
            return base(*args, **kwargs)
        event = Call(name, args, kwargs)
        self.journal.events.append(event)
        self._depth += 1
        try:
            return base(*args, **kwargs)
        except BaseException as exc:
            event.raised = exc
            raise
        finally:
            self._depth -= 1
            if name == "connect":
                self._after_connect()

    method.__name__ = name
    return method


for _name in Recorder._RECORDED:
    setattr(Recorder, _name, _recording(_name))


def record_client(connect) -> Recorder:
    """A logged-in `Recorder` (its login is recorded too)."""
    ftp = Recorder(timeout=30)
    connect(ftp)
    return ftp


# --------------------------------------------------------------------------
# replaying a journal with plain ftplib


class _Abandon(Exception):
    pass


def _abandon(block):
    raise _Abandon


def _data_source(fp):
    if isinstance(fp, io.BytesIO):
        return ("bytes", fp.getbuffer().nbytes)
    name = getattr(fp, "name", None)
    if isinstance(name, str):
        return ("file", name)
    raise ValueError(f"cannot replay a STOR from {fp!r}")


def compile_floor(events, ftp: ftplib.FTP, payload: bytes | None = None):
    """The recorded exchanges as plain ftplib steps on *ftp*: a list of
    callables that, run in order, send the same commands and read the same
    replies, doing with each reply only what a hand-written client would.

    A download collected into a list is joined once; a download the recording
    abandoned (its callback raised) is abandoned after its first block, and
    its closing reply is read; an error reply that the recording got is
    caught.  Logins and connects in the journal are refused: a floor is
    replayed on one connection that is already logged in.
    """
    steps = []
    for ev in events:
        if isinstance(ev, RawLine):
            steps.append(_raw_step(ftp, ev.line))
            continue
        if ev.method in ("connect", "login"):
            raise ValueError("the recording reconnected; there is no single-connection floor for it")
        steps.append(_call_step(ftp, ev, payload))
    return steps


def _raw_step(ftp, line):
    voidcmd = ftp.voidcmd

    def step():
        voidcmd(line)

    return step


def _call_step(ftp, ev: Call, payload):
    method = getattr(ftp, ev.method)
    args, kwargs = list(ev.args), dict(ev.kwargs)
    raised = ev.raised
    if raised is not None and not isinstance(raised, ftplib.Error):
        if ev.method != "retrbinary":
            raise ValueError(f"cannot replay {ev.method} whose callback raised {raised!r}")
        cmd = args[0]
        blocksize = kwargs.get("blocksize", args[2] if len(args) > 2 else 8192)
        voidresp = ftp.voidresp

        def step():
            try:
                method(cmd, _abandon, blocksize)
            except _Abandon:
                pass
            try:
                voidresp()  # the abandoned transfer's 226 or 426
            except (ftplib.error_temp, ftplib.error_perm, ftplib.error_reply):
                pass

        return step

    if ev.method in ("retrbinary", "retrlines"):
        callback = args[1] if len(args) > 1 else kwargs.pop("callback", None)
        collects = getattr(callback, "__name__", "") == "append" and isinstance(
            getattr(callback, "__self__", None), list)
        rest = args[2:]
        cmd = args[0]
        binary = ev.method == "retrbinary"

        def call():
            if not collects:
                return method(cmd, lambda _: None, *rest, **kwargs)
            chunks = []
            method(cmd, chunks.append, *rest, **kwargs)
            return b"".join(chunks) if binary else chunks
    elif ev.method == "storbinary":
        cmd, fp = args[0], args[1]
        rest = args[2:]
        kind, what = _data_source(fp)
        if kind == "bytes":
            if payload is None or len(payload) != what:
                raise ValueError("a STOR from memory needs the payload it sent")
            data = payload

            def call():
                return method(cmd, io.BytesIO(data), *rest, **kwargs)
        else:
            def call():
                with open(what, "rb") as f:
                    return method(cmd, f, *rest, **kwargs)
    else:
        def call():
            return method(*args, **kwargs)

    if raised is None:
        return call
    kind = type(raised)

    def step():
        try:
            call()
        except kind:
            pass

    return step


def run_steps(steps):
    for step in steps:
        step()


def summarize(events) -> str:
    """The journal in a line: each call's command, ``!`` after one that failed."""
    parts = []
    for ev in events:
        if isinstance(ev, RawLine):
            parts.append(ev.line)
            continue
        text = ev.args[0] if ev.args and isinstance(ev.args[0], str) else ev.method
        word = {"nlst": "NLST", "mkd": "MKD", "rmd": "RMD", "delete": "DELE", "size": "SIZE",
                "cwd": "CWD"}.get(ev.method)
        if word:
            text = f"{word} {text}"
        if ev.raised is not None:
            text += "!" if isinstance(ev.raised, ftplib.Error) else " (abandoned)"
        parts.append(text)
    return ", ".join(parts)


# --------------------------------------------------------------------------
# bench/README.md


README_INTRO = """# Benchmarks

Two scripts, both on loopback FTP servers that they start themselves (run as
root for the Debian servers; `bash .ci/servers.sh` unpacks those once):

```sh
pip install '.[test]' fsspec ftputil matplotlib   # or PYTHONPATH=src after the dev build
python3 bench/transfer.py [--quick] [--profile]   # FTPPath against the same commands sent with ftplib
python3 bench/peers.py [--quick]                  # FTPPath beside fsspec and ftputil
```

`transfer.py` records the FTP exchanges that FTPPath's members send, replays
them with plain `ftplib` on a second connection as the floor, and times both
in one interleaved loop (the goal is FTPPath within 1.05x of that floor); it
also measures FTPPath's own work against an `ftplib.FTP` that answers from
memory, and the memory of `upload` for a 1 MiB and a 200 MiB file.
`peers.py` does the same user-level tasks with FTPPath, fsspec's
`FTPFileSystem` and ftputil's `FTPHost`, and counts the commands and logins
each needs. Each script rewrites its own section below (`peers.py` also
`peers.png`); both take `--quick` for fewer runs and `--no-readme` to only
print. The machine has 2 cores: close other work first, or expect noise.

Every FTP transfer is a new data connection whose port stays in TIME_WAIT for
a minute, and a server's passive ports come from the ephemeral range: a few
thousand transfers in a row fill it and slow everything down. The tree tasks
therefore wait, or take turns over servers on several 127.0.0.x addresses.
"""



def update_readme(name: str, section: str) -> Path:
    """Put *section* between the ``<!-- name:begin -->`` and ``<!-- name:end -->``
    markers of bench/README.md (made with its introduction if missing)."""
    path = Path(__file__).resolve().parent / "README.md"
    text = path.read_text() if path.exists() else README_INTRO
    begin, end = f"<!-- {name}:begin -->", f"<!-- {name}:end -->"
    block = f"{begin}\n{section.strip()}\n{end}"
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        text = head + block + rest.split(end, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    path.write_text(text)
    return path
