"""Whole trees up, down and away: dravlen's tree members beside lftp's mirror,
fsspec, ftputil and the core's FTPPath.upload/delete, on the trees of
`WORKLOADS` (bench/README.md).  The results go into bench/README.md.

    apt-get install lftp; pip install fsspec ftputil
    python3 bench/trees.py [--quick] [--servers ...] [-j 4] [--no-readme]
"""

from __future__ import annotations

import argparse
import datetime
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402
from clients import Fsspec, Ftputil, Lftp, Ours  # noqa: E402

CLIENTS = ("dravlen", "lftp", "fsspec", "ftputil", "FTPPath")
TASKS = ("upload", "download", "remove")
KINDS = ("pyftpdlib", "vsftpd", "proftpd", "pureftpd", "delayed")
# name -> (folders, files in each); the first is the one the core gets and the one counted.
WORKLOADS = {"quick": {"flat 30": (1, 30), "flat 300": (1, 300), "3 x 30": (3, 30)},
             "delayed": {"flat 100": (1, 100), "flat 300": (1, 300), "3 x 100": (3, 100)},  # 60-100 ms a file
             "full": {"flat 300": (1, 300), "flat 3000": (1, 3000), "10 x 300": (10, 300)}}
# A client whose smallest flat tree took longer than this (seconds) does not
# get the big flat tree on a loopback server: growing with the square of the folder, it would take minutes.
SKIP_AFTER = 3.0


def workloads(kind: str, quick: bool) -> dict[str, tuple[int, int]]:
    return WORKLOADS["quick" if quick else "delayed" if kind == "delayed" else "full"]


def tasks(kind, load, shape, server, base, rounds, done) -> list[S.Task]:
    """The scenario on one tree: each client uploads its own copy, downloads it,
    and removes it.  *done*: {tree: results} of the trees before this one."""
    folders, files = shape
    name = load.replace(" ", "-")
    local = S.make_tree(base / "local" / name, folders, files)
    first = next(iter(done), None)  # the smallest tree

    def remote(client):
        return f"{S.top(server)}bench/{client.name}-{name}"

    def back(client):
        return base / "back" / f"{kind}-{client.name}-{name}"

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
            if kind != "delayed" and folders == 1 and smaller and S.median(smaller) > SKIP_AFTER:
                return f"not run: {first} took {S.median(smaller):.1f} s"
        return reason

    return [S.Task("upload", rounds, lambda c: c.upload_tree(local, remote(c)), setup=fresh, skip=skip("upload")),
            S.Task("download", rounds, download, lambda got: None if S.same_tree(local, got)
                   else "downloaded another tree", skip=skip("download")),
            S.Task("remove", rounds, lambda c: c.remove_tree(remote(c)), skip=skip("remove"))]


def report(results, args, started) -> str:
    lines = [
        "## Trees: dravlen beside lftp, fsspec, ftputil and the core", "",
        f"`python3 bench/trees.py{' --quick' if args.quick else ''}`, "
        f"{datetime.date.today().isoformat()}: trees of 1 KiB files; dravlen and lftp with "
        f"{args.jobs} connections, fsspec and ftputil with one; {args.rounds} round(s), medians;"
        f" {time.monotonic() - started:.0f} s in all. Fastest in bold, the others as a multiple of it."
        " fsspec, ftputil and dravlen's calling thread (which works with its own client) are"
        " logged in before they are timed; dravlen's further connections, and lftp (a new"
        " process for each step), log in within the timed step."
        " *flat N*: N files in one folder; *F x N*: F folders of N. The core's FTPPath.upload/delete"
        " runs on the smallest tree only (its cost grows with the square of a folder's size);"
        " lftp's `rm -r` uses one connection (it has no parallel removal).", ""]
    for kind, (by_load, counts) in results.items():
        lines += [f"#### {kind}" + (" (20 ms on every reply)" if kind == "delayed" else ""), "",
                  "| tree | task | " + " | ".join(CLIENTS) + " |", "|---|---|" + "---|" * len(CLIENTS)]
        for load, by_task in by_load.items():
            for task, by_client in by_task.items():
                best = S.fastest(by_client)
                lines.append(f"| {load} | {task} | " + " | ".join(S.cell(by_client.get(c), best) for c in CLIENTS) + " |")
        # Linear growth: the time per file of the big flat tree over that of the small one.
        loads = workloads(kind, args.quick)
        (small, (_, n_small)), (big, (_, n_big)) = list(loads.items())[:2]
        growth = []
        for task in TASKS:
            parts = [f"{c} {S.median(b) / n_big / (S.median(a) / n_small):.2f}" for c in CLIENTS[:4]
                     if (a := by_load.get(small, {}).get(task, {}).get(c, {}).get("times"))
                     and (b := by_load.get(big, {}).get(task, {}).get(c, {}).get("times"))]
            growth.append(f"{task}: " + ", ".join(parts))
        lines += ["", f"Time per file, {big} over {small}: " + "; ".join(growth) + ".", ""]
        if counts:
            files = loads[small][0] * loads[small][1]
            lines += [f"Commands sent per file ({small}):", "", "| task | " + " | ".join(CLIENTS) + " |",
                      "|---|" + "---|" * len(CLIENTS)]
            lines += [f"| {task} | " + " | ".join(f"{n[0] / files:.2f}" if (n := S.counts(counts, task, c)) else "-"
                                                  for c in CLIENTS) + " |" for task in TASKS]
            lines.append("")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small trees, one round")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("-j", "--jobs", type=int, default=4)
    parser.add_argument("--servers", default=",".join(KINDS))
    parser.add_argument("--no-readme", action="store_true")
    parser.add_argument("--no-count", action="store_true")
    args = parser.parse_args(argv)
    from dravlen.ftp.remote import RemotePath

    started, base = time.monotonic(), S.scratch("dravlen-bench-trees-")
    os.environ["DRAVLEN_CONFIG"] = str(base / "bench.ini")

    def scenario(server, done):
        for load, shape in workloads(server.kind, args.quick).items():
            yield load, tasks(server.kind, load, shape, server, base, args.rounds, done)

    def clients(server, port, section):
        cls = S.bound(RemotePath, section)
        return [Ours(cls, args.jobs), Lftp(server, port, args.jobs), Fsspec(server, port), Ftputil(server, port),
                Ours(cls)]

    def log(text):
        print(text, file=sys.stderr, flush=True)

    try:
        # The delayed server is pyftpdlib: the same commands as there.
        results, _ = S.compare("trees", args.servers.split(","), base, clients, scenario, log,
                               count=lambda kind: not args.no_count and kind != "delayed")
    finally:
        S.remove(base)
    text = report(results, args, started)
    print(text)
    if not args.no_readme:
        print("wrote", S.update_readme("trees", text), file=sys.stderr)


if __name__ == "__main__":
    main()
