"""Round trips per everyday call, against a server that holds every reply back.

    pip install fsspec
    python3 bench/round_trips.py [--delay 0.01] [--runs 15]

On tests/delayserver.py (pyftpdlib, each reply sent *delay* seconds late):
read 1 KiB, write 1 KiB into an existing folder, and into a missing one,
with `RemotePath`'s pathlib names and ``open()``, the core's ``read()`` and
``write()``, bare ftplib and fsspec's FTP.  A call's round trips are its
median time over the median time of one ``NOOP``; its commands are counted
on the client's ``putcmd``.  Clients are logged in before the clock runs.
"""

from __future__ import annotations

import argparse
import ftplib
import io
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import delayserver  # noqa: E402
import servers  # noqa: E402

DATA = bytes(range(256)) * 4  # 1 KiB


def counted(client: ftplib.FTP) -> list[str]:
    """The command lines *client* sends from now on."""
    sent: list[str] = []
    put = client.putcmd

    def putcmd(line: str) -> None:
        sent.append(line)
        put(line)

    client.putcmd = putcmd  # type: ignore[method-assign]
    return sent


def clients(server: servers.Server, config: Path):
    """name -> (client whose commands are counted, {task: call(i)})."""
    from dravlen.ftp.remote import RemotePath

    servers.make_config(server, config, name="delayed")
    path = type("Delayed", (RemotePath,), {"_section": ("delayed",)})
    out = {}

    def mine(name, tag, read, write):
        out[name] = (path("r").client, {
            "read 1 KiB": lambda i: read(path("r/f")),
            "write 1 KiB, folder there": lambda i: write(path(f"w/{tag}-{i}"), DATA),
            "write 1 KiB, folder new": lambda i: write(path(f"{tag}-{i}/f"), DATA),
        })

    def read_open(p):
        with p.open("rb") as f:
            return f.read()

    def write_open(p, data):
        with p.open("wb") as f:
            f.write(data)

    mine("RemotePath read_bytes()/write_bytes()", "p", lambda p: p.read_bytes(), lambda p, d: p.write_bytes(d))
    mine("RemotePath open()", "o", read_open, write_open)
    mine("core read()/write()", "c", lambda p: p.read(), lambda p, d: p.write(d))

    bare = server.connect()
    bare.voidcmd("TYPE I")

    def bare_new(i):
        bare.mkd(f"b-{i}")
        bare.storbinary(f"STOR b-{i}/f", io.BytesIO(DATA))

    out["bare ftplib"] = (bare, {
        "read 1 KiB": lambda i: bare.retrbinary("RETR r/f", lambda b: None),
        "write 1 KiB, folder there": lambda i: bare.storbinary(f"STOR w/b-{i}", io.BytesIO(DATA)),
        "write 1 KiB, folder new": bare_new,
    })
    try:
        import fsspec
    except ImportError:
        return out
    fs = fsspec.filesystem("ftp", host=server.host, port=server.port, username=server.user,
                           password=server.password, skip_instance_cache=True)
    home = fs.ftp.pwd().rstrip("/")

    def fs_new(i):
        fs.makedirs(f"{home}/s-{i}", exist_ok=True)
        fs.pipe_file(f"{home}/s-{i}/f", DATA)

    out["fsspec"] = (fs.ftp, {
        "read 1 KiB": lambda i: fs.cat_file(f"{home}/r/f"),
        "write 1 KiB, folder there": lambda i: fs.pipe_file(f"{home}/w/s-{i}", DATA),
        "write 1 KiB, folder new": fs_new,
    })
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=0.01)
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="dravlen-rt-"))
    (work / "root" / "r").mkdir(parents=True)
    (work / "root" / "w").mkdir()
    (work / "root" / "r" / "f").write_bytes(DATA)
    config = work / "dravlen.ini"
    config.write_text("")
    os.environ["DRAVLEN_CONFIG"] = str(config)
    server = delayserver.start(work / "root", delay=args.delay)
    try:
        probe = server.connect()
        noops = []
        for _ in range(args.runs):
            start = time.perf_counter()
            probe.voidcmd("NOOP")
            noops.append(time.perf_counter() - start)
        trip = statistics.median(noops)
        table = clients(server, config)
        tasks = list(next(iter(table.values()))[1])
        print(f"delay {args.delay * 1000:.1f} ms, one NOOP {trip * 1000:.1f} ms, median of {args.runs} calls;"
              " round trips (commands) per call\n")
        print("| client | " + " | ".join(tasks) + " |")
        print("|---|" + "---|" * len(tasks))
        for name, (client, calls) in table.items():
            sent = counted(client)
            cells = []
            for task, call in calls.items():
                times, commands = [], []
                for i in range(args.runs):
                    before = len(sent)
                    start = time.perf_counter()
                    call(i)
                    times.append(time.perf_counter() - start)
                    commands.append(len(sent) - before)
                cells.append(f"{statistics.median(times) / trip:.1f} ({statistics.median(commands):g})")
            print(f"| {name} | " + " | ".join(cells) + " |")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
