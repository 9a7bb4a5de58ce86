"""FTPPath beside fsspec's FTPFileSystem and ftputil's FTPHost, on the same
loopback servers in one run.

    pip install fsspec ftputil matplotlib
    python3 bench/peers.py            # about 2 minutes
    python3 bench/peers.py --quick    # under a minute

The servers are the test-suite's (``tests/servers.py``): pyftpdlib in its own
process, and vsftpd, ProFTPD and Pure-FTPd where ``bash .ci/servers.sh`` has
unpacked them (as root).  Each task is timed for the three clients in turn,
the order rotating from one round to the next; every client's caches
(fsspec's listings, ftputil's stat cache) are emptied before each timed run,
since FTPPath keeps none.  A second pass, untimed, sends each task once more
through a counting TCP proxy in front of the server and counts the FTP
commands and the logins it took.

The results go into ``bench/README.md`` (between its ``peers`` markers) and
``bench/peers.png``.
"""

from __future__ import annotations

import argparse
import collections
import datetime
import os
import shutil
import socket
import sys
import threading
import time
import traceback
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402

HERE = Path(__file__).resolve().parent
KIB, MIB = 1024, 1024 * 1024
THREADS = 8
PEERS = ("FTPPath", "fsspec", "ftputil")
ADDRESSES = {"pyftpdlib": "127.0.0.70", "vsftpd": "127.0.0.71", "proftpd": "127.0.0.72",
             "pureftpd": "127.0.0.73"}
TREE = (4, 50, 1024)  # folders, files in each, bytes in each file
LISTED = 1000


# --------------------------------------------------------------------------
# the three clients, behind one interface


class FTPPathPeer:
    name = "FTPPath"

    def __init__(self, cls):
        self.cls = cls

    def exists(self, p):
        return self.cls(p).exists

    def is_dir(self, p):
        return self.cls(p).is_dir()

    def mtime(self, p):
        return self.cls(p).mtime

    def read(self, p):
        return self.cls(p).read()

    def write(self, p, data):
        self.cls(p).write(data)

    def listdir(self, p):
        return [entry.name for entry in self.cls(p).glob()]

    def upload_tree(self, local, remote):
        self.cls(remote).upload(str(local))

    def delete_tree(self, remote):
        self.cls(remote).delete()

    def forget(self):
        pass  # nothing cached

    def for_thread(self):
        return self  # each thread gets its own client by itself

    def release_threads(self):
        pass  # a thread's clients are closed when the thread ends

    def close(self):
        pass


class FsspecPeer:
    name = "fsspec"
    text_mtime = None  # the last modification time that came as LIST's text

    def __init__(self, host, port, user, password):
        from fsspec.implementations.ftp import FTPFileSystem

        self._make = lambda: FTPFileSystem(host=host, port=port, username=user, password=password,
                                           timeout=30, skip_instance_cache=True)
        self.fs = self._make()
        self._local = threading.local()
        self._all = [self.fs]

    def exists(self, p):
        return self.fs.exists(p)

    def is_dir(self, p):
        return self.fs.isdir(p)

    def mtime(self, p):
        # FTPFileSystem has no modified(); info() carries MLSD's "modify" fact,
        # or, where the server has no MLSD, the date column of LIST as text.
        modify = self.fs.info(p)["modify"]
        try:
            return datetime.datetime.strptime(modify[:14], "%Y%m%d%H%M%S")
        except ValueError:
            FsspecPeer.text_mtime = modify
            return modify

    def read(self, p):
        return self.fs.cat_file(p)

    def write(self, p, data):
        self.fs.pipe_file(p, data)

    def listdir(self, p):
        return self.fs.ls(p, detail=False)

    def upload_tree(self, local, remote):
        self.fs.put(str(local), remote, recursive=True)

    def delete_tree(self, remote):
        self.fs.rm(remote, recursive=True)

    def forget(self):
        self.fs.invalidate_cache()

    def release_threads(self):
        for fs in self._all[1:]:
            try:
                fs.ftp.close()
            except Exception:
                pass
        del self._all[1:]
        self._local = threading.local()

    def for_thread(self):
        fs = getattr(self._local, "fs", None)
        if fs is None:
            fs = self._local.fs = self._make()
            self._all.append(fs)
        return _ThreadView(self, fs)

    def close(self):
        for fs in self._all:
            try:
                fs.ftp.close()
            except Exception:
                pass


