"""FTPPath's transfers against the floor: the same FTP exchanges, recorded from
FTPPath and sent again with plain ftplib (how it is measured: bench/README.md).

    python3 bench/transfer.py [--quick] [--no-readme]    # about a minute; --quick: a quarter of the runs
"""

from __future__ import annotations

import ftplib
import io
import itertools
import os
import sys
import time
from collections import Counter
from types import SimpleNamespace
from pathlib import Path

import _support as S
from clients import Bare

KIB, MIB = S.KIB, S.MIB
GOAL = 1.05
TREE = (10, 100, KIB)  # folders, files in each, bytes in each file
ROTATION = 4  # servers the tree takes turns over
# task, size, pairs (full, quick)
PLAN = [("read", KIB, 200, 40), ("read", MIB, 60, 15), ("read", 50 * MIB, 12, 4),
        ("write", KIB, 200, 40), ("write", MIB, 60, 15), ("write", 50 * MIB, 12, 4), ("tree", TREE, 5, 2)]

# A recording ftplib client, and its journal replayed with plain ftplib

EVENTS: list = []  # the calls recorded (method, args, kwargs, raised), and lines written to the socket directly
WIRE: list[str] = []  # every control line sent by a Recorder

def take():
    taken = EVENTS[:], WIRE[:]
    del EVENTS[:], WIRE[:]
    return taken

class _Tap:
    """A control socket that copies what is sent on it into WIRE (and, outside ftplib's calls, EVENTS)."""

    def __init__(self, sock, owner):
        self._sock, self._owner, self._partial = sock, owner, b""

    def _lines(self, data) -> None:
        *complete, self._partial = (self._partial + bytes(data)).split(b"\r\n")
        for line in (chunk.decode(self._owner.encoding, "replace") for chunk in complete):
            WIRE.append(line)
            if self._owner._depth == 0:  # not through ftplib: a resync's NOOP
                EVENTS.append(line)

    def sendall(self, data, *flags):
        self._sock.sendall(data, *flags)
        self._lines(data)

    def send(self, data, *flags):
        n = self._sock.send(data, *flags)
        self._lines(memoryview(data)[:n])
        return n

    def __getattr__(self, name):
        return getattr(self._sock, name)

class Recorder(ftplib.FTP):
    """An `ftplib.FTP` that records each outermost call made on it and every control line."""

    _depth = 0

def _recording(name):
    def method(self, *args, **kwargs):
        base = getattr(super(Recorder, self), name)  # the next class's: a Recorder mixed in records its answers
        if self._depth:
            return base(*args, **kwargs)
        EVENTS.append(event := SimpleNamespace(method=name, args=args, kwargs=kwargs, raised=None))
        self._depth += 1
        try:
            return base(*args, **kwargs)
        except BaseException as exc:
            event.raised = exc
            raise
        finally:
            self._depth -= 1
            if name == "connect" and self.sock is not None and not isinstance(self.sock, _Tap):
                self.sock = _Tap(self.sock, self)
    return method

for _name in ("connect", "login", "nlst", "retrbinary", "retrlines", "storbinary", "storlines", "sendcmd",
              "voidcmd", "mkd", "rmd", "delete", "rename", "cwd", "pwd", "size", "mlsd", "dir", "quit",
              "abort", "transfercmd", "ntransfercmd"):
    setattr(Recorder, _name, _recording(_name))

def compile_floor(events, ftp: ftplib.FTP, payload: bytes | None = None):
    """The recorded exchanges as plain ftplib steps on *ftp* (logged in), doing with each reply only what a
    hand-written client would: a download collected into a list is joined once, one the recording abandoned
    is abandoned after its first block (its closing reply read), an error reply is caught."""
    steps = []
    for ev in events:
        if isinstance(ev, str):
            steps.append(lambda line=ev: ftp.voidcmd(line))
        elif ev.method in ("connect", "login"):
            raise ValueError("the recording reconnected; there is no single-connection floor for it")
        else:
            steps.append(_call_step(ftp, ev, payload))
    return steps

class _Abandon(Exception):
    pass

def _call_step(ftp, ev, payload):
    method, args, kwargs, raised = getattr(ftp, ev.method), list(ev.args), dict(ev.kwargs), ev.raised
    if raised is not None and not isinstance(raised, ftplib.Error):
        if ev.method != "retrbinary":
            raise ValueError(f"cannot replay {ev.method} whose callback raised {raised!r}")
        cmd, blocksize = args[0], kwargs.get("blocksize", args[2] if len(args) > 2 else 8192)

        def abandon(block):
            raise _Abandon

        def abandoned():
            try:
                method(cmd, abandon, blocksize)
            except _Abandon:
                pass
            try:
                ftp.voidresp()  # the abandoned transfer's 226 or 426
            except (ftplib.error_temp, ftplib.error_perm, ftplib.error_reply):
                pass
        return abandoned
    if ev.method in ("retrbinary", "retrlines"):
        callback = args[1] if len(args) > 1 else kwargs.pop("callback", None)
        collects = getattr(callback, "__name__", "") == "append" and isinstance(getattr(callback, "__self__", 0), list)
        cmd, rest, joined = args[0], args[2:], b"".join if ev.method == "retrbinary" else list

        def call():
            if not collects:
                return method(cmd, lambda _: None, *rest, **kwargs)
            chunks = []
            method(cmd, chunks.append, *rest, **kwargs)
            return joined(chunks)
    elif ev.method == "storbinary":
        cmd, fp, rest = args[0], args[1], args[2:]
        if isinstance(fp, io.BytesIO) and (payload is None or len(payload) != fp.getbuffer().nbytes):
            raise ValueError("a STOR from memory needs the payload it sent")

        def call():
            if isinstance(fp, io.BytesIO):
                return method(cmd, io.BytesIO(payload), *rest, **kwargs)
            with open(fp.name, "rb") as f:
                return method(cmd, f, *rest, **kwargs)
    else:
        def call():
            return method(*args, **kwargs)
    if raised is None:
        return call

    def refused():
        try:
            call()
        except type(raised):
            pass
    return refused

