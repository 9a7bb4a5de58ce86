"""RemotePath's everyday members: peak RSS of streaming a 1 GiB file, the listing of 1,000 entries
with details, and download against plain ftplib; the round trips per everyday call on a delayed server;
small files read by 8 threads at once; our fsspec filesystem beside fsspec's own FTP (bench/README.md).

    python3 bench/everyday.py [--quick] [--kinds pyftpdlib,vsftpd] [--no-readme]
    python3 bench/everyday.py --round-trips [RUNS]    # only print
    python3 bench/everyday.py --concurrent [RUNS] [--quick] [--kinds delayed,pyftpdlib,vsftpd] [--no-readme]
    python3 bench/everyday.py --pydata [MIB]          # only print; MIB: the sequential read (1024)
"""

from __future__ import annotations

import itertools
import os
import random
import sys
from pathlib import Path

import _support as S
from clients import Bare, Everyday, Filesystem, Fsspec, Peer
from dravlen.ftp.remote import RemotePath

KIB, MIB, GIB = S.KIB, S.MIB, S.GIB
LISTED, THREADS = 1000, 8
KINDS = ("pyftpdlib", "vsftpd")
WAYS = ("`ls -l`: `iterdir(detail=True)`", "`ls -F` as before: `glob` + `is_dir()` each")  # fsspec's: peers.py
MEMORY = {"download": "`download(local)`", "upload": "`upload(local)`", "cat": "`cat` (command line, to /dev/null)",
          "read": "core `read()` (what `cat` did before)"}

def child(task: str, section: str, remote: str, local: str):
    """The transfer *task* of *remote*, its client connected first (`S.child_main` measures it)."""
    path = S.bound(RemotePath, section)(remote)
    path.client  # connected before the baseline is taken
    if task == "cat":
        from dravlen.ftp import cli

        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return lambda: cli.main(["--section", section, "cat", remote]) == 0 or sys.exit("cat failed")
    if task == "upload":
        return lambda: S.bound(RemotePath, section)(remote + ".up").upload(local)
    return (lambda: path.download(local)) if task == "download" else path.read

def memory(server, remote: str, scratch: Path, tasks) -> list[list[str]]:
    rows, local = [], scratch / "mem.bin"  # what download writes, upload sends back
    for task in tasks:
        result = S.in_child(__file__, task, server.kind, remote, str(local))
        rows.append([server.kind, MEMORY[task], S.fmt_bytes(result["growth"]),
                     f"{GIB / result['seconds'] / MIB:.0f} MiB/s"])
    local.unlink(missing_ok=True)
    return rows

class Way(Peer):
    """One way of listing the folder, as a client of the scenario runner."""

    def __init__(self, name, run):
        super().__init__(None)
        self.name, self.run = name, run

def ways(server, port, section):
    top = S.bound(RemotePath, section)(S.top(server) + "listed")
    return [Way(WAYS[0], lambda: [(p.name, e.kind, e.size, e.mtime) for p, e in top.iterdir(detail=True)]),
            Way(WAYS[1], lambda: [(p.name, p.is_dir()) for p in top.glob("*")])]