class _ThreadView(FsspecPeer):
    def __init__(self, parent, fs):  # noqa: super-init-not-called
        self.fs = fs


class FtputilPeer:
    name = "ftputil"

    def __init__(self, host, port, user, password):
        import ftputil
        import ftputil.session

        factory = ftputil.session.session_factory(port=port, use_passive_mode=True, encoding="utf-8")
        self._make = lambda: ftputil.FTPHost(host, user, password, session_factory=factory)
        self.host = self._make()
        self._local = threading.local()
        self._all = [self.host]

    def exists(self, p):
        return self.host.path.exists(p)

    def is_dir(self, p):
        return self.host.path.isdir(p)

    def mtime(self, p):
        with warnings.catch_warnings():
            # ftputil 5 warns that a time shift is unset; the raw value is what is compared here.
            warnings.simplefilter("ignore", DeprecationWarning)
            return self.host.path.getmtime(p)

    def read(self, p):
        with self.host.open(p, "rb") as f:
            return f.read()

    def write(self, p, data):
        with self.host.open(p, "wb") as f:
            f.write(data)

    def listdir(self, p):
        return self.host.listdir(p)

    def upload_tree(self, local, remote):
        S.ftputil_upload_tree(self.host, local, remote)

    def delete_tree(self, remote):
        self.host.rmtree(remote)

    def forget(self):
        self.host.stat_cache.clear()

    def release_threads(self):
        for host in self._all[1:]:
            try:
                host.close()
            except Exception:
                pass
        del self._all[1:]
        self._local = threading.local()

    def for_thread(self):
        host = getattr(self._local, "host", None)
        if host is None:
            host = self._local.host = self._make()
            self._all.append(host)
        view = FtputilPeer.__new__(FtputilPeer)
        view.host = host
        return view

    def close(self):
        for host in self._all:
            try:
                host.close()
            except Exception:
                pass


# --------------------------------------------------------------------------
# a proxy that counts what the clients send


class CountingProxy:
    """A TCP proxy on the server's own address that counts the command lines
    clients send on control connections, and the logins (USER) among them.

    Data connections do not pass through it: the address in a PASV reply is
    the server's, which is also this proxy's address, and ftplib connects to
    the control connection's address with the port of the reply.
    """

    def __init__(self, host, port):
        self.upstream = (host, port)
        self.listener = socket.create_server((host, 0))
        self.listener.settimeout(0.5)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.words = collections.Counter()
        self.connections = 0
        self._sockets = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def reset(self):
        with self.lock:
            self.words.clear()
            self.connections = 0

    def counts(self):
        with self.lock:
            return sum(self.words.values()), self.words["USER"], dict(self.words)

    def _accept(self):
        while not self._stop.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            upstream = socket.create_connection(self.upstream, timeout=30)
            upstream.settimeout(None)
            # Small writes passed on one by one would otherwise wait on
            # delayed ACKs (Nagle), 40 ms at a time.
            for s in (client, upstream):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.connections += 1
                self._sockets += [client, upstream]
            threading.Thread(target=self._pump, args=(client, upstream, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, False), daemon=True).start()

    def _pump(self, src, dst, count):
        partial = b""
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if count:
                    partial += data
                    *lines, partial = partial.split(b"\n")
                    with self.lock:
                        for line in lines:
                            word = line.strip().split(b" ", 1)[0].upper().decode("ascii", "replace")
                            if word:
                                self.words[word] += 1
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (dst, src):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self._stop.set()
        self.listener.close()
        self._thread.join(2)
        with self.lock:
            for s in self._sockets:
                try:
                    s.close()
                except OSError:
                    pass


# --------------------------------------------------------------------------
# tasks


class Site:
    """One server and what the tasks use on it."""

    def __init__(self, server, base: Path):
        self.server = server
        self.kind = server.kind
        # Servers without a chroot name files by their real path.
        self.remote = "/bench" if self.kind == "pyftpdlib" else f"{server.root}/bench"
        self.disk = Path(server.root) / "bench"
        self.base = base

    def r(self, rel):
        return f"{self.remote}/{rel}"

    def d(self, rel):
        return self.disk / rel


