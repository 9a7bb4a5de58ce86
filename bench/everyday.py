"""RemotePath's everyday members: memory of streaming, the detailed listing,
and download speed against plain ftplib.

    pip install fsspec                   # for the listing comparison only
    python3 bench/everyday.py            # a few minutes
    python3 bench/everyday.py --quick    # fewer runs

Three measurements, on the test-suite's loopback servers (pyftpdlib in its
own process; vsftpd where ``bash .ci/servers.sh`` unpacked it):

* peak RSS growth of ``RemotePath.download`` and of the command line's
  ``cat`` of a 1 GiB file, each in a fresh child process (the growth is the
  peak RSS during the transfer, ``VmHWM`` reset just before it, less the RSS
  just before it), beside
  the core's ``read()`` of the same file, which is what ``cat`` did before;
* ``ls -l`` of a 1,000-entry directory (``iterdir(detail=True)``, what the
  command prints from) beside ``ls -F`` as it was (``glob`` and one
  ``is_dir()`` per entry) and fsspec's ``ls(detail=True)``: the FTP commands
  each sends and the median time;
* ``download`` of a 1 GiB file against ``ftplib.retrbinary`` into a file, on
  the same server in one interleaved loop (the goal: within 1.05x).

The results go into ``bench/README.md`` between its ``everyday`` markers.
"""

from __future__ import annotations

import argparse
import ftplib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402

HERE = Path(__file__).resolve().parent
MIB, GIB = 1 << 20, 1 << 30
LISTED = 1000
KINDS = ("pyftpdlib", "vsftpd")


def _path_class(section: str):
    from dravlen.ftp.remote import RemotePath

    return type(f"Bench_{section}", (RemotePath,), {"_section": (section,)})


# --------------------------------------------------------------------------
# memory, measured in a child process of its own


def _child(task: str, section: str, remote: str, local: str) -> None:
    """Run one transfer and print the peak RSS growth it caused (bytes)."""
    cls = _path_class(section)
    path = cls(remote)
    path.client  # connected before the baseline is taken
    if task == "cat":
        from dravlen.ftp import cli
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        argv = ["--section", section, "cat", remote]
    before = _rss("VmRSS")
    _reset_peak()
    start = time.perf_counter()
    if task == "download":
        path.download(local)
    elif task == "cat":
        if cli.main(argv) != 0:
            raise SystemExit("cat failed")
    elif task == "read":
        data = path.read()
        del data
    seconds = time.perf_counter() - start
    peak = _rss("VmHWM")
    print(json.dumps({"growth": peak - before, "seconds": seconds}), file=sys.stderr)


