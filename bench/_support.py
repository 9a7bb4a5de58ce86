"""What the benchmarks share: the one table of servers and their addresses, the tree builder and
comparer, TIME_WAIT, timing, scenarios as tables of tasks, a counting proxy, peak memory, bench/README.md."""

from __future__ import annotations

import argparse
import collections
import functools
import json
import os
import random
import shutil
import socket
import socketserver
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

REPO = Path(__file__).resolve().parents[1]
HERE = REPO / "bench"
sys.path.insert(0, str(REPO / "tests"))

import delayserver  # noqa: E402  (tests/delayserver.py)
import servers  # noqa: E402  (tests/servers.py)
from dravlen.base import bound_class as bound  # noqa: E402, F401  (a path class bound to a config section)

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30

# Servers: each script has its own block of loopback addresses, each kind its
# place in the block.  Every transfer is a new data connection whose port stays
# in TIME_WAIT for 60 s, and passive ports come from the ephemeral range (28,232
# ports): thousands of transfers fill it, but only ports of one address collide.
BLOCKS = {"transfer": 20, "bigfile": 30, "concurrent": 40, "pydata": 50, "everyday": 60, "peers": 70, "trees": 80, "round_trips": 90}
PLACES = {"pyftpdlib": 0, "vsftpd": 1, "proftpd": 2, "pureftpd": 3, "delayed": 4, "vsftpd-link": 5,
          "proftpd-link": 6}
CHROOTED = ("pyftpdlib", "delayed")  # the others name files by their real path
# A server behind ../shared/wanproxy.py: every chunk both ways, data connections and their handshakes
# included, half the round trip late, and each connection's rate capped.
WANPROXY, LINK_RTT_MS, LINK_RATE = REPO.parent / "shared" / "wanproxy.py", 20, 20_000_000

def address(script: str, kind: str, turn: int = 0) -> str:
    """The script's loopback address for a server of *kind* (the *turn*-th of a rotation)."""
    return f"127.0.0.{BLOCKS[script] + PLACES[kind] + turn}"

def start(script: str, kind: str, root: Path, turn: int = 0, certs=None):
    """A running server of *kind* serving *root*, on the script's address for it (the *turn*-th of a rotation);
    with *certs* (`servers.make_certs`), one that requires explicit TLS (not behind a link: it reads PASV)."""
    host = address(script, kind, turn)
    if certs is not None:
        return servers.start(kind, root, host=host, certs=certs)
    if kind == "delayed":
        return delayserver.start(root, delay=0.02, host=host)
    if kind.endswith("-link"):
        # The server on the next block's address, the link on this one.
        inner = servers.start(kind.removesuffix("-link"), root, host=f"127.0.0.{BLOCKS[script] + 100 + PLACES[kind]}")
        return Link(inner, host)
    return servers.start(kind, root, host=host)