def prepare(site: Site):
    """Files the reading tasks need, made on disk in the server's folder."""
    disk = site.disk
    (disk / "small").mkdir(parents=True, exist_ok=True)
    site.data = {"1k": os.urandom(KIB), "10m": os.urandom(10 * MIB), "1m": os.urandom(MIB)}
    (disk / "small" / "r1k.bin").write_bytes(site.data["1k"])
    (disk / "small" / "r10m.bin").write_bytes(site.data["10m"])
    (disk / "small" / "folder").mkdir(exist_ok=True)
    (disk / "write").mkdir(exist_ok=True)
    listed = disk / "listed"
    listed.mkdir(exist_ok=True)
    for i in range(LISTED):
        (listed / f"entry-{i:04d}.txt").write_bytes(b"x")
    parallel = disk / "parallel"
    parallel.mkdir(exist_ok=True)
    for i in range(THREADS):
        (parallel / f"p{i}.bin").write_bytes(site.data["1m"])
    local = site.base / "local-tree"
    if not local.exists():
        for d in range(TREE[0]):
            folder = local / f"d{d}"
            folder.mkdir(parents=True)
            for f in range(TREE[1]):
                (folder / f"f{f:02d}.bin").write_bytes(os.urandom(TREE[2]))
    site.local_tree = local
    if site.kind != "pyftpdlib":
        # What root made must stay writable for the servers' FTP account.
        S.servers._hand_over(Path(site.server.root), S.servers._ftp_account())


def _same_tree(local: Path, remote: Path) -> bool:
    want = {p.relative_to(local).as_posix(): p.read_bytes() for p in local.rglob("*") if p.is_file()}
    got = {p.relative_to(remote).as_posix(): p.read_bytes() for p in remote.rglob("*") if p.is_file()}
    return want == got


def tasks(site: Site):
    """(name, run(peer), check(result) -> error text or None)."""
    data = site.data
    r = site.r

    def expect(value):
        return lambda got: None if got == value else f"gave {got!r}"

    def has(content):
        return lambda got: None if got == content else "read other bytes"

    def on_disk(path, content):
        return lambda _: None if site.d(path).read_bytes() == content else "wrote other bytes"

    def listed(got):
        names = sorted(os.path.basename(str(n)) for n in got)
        return None if len(names) == LISTED and names[0] == "entry-0000.txt" else f"listed {len(names)} entries"

    return [
        ("exists, a file", lambda p: p.exists(r("small/r1k.bin")), expect(True)),
        ("exists, missing", lambda p: p.exists(r("small/missing.bin")), expect(False)),
        ("is_dir, a folder", lambda p: p.is_dir(r("small/folder")), expect(True)),
        ("is_dir, a file", lambda p: p.is_dir(r("small/r1k.bin")), expect(False)),
        ("mtime", lambda p: p.mtime(r("small/r1k.bin")),
         lambda got: None if got else "gave nothing"),
        ("read 1 KiB", lambda p: p.read(r("small/r1k.bin")), has(data["1k"])),
        ("read 10 MiB", lambda p: p.read(r("small/r10m.bin")), has(data["10m"])),
        ("write 1 KiB", lambda p: p.write(r("write/w1k.bin"), data["1k"]), on_disk("write/w1k.bin", data["1k"])),
        ("write 10 MiB", lambda p: p.write(r("write/w10m.bin"), data["10m"]),
         on_disk("write/w10m.bin", data["10m"])),
        (f"list {LISTED:,} entries", lambda p: p.listdir(r("listed")), listed),
    ]


def parallel_reads(site: Site, pool, peer):
    """THREADS threads, each reading its own 1 MiB file 4 times."""
    def job(i):
        view = peer.for_thread()
        for _ in range(4):
            if view.read(site.r(f"parallel/p{i}.bin")) != site.data["1m"]:
                raise AssertionError("read other bytes")
    list(pool.map(job, range(THREADS)))


# --------------------------------------------------------------------------
# running


def make_peers(site, port, section_cls):
    srv = site.server
    made = {}
    for name in PEERS:
        try:
            if name == "FTPPath":
                made[name] = FTPPathPeer(section_cls)
            elif name == "fsspec":
                made[name] = FsspecPeer(srv.host, port, srv.user, srv.password)
            else:
                made[name] = FtputilPeer(srv.host, port, srv.user, srv.password)
        except Exception as exc:
            print(f"  {name} cannot connect: {exc!r}")
    return made


def timed(func):
    start = time.perf_counter()
    result = func()
    return time.perf_counter() - start, result


