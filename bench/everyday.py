"""RemotePath's everyday members: peak RSS of streaming a 1 GiB file, the listing of 1,000 entries
with details, and download against plain ftplib; the round trips per everyday call on a delayed server;
our fsspec filesystem beside fsspec's own FTP (bench/README.md).

    python3 bench/everyday.py [--quick] [--kinds pyftpdlib,vsftpd] [--no-readme]
    python3 bench/everyday.py --round-trips [RUNS]    # only print; fsspec, if installed, too
    python3 bench/everyday.py --pydata [MIB]          # only print; MIB: the sequential read (1024)
"""

from __future__ import annotations

import itertools
import os
import random
import sys
from pathlib import Path

import _support as S
from clients import Bare, Everyday, Filesystem, Fsspec

MIB, GIB = S.MIB, S.GIB
LISTED = 1000
KINDS = ("pyftpdlib", "vsftpd")
WAYS = ("`ls -l`: `iterdir(detail=True)`", "`ls -F` as before: `glob` + `is_dir()` each", "fsspec `ls(detail=True)`")
MEMORY = {"download": "`download(local)`", "cat": "`cat` (command line, to /dev/null)",
          "read": "core `read()` (what `cat` did before)"}

def _path_class(section: str):
    from dravlen.ftp.remote import RemotePath

    return S.bound(RemotePath, section)

def child(task: str, section: str, remote: str, local: str):
    """The transfer *task* of *remote*, its client connected first (`S.child_main` measures it)."""
    path = _path_class(section)(remote)
    path.client  # connected before the baseline is taken
    if task == "cat":
        from dravlen.ftp import cli

        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return lambda: cli.main(["--section", section, "cat", remote]) == 0 or sys.exit("cat failed")
    return (lambda: path.download(local)) if task == "download" else path.read

def memory(server, remote: str, scratch: Path, tasks) -> list[list[str]]:
    rows = []
    for task in tasks:
        local = scratch / f"mem-{task}.bin"
        result = S.in_child(__file__, "rss", task, server.kind, remote, str(local))
        local.unlink(missing_ok=True)
        rows.append([server.kind, MEMORY[task], S.fmt_bytes(result["growth"]),
                     f"{GIB / result['seconds'] / MIB:.0f} MiB/s"])
    return rows

class Way:
    """One way of listing the folder, as a client of the scenario runner."""

    def __init__(self, name, run, fs=None):
        self.name, self.run, self.fs = name, run, fs

    def forget(self): self.fs and self.fs.forget()
    def close(self): self.fs and self.fs.close()

def ways(server, port, section):
    folder, fs = S.top(server) + "listed", Fsspec(server, port)
    top = _path_class(section)(folder)
    return [Way(WAYS[0], lambda: [(p.name, e.kind, e.size, e.mtime) for p, e in top.iterdir(detail=True)]),
            Way(WAYS[1], lambda: [(p.name, p.is_dir()) for p in top.glob("*")]),
            Way(WAYS[2], lambda: fs.fs.ls(folder, detail=True), fs)]

