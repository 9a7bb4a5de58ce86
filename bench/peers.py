"""dravlen beside the other clients on the same loopback servers, as tables of tasks timed and then
counted through a proxy (bench/README.md): FTPPath's members beside fsspec and ftputil, and (trees.py)
whole trees beside lftp's mirror, fsspec, ftputil and the core.

    python3 bench/peers.py [--quick] [--servers pyftpdlib,vsftpd] [--no-readme]
"""

from __future__ import annotations

import datetime
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import _support as S
from clients import Fsspec, Ftputil, Lftp, Ours

KIB, MIB = S.KIB, S.MIB
THREADS, LISTED = 8, 1000
PEERS = ("FTPPath", "fsspec", "ftputil")
TREE = (4, 50, KIB)  # folders, files in each, bytes in each file
POOLS: dict = {}  # the parallel task's threads, by client
ROUNDS = {"small": (60, 8), "big": (15, 3), "list": (25, 4), "tree": (6, 1), "parallel": (12, 2)}  # full, quick
CLIENTS, TASKS = ("dravlen", "lftp", "fsspec", "ftputil", "FTPPath"), ("upload", "download", "remove")  # of trees
# Trees: name -> (folders, files in each); the first is the one the core gets and the one counted.
WORKLOADS = {"quick": {"flat 30": (1, 30), "flat 300": (1, 300), "3 x 30": (3, 30)},
             "delayed": {"flat 100": (1, 100), "flat 300": (1, 300), "4 x 100": (4, 100)},  # 40-100 ms a file
             "full": {"flat 300": (1, 300), "flat 3000": (1, 3000), "10 x 300": (10, 300)}}
# A client whose smallest flat tree took longer than this (s) does not get the big flat tree on a
# loopback server: growing with the square of the folder, it would take minutes.
SKIP_AFTER = 3.0

def member_tasks(server, base: Path, rounds: dict) -> list[S.Task]:
    """The members' scenario, on files made on disk in the server's folder first."""
    disk, data = Path(server.root) / "bench", {"1k": os.urandom(KIB), "10m": os.urandom(10 * MIB),
                                                "1m": os.urandom(MIB)}
    for folder in ("small/folder", "write", "listed", "parallel"):
        (disk / folder).mkdir(parents=True, exist_ok=True)
    (disk / "small" / "r1k.bin").write_bytes(data["1k"])
    (disk / "small" / "r10m.bin").write_bytes(data["10m"])
    for i in range(LISTED):
        (disk / "listed" / f"entry-{i:04d}.txt").write_bytes(b"x")
    for i in range(THREADS):
        (disk / "parallel" / f"p{i}.bin").write_bytes(data["1m"])
    local, tree = S.make_tree(base / "local-tree", *TREE), disk / "tree"

    def r(rel):
        return f"{S.top(server)}bench/{rel}"

    def gives(value):
        return lambda got: None if got == value else "read other bytes" if isinstance(value, bytes) else f"gave {got!r}"

    def on_disk(rel, content):
        return lambda _: None if (disk / rel).read_bytes() == content else "wrote other bytes"

    def listed(got):
        names = sorted(os.path.basename(str(n)) for n in got)
        return None if len(names) == LISTED and names[0] == "entry-0000.txt" else f"listed {len(names)} entries"

    def no_tree(peer):
        S.settle(server.host)
        S.remove(tree)

    def parallel(peer):
        """THREADS threads read their own 1 MiB file 4 times; a pool per client, logged in from the first run."""
        def job(i):
            view = peer.for_thread()
            for _ in range(4):
                if view.read(r(f"parallel/p{i}.bin")) != data["1m"]:
                    raise AssertionError("read other bytes")
        pool = POOLS.get(peer) or POOLS.setdefault(peer, ThreadPoolExecutor(THREADS))
        list(pool.map(job, range(THREADS)))

    def task(name, key, run, check=lambda _: None, setup=None):
        return S.Task(name, rounds[key], run, check, setup, warm=key != "tree", fresh=key == "parallel")

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
        task(f"upload {TREE[0] * TREE[1]}-file tree", "tree", lambda p: p.upload_tree(local, r("tree")),
             lambda _: None if S.same_tree(local, tree) else "uploaded another tree", no_tree),
        task(f"delete {TREE[0] * TREE[1]}-file tree", "tree", lambda p: p.remove_tree(r("tree")),
             lambda _: "left the tree behind" if tree.exists() else None),
        task(f"{THREADS} threads read 1 MiB x4", "parallel", parallel)]