def short_error(exc):
    text = f"{type(exc).__name__}: {exc}".splitlines()[0]
    return text[:90]


def run_site(site, peers, rounds, log):
    results = {}  # task -> peer -> {"times": [...], "error": str|None}

    def record(task, name, seconds=None, error=None):
        entry = results.setdefault(task, {}).setdefault(name, {"times": [], "error": None})
        if seconds is not None:
            entry["times"].append(seconds)
        if error and not entry["error"]:
            entry["error"] = error
            log(f"  {task}: {name}: {error}")

    for task, run, check in tasks(site):
        n = rounds["big"] if "10 MiB" in task else rounds["list"] if task.startswith("list") else rounds["small"]
        for i in range(n + 1):  # the first round warms up and is not kept
            order = PEERS[i % 3:] + PEERS[:i % 3]
            for name in order:
                peer = peers.get(name)
                if peer is None or results.get(task, {}).get(name, {}).get("error"):
                    continue
                peer.forget()
                try:
                    seconds, got = timed(lambda: run(peer))
                except Exception as exc:
                    record(task, name, error=short_error(exc))
                    continue
                problem = check(got)
                if problem:
                    record(task, name, error=problem)
                elif i:
                    record(task, name, seconds)
        summary = "  ".join(f"{name} {S.fmt_seconds(S.median(e['times']))}" if e["times"] else f"{name} -"
                            for name, e in results.get(task, {}).items())
        log(f"  {task:<22} {summary}")

    # The tree: upload, then delete, by each client in turn.
    up, down = f"upload {TREE[0] * TREE[1]}-file tree", f"delete {TREE[0] * TREE[1]}-file tree"
    remote, disk = site.r("tree"), site.d("tree")
    for i in range(rounds["tree"]):
        for name in PEERS[i % 3:] + PEERS[:i % 3]:
            peer = peers.get(name)
            if peer is None or results.get(up, {}).get(name, {}).get("error"):
                continue
            S.settle(site.server.host, limit=14000)
            shutil.rmtree(disk, ignore_errors=True)
            peer.forget()
            try:
                seconds, _ = timed(lambda: peer.upload_tree(site.local_tree, remote))
            except Exception as exc:
                record(up, name, error=short_error(exc))
                continue
            if not _same_tree(site.local_tree, disk):
                record(up, name, error="uploaded another tree")
            else:
                record(up, name, seconds)
            peer.forget()
            try:
                seconds, _ = timed(lambda: peer.delete_tree(remote))
            except Exception as exc:
                record(down, name, error=short_error(exc))
                continue
            if disk.exists():
                record(down, name, error="left the tree behind")
            else:
                record(down, name, seconds)
    for task in (up, down):
        log(f"  {task:<22} " + "  ".join(
            f"{name} {S.fmt_seconds(S.median(e['times']))}" if e["times"] else f"{name} -"
            for name, e in results.get(task, {}).items()))

    task = f"{THREADS} threads read 1 MiB x4"
    with ThreadPoolExecutor(THREADS) as pool:
        for i in range(rounds["parallel"] + 1):
            for name in PEERS[i % 3:] + PEERS[:i % 3]:
                peer = peers.get(name)
                if peer is None or results.get(task, {}).get(name, {}).get("error"):
                    continue
                try:
                    seconds, _ = timed(lambda: parallel_reads(site, pool, peer))
                except Exception as exc:
                    record(task, name, error=short_error(exc))
                    continue
                if i:
                    record(task, name, seconds)
    for peer in peers.values():
        peer.release_threads()
    log(f"  {task:<22} " + "  ".join(
        f"{name} {S.fmt_seconds(S.median(e['times']))}" if e["times"] else f"{name} -"
        for name, e in results.get(task, {}).items()))
    return results


