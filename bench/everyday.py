"""RemotePath's everyday members: peak RSS of streaming a 1 GiB file, the
detailed listing of 1,000 entries, and download speed against plain ftplib
(bench/README.md).  The results go into bench/README.md.

    pip install fsspec
    python3 bench/everyday.py [--quick] [--kinds pyftpdlib,vsftpd] [--no-readme]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402
from clients import Bare, Fsspec  # noqa: E402

MIB, GIB = S.MIB, S.GIB
LISTED = 1000
KINDS = ("pyftpdlib", "vsftpd")
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


def memory(server, section: str, remote: str, scratch: Path, tasks) -> list[list[str]]:
    rows = []
    for task in tasks:
        local = scratch / f"mem-{task}.bin"
        result = S.in_child(__file__, task, section, remote, str(local))
        local.unlink(missing_ok=True)
        rows.append([server.kind, MEMORY[task], S.fmt_bytes(result["growth"]),
                     f"{GIB / result['seconds'] / MIB:.0f} MiB/s"])
        print(rows[-1], flush=True)
    return rows


def ways(cls, fs, folder):
    """(label, run, runs as a share of all) of listing *folder*."""
    top = cls(folder)

    def fsspec_ls():
        fs.invalidate_cache()
        return fs.ls(folder, detail=True)

    return [("`ls -l`: `iterdir(detail=True)`",
             lambda: [(p.name, e.kind, e.size, e.mtime) for p, e in top.iterdir(detail=True)], 1),
            ("`ls -F` as before: `glob` + `is_dir()` each", lambda: [(p.name, p.is_dir()) for p in top.glob("*")], 3),
            ("fsspec `ls(detail=True)`", fsspec_ls, 1)]


def listing(server, section, proxy, ini, folder: str, runs: int) -> list[list[str]]:
    plain, counting = Fsspec(server), Fsspec(server, proxy.port)
    timed = ways(_path_class(section), plain.fs, folder)
    counted = ways(S.bound(_path_class(section), f"{section}_count", proxy.port, ini, server), counting.fs, folder)
    rows = []
    for (label, run, share), (_, count, _) in zip(timed, counted):
        assert len(run()) == len(count()) == LISTED, label  # warm: the server's abilities are known
        proxy.reset()
        count()
        times = []
        for _ in range(max(2, runs // share)):
            S.settle(server.host, limit=8000)
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        rows.append([server.kind, label, proxy.mix(), S.fmt_seconds(S.median(times)), str(len(times))])
        print(rows[-1], flush=True)
    plain.close()
    counting.close()
    return rows


def download_speed(server, section: str, remote: str, scratch: Path, pairs: int) -> list[str]:
    path, bare = _path_class(section)(remote), Bare(server)
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
    ratios = {}
    for floor in ("floor", "big"):
        low, high = S.ratio_interval(wall["member"], wall[floor])
        ratios[floor] = f"**{S.median(wall['member']) / S.median(wall[floor]):.3f}** ({low:.3f} – {high:.3f})"
    row = [server.kind, S.fmt_seconds(S.median(wall["member"])), S.fmt_seconds(S.median(wall["floor"])),
           ratios["floor"], S.fmt_seconds(S.median(wall["big"])), ratios["big"],
           *(S.fmt_seconds(S.median(cpu[side])) for side in sides), str(pairs)]
    print(row, flush=True)
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
    base = S.scratch("dravlen-everyday-")
    ini = base / "bench.ini"
    os.environ["DRAVLEN_CONFIG"] = str(ini)
    mem_rows, list_rows, speed_rows = [], [], []
    try:
        for kind in args.kinds.split(","):
            server = S.start("everyday", kind, base / kind / "root")
            proxy = S.CountingProxy(server.host, server.port)
            try:
                section = f"bench_{kind}"
                S.servers.make_config(server, ini, name=section)
                top = S.top(server)
                block = os.urandom(16 * MIB)
                with open(server.root / "big.bin", "wb") as out:
                    for _ in range(GIB // len(block)):
                        out.write(block)
                (server.root / "listed").mkdir()
                for i in range(LISTED):
                    (server.root / "listed" / f"entry {i:04}.dat").write_bytes(b"x" * (i % 97))
                scratch = base / kind / "local"
                scratch.mkdir()
                mem_rows += memory(server, section, top + "big.bin", scratch,
                                   list(MEMORY) if kind == KINDS[0] else ["download", "cat"])
                list_rows += listing(server, section, proxy, ini, top + "listed", runs)
                speed_rows.append(download_speed(server, section, top + "big.bin", scratch, pairs))
            finally:
                proxy.close()
                server.stop()
    finally:
        S.remove(base)
    text = "\n\n".join([
        "## Everyday members: streaming memory, the detailed listing, download speed",
        "`python3 bench/everyday.py" + (" --quick" if args.quick else "") + "`:",
        "### Peak RSS growth of moving a 1 GiB file (a child process each)",
        S.markdown_table(["server", "task", "peak RSS growth", "throughput"], mem_rows),
        f"### Listing a {LISTED:,}-entry directory",
        S.markdown_table(["server", "task", "FTP commands sent", "median time", "runs"], list_rows),
        "### `download` of a 1 GiB file against `ftplib.retrbinary` into a file (medians, interleaved)",
        S.markdown_table(["server", "download", "retrbinary (8 KiB blocks)", "ratio (95 % interval)",
                          "retrbinary (1 MiB blocks)", "ratio (95 % interval)", "client CPU: download",
                          "retrbinary 8 KiB", "retrbinary 1 MiB", "runs each"], speed_rows),
        "The floor sends TYPE I, PASV and RETR and writes each block ftplib hands it (8 KiB, its"
        " default, or 1 MiB); `download` sends the same and a SIZE to confirm, reads the data"
        " socket in 1 MiB blocks into a temporary file beside the target and renames it."])
    print(text)
    if not args.no_readme:
        print("written to", S.update_readme("everyday", text))


if __name__ == "__main__":
    main()
