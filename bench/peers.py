"""FTPPath's members beside fsspec and ftputil on the same loopback servers, as a table of tasks timed
and then counted through a proxy (bench/README.md).

    python3 bench/peers.py [--quick] [--servers pyftpdlib,vsftpd] [--no-readme]
"""

from __future__ import annotations

import datetime
import os
import sys
import time
from pathlib import Path

import _support as S
from clients import Fsspec, Ftputil, Ours

KIB, MIB = S.KIB, S.MIB
LISTED = 1000
PEERS = ("FTPPath", "fsspec", "ftputil")
# full, quick; trees: trees.py; threads reading at once: everyday.py --concurrent
ROUNDS = {"small": (60, 8), "big": (15, 3), "list": (25, 4)}

def member_tasks(server, rounds: dict) -> list[S.Task]:
    """The members' scenario, on files made on disk in the server's folder first."""
    disk, data = Path(server.root) / "bench", {"1k": os.urandom(KIB), "10m": os.urandom(10 * MIB)}
    for folder in ("small/folder", "write", "listed"):
        (disk / folder).mkdir(parents=True, exist_ok=True)
    (disk / "small" / "r1k.bin").write_bytes(data["1k"])
    (disk / "small" / "r10m.bin").write_bytes(data["10m"])
    for i in range(LISTED):
        (disk / "listed" / f"entry-{i:04d}.txt").write_bytes(b"x")

    def r(rel):
        return f"{S.top(server)}bench/{rel}"

    def gives(value):
        return lambda got: None if got == value else "read other bytes" if isinstance(value, bytes) else f"gave {got!r}"

    def on_disk(rel, content):
        return lambda _: None if (disk / rel).read_bytes() == content else "wrote other bytes"

    def listed(got):
        names = sorted(os.path.basename(str(n)) for n in got)
        return None if len(names) == LISTED and names[0] == "entry-0000.txt" else f"listed {len(names)} entries"

    def task(name, key, run, check=lambda _: None):
        return S.Task(name, rounds[key], run, check, warm=True)

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
        task(f"list {LISTED:,} entries", "list", lambda p: p.listdir(r("listed")), listed)]

def main(argv=None):
    from importlib.metadata import version

    from dravlen.ftp.path import FTPPath, __file__ as native

    parser = S.parser(__doc__, "fewer rounds")
    parser.add_argument("--servers", default="pyftpdlib,vsftpd,proftpd,pureftpd")
    args, started = parser.parse_args(argv), time.monotonic()
    rounds = {key: pair[args.quick] for key, pair in ROUNDS.items()}
    versions = (f"dravlen.ftp.path from {native}; fsspec {version('fsspec')}, ftputil {version('ftputil')}; "
                f"Python {sys.version.split()[0]}, {os.cpu_count()} cores")
    print(versions)
    results, notes = S.compare(
        "peers", args.servers.split(","),
        lambda server, port, section: [Ours(S.bound(FTPPath, section)), Fsspec(server, port), Ftputil(server, port)],
        lambda server, base, done: [("", member_tasks(server, rounds))])
    notes += [f"{kind}: fsspec's modification time is the text of LIST's date column ({text!r}: no year, no"
              " seconds), as the server has no MLSD" for kind, text in Fsspec.text_mtimes.items()]
    sections = [f"#### {kind}\n\n" + S.table(
        ["task", *PEERS, "commands (FTPPath / fsspec / ftputil)", "logins (FTPPath / fsspec / ftputil)"], PEERS,
        [((task,), by, [" / ".join(str(n[i]) if (n := S.counts(counted, task, c)) else "-" for c in PEERS)
                        for i in (0, 1)]) for task, by in done[""].items()]) for kind, (done, counted) in results.items()]
    S.publish(args, "peers", f"`python3 bench/peers.py{' --quick' if args.quick else ''}`, "
              f"{datetime.date.today().isoformat()}: {versions}; {time.monotonic() - started:.0f} s in all.\n\n"
              + "\n\n".join(sections) + "".join(("\n\n- " if i == 0 else "\n- ") + n for i, n in enumerate(notes)))

if __name__ == "__main__":
    main()
