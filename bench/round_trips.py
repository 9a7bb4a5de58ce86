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
import functools
import os

import _support as S
import clients

DATA = bytes(range(256)) * 4  # 1 KiB
TASKS = ("read 1 KiB", "write 1 KiB, folder there", "write 1 KiB, folder new")


def contenders(server, config) -> dict:
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
    runs, work = parser.parse_args().runs, S.scratch("dravlen-rt-")
    for folder in ("r", "w"):
        (work / "root" / folder).mkdir(parents=True)
    (work / "root" / "r" / "f").write_bytes(DATA)
    os.environ["DRAVLEN_CONFIG"] = str(config := work / "dravlen.ini")
    config.write_text("")
    server = S.start("everyday", "delayed", work / "root")
    try:
        probe = clients.Bare(server).ftp
        trip = S.median(S.interleaved({"NOOP": lambda: probe.voidcmd("NOOP")}, runs)[0]["NOOP"])
        print(f"one NOOP {trip * 1000:.1f} ms; median of {runs} calls: round trips (commands) per call\n")
        rows = []
        for name, (client, calls) in contenders(server, config).items():
            sent, put, commands = [], client.putcmd, {}
            client.putcmd = lambda line, put=put, sent=sent: (sent.append(line), put(line))[1]

            def counted(call, task, numbers=iter(range(runs * len(TASKS)))):
                before = len(sent)
                call(next(numbers))  # a new file name each call
                commands.setdefault(task, []).append(len(sent) - before)

            wall = S.interleaved({task: functools.partial(counted, call, task) for task, call in zip(TASKS, calls)},
                                 runs)[0]
            rows.append([name, *(f"{S.median(wall[t]) / trip:.1f} ({S.median(commands[t]):g})" for t in TASKS)])
        print(S.markdown_table(["client", *TASKS], rows))
    finally:
        server.stop()
        S.remove(work)


if __name__ == "__main__":
    main()