def record(op, cls):
    """The calls and control lines of ``op(cls)``, *cls* a recording class."""
    take()
    op(cls)
    return take()

def run_steps(steps):
    for step in steps:
        step()

def summarize(events) -> str:
    """The journal in a line: each call's command, ``!`` after one that failed."""
    words = {"nlst": "NLST ", "mkd": "MKD ", "rmd": "RMD ", "delete": "DELE ", "size": "SIZE ", "cwd": "CWD "}
    parts = []
    for ev in events:
        text = ev if isinstance(ev, str) else words.get(ev.method, "") + (
            ev.args[0] if ev.args and isinstance(ev.args[0], str) else ev.method)
        if getattr(ev, "raised", None) is not None:
            text += "!" if isinstance(ev.raised, ftplib.Error) else " (abandoned)"
        parts.append(text)
    return ", ".join(parts)

# Against a server

class Slot:
    """One server, FTPPath's class of its section, the same recording, bare ftplib (whose connection the
    floor replays on) and a recording client to check the replay on."""

    def __init__(self, server, cls):
        self.server, self.cls, self.bare = server, cls, Bare(server)
        self.rec_cls = type(f"Recording{cls.__name__}", (cls,), {"_creator": Recorder})
        self.check_ftp = Recorder(timeout=30)
        self.check_ftp.connect(server.host, server.port)
        self.check_ftp.login(server.user, server.password)
        cls("/").exists, self.rec_cls("/").exists  # every client logged in before anything is measured
        take()

    def check_replay(self, name, events, wire, payload=None):
        """The replay, once on a recording client, must send what FTPPath sent."""
        run_steps(compile_floor(events, self.check_ftp, payload))
        replayed = take()[1]
        if replayed != wire:
            i = next((i for i, (a, b) in enumerate(zip(wire, replayed)) if a != b), min(len(wire), len(replayed)))
            raise SystemExit(f"{name}: the floor does not replay FTPPath's exchanges: line {i}: "
                             f"FTPPath {wire[i:i + 3]} vs floor {replayed[i:i + 3]}")

    def close(self):
        self.bare.close()
        self.check_ftp.close()