def tree_tasks(server, base: Path, load: str, shape, rounds: int, done: dict) -> list[S.Task]:
    """Each client uploads its own copy of the tree, downloads it, removes it; *done*: the trees before."""
    folders, name, first = shape[0], load.replace(" ", "-"), next(iter(done), None)  # the smallest tree
    local = S.make_tree(base / "local" / name, *shape)

    def remote(client):
        return f"{S.top(server)}bench/{client.name}-{name}"

    def back(client):
        return base / "back" / f"{server.kind}-{client.name}-{name}"

    def fresh(client):
        S.remove(back(client))
        S.remove(Path(server.root) / "bench" / f"{client.name}-{name}")

    def download(client):
        client.download_tree(remote(client), back(client))
        return back(client)

    def skip(task):
        def reason(client):
            if client.name == "FTPPath" and first is not None or getattr(client, f"{task}_tree") is None:
                return "-"  # the core has no tree download; its upload/delete grows with the square of a folder
            smaller = first and done[first][task][client.name]["times"]
            if server.kind != "delayed" and folders == 1 and smaller and S.median(smaller) > SKIP_AFTER:
                return f"not run: {first} took {S.median(smaller):.1f} s"
        return reason

    return [S.Task("upload", rounds, lambda c: c.upload_tree(local, remote(c)), setup=fresh, skip=skip("upload")),
            S.Task("download", rounds, download, lambda got: None if S.same_tree(local, got)
                   else "downloaded another tree", skip=skip("download")),
            S.Task("remove", rounds, lambda c: c.remove_tree(remote(c)), skip=skip("remove"))]

def table(head: list[str], clients, rows) -> str:
    """*rows*: (first cells, {client: entry}, more cells); each client's cell as `S.cell` gives it."""
    return S.markdown_table(head, [[*first, *(S.cell(by.get(c), S.fastest(by)) for c in clients), *more]
                                   for first, by, more in rows])

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
            for x in (x for x, value in zip(xs, values) if not value):  # failed, or not there
                ax.annotate("fails", (x, 0), xycoords=("data", "axes fraction"), xytext=(0, 4), fontsize=7,
                            textcoords="offset points", rotation=90, ha="center", color=colors[peer])
        ax.set(yscale="log", ylabel="median, ms (log)", title=f"{kind} on loopback", xticks=range(len(names)))
        ax.set_xticklabels(names, rotation=25, ha="right", fontsize=8)
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)

def members(args) -> str:
    from importlib.metadata import version

    from dravlen.ftp.path import FTPPath, __file__ as native

    rounds = {key: pair[args.quick] for key, pair in ROUNDS.items()}
    versions = (f"dravlen.ftp.path from {native}; fsspec {version('fsspec')}, ftputil {version('ftputil')}; "
                f"Python {sys.version.split()[0]}, {os.cpu_count()} cores")
    print(versions)
    try:
        results, notes = S.compare(
            "peers", args.servers.split(","),
            lambda server, port, section: [Ours(S.bound(FTPPath, section)), Fsspec(server, port), Ftputil(server, port)],
            lambda server, base, done: [("", member_tasks(server, base, rounds))], print)
    finally:
        for pool in POOLS.values():
            pool.shutdown()
    notes += [f"{kind}: fsspec's modification time is the text of LIST's date column ({text!r}: no year, no"
              " seconds), as the server has no MLSD" for kind, text in Fsspec.text_mtimes.items()]
    logins = "logins (FTPPath / fsspec / ftputil)"
    sections = [f"#### {kind}\n\n" + table(
        ["task", *PEERS, "commands (FTPPath / fsspec / ftputil)", logins], PEERS,
        [((task,), by, [" / ".join(str(n[i]) if (n := S.counts(counted, task, c)) else "-" for c in PEERS)
                        for i in (0, 1)]) for task, by in done[""].items()]) for kind, (done, counted) in results.items()]
    if not args.no_readme and results:
        plot({kind: done[""] for kind, (done, _) in results.items()}, S.HERE / "peers.png")
    return (f"`python3 bench/peers.py{' --quick' if args.quick else ''}`, {datetime.date.today().isoformat()}: "
            f"{versions}; {time.monotonic() - args.started:.0f} s in all.\n\n" + "\n\n".join(sections)
            + "".join(("\n\n- " if i == 0 else "\n- ") + n for i, n in enumerate(notes))
            + "\n\n![medians by task and server](peers.png)\n")