def count_site(site, peers, proxy, log):
    """Each task once more through the proxy: (commands, logins) by task and client."""
    counts = {}

    def failed(task, name, exc):
        log(f"  counting {task}: {name}: {short_error(exc)}")

    for task, run, _check in tasks(site):
        for name, peer in peers.items():
            peer.forget()
            proxy.reset()
            try:
                run(peer)
            except Exception as exc:
                failed(task, name, exc)
                continue
            counts.setdefault(task, {})[name] = proxy.counts()
    up, down = f"upload {TREE[0] * TREE[1]}-file tree", f"delete {TREE[0] * TREE[1]}-file tree"
    for name, peer in peers.items():
        shutil.rmtree(site.d("tree"), ignore_errors=True)
        S.settle(site.server.host, limit=14000)
        peer.forget()
        proxy.reset()
        try:
            peer.upload_tree(site.local_tree, site.r("tree"))
            counts.setdefault(up, {})[name] = proxy.counts()
            peer.forget()
            proxy.reset()
            peer.delete_tree(site.r("tree"))
            counts.setdefault(down, {})[name] = proxy.counts()
        except Exception as exc:
            failed("the tree", name, exc)
    task = f"{THREADS} threads read 1 MiB x4"
    for name, peer in peers.items():
        proxy.reset()
        try:
            with ThreadPoolExecutor(THREADS) as pool:  # fresh threads: their logins count
                parallel_reads(site, pool, peer)
        except Exception as exc:
            failed(task, name, exc)
            continue
        finally:
            peer.release_threads()
        counts.setdefault(task, {})[name] = proxy.counts()
    return counts


# --------------------------------------------------------------------------
# output


def table(kind, results, counts):
    header = ["task"] + [f"{p}" for p in PEERS] + ["commands (FTPPath / fsspec / ftputil)",
                                                   "logins (FTPPath / fsspec / ftputil)"]
    rows = []
    for task, by_peer in results.items():
        medians = {name: S.median(e["times"]) for name, e in by_peer.items() if e["times"] and not e["error"]}
        fastest = min(medians.values()) if medians else None
        cells = [task]
        for name in PEERS:
            e = by_peer.get(name)
            if e is None:
                cells.append("n/a")
            elif e["error"]:
                cells.append(f"fails: {e['error']}")
            else:
                m = medians[name]
                mark = "**" if m == fastest else ""
                cells.append(f"{mark}{S.fmt_seconds(m)}{mark} ({m / fastest:.2f}x)")
        c = counts.get(task, {})
        cells.append(" / ".join(str(c[n][0]) if n in c else "-" for n in PEERS))
        cells.append(" / ".join(str(c[n][1]) if n in c else "-" for n in PEERS))
        rows.append(cells)
    return f"#### {kind}\n\n" + S.markdown_table(header, rows)