class Bench:
    """The tasks against one kind of server."""

    def __init__(self, slots, local_tree):
        self.slots, self.local_tree = slots, local_tree
        self.root, self._turns = Path(slots[0].server.root), itertools.cycle(slots)
        self.rows, self.sends = [], {}

    def _row(self, task, commands, times, cpu, sends=""):
        (a, b), f = (times["FTPPath"], times["ftplib"]), S.fmt_seconds
        ratio, (low, high) = S.median(a) / S.median(b), S.ratio_interval(a, b)
        self.rows.append([task, commands, f(S.median(a)), f(S.median(b)),
                          f"**{ratio:.3f}**" + ("" if ratio <= GOAL else " ✗"), f"{low:.3f} – {high:.3f}",
                          *(f(S.median(cpu[side])) for side in ("FTPPath", "ftplib")), f(S.median(times["bare"])),
                          len(a)])
        if sends:
            self.sends[task] = sends
        print("  " + " | ".join(map(str, self.rows[-1])), flush=True)

    def file(self, kind, size, pairs):
        """read() or write() of *size* bytes against the floor."""
        slot, data = self.slots[0], os.urandom(size)
        remote = f"/bench/read-{size}.bin" if kind == "read" else f"/bench/write/sub/w-{size}.bin"
        on_disk, path, payload = self.root / remote.lstrip("/"), slot.cls(remote), None
        if kind == "read":
            on_disk.parent.mkdir(parents=True, exist_ok=True)
            on_disk.write_bytes(data)
            member, bare = path.read, (lambda: slot.bare.read(remote))
            if member() != data:
                raise SystemExit(f"read() of {remote} returned other bytes")
        else:
            path.write(data)  # the parent exists (and holds the file) from here on
            member, bare, payload = (lambda: path.write(data)), (lambda: slot.bare.write(remote, data)), data
        events, wire = record(lambda c: getattr(c(remote), kind)(*([data] if payload else [])), slot.rec_cls)
        slot.check_replay(f"{kind} {size}", events, wire, payload)
        steps = compile_floor(events, slot.bare.ftp, payload)
        times, cpu = S.interleaved({"FTPPath": member, "ftplib": lambda: run_steps(steps), "bare": bare}, pairs)
        if on_disk.read_bytes() != data:
            raise SystemExit(f"{remote} does not hold {kind}'s bytes")
        task = f"{kind} {S.fmt_bytes(size)}"
        self._row(task, len(wire), times, cpu, summarize(events))
        S.remove(on_disk if kind == "read" else self.root / "bench" / "write")

    def _turn(self):
        """The next server: each of the tree's thousands of data connections leaves a port in TIME_WAIT."""
        S.settle((slot := next(self._turns)).server.host)
        return slot

    def tree(self, shape, pairs):
        """upload() of a local tree, then delete() of it, against the floor."""
        remote, on_disk, local = "/bench/tree", self.root / "bench" / "tree", self.local_tree
        S.remove(on_disk)
        (self.root / "bench").mkdir(parents=True, exist_ok=True)

        def check(uploaded, who):
            if (S.same_tree(local, on_disk) if uploaded else on_disk.exists()) != uploaded:
                raise SystemExit(f"{who} left {on_disk} " + ("without the tree" if uploaded else "behind"))

        up_events, up_wire = record(lambda c: c(remote).upload(str(local)), self._turn().rec_cls)
        check(True, "upload()")
        del_events, del_wire = record(lambda c: c(remote).delete(), self._turn().rec_cls)
        check(False, "delete()")
        self._turn().check_replay("upload", up_events, up_wire)
        check(True, "the floor's upload")
        self._turn().check_replay("delete", del_events, del_wire)
        check(False, "the floor's delete")
        floors = {id(s): [compile_floor(e, s.bare.ftp) for e in (up_events, del_events)] for s in self.slots}
        steps = []  # the upload and delete of the side about to run, on the next server

        def turn(name):
            slot = self._turn()
            path, (up, down) = slot.cls(remote), floors[id(slot)]
            steps[:] = {"FTPPath": (lambda: path.upload(str(local)), path.delete),
                        "ftplib": (lambda: run_steps(up), lambda: run_steps(down)),
                        "bare": (lambda: slot.bare.upload_tree(local, remote),
                                 lambda: slot.bare.remove_tree(remote))}[name]

        sides = {name: (lambda: steps[0](), lambda: steps[1]()) for name in ("FTPPath", "ftplib", "bare")}
        wall, cpu = S.interleaved(sides, pairs, before=turn, after=lambda name: check(False, name))
        for i, (step, wire) in enumerate((("upload", up_wire), ("delete", del_wire))):
            self._row(f"{step} {shape[0]}x{shape[1]} tree", len(wire), {n: wall[n, i] for n in sides},
                      {n: cpu[n, i] for n in sides})
            self.sends[f"{step} of the tree, control lines"] = ", ".join(
                f"{word} {n}" for word, n in Counter(line.split(" ", 1)[0].upper() for line in wire).most_common())

def main(argv=None):
    args = S.parser(__doc__).parse_args(argv)
    started, base = time.monotonic(), S.scratch("dravlen-bench-transfer-")
    os.environ["DRAVLEN_CONFIG"] = str(ini := base / "bench.ini")
    servers = [S.start("transfer", "pyftpdlib", base / "pyftpdlib", turn) for turn in range(ROTATION)]
    try:
        from dravlen.ftp import path as ftp_path

        print(f"dravlen.ftp.path from {ftp_path.__file__}\nPython {sys.version.split()[0]}, "
              f"{os.cpu_count()} cores; goal: FTPPath within {GOAL}x of ftplib")
        for turn, server in enumerate(servers):
            S.servers.make_config(server, ini, name=f"pyftpdlib{turn}")
        slots = [Slot(server, S.bound(ftp_path.FTPPath, f"pyftpdlib{turn}")) for turn, server in enumerate(servers)]
        print(f"\n## pyftpdlib ({servers[0].host}:{servers[0].port}; {ROTATION} in turn for the tree)", flush=True)
        bench = Bench(slots, S.make_tree(base / "local-tree", *TREE))
        try:
            for task, size, *pairs in PLAN:
                bench.tree(size, pairs[args.quick]) if task == "tree" else bench.file(task, size, pairs[args.quick])
        finally:
            for slot in slots:
                slot.close()
    finally:
        for server in servers:
            server.stop()
        S.remove(base)
    S.publish(args, "transfer", "\n\n".join([
        f"`python3 bench/transfer.py{' --quick' * args.quick}`:",
        "### FTPPath against the ftplib floor (pyftpdlib in its own process, medians)",
        S.markdown_table(["task", "control lines", "FTPPath", "ftplib floor", "ratio", "95 % interval",
                          "client CPU, FTPPath", "client CPU, floor", "bare ftplib", "runs each"], bench.rows),
        "What each task sends (`!`: an error reply):",
        "\n".join(f"- {task}: {text}" for task, text in bench.sends.items()),
        f"(total {time.monotonic() - started:.0f} s)"]))

if __name__ == "__main__":
    main()
