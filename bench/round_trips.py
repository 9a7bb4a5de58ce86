"""Round trips per everyday call, on the server that holds every reply back 20 ms.

    python3 bench/round_trips.py [--runs 15]     # fsspec, if installed, too

Read 1 KiB, write 1 KiB into an existing folder and into a missing one, with
RemotePath's pathlib names and ``open()``, the core's ``read()``/``write()``,
bare ftplib (which knows the folder is missing) and fsspec.  A call's round
trips are its median time over that of one ``NOOP``; its commands are counted
on the client's ``putcmd``.  Every client is logged in before the clock runs.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path

import _support as S
import clients

DATA = bytes(range(256)) * 4  # 1 KiB
TASKS = ("read 1 KiB", "write 1 KiB, folder there", "write 1 KiB, folder new")


def contenders(server, config: Path) -> dict:
    """name -> (its ftplib client, one call per task taking the run's number)."""
    from dravlen.ftp.remote import RemotePath

    S.servers.make_config(server, config, name="delayed")
    path = S.bound(RemotePath, "delayed")

    def opened(p, data=None):
        with p.open("wb" if data else "rb") as f:
            return f.write(data) if data else f.read()

    ours = {"RemotePath read_bytes()/write_bytes()": (lambda p: p.read_bytes(), lambda p, d: p.write_bytes(d)),
            "RemotePath open()": (opened, opened),
            "core read()/write()": (lambda p: p.read(), lambda p, d: p.write(d))}
    table = {name: (path("/").client, (lambda i, read=read: read(path("/r/f")),
                                        lambda i, write=write, t=t: write(path(f"/w/{t}{i}"), DATA),
                                        lambda i, write=write, t=t: write(path(f"/{t}{i}/f"), DATA)))
             for t, (name, (read, write)) in enumerate(ours.items())}
    bare = clients.Bare(server)
    table["bare ftplib"] = (bare.ftp, (lambda i: bare.read("/r/f"), lambda i: bare.write(f"/w/b{i}", DATA),
                                       lambda i: (bare.ftp.mkd(f"/b{i}"), bare.write(f"/b{i}/f", DATA))))
    try:
        fs = clients.Fsspec(server).fs
    except ImportError:
        return table
    table["fsspec"] = (fs.ftp, (lambda i: fs.cat_file("/r/f"), lambda i: fs.pipe_file(f"/w/s{i}", DATA),
                                lambda i: (fs.makedirs(f"/s{i}", exist_ok=True), fs.pipe_file(f"/s{i}/f", DATA))))
    return table


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15)
    runs = parser.parse_args().runs
    work = Path(tempfile.mkdtemp(prefix="dravlen-rt-"))
    for folder in ("r", "w"):
        (work / "root" / folder).mkdir(parents=True)
    (work / "root" / "r" / "f").write_bytes(DATA)
    os.environ["DRAVLEN_CONFIG"] = str(config := work / "dravlen.ini")
    config.write_text("")
    server = S.start("everyday", "delayed", work / "root")
    try:
        probe, noops = clients.Bare(server).ftp, []
        for _ in range(runs):
            start = time.perf_counter()
            probe.voidcmd("NOOP")
            noops.append(time.perf_counter() - start)
        trip = statistics.median(noops)
        print(f"one NOOP {trip * 1000:.1f} ms; median of {runs} calls: round trips (commands) per call\n")
        print("| client | " + " | ".join(TASKS) + " |\n|---|" + "---|" * len(TASKS))
        for name, (client, calls) in contenders(server, config).items():
            sent, put = [], client.putcmd
            client.putcmd = lambda line, put=put, sent=sent: (sent.append(line), put(line))[1]
            cells = []
            for call in calls:
                times, commands = [], []
                for i in range(runs):
                    before, start = len(sent), time.perf_counter()
                    call(i)
                    times.append(time.perf_counter() - start)
                    commands.append(len(sent) - before)
                cells.append(f"{statistics.median(times) / trip:.1f} ({statistics.median(commands):g})")
            print(f"| {name} | " + " | ".join(cells) + " |")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
