"""FTPPath beside fsspec's FTPFileSystem and ftputil's FTPHost on the same
loopback servers: the scenario `tasks`, timed, then counted through a proxy
(bench/README.md).  The results go into bench/README.md and bench/peers.png.

    pip install fsspec ftputil matplotlib
    python3 bench/peers.py [--quick] [--servers pyftpdlib,vsftpd] [--no-readme]
"""

from __future__ import annotations

import argparse
import datetime
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402
from clients import Fsspec, Ftputil, Ours  # noqa: E402

KIB, MIB = S.KIB, S.MIB
THREADS = 8
PEERS = ("FTPPath", "fsspec", "ftputil")
KINDS = ("pyftpdlib", "vsftpd", "proftpd", "pureftpd")
TREE = (4, 50, KIB)  # folders, files in each, bytes in each file
LISTED = 1000
POOLS: dict = {}  # the parallel task's threads, by client
ROUNDS = {"small": (60, 8), "big": (15, 3), "list": (25, 4), "tree": (6, 1), "parallel": (12, 2)}  # full, quick


class Site:
    """One server, its files on disk, and the remote names of them."""

    def __init__(self, server, base: Path):
        self.server, self.kind, self.base = server, server.kind, base
        self.remote = S.top(server) + "bench"
        self.disk = Path(server.root) / "bench"
        self.data = {"1k": os.urandom(KIB), "10m": os.urandom(10 * MIB), "1m": os.urandom(MIB)}
        # The files the reading tasks need, made on disk in the server's folder.
        disk = self.disk
        for folder in ("small/folder", "write", "listed", "parallel"):
            (disk / folder).mkdir(parents=True, exist_ok=True)
        (disk / "small" / "r1k.bin").write_bytes(self.data["1k"])
        (disk / "small" / "r10m.bin").write_bytes(self.data["10m"])
        for i in range(LISTED):
            (disk / "listed" / f"entry-{i:04d}.txt").write_bytes(b"x")
        for i in range(THREADS):
            (disk / "parallel" / f"p{i}.bin").write_bytes(self.data["1m"])
        self.local_tree = S.make_tree(self.base / "local-tree", *TREE)

    def r(self, rel):
        return f"{self.remote}/{rel}"


def tasks(site: Site, rounds: dict) -> list[S.Task]:
    """The scenario: what each client does, in this order, in every round."""
    r, data, tree = site.r, site.data, site.disk / "tree"

    def gives(value):
        return lambda got: None if got == value else "read other bytes" if isinstance(value, bytes) else f"gave {got!r}"

    def on_disk(rel, content):
        return lambda _: None if (site.disk / rel).read_bytes() == content else "wrote other bytes"

    def listed(got):
        names = sorted(os.path.basename(str(n)) for n in got)
        return None if len(names) == LISTED and names[0] == "entry-0000.txt" else f"listed {len(names)} entries"

    def no_tree(peer):
        S.settle(site.server.host)
        S.remove(tree)

    def parallel(peer):
        """THREADS threads, each reading its own 1 MiB file 4 times; each client its own pool,
        whose threads stay logged in from the first run on."""
        def job(i):
            view = peer.for_thread()
            for _ in range(4):
                if view.read(r(f"parallel/p{i}.bin")) != data["1m"]:
                    raise AssertionError("read other bytes")
        pool = POOLS.get(id(peer)) or POOLS.setdefault(id(peer), ThreadPoolExecutor(THREADS))
        list(pool.map(job, range(THREADS)))

    def task(name, key, run, check=lambda _: None, setup=None):
        return S.Task(name, rounds[key], run, check, setup, warm=key != "tree")

    return [
        task("exists, a file", "small", lambda p: p.exists(r("small/r1k.bin")), gives(True)),
        task("exists, missing", "small", lambda p: p.exists(r("small/missing.bin")), gives(False)),
        task("is_dir, a folder", "small", lambda p: p.is_dir(r("small/folder")), gives(True)),
        task("is_dir, a file", "small", lambda p: p.is_dir(r("small/r1k.bin")), gives(False)),
        task("mtime", "small", lambda p: p.mtime(r("small/r1k.bin")), lambda got: None if got else "gave nothing"),
        task("read 1 KiB", "small", lambda p: p.read(r("small/r1k.bin")), gives(data["1k"])),
        task("read 10 MiB", "big", lambda p: p.read(r("small/r10m.bin")), gives(data["10m"])),
        task("write 1 KiB", "small", lambda p: p.write(r("write/w1k.bin"), data["1k"]),
             on_disk("write/w1k.bin", data["1k"])),
        task("write 10 MiB", "big", lambda p: p.write(r("write/w10m.bin"), data["10m"]),
             on_disk("write/w10m.bin", data["10m"])),
        task(f"list {LISTED:,} entries", "list", lambda p: p.listdir(r("listed")), listed),
        task(f"upload {TREE[0] * TREE[1]}-file tree", "tree", lambda p: p.upload_tree(site.local_tree, r("tree")),
             lambda _: None if S.same_tree(site.local_tree, tree) else "uploaded another tree", no_tree),
        task(f"delete {TREE[0] * TREE[1]}-file tree", "tree", lambda p: p.remove_tree(r("tree")),
             lambda _: "left the tree behind" if tree.exists() else None),
        task(f"{THREADS} threads read 1 MiB x4", "parallel", parallel),
    ]


