"""RemotePath's everyday members: peak RSS of streaming a 1 GiB file, the listing of 1,000 entries
with details, and download against plain ftplib (bench/README.md).

    python3 bench/everyday.py [--quick] [--kinds pyftpdlib,vsftpd] [--no-readme]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

import _support as S
from clients import Bare, Fsspec

MIB, GIB = S.MIB, S.GIB
LISTED = 1000
KINDS = ("pyftpdlib", "vsftpd")
WAYS = ("`ls -l`: `iterdir(detail=True)`", "`ls -F` as before: `glob` + `is_dir()` each", "fsspec `ls(detail=True)`")
MEMORY = {"download": "`download(local)`", "cat": "`cat` (command line, to /dev/null)",
          "read": "core `read()` (what `cat` did before)"}

def _path_class(section: str):
    from dravlen.ftp.remote import RemotePath

    return S.bound(RemotePath, section)

def child(task: str, section: str, remote: str, local: str) -> None:
    """Run one transfer; print the peak RSS growth it caused (bytes) and its seconds."""
    path = _path_class(section)(remote)
    path.client  # connected before the baseline is taken
    report = os.fdopen(os.dup(1), "w")
    if task == "cat":
        from dravlen.ftp import cli

        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        run = lambda: cli.main(["--section", section, "cat", remote]) == 0 or sys.exit("cat failed")  # noqa: E731
    else:
        run = (lambda: path.download(local)) if task == "download" else path.read
    print(json.dumps(S.measured(run)), file=report, flush=True)

def memory(server, remote: str, scratch: Path, tasks) -> list[list[str]]:
    rows = []
    for task in tasks:
        local = scratch / f"mem-{task}.bin"
        result = S.in_child(__file__, task, server.kind, remote, str(local))
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
                   lambda w: S.settle(server.host, limit=8000), True, lambda w, name=name: None if w.name == name else "-")
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

def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-readme", action="store_true")
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--child", nargs=4, metavar=("TASK", "SECTION", "REMOTE", "LOCAL"))
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    pairs, runs = (3, 5) if args.quick else (9, 15)
    mem_rows, speed_rows = [], []

    def scenario(server, base, done):
        block, big, scratch = os.urandom(16 * MIB), S.top(server) + "big.bin", base / server.kind / "local"
        with open(server.root / "big.bin", "wb") as out:
            for _ in range(GIB // len(block)):
                out.write(block)
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
    text = "\n\n".join([
        "`python3 bench/everyday.py" + (" --quick" if args.quick else "") + "`:",
        "### Peak RSS growth of moving a 1 GiB file (a child process each)",
        S.markdown_table(["server", "task", "peak RSS growth", "throughput"], mem_rows),
        f"### Listing a {LISTED:,}-entry directory",
        S.markdown_table(["server", "task", "FTP commands sent", "median time", "runs"], list_rows),
        "### `download` of a 1 GiB file against `ftplib.retrbinary` into a file (medians, interleaved)",
        S.markdown_table(["server", "download", "retrbinary (8 KiB blocks)", "ratio (95 % interval)",
                          "retrbinary (1 MiB blocks)", "ratio (95 % interval)", "client CPU: download",
                          "retrbinary 8 KiB", "retrbinary 1 MiB", "runs each"], speed_rows)])
    print(text)
    if not args.no_readme:
        print("written to", S.update_readme("everyday", text))

if __name__ == "__main__":
    main()
