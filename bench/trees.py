"""Whole trees up, down and away: dravlen beside lftp's mirror, fsspec, ftputil and the core (bench/README.md).

    python3 bench/trees.py [--quick] [--servers vsftpd,vsftpd-link] [--connections 1,4] [--rounds 1]
                           [--clients dravlen,lftp] [--trees "flat 3000,4 x 100,file 64"] [--no-count] [--no-readme]

A "-link" server is the real one behind ../shared/wanproxy.py: a 20 ms round trip on every byte both
ways, data connections and their handshakes included, and 20 MB/s per connection.
"""

from __future__ import annotations

import datetime
import time
from pathlib import Path

import _support as S
from clients import Fsspec, Ftputil, Lftp, Ours
from dravlen.ftp.remote import RemotePath

CLIENTS, TASKS = ("dravlen", "lftp", "fsspec", "ftputil", "FTPPath"), ("upload", "download", "remove")
PARALLEL = ("dravlen", "lftp")  # the clients that take a number of connections
# Trees by server: "flat N": N files in one folder, "F x N": F folders of N; the first is the core's and the counted.
TREES = {"quick": ("flat 30", "flat 300", "3 x 30"), "delayed": ("flat 100", "flat 300", "4 x 100"),
         "link": ("4 x 100", "file 64"), "full": ("flat 300", "flat 3000", "10 x 300")}
# On loopback, a client whose smallest flat tree took longer (s) skips the big one: its square would take minutes.
SKIP_AFTER = 3.0

def count(text: str) -> int:  # the option's check: a number of connections, 1 or more
    if int(text) < 1:
        raise ValueError(text)
    return int(text)

def client(name: str) -> str:  # the option's check: one of CLIENTS
    return CLIENTS[CLIENTS.index(name)]

def tree(name: str) -> str:  # the option's check: a name `shape` reads
    shape(name)
    return name

def shape(tree: str) -> tuple[int, int]:
    """(folders, files in each) of a tree named "flat N", "F x N" or "file N" (one file of N MiB)."""
    words = tree.split()
    if words[:1] == ["flat"] and len(words) == 2:
        return 1, int(words[1])
    if words[:1] == ["file"] and len(words) == 2 and int(words[1]) > 0:
        return 1, 1
    if len(words) == 3 and words[1] == "x":
        return int(words[0]), int(words[2])
    raise ValueError(f"tree {tree!r} is neither 'flat N', 'F x N' nor 'file N'")

def file_size(tree: str) -> int:
    """The size of each file of the tree: N MiB for "file N", else 1 KiB."""
    words = tree.split()
    return int(words[1]) * S.MIB if words[0] == "file" else S.KIB

def tree_tasks(server, base: Path, load: str, rounds: int, done: dict) -> list[S.Task]:
    """Each client uploads its own copy of the tree, downloads it, removes it; *done*: the trees before."""
    (folders, files), name, first = shape(load), load.replace(" ", "-"), next(iter(done), None)  # the smallest
    local = S.make_tree(base / "local" / name, folders, files, file_size(load))

    def remote(client):
        return f"{S.top(server)}bench/{client.name.replace(' ', '')}-{name}"

    def back(client):
        return base / "back" / f"{server.kind}-{client.name.replace(' ', '')}-{name}"

    def fresh(client):
        S.remove(back(client))
        S.remove(Path(server.root) / "bench" / remote(client).rsplit("/", 1)[1])

    def download(client):
        client.download_tree(remote(client), back(client))
        return back(client)

    def skip(task):
        def reason(client):
            if client.name == "FTPPath" and first is not None or getattr(client, f"{task}_tree") is None:
                return "-"  # the core has no tree download; its upload/delete grows with the square of a folder
            smaller = first and done[first][task][client.name]["times"]
            if server.kind != "delayed" and not server.kind.endswith("-link") and folders == 1 and smaller and S.median(smaller) > SKIP_AFTER:
                return f"not run: {first} took {S.median(smaller):.1f} s"
        return reason

    return [S.Task("upload", rounds, lambda c: c.upload_tree(local, remote(c)), setup=fresh, skip=skip("upload")),
            S.Task("download", rounds, download, lambda got: None if S.same_tree(local, got)
                   else "downloaded another tree", skip=skip("download")),
            S.Task("remove", rounds, lambda c: c.remove_tree(remote(c)), skip=skip("remove"))]