def listing(server, runs: int) -> list[S.Task]:
    """A task for each way (`ls -F` a third of the runs), the server's abilities known from a first run."""
    return [S.Task(name, max(2, runs // (3 if "-F" in name else 1)), lambda w: w.run(),
                   lambda got: None if len(got) == LISTED else f"listed {len(got)}",
                   lambda w: S.settle(server.host, limit=8000), True,
                   lambda w, name=name: None if w.name == name else "-")
            for name in WAYS]

def download_speed(server, remote: str, scratch: Path, pairs: int) -> list[str]:
    path, bare = _path_class(server.kind)(remote), Bare(server)
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

def contenders(server, port, section) -> list:
    from dravlen.ftp.remote import RemotePath

    cls = S.bound(RemotePath, section)
    found = [Everyday(cls, name) for name in Everyday.NAMES] + [Bare(server, port)]
    try:
        return found + [Fsspec(server, port)]
    except ImportError:
        return found

def round_trip_tasks(runs: int, trip: list):
    """The scenario; *trip* gets the median time of one NOOP."""
    def tasks(server, base, done):
        (server.root / "r").mkdir()
        (server.root / "w").mkdir()
        (server.root / "r" / "f").write_bytes(DATA)
        probe = Bare(server)
        trip.append(S.median(S.interleaved({"NOOP": lambda: probe.ftp.voidcmd("NOOP")}, runs)[0]["NOOP"]))
        probe.close()
        numbers = itertools.count()  # a new name for every write

        def into_new(client):
            client.mkdir(folder := f"/n{next(numbers)}")
            client.write(f"{folder}/f", DATA)

        yield "", [S.Task(TASKS[0], runs, lambda c: c.read("/r/f"), lambda got: None if got == DATA else "other bytes"),
                   S.Task(TASKS[1], runs, lambda c: c.write(f"/w/{next(numbers)}", DATA)),
                   S.Task(TASKS[2], runs, into_new)]
    return tasks

def round_trips(runs: int) -> None:
    """A call's round trips: its median time over that of one ``NOOP``; its commands, counted by the proxy."""
    trip = []
    results, notes = S.compare("round_trips", ["delayed"], contenders, round_trip_tasks(runs, trip),
                               lambda text: print(text, file=sys.stderr))
    if not results:
        raise SystemExit("; ".join(notes))
    (by_task,), counted = results["delayed"][0].values(), results["delayed"][1]

    def trips(task, client):
        entry = by_task[task][client]
        if entry["error"]:
            return S.cell(entry, 0)
        return f"{S.median(entry['times']) / trip[0]:.1f} ({S.counts(counted, task, client)[0]})"

    print(f"one NOOP {trip[0] * 1000:.1f} ms; median of {runs} calls: round trips (commands) per call\n")
    rows = [[client, *(trips(task, client) for task in TASKS)] for client in by_task[TASKS[0]]]
    print(S.markdown_table(["client", *TASKS], rows))

# Our fsspec filesystem beside fsspec's own FTP, on pyftpdlib in its own process

def pydata_files(root, local, big_mib: int) -> None:
    """The server's files (CSV, one big file, a tree of 10 x 99) and 300 local files to put."""
    row = "x" * 40
    (root / "csv").mkdir()
    for i in range(100):
        (root / "csv" / f"f{i}.csv").write_text("n,s\n" + "".join(f"{j},{row}\n" for j in range(22_000)))
    S.random_file(root / "big.bin", big_mib * MIB)
    S.make_tree(root / "tree", 10, 99, 1)
    S.make_tree(local, 1, 300)

def pydata_tasks(base, big_mib: int, grew: dict) -> list[S.Task]:
    import pandas as pd

    offsets = [random.Random(1).randrange(0, (big_mib << 20) - 4096) for _ in range(200)]

    def sequential(c):
        before = S.rss("VmHWM")
        with c.fs.open(f"{c.top}big.bin", block_size=S.MIB) as f:
            while f.read(S.MIB):
                pass
        grew[c.name] = S.rss("VmHWM") - before

    table = [("pandas read_csv, 100 files of 1 MiB",
              lambda c: [pd.read_csv(c.fs.open(f"{c.top}csv/f{i}.csv")) for i in range(100)]),
             (f"sequential read of {big_mib} MiB", sequential),
             ("200 random 4 KiB ranges (cat_file)",
              lambda c: [c.fs.cat_file(f"{c.top}big.bin", o, o + 4096) for o in offsets]),
             ("find over 1,000 entries", lambda c: c.fs.find(f"{c.top}tree")),
             ("put of 300 files of 1 KiB",
              lambda c: c.fs.put(f"{base / 'local'}/", f"{c.top}up-{c.name}", recursive=True)),
             ("get of 300 files", lambda c: c.fs.get(f"{c.top}up-{c.name}/", f"{base / c.name}/", recursive=True))]
    return [S.Task(name, 1, run) for name, run in table]

def pydata(big_mib: int) -> None:
    """Each task once, in turn; its time, and the peak RSS growth of the sequential read."""
    grew = {}

    def scenario(server, base, done):
        pydata_files(server.root, base / "local", big_mib)
        yield "", pydata_tasks(base, big_mib, grew)

    results, notes = S.compare("pydata", ["pyftpdlib"], lambda server, port, section: [
        Filesystem(server, port), Fsspec(server, port)], scenario, print, count=lambda kind: False)
    if not results:
        raise SystemExit("; ".join(notes))
    rows = [[name, *(S.cell(by[c], S.fastest(by)) + (f" (+{grew[c] // MIB} MiB RSS)" if c in grew and "seq" in name
                                                      else "") for c in by)]
            for name, by in results["pyftpdlib"][0][""].items()]
    print(S.markdown_table(["task (pyftpdlib, loopback)", "dravlen", "fsspec FTP"], rows))

def main() -> None:
    S.child_main(child)
    parser = S.parser(__doc__)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--round-trips", nargs="?", type=int, const=15, metavar="RUNS", help="only round trips per call")
    parser.add_argument("--pydata", nargs="?", type=int, const=1024, metavar="MIB", help="only the fsspec comparison")
    args = parser.parse_args()
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
        mem_rows.extend(memory(server, big, scratch, list(MEMORY) if server.kind == KINDS[0] else ["download", "cat"]))
        speed_rows.append(download_speed(server, big, scratch, pairs))
        yield "", listing(server, runs)

    results, _ = S.compare("everyday", args.kinds.split(","), ways, scenario, print)
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