class Link:
    """*inner* (a tests/servers.py server) behind a wanproxy link on *host*: what a client reaches."""

    def __init__(self, inner, host: str, rtt_ms: int = LINK_RTT_MS, rate: int = LINK_RATE) -> None:
        self.inner, self.kind, self.host, self.port = inner, inner.kind + "-link", host, 2121
        self.process = subprocess.Popen(
            [sys.executable, str(WANPROXY), "--listen", f"{host}:{self.port}", "--upstream",
             f"{inner.host}:{inner.port}", "--rtt-ms", str(rtt_ms), "--rate", str(rate)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection((host, self.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    self.stop()
                    raise RuntimeError(f"wanproxy did not listen on {host}:{self.port}") from None
                time.sleep(0.05)

    def __getattr__(self, name: str):
        return getattr(self.inner, name)  # root, user, password, ...

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(10)
        self.inner.stop()

def top(server) -> str:
    """The remote name of the server's root folder, ending in "/"."""
    return "/" if server.kind in CHROOTED else f"{server.root}/"

def hand_over(server) -> None:
    """What root made in the folder of a Debian server stays writable for its FTP account."""
    if server.kind not in CHROOTED:
        servers._hand_over(Path(server.root), servers._ftp_account())

def scratch(prefix: str) -> Path:
    """A fresh folder the FTP account of the Debian servers can walk through."""
    base = Path(tempfile.mkdtemp(prefix=prefix))
    os.chmod(base, 0o755)
    return base

remove = functools.partial(shutil.rmtree, ignore_errors=True)

def settle(host: str, limit: int = 14000, timeout: float = 75.0) -> float:
    """Wait (at most *timeout* s) until fewer than *limit* TCP connections of *host* are in TIME_WAIT."""
    prefix = "".join(f"{int(part):02X}" for part in reversed(host.split("."))) + ":"
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        with open("/proc/net/tcp") as f:
            if sum(1 for line in f if line.split(None, 4)[3:4] == ["06"] and line.split()[1].startswith(prefix)) < limit:
                break
        time.sleep(1.0)
    return time.monotonic() - start

def make_tree(root: Path, folders: int, files: int, size: int = KIB) -> Path:
    """*folders* folders of *files* random files of *size* bytes; one folder is *root* itself."""
    for d in range(folders if not root.exists() else 0):
        folder = root if folders == 1 else root / f"d{d:02}"
        folder.mkdir(parents=True, exist_ok=True)
        for f in range(files):
            (folder / f"f{f:04}.bin").write_bytes(os.urandom(size))
    return root

def random_file(path: Path, size: int, block: int = MIB) -> Path:
    """*size* bytes at *path*: one random *block* over and over (FTP sends it as it is, uncompressed)."""
    data = os.urandom(block)
    with open(path, "wb") as f:
        for _ in range(size // block):
            f.write(data)
    return path

def same_tree(a: Path, b: Path) -> bool:
    """The same files (names and bytes) under both folders."""
    def files(top):
        return {p.relative_to(top).as_posix(): p.read_bytes() for p in top.rglob("*") if p.is_file()}
    return Path(b).is_dir() and files(Path(a)) == files(Path(b))

# Timing and tables

median = statistics.median

def interleaved(sides: dict, pairs: int, before=None, after=None):
    """By side, the wall-clock and thread-CPU seconds of *pairs* runs, the order reversed every other round
    (AB, BA); *before(name)* and *after(name)*, untimed, restore and check what a run expects. A side that
    is a tuple of steps has each step timed, under the keys (name, 0), (name, 1), ..."""
    steps = {name: list(enumerate(run)) if isinstance(run, tuple) else [(None, run)] for name, run in sides.items()}
    keys = [name if i is None else (name, i) for name, runs in steps.items() for i, _ in runs]
    wall, cpu = {key: [] for key in keys}, {key: [] for key in keys}
    for i in range(pairs):
        for name in list(sides) if i % 2 == 0 else list(sides)[::-1]:
            if before is not None:
                before(name)
            for step, run in steps[name]:
                key, start, start_cpu = name if step is None else (name, step), time.perf_counter(), time.thread_time()
                run()
                cpu[key].append(time.thread_time() - start_cpu)
                wall[key].append(time.perf_counter() - start)
            if after is not None:
                after(name)
    return wall, cpu

def repeat(fn, times: int, *args):
    """A callable that calls ``fn(*args)`` *times* times (a plain loop: nothing else is timed with it)."""
    def run():
        for _ in range(times):
            fn(*args)
    return run

def ratio_interval(a: list[float], b: list[float], rounds: int = 2000):  # 95 %, bootstrap, runs in pairs
    if len(a) < 3:
        return float("nan"), float("nan")
    rng, n = random.Random(1), len(a)
    ratios = sorted(median(a[i] for i in picks) / median(b[i] for i in picks)
                    for picks in ([rng.randrange(n) for _ in range(n)] for _ in range(rounds)))
    return ratios[int(0.025 * rounds)], ratios[int(0.975 * rounds) - 1]

def fmt_seconds(s: float) -> str:
    return f"{s * 1e6:.0f} µs" if s < 1e-3 else f"{s * 1e3:.2f} ms" if s < 1 else f"{s:.3f} s"

def fmt_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB"):
        if abs(n) < 1024:
            return f"{n:.0f} B" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"

def markdown_table(header: list[str], rows) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(lines + ["| " + " | ".join(str(c) for c in row) + " |" for row in rows])

def update_readme(name: str, section: str) -> Path:
    """Put *section* between the ``<!-- name:begin -->`` and ``<!-- name:end -->`` markers of bench/README.md."""
    path, begin, end = HERE / "README.md", f"<!-- {name}:begin -->", f"<!-- {name}:end -->"
    text, block = path.read_text(), f"{begin}\n{section.strip()}\n{end}"
    if begin in text and end in text:
        text = text.split(begin, 1)[0] + block + text.split(end, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    path.write_text(text)
    return path

def listed(check: Callable) -> Callable:
    """An option's type: comma-separated values, each through *check* (whose ValueError argparse reports)."""
    def values(text: str) -> list:
        return [check(value.strip()) for value in text.split(",")]
    values.__name__ = check.__name__
    return values

def parser(doc: str, quick: str = "fewer runs") -> argparse.ArgumentParser:
    """A script's command line: its first paragraph as the description, --quick and --no-readme."""
    made = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    made.add_argument("--quick", action="store_true", help=quick)
    made.add_argument("--no-readme", action="store_true", help="print only; leave bench/README.md")
    return made

def publish(args, name: str, text: str) -> None:
    """Print *text*; unless --no-readme, put it in bench/README.md as the section *name*."""
    print("\n" + text)
    if not args.no_readme:
        print("wrote", update_readme(name, text), file=sys.stderr)

def cell(entry: dict | None, best: float) -> str:
    """A client's median, in bold if it is the fastest, else with its multiple of the fastest."""
    if entry is None or not (entry["times"] or entry["error"]):
        return "-"
    if entry["error"]:
        error = entry["error"].replace("|", "/")[:90]
        return error if error == "-" or error.startswith("not run") else "fails: " + error
    m = median(entry["times"])
    return f"**{fmt_seconds(m)}**" if m <= best * 1.0001 else f"{fmt_seconds(m)} ({m / best:.2f}x)"

def fastest(by_client: dict) -> float:  # the fastest client's median
    return min((median(e["times"]) for e in by_client.values() if e["times"] and not e["error"]), default=0.0)

def table(head: list[str], clients, rows) -> str:
    """*rows*: (first cells, {client: entry}, more cells); each client's cell as `cell` gives it."""
    return markdown_table(head, [[*first, *(cell(by.get(c), fastest(by)) for c in clients), *more]
                                 for first, by, more in rows])

# Scenarios: tables of tasks, run by several clients in turn

@dataclass
class Task:
    """*run(client)* timed, *check(result)*: a problem or None, *setup(client)* untimed before, *warm*: a
    first round not kept (and a first run not counted), *skip(client)*: a reason not to run."""
    name: str
    rounds: int
    run: Callable
    check: Callable = lambda result: None
    setup: Callable | None = None
    warm: bool = False
    skip: Callable = lambda client: None

def run_tasks(tasks: list[Task], clients: list, log, proxy=None) -> dict:
    """{task: {client: {"times": [...], "error": text or None}}}: in each round every client, in an order
    that rotates, does the tasks in turn, its caches emptied before each, and no more a task it failed.
    With a counting *proxy*: each task once, and its "counts"."""
    results = {t.name: {c.name: {"times": [], "error": None} for c in clients} for t in tasks}
    for i in range(1 if proxy else max(t.rounds + t.warm for t in tasks)):
        for client in clients[i % len(clients):] + clients[:i % len(clients)]:
            for task in tasks:
                entry = results[task.name][client.name]
                if i >= task.rounds + task.warm or entry["error"]:
                    continue
                try:
                    entry["error"] = task.skip(client)
                    if entry["error"] is None:
                        if task.setup:
                            task.setup(client)
                        if proxy and task.warm:  # count a steady run: the second
                            client.forget()
                            task.run(client)
                        client.forget()
                        if proxy:
                            proxy.reset()
                        start = time.perf_counter()
                        got = task.run(client)
                        seconds = time.perf_counter() - start
                        entry["counts"] = proxy and proxy.counts()
                        entry["error"] = task.check(got)
                except Exception as exc:
                    entry["error"] = f"{type(exc).__name__}: {exc}".splitlines()[0][:100]
                if entry["error"] and entry["error"] != "-":
                    log(f"  {task.name}: {client.name}: {entry['error']}")
                elif not entry["error"] and (i or not task.warm or proxy):
                    entry["times"].append(seconds)
    for task, by_client in results.items():
        log(f"  {task:<24} " + "  ".join(f"{name} {fmt_seconds(median(e['times'])) if e['times'] else '-'}"
                                        for name, e in by_client.items()))
    return results

log = functools.partial(print, file=sys.stderr, flush=True)

def compare(script: str, kinds, make_clients, scenarios, log=log, count=lambda kind: True):
    """On each kind of server (and a counting proxy before it), every (label, tasks) of *scenarios(server,
    base, done)* run by ``make_clients(server, port, section)``, the first once more through the proxy:
    {kind: ({label: results}, counted)}, and notes (the servers that did not start; none did: an exit)."""
    results, notes, base = {}, [], scratch(f"dravlen-bench-{script}-")
    os.environ["DRAVLEN_CONFIG"] = str(ini := base / "bench.ini")
    try:
        for kind in kinds:
            try:
                server = start(script, kind, base / kind / "home")
            except Exception as exc:
                notes.append(f"{kind}: not started ({str(exc).splitlines()[0]})")
                log(notes[-1])
                continue
            proxy, done, counted = CountingProxy(server.host, server.port), {}, {}
            log(f"== {kind} ({server.host}:{server.port})")
            try:
                (Path(server.root) / "bench").mkdir(exist_ok=True)
                servers.make_config(server, ini, name=kind)
                servers.make_config(server, ini, name=f"{kind}_count", port=proxy.port)
                for label, tasks in scenarios(server, base, done):
                    hand_over(server)
                    for port, section in [(None, kind)] + [(proxy.port, f"{kind}_count")] * (not done and count(kind)):
                        clients = make_clients(server, port, section)
                        try:
                            if port is None:
                                done[label] = run_tasks(tasks, clients, log)
                            else:
                                counted = run_tasks(tasks, clients, log, proxy)
                        finally:
                            for client in clients:
                                client.close()
                results[kind] = done, counted
            finally:
                proxy.close()
                server.stop()
    finally:
        remove(base)
    if not results:
        raise SystemExit("; ".join(notes))
    return results, notes

def mix(counts) -> str:
    """"7: TYPE 2, PASV 2, ..." of counted (commands, logins, {word: count})."""
    return f"{counts[0]}: " + ", ".join(f"{w} {n}" for w, n in sorted(counts[2].items(), key=lambda i: -i[1]))

def counts(counted: dict, task: str, client: str):  # (commands, logins, {word: count}) or None
    return counted.get(task, {}).get(client, {}).get("counts")

# Peak memory of one task, in a child process of its own

def rss(field: str) -> int:
    """``VmRSS`` or ``VmHWM`` (the peak) of this process, in bytes."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field + ":"))

def measured(run) -> dict:
    """Run *run* once: the growth of the peak RSS it caused, and its seconds."""
    import gc

    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # Linux: the peak RSS (VmHWM) becomes the current RSS
    before, start = rss("VmRSS"), time.perf_counter()
    run()
    return {"growth": rss("VmHWM") - before, "seconds": time.perf_counter() - start}

def in_child(script: str, *args: str, timeout: float = 900) -> dict:
    """Run ``script --child args...`` (its `child_main` measures) and return the JSON it prints last."""
    done = subprocess.run([sys.executable, script, "--child", *args], capture_output=True, text=True,
                          timeout=timeout, env=os.environ)
    if done.returncode:
        raise SystemExit(f"child {args} failed:\n{done.stdout[-2000:]}{done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])

def child_main(make_run) -> None:
    """In a process `in_child` started: print `measured` of ``make_run(*args)`` and exit. The JSON goes to a
    copy of stdout made first, so that the run may take stdout for itself."""
    if sys.argv[1:2] == ["--child"]:
        report = os.fdopen(os.dup(1), "w")
        print(json.dumps(measured(make_run(*sys.argv[2:]))), file=report, flush=True)
        sys.exit(0)

class CountingProxy(socketserver.ThreadingTCPServer):
    """A TCP proxy on the server's address that counts the command lines of control connections by their
    first word (data connections go to the server: ftplib connects to the control connection's address)."""

    daemon_threads = True

    def __init__(self, host, port):
        super().__init__((host, 0), _Pump)
        self.upstream, self.port, self.lock, self.words = (host, port), self.server_address[1], threading.Lock(), \
            collections.Counter()
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()

    def reset(self):
        with self.lock:
            self.words.clear()

    def counts(self):
        """(command lines, logins, {word: count})."""
        with self.lock:
            return sum(self.words.values()), self.words["USER"], dict(self.words)

    def close(self):
        self.shutdown()
        self.server_close()

class _Pump(socketserver.BaseRequestHandler):
    def handle(self):
        upstream = socket.create_connection(self.server.upstream, timeout=30)
        for s in (self.request, upstream):
            s.settimeout(None)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # small writes would wait on delayed ACKs
        threading.Thread(target=self.pump, args=(upstream, self.request), daemon=True).start()
        self.pump(self.request, upstream, self.server)

    @staticmethod
    def pump(src, dst, counter=None):
        partial = b""
        try:
            while data := src.recv(65536):
                if counter:
                    *lines, partial = (partial + data).split(b"\n")
                    with counter.lock:
                        counter.words.update(w for line in lines if (w := line.strip().split(b" ", 1)[0].upper()
                                                                    .decode("ascii", "replace")))
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (dst, src):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