def listing(server, runs: int) -> list[S.Task]:
    """A task for each way (`ls -F` a third of the runs), the server's abilities known from a first run."""
    return [S.Task(name, max(2, runs // (3 if "-F" in name else 1)), lambda w: w.run(),
                   lambda got: None if len(got) == LISTED else f"listed {len(got)}",
                   lambda w: S.settle(server.host, limit=8000), True,
                   lambda w, name=name: None if w.name == name else "-")
            for name in WAYS]

def download_speed(server, remote: str, scratch: Path, pairs: int) -> list[str]:
    path, bare = S.bound(RemotePath, server.kind)(remote), Bare(server)
    member_target, floor_target = scratch / "member.bin", scratch / "floor.bin"
    sides = {"member": lambda: path.download(member_target),
             "floor": lambda: bare.download(remote, floor_target),
             "big": lambda: bare.download(remote, floor_target, blocksize=MIB)}

    def before(_):
        member_target.unlink(missing_ok=True)
        floor_target.unlink(missing_ok=True)

    sides["member"]()
    sides["floor"]()  # the page cache warm on both sides
    wall, cpu = S.interleaved(sides, pairs, before=before)
    before("")
    bare.close()
    row, m = [server.kind, S.fmt_seconds(S.median(wall["member"]))], S.median(wall["member"])
    for floor in ("floor", "big"):
        low, high = S.ratio_interval(wall["member"], wall[floor])
        row += [S.fmt_seconds(S.median(wall[floor])), f"**{m / S.median(wall[floor]):.3f}** ({low:.3f} – {high:.3f})"]
    row += [*(S.fmt_seconds(S.median(cpu[side])) for side in sides), str(pairs)]
    return row

# Round trips per everyday call, on the server that holds every reply back 20 ms: RemotePath's
# pathlib names and open(), the core's read()/write(), bare ftplib (which knows the folder is missing), fsspec.

DATA = bytes(range(256)) * 4  # 1 KiB
TASKS = ("read 1 KiB", "write 1 KiB, folder there", "write 1 KiB, folder new")

def round_trips(runs: int) -> None:
    """A call's round trips: its median time over that of one ``NOOP``; its commands, counted by the proxy."""
    trip, numbers = [], itertools.count()  # a new name for every write

    def contenders(server, port, section) -> list:
        cls = S.bound(RemotePath, section)
        return [Everyday(cls, name) for name in Everyday.NAMES] + [Bare(server, port), Fsspec(server, port)]

    def into_new(client):
        client.mkdir(folder := f"/n{next(numbers)}")
        client.write(f"{folder}/f", DATA)

    def scenario(server, base, done):
        (server.root / "r").mkdir()
        (server.root / "w").mkdir()
        (server.root / "r" / "f").write_bytes(DATA)
        probe = Bare(server)
        trip.append(S.median(S.interleaved({"NOOP": lambda: probe.ftp.voidcmd("NOOP")}, runs)[0]["NOOP"]))
        probe.close()
        yield "", [S.Task(TASKS[0], runs, lambda c: c.read("/r/f"), lambda got: None if got == DATA else "other bytes"),
                   S.Task(TASKS[1], runs, lambda c: c.write(f"/w/{next(numbers)}", DATA)),
                   S.Task(TASKS[2], runs, into_new)]

    results, _ = S.compare("round_trips", ["delayed"], contenders, scenario)
    (by_task,), counted = results["delayed"][0].values(), results["delayed"][1]

    def trips(task, client):
        entry = by_task[task][client]
        if entry["error"]:
            return S.cell(entry, 0)
        return f"{S.median(entry['times']) / trip[0]:.1f} ({S.counts(counted, task, client)[0]})"

    print(f"one NOOP {trip[0] * 1000:.1f} ms; median of {runs} calls: round trips (commands) per call\n")
    rows = [[client, *(trips(task, client) for task in TASKS)] for client in by_task[TASKS[0]]]
    print(S.markdown_table(["client", *TASKS], rows))

# Small files read at once: THREADS threads, each with a client of its own, read the files between them

def concurrent(args) -> None:
    """RemotePath.read_bytes() beside as many fsspec FTPFileSystems (cat_file): the median of alternated runs
    on each server, and the commands per file (counted in a run of their own)."""
    files, runs, data = 200 if args.quick else 1000, args.concurrent, os.urandom(4 * KIB)
    task = f"{THREADS} threads read {files:,} files of 4 KiB"

    def clients(server, port, section):
        ours = Everyday(S.bound(RemotePath, section), "RemotePath read_bytes()/write_bytes()")
        ours.name = "RemotePath read_bytes()"
        return [ours, Fsspec(server, port)]

    def scenario(server, base, done):
        (server.root / "small").mkdir()
        for i in range(files):
            (server.root / "small" / f"s{i:04}.bin").write_bytes(data)

        def run(client):
            def job(view, i):  # the i-th thread reads every THREADS-th file from the i-th
                for n in range(i, files, THREADS):
                    if view.read(f"{S.top(server)}small/s{n:04}.bin") != data:
                        raise AssertionError(f"small/s{n:04}.bin: read other bytes")
            client.on_threads(THREADS, job)
        yield "", [S.Task(task, runs, run, warm=True)]

    kinds = (args.kinds or "delayed,pyftpdlib,vsftpd").split(",")
    results, notes = S.compare("concurrent", kinds, clients, scenario)
    names = ("RemotePath read_bytes()", "fsspec")
    rows = [((kind + " (20 ms on every reply)" if kind == "delayed" else kind,), done[""][task],
             [" / ".join(f"{n[0] / files:.2f}" if (n := S.counts(counted, task, c)) else "-" for c in names), runs])
            for kind, (done, counted) in results.items()]
    S.publish(args, "concurrent", "\n\n".join([
        f"`python3 bench/everyday.py --concurrent {runs}{' --quick' * args.quick}`: {task}, medians:",
        S.table(["server", *names, "commands per file (RemotePath / fsspec)", "runs"], names, rows), *notes]))

# Our fsspec filesystem beside fsspec's own FTP, on pyftpdlib in its own process

def pydata(big_mib: int) -> None:
    """Each task once, in turn; its time, and the peak RSS growth of the sequential read."""
    import pandas as pd

    grew, offsets = {}, [random.Random(1).randrange(0, (big_mib << 20) - 4096) for _ in range(200)]

    def sequential(c):
        before = S.rss("VmHWM")
        with c.fs.open(f"{c.top}big.bin", block_size=S.MIB) as f:
            while f.read(S.MIB):
                pass
        grew[c.name] = S.rss("VmHWM") - before

    def scenario(server, base, done):  # the server's CSV files, one big file, a tree of 10 x 99; 300 local files
        row = "x" * 40
        (server.root / "csv").mkdir()
        for i in range(100):
            (server.root / "csv" / f"f{i}.csv").write_text("n,s\n" + "".join(f"{j},{row}\n" for j in range(22_000)))
        S.random_file(server.root / "big.bin", big_mib * MIB)
        S.make_tree(server.root / "tree", 10, 99, 1)
        S.make_tree(base / "local", 1, 300)
        yield "", [S.Task(name, 1, run) for name, run in [
            ("pandas read_csv, 100 files of 1 MiB",
             lambda c: [pd.read_csv(c.fs.open(f"{c.top}csv/f{i}.csv")) for i in range(100)]),
            (f"sequential read of {big_mib} MiB", sequential),
            ("200 random 4 KiB ranges (cat_file)", lambda c: [c.fs.cat_file(f"{c.top}big.bin", o, o + 4096)
                                                            for o in offsets]),
            ("find over 1,000 entries", lambda c: c.fs.find(f"{c.top}tree")),
            ("put of 300 files of 1 KiB", lambda c: c.fs.put(f"{base}/local/", f"{c.top}up-{c.name}", recursive=True)),
            ("get of 300 files", lambda c: c.fs.get(f"{c.top}up-{c.name}/", f"{base / c.name}/", recursive=True))]]

    results, _ = S.compare("pydata", ["pyftpdlib"], lambda server, port, section: [
        Filesystem(server, port), Fsspec(server, port)], scenario, count=lambda kind: False)
    rows = [[name, *(S.cell(by[c], S.fastest(by)) + (f" (+{grew[c] // MIB} MiB RSS)" if c in grew and "seq" in name
                                                      else "") for c in by)]
            for name, by in results["pyftpdlib"][0][""].items()]
    print(S.markdown_table(["task (pyftpdlib, loopback)", "dravlen", "fsspec FTP"], rows))

def main() -> None:
    S.child_main(child)
    parser = S.parser(__doc__)
    parser.add_argument("--kinds", help="servers (default: " + ",".join(KINDS) + "; --concurrent: delayed too)")
    parser.add_argument("--round-trips", nargs="?", type=int, const=15, metavar="RUNS", help="only round trips per call")
    parser.add_argument("--concurrent", nargs="?", type=int, const=5, metavar="RUNS", help="only small files at once")
    parser.add_argument("--pydata", nargs="?", type=int, const=1024, metavar="MIB", help="only the fsspec comparison")
    args = parser.parse_args()
    if args.concurrent:
        return concurrent(args)
    if args.round_trips or args.pydata:
        return round_trips(args.round_trips) if args.round_trips else pydata(args.pydata)
    pairs, runs = (3, 5) if args.quick else (9, 15)
    mem_rows, speed_rows = [], []

    def scenario(server, base, done):
        big, scratch = S.top(server) + "big.bin", base / server.kind / "local"
        S.random_file(server.root / "big.bin", GIB, 16 * MIB)
        (server.root / "listed").mkdir()
        for i in range(LISTED):
            (server.root / "listed" / f"entry {i:04}.dat").write_bytes(b"x" * (i % 97))
        scratch.mkdir()
        mem_rows.extend(memory(server, big, scratch, [t for t in MEMORY if t != "read" or server.kind == KINDS[0]]))
        speed_rows.append(download_speed(server, big, scratch, pairs))
        yield "", listing(server, runs)

    results, _ = S.compare("everyday", (args.kinds or ",".join(KINDS)).split(","), ways, scenario)
    list_rows = [[kind, task, S.mix(S.counts(counted, task, task)), S.fmt_seconds(S.median(by[task]["times"])),
                  len(by[task]["times"])] for kind, (done, counted) in results.items() for task, by in done[""].items()]
    S.publish(args, "everyday", "\n\n".join([
        "`python3 bench/everyday.py" + (" --quick" if args.quick else "") + "`:",
        "### Peak RSS growth of moving a 1 GiB file (a child process each)",
        S.markdown_table(["server", "task", "peak RSS growth", "throughput"], mem_rows),
        f"### Listing a {LISTED:,}-entry directory",
        S.markdown_table(["server", "task", "FTP commands sent", "median time", "runs"], list_rows),
        "### `download` of a 1 GiB file against `ftplib.retrbinary` into a file (medians, interleaved)",
        S.markdown_table(["server", "download", "retrbinary (8 KiB blocks)", "ratio (95 % interval)",
                          "retrbinary (1 MiB blocks)", "ratio (95 % interval)", "client CPU: download",
                          "retrbinary 8 KiB", "retrbinary 1 MiB", "runs each"], speed_rows)]))

if __name__ == "__main__":
    main()