def main(argv=None) -> None:
    parser = S.parser(__doc__, "smaller trees")
    parser.add_argument("--servers", default="pyftpdlib,vsftpd,proftpd,pureftpd,vsftpd-link,proftpd-link")
    parser.add_argument("--connections", type=S.listed(count), help="of dravlen, lftp (default: 1,4 on a link, else 4)")
    parser.add_argument("--clients", type=S.listed(client), default=CLIENTS, help="some of " + ", ".join(CLIENTS))
    parser.add_argument("--trees", type=S.listed(tree), help='"flat N" or "F x N" (default: three by server)')
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--no-count", action="store_true", help="no untimed pass through the counting proxy")
    args, started = parser.parse_args(argv), time.monotonic()
    chosen = [c for c in CLIENTS if c in args.clients]

    def slow(kind):  # a server whose every reply comes late
        return kind == "delayed" or kind.endswith("-link")

    def loads(kind):
        return args.trees or TREES["quick" if args.quick else "link" if kind.endswith("-link")
                                   else "delayed" if kind == "delayed" else "full"]

    def connections(kind):
        return args.connections or ([1, 4] if slow(kind) else [4])

    def clients(server, port, section):
        cls, counts = S.bound(RemotePath, section), connections(server.kind)
        make = {"dravlen": lambda j: Ours(cls, j), "lftp": lambda j: Lftp(server, port, j),
                "fsspec": lambda j: Fsspec(server, port), "ftputil": lambda j: Ftputil(server, port),
                "FTPPath": lambda j: Ours(cls)}
        made = []
        for n in counts:
            for name in (c for c in chosen if c in PARALLEL):
                made.append(make[name](n))
                made[-1].name += f" -j {n}" if len(counts) > 1 else ""
        return made + [make[name](None) for name in chosen if name not in PARALLEL]

    results, _ = S.compare(
        "trees", args.servers.split(","), clients,
        lambda server, base, done: ((load, tree_tasks(server, base, load, args.rounds, done))
                                    for load in loads(server.kind)),
        count=lambda kind: not args.no_count and kind != "delayed")  # the delayed server is pyftpdlib
    lines = [f"`python3 bench/trees.py{' --quick' if args.quick else ''}`, {datetime.date.today().isoformat()}:"
             f" {args.rounds} round(s), medians; {time.monotonic() - started:.0f} s in all.", ""]
    for kind, (by_load, counted) in results.items():
        first = next(iter(by_load))
        names = list(by_load[first]["upload"])
        link = f" ({S.LINK_RTT_MS} ms round trip, {S.LINK_RATE / 1e6:g} MB/s a connection)"
        lines += [f"#### {kind}" + (" (20 ms on every reply)" if kind == "delayed" else link if slow(kind) else "")
                  + f", dravlen and lftp with {'/'.join(map(str, connections(kind)))} connection(s)", "",
                  S.table(["tree", "task", *names], names, [((load, task), by, []) for load, by_task in by_load.items()
                                                          for task, by in by_task.items()])]
        flat = [(load, shape(load)[1]) for load in by_load if load.startswith("flat")][:2]
        if len(flat) == 2:  # linear growth: the time per file of the big flat tree over that of the small one
            (small, n_small), (big, n_big) = flat
            growth = [f"{task}: " + ", ".join(
                f"{c} {S.median(b) / n_big / (S.median(a) / n_small):.2f}" for c in names
                if (a := by_load[small][task][c]["times"]) and (b := by_load[big][task][c]["times"])) for task in TASKS]
            lines += ["", f"Time per file, {big} over {small}: " + "; ".join(growth) + "."]
        if counted:
            lines += ["", f"Commands sent per file ({first}):", "", S.markdown_table(["task", *names], [
                [task, *(f"{n[0] / (shape(first)[0] * shape(first)[1]):.2f}" if (n := S.counts(counted, task, c))
                         else "-" for c in names)] for task in TASKS])]
        lines.append("")
    S.publish(args, "trees", "\n".join(lines))

if __name__ == "__main__":
    main()