def plot(all_results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = list(all_results)
    fig, axes = plt.subplots(len(kinds), 1, figsize=(13, 3.6 * len(kinds)), squeeze=False)
    colors = {"FTPPath": "#1f77b4", "fsspec": "#ff7f0e", "ftputil": "#2ca02c"}
    for ax, kind in zip(axes[:, 0], kinds):
        results = all_results[kind]
        names = list(results)
        width = 0.27
        for j, peer in enumerate(PEERS):
            values = []
            for task in names:
                e = results[task].get(peer)
                values.append(S.median(e["times"]) * 1e3 if e and e["times"] and not e["error"] else 0)
            xs = [i + (j - 1) * width for i in range(len(names))]
            ax.bar(xs, values, width, label=peer, color=colors[peer])
            for x, value in zip(xs, values):
                if not value:  # this client failed the task, or was not there
                    ax.annotate("fails", (x, 0), xycoords=("data", "axes fraction"), xytext=(0, 4),
                                textcoords="offset points", rotation=90, fontsize=7, ha="center",
                                color=colors[peer])
        ax.set_yscale("log")
        ax.set_ylabel("median, ms (log)")
        ax.set_title(f"{kind} on loopback")
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(names, rotation=25, ha="right", fontsize=8)
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--servers", default=",".join(ADDRESSES),
                        help="comma-separated kinds (default: all four)")
    parser.add_argument("--no-readme", action="store_true", help="print only; leave README.md and the plot")
    args = parser.parse_args(argv)
    q = args.quick
    rounds = {"small": 8 if q else 60, "big": 3 if q else 15, "list": 4 if q else 25,
              "tree": 1 if q else 6, "parallel": 2 if q else 12}
    import fsspec

    with warnings.catch_warnings():
        # ftputil 5 warns at import that its default path encoding will change.
        warnings.simplefilter("ignore", DeprecationWarning)
        import ftputil

    started = time.monotonic()
    base = S.scratch("dravlen-bench-peers-")
    servers_up, proxies, peer_sets = [], [], []
    all_results, all_counts, notes = {}, {}, []

    def log(text):
        print(text, flush=True)

    try:
        ini_parts = []
        sites = []
        for kind in args.servers.split(","):
            try:
                srv = S.servers.start(kind, base / kind / "home", host=ADDRESSES[kind])
            except Exception as exc:
                note = f"{kind}: not started ({str(exc).splitlines()[0]})"
                notes.append(note)
                log(note)
                continue
            servers_up.append(srv)
            proxy = CountingProxy(srv.host, srv.port)
            proxies.append(proxy)
            ini_parts.append(S.ini_text(srv, kind))
            counting = S.ini_text(srv, f"{kind}_count").replace(f"port = {srv.port}", f"port = {proxy.port}")
            ini_parts.append(counting)
            sites.append((Site(srv, base / kind), proxy))
        ini = base / "bench.ini"
        ini.write_text("\n".join(ini_parts))
        os.environ["DRAVLEN_CONFIG"] = str(ini)
        from dravlen.ftp import path as ftp_path

        FTPPath = ftp_path.FTPPath
        versions = (f"dravlen.ftp.path from {ftp_path.__file__}; fsspec {fsspec.__version__}, "
                    f"ftputil {ftputil.__version__}; Python {sys.version.split()[0]}, {os.cpu_count()} cores")
        log(versions)
        for site, proxy in sites:
            kind = site.kind
            log(f"\n## {kind} ({site.server.host}:{site.server.port})")
            phase = time.monotonic()
            prepare(site)
            log(f"  (files made in {time.monotonic() - phase:.1f} s)")
            cls = type(f"FTPPath_{kind}", (FTPPath,), {"_section": (kind,)})
            count_cls = type(f"FTPPath_{kind}_count", (FTPPath,), {"_section": (f"{kind}_count",)})
            peers = make_peers(site, site.server.port, cls)
            counting = make_peers(site, proxy.port, count_cls)
            peer_sets += [peers, counting]
            timed_from = time.monotonic()
            FsspecPeer.text_mtime = None
            try:
                all_results[kind] = run_site(site, peers, rounds, log)
            except Exception:
                notes.append(f"{kind}: the run stopped: {traceback.format_exc().splitlines()[-1]}")
                log(traceback.format_exc())
                continue
            if FsspecPeer.text_mtime:
                notes.append(f"{kind}: fsspec's modification time is the text of LIST's date column"
                             f" ({FsspecPeer.text_mtime!r}: no year, no seconds), as the server has no MLSD")
            # Log each counting client in before anything is counted.
            for peer in counting.values():
                peer.exists(site.r("small"))
            phase = time.monotonic()
            all_counts[kind] = count_site(site, counting, proxy, log)
            log(f"  (timed rounds {phase - timed_from:.0f} s, counting {time.monotonic() - phase:.0f} s)")
        seconds = time.monotonic() - started
        sections = [table(kind, all_results[kind], all_counts.get(kind, {})) for kind in all_results]
        text = (
            "## FTPPath, fsspec and ftputil\n\n"
            f"`python3 bench/peers.py{' --quick' if q else ''}`, {datetime.date.today().isoformat()}: "
            f"{versions}; {seconds:.0f} s in all.\n\n"
            "Medians of the rounds (fastest in bold, and each client's time over the fastest's); "
            "every client's caches are emptied before each run. *commands* are the command lines "
            "the task sent on control connections, *logins* the USER commands among them (the "
            "clients were logged in before, except the threads of the parallel task, which start "
            f"fresh). Tree: {TREE[0]} folders of {TREE[1]} files of {TREE[2]} bytes. Parallel: "
            f"{THREADS} threads, each reading its own 1 MiB file 4 times.\n\n"
            + "\n\n".join(sections)
            + ("\n\n" + "\n".join(f"- {n}" for n in notes) if notes else "")
            + "\n\n![medians by task and server](peers.png)\n"
        )
        print("\n" + text)
        if not args.no_readme and all_results:
            plot(all_results, HERE / "peers.png")
            S.update_readme("peers", text)
            log(f"wrote {HERE / 'README.md'} and {HERE / 'peers.png'}")
    finally:
        for peers in peer_sets:
            for peer in peers.values():
                peer.close()
        for proxy in proxies:
            proxy.close()
        for srv in servers_up:
            srv.stop()
        S.remove(base)


if __name__ == "__main__":
    main()