def table(kind, results, counted):
    rows = []
    for task, by_peer in results.items():
        best, c = S.fastest(by_peer), [S.counts(counted, task, name) for name in PEERS]
        rows.append([task, *(S.cell(by_peer.get(name), best) for name in PEERS),
                     *(" / ".join(str(n[field]) if n else "-" for n in c) for field in (0, 1))])
    header = ["task", *PEERS, "commands (FTPPath / fsspec / ftputil)", "logins (FTPPath / fsspec / ftputil)"]
    return f"#### {kind}\n\n" + S.markdown_table(header, rows)


def plot(all_results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = {"FTPPath": "#1f77b4", "fsspec": "#ff7f0e", "ftputil": "#2ca02c"}
    fig, axes = plt.subplots(len(all_results), 1, figsize=(13, 3.6 * len(all_results)), squeeze=False)
    for ax, (kind, results) in zip(axes[:, 0], all_results.items()):
        names = list(results)
        for j, peer in enumerate(PEERS):
            values = [S.median(e["times"]) * 1e3 if (e := results[t].get(peer)) and e["times"] and not e["error"]
                      else 0 for t in names]
            xs = [i + (j - 1) * 0.27 for i in range(len(names))]
            ax.bar(xs, values, 0.27, label=peer, color=colors[peer])
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--servers", default=",".join(KINDS), help="comma-separated kinds (default: all four)")
    parser.add_argument("--no-readme", action="store_true", help="print only; leave README.md and the plot")
    args = parser.parse_args(argv)
    rounds = {key: pair[args.quick] for key, pair in ROUNDS.items()}
    import fsspec
    import ftputil

    from dravlen.ftp.path import FTPPath, __file__ as native

    started, base = time.monotonic(), S.scratch("dravlen-bench-peers-")
    os.environ["DRAVLEN_CONFIG"] = str(base / "bench.ini")
    versions = (f"dravlen.ftp.path from {native}; fsspec {fsspec.__version__}, ftputil {ftputil.__version__}; "
                f"Python {sys.version.split()[0]}, {os.cpu_count()} cores")
    print(versions)

    def scenario(server, done):
        yield "", tasks(Site(server, base / server.kind), rounds)

    def clients(server, port, section):
        return [Ours(S.bound(FTPPath, section)), Fsspec(server, port), Ftputil(server, port)]

    try:
        results, notes = S.compare("peers", args.servers.split(","), base, clients, scenario, print)
    finally:
        S.remove(base)
        for pool in POOLS.values():
            pool.shutdown()
    notes += [f"{kind}: fsspec's modification time is the text of LIST's date column ({text!r}: no year, no"
              " seconds), as the server has no MLSD" for kind, text in Fsspec.text_mtimes.items()]
    text = (
        "## FTPPath, fsspec and ftputil\n\n"
        f"`python3 bench/peers.py{' --quick' if args.quick else ''}`, {datetime.date.today().isoformat()}: "
        f"{versions}; {time.monotonic() - started:.0f} s in all.\n\n"
        "Medians of the rounds (fastest in bold, the others as a multiple of it); "
        "every client's caches are emptied before each run. *commands* are the command lines "
        "the task sent on control connections, *logins* the USER commands among them (the "
        "clients were logged in before, except the threads of the parallel task, which start "
        f"fresh). Tree: {TREE[0]} folders of {TREE[1]} files of {TREE[2]} bytes. Parallel: "
        f"{THREADS} threads, each reading its own 1 MiB file 4 times.\n\n"
        + "\n\n".join(table(kind, done[""], counts) for kind, (done, counts) in results.items())
        + "".join(f"\n\n- {n}" if i == 0 else f"\n- {n}" for i, n in enumerate(notes))
        + "\n\n![medians by task and server](peers.png)\n")
    print("\n" + text)
    if not args.no_readme and results:
        plot({kind: done[""] for kind, (done, _) in results.items()}, S.HERE / "peers.png")
        print(f"wrote {S.update_readme('peers', text)} and {S.HERE / 'peers.png'}")


if __name__ == "__main__":
    main()