def _rss(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak() -> None:
    # Linux: "5" resets the peak RSS (VmHWM) to the current RSS, so that the
    # peak read afterwards is the transfer's own, not the imports'.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def memory(server, section: str, config: Path, remote: str, scratch: Path, tasks) -> list[list[str]]:
    rows = []
    env = dict(os.environ, DRAVLEN_CONFIG=str(config))
    for task in tasks:
        local = scratch / f"mem-{task}.bin"
        done = subprocess.run(
            [sys.executable, __file__, "--child", task, section, remote, str(local)],
            env=env, capture_output=True, text=True, timeout=900)
        if done.returncode != 0:
            raise RuntimeError(f"{task} child failed: {done.stderr[-2000:]}")
        result = json.loads(done.stderr.strip().splitlines()[-1])
        local.unlink(missing_ok=True)
        label = {"download": "`download(local)`", "cat": "`cat` (command line, to /dev/null)",
                 "read": "core `read()` (what `cat` did before)"}[task]
        rows.append([server.kind, label, S.fmt_bytes(result["growth"]),
                     f"{GIB / result['seconds'] / MIB:.0f} MiB/s"])
        print(rows[-1], flush=True)
    return rows


# --------------------------------------------------------------------------
# listing


class Counter:
    """Counts the command lines an ftplib client sends."""

    def __init__(self, client: ftplib.FTP):
        self.words: list[str] = []
        real = client.putcmd

        def putcmd(line: str) -> None:
            self.words.append(line.split(" ", 1)[0])
            real(line)

        client.putcmd = putcmd  # type: ignore[method-assign]

    def summary(self) -> str:
        counts: dict[str, int] = {}
        for word in self.words:
            counts[word] = counts.get(word, 0) + 1
        return f"{len(self.words)}: " + ", ".join(f"{w} {n}" for w, n in sorted(counts.items(), key=lambda i: -i[1]))


def listing(server, section: str, folder: str, runs: int) -> list[list[str]]:
    from fsspec.implementations.ftp import FTPFileSystem

    cls = _path_class(section)
    top = cls(folder)

    def ls_long():
        return [(p.name, e.kind, e.size, e.mtime) for p, e in top.iterdir(detail=True)]

    def ls_classify():
        return [(p.name, p.is_dir()) for p in top.glob("*")]

    fs = FTPFileSystem(host=server.host, port=server.port, username=server.user,
                       password=server.password, timeout=30, skip_instance_cache=True)

    def fsspec_ls():
        fs.invalidate_cache()
        return fs.ls(folder, detail=True)

    rows = []
    for label, run, client, count in [
        ("`ls -l`: `iterdir(detail=True)`", ls_long, lambda: top.client, runs),
        ("`ls -F` as before: `glob` + `is_dir()` each", ls_classify, lambda: top.client, max(2, runs // 3)),
        ("fsspec `ls(detail=True)`", fsspec_ls, lambda: fs.ftp, runs),
    ]:
        assert len(run()) == LISTED, label  # warm: the server's abilities are known
        counter = Counter(client())
        run()
        commands = counter.summary()
        del client().putcmd  # the class's own again
        times = []
        for _ in range(count):
            S.settle(server.host, limit=8000)
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        rows.append([server.kind, label, commands, S.fmt_seconds(S.median(times)), str(count)])
        print(rows[-1], flush=True)
    fs.ftp.close()
    return rows


# --------------------------------------------------------------------------
# download against retrbinary


def download_speed(server, section: str, remote: str, scratch: Path, pairs: int) -> list[str]:
    cls = _path_class(section)
    path = cls(remote)
    ftp = server.connect()
    member_target, floor_target = scratch / "member.bin", scratch / "floor.bin"

    def member():
        path.download(member_target)

    def floor():
        with open(floor_target, "wb") as out:
            ftp.retrbinary("RETR " + remote, out.write)

    def floor_big():
        with open(floor_target, "wb") as out:
            ftp.retrbinary("RETR " + remote, out.write, blocksize=MIB)

    def before(name):
        for target in (member_target, floor_target):
            target.unlink(missing_ok=True)

    member()
    floor()  # warm the page cache on both sides
    wall, cpu = S.interleaved({"member": member, "floor": floor, "big": floor_big}, pairs, before=before)
    before("")
    ftp.quit()
    low, high = S.ratio_interval(wall["member"], wall["floor"])
    ratio = S.median(wall["member"]) / S.median(wall["floor"])
    big_low, big_high = S.ratio_interval(wall["member"], wall["big"])
    big_ratio = S.median(wall["member"]) / S.median(wall["big"])
    row = [server.kind, S.fmt_seconds(S.median(wall["member"])), S.fmt_seconds(S.median(wall["floor"])),
           f"**{ratio:.3f}** ({low:.3f} – {high:.3f})", S.fmt_seconds(S.median(wall["big"])),
           f"**{big_ratio:.3f}** ({big_low:.3f} – {big_high:.3f})",
           S.fmt_seconds(S.median(cpu["member"])), S.fmt_seconds(S.median(cpu["floor"])),
           S.fmt_seconds(S.median(cpu["big"])), str(pairs)]
    print(row, flush=True)
    return row


# --------------------------------------------------------------------------


def make_big(path: Path) -> None:
    block = os.urandom(16 * MIB)
    with open(path, "wb") as out:
        for _ in range(GIB // len(block)):
            out.write(block)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-readme", action="store_true")
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--child", nargs=4, metavar=("TASK", "SECTION", "REMOTE", "LOCAL"))
    args = parser.parse_args()
    if args.child:
        _child(*args.child)
        return
    pairs, runs = (3, 5) if args.quick else (9, 15)
    base = S.scratch("dravlen-everyday-")
    config = base / "bench.ini"
    os.environ["DRAVLEN_CONFIG"] = str(config)
    mem_rows, list_rows, speed_rows = [], [], []
    try:
        for kind in args.kinds.split(","):
            server = S.servers.start(kind, base / kind / "root")
            try:
                section = S.servers.make_config(server, config, name=f"bench_{kind}")
                # Servers without a chroot name files by their real path.
                top = "/" if kind == "pyftpdlib" else f"{server.root}/"
                make_big(server.root / "big.bin")
                listed = server.root / "listed"
                listed.mkdir()
                for i in range(LISTED):
                    (listed / f"entry {i:04}.dat").write_bytes(b"x" * (i % 97))
                scratch = base / kind / "local"
                scratch.mkdir()
                mem_rows += memory(server, section, config, top + "big.bin", scratch,
                                   ("download", "cat", "read") if kind == KINDS[0] else ("download", "cat"))
                list_rows += listing(server, section, top + "listed", runs)
                speed_rows.append(download_speed(server, section, top + "big.bin", scratch, pairs))
            finally:
                server.stop()
    finally:
        S.remove(base)
    section = "\n\n".join([
        "## Everyday members: streaming memory, the detailed listing, download speed",
        "`python3 bench/everyday.py`" + (" --quick" if args.quick else "") + ":",
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
        " socket in 1 MiB blocks into a temporary file beside the target and renames it.",
    ])
    print(section)
    if not args.no_readme:
        print("written to", S.update_readme("everyday", section))


if __name__ == "__main__":
    main()
