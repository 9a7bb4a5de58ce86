"""dravlen's fsspec filesystem beside fsspec's own FTP, on pyftpdlib in its own process: pandas over
100 files of 1 MiB, a sequential read, 200 random 4 KiB ranges, find over 1,000 entries, put and get of
300 files.  Each task once, in that order; its time, and the peak RSS growth of the sequential read.

    python3 bench/pydata.py [--big MIB]
"""

import argparse
import os
import random
import resource

import _support as S
from clients import Filesystem, Fsspec


def fill(root, local, big_mib: int) -> None:
    """The server's files (CSV, one big file, a tree of 10 x 99) and 300 local files to put."""
    row = "x" * 40
    (root / "csv").mkdir()
    for i in range(100):
        (root / "csv" / f"f{i}.csv").write_text("n,s\n" + "".join(f"{j},{row}\n" for j in range(22_000)))
    with open(root / "big.bin", "wb") as f:
        for _ in range(big_mib):
            f.write(os.urandom(S.MIB))
    for d in range(10):
        (root / "tree" / f"d{d}").mkdir(parents=True)
        for n in range(99):
            (root / "tree" / f"d{d}" / f"f{n}").write_bytes(b"x")
    local.mkdir()
    for i in range(300):
        (local / f"g{i}").write_bytes(b"y" * S.KIB)


def tasks(base, big_mib: int, grew: dict) -> list[S.Task]:
    import pandas as pd

    offsets = [random.Random(1).randrange(0, (big_mib << 20) - 4096) for _ in range(200)]

    def sequential(c):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        with c.fs.open(f"{c.top}big.bin", block_size=S.MIB) as f:
            while f.read(S.MIB):
                pass
        grew[c.name] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before

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


def main(big_mib: int) -> None:
    base, grew = S.scratch("dravlen-pydata-"), {}
    server = S.start("pydata", "pyftpdlib", base / "home")
    try:
        fill(server.root, base / "local", big_mib)
        clients = [Filesystem(server), Fsspec(server)]
        results = S.run_tasks(tasks(base, big_mib, grew), clients, print)
        for client in clients:
            client.close()
    finally:
        server.stop()
        S.remove(base)
    rows = [[name, *(S.cell(by[c.name], S.fastest(by)) + (f" (+{grew[c.name] // 1024} MiB RSS)"
                                                          if "sequential" in name and c.name in grew else "")
                     for c in clients)] for name, by in results.items()]
    print(S.markdown_table(["task (pyftpdlib, loopback)", "dravlen", "fsspec FTP"], rows))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--big", type=int, default=1024, help="MiB of the sequential read (default 1024)")
    main(parser.parse_args().big)