def trees(args) -> str:
    from dravlen.ftp.remote import RemotePath

    def workloads(kind):
        return WORKLOADS["quick" if args.quick else "delayed" if kind == "delayed" else "full"]

    def clients(server, port, section):
        cls = S.bound(RemotePath, section)
        return [Ours(cls, args.jobs), Lftp(server, port, args.jobs), Fsspec(server, port), Ftputil(server, port),
                Ours(cls)]

    results, _ = S.compare(
        "trees", args.servers.split(","), clients,
        lambda server, base, done: ((load, tree_tasks(server, base, load, shape, args.rounds, done))
                                    for load, shape in workloads(server.kind).items()),
        lambda text: print(text, file=sys.stderr, flush=True),
        count=lambda kind: not args.no_count and kind != "delayed")  # the delayed server is pyftpdlib
    lines = [f"`python3 bench/trees.py{' --quick' if args.quick else ''}`, {datetime.date.today().isoformat()}:"
             f" dravlen and lftp with {args.jobs} connections; {args.rounds} round(s), medians;"
             f" {time.monotonic() - args.started:.0f} s in all.", ""]
    for kind, (by_load, counted) in results.items():
        lines += [f"#### {kind}" + (" (20 ms on every reply)" if kind == "delayed" else ""), "",
                  table(["tree", "task", *CLIENTS], CLIENTS, [((load, task), by, []) for load, by_task in by_load.items()
                                                     for task, by in by_task.items()])]
        # Linear growth: the time per file of the big flat tree over that of the small one.
        (small, (_, n_small)), (big, (_, n_big)) = list(workloads(kind).items())[:2]
        growth = [f"{task}: " + ", ".join(
            f"{c} {S.median(b) / n_big / (S.median(a) / n_small):.2f}" for c in CLIENTS[:4]
            if (a := by_load.get(small, {}).get(task, {}).get(c, {}).get("times"))
            and (b := by_load.get(big, {}).get(task, {}).get(c, {}).get("times"))) for task in TASKS]
        lines += ["", f"Time per file, {big} over {small}: " + "; ".join(growth) + ".", ""]
        if counted:
            files = n_small * workloads(kind)[small][0]
            lines += [f"Commands sent per file ({small}):", "", S.markdown_table(["task", *CLIENTS], [
                [task, *(f"{n[0] / files:.2f}" if (n := S.counts(counted, task, c)) else "-" for c in CLIENTS)]
                for task in TASKS]), ""]
    return "\n".join(lines)

def main(argv=None, scenario="peers"):
    parser = S.parser(__doc__ if scenario == "peers" else "trees", "fewer rounds (smaller trees)")
    parser.add_argument("--servers", default="pyftpdlib,vsftpd,proftpd,pureftpd" + ",delayed" * (scenario == "trees"))
    if scenario == "trees":
        parser.add_argument("--rounds", type=int, default=1)
        parser.add_argument("-j", "--jobs", type=int, default=4)
        parser.add_argument("--no-count", action="store_true")
    args = parser.parse_args(argv)
    args.started = time.monotonic()
    S.publish(args, scenario, (members if scenario == "peers" else trees)(args))

if __name__ == "__main__":
    main()
