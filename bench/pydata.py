"""dravlen's fsspec filesystem beside fsspec's own FTP, on pyftpdlib in its own process:
pandas over 100 files of 1 MiB, a sequential read, 200 random 4 KiB ranges, put and get of 300
files, find over 1,000 entries.  Seconds, and the peak RSS growth of the sequential read.

    python3 bench/pydata.py [--big MIB]
"""

import argparse, os, random, resource, sys, tempfile, time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import servers  # noqa: E402
import pandas as pd  # noqa: E402
from fsspec.implementations.ftp import FTPFileSystem as Theirs  # noqa: E402
from dravlen.ftp.filesystem import FTPFileSystem as Ours  # noqa: E402


def main(big_mib: int) -> None:
    base = Path(tempfile.mkdtemp(prefix="dravlen-pydata-")); os.chmod(base, 0o755)
    srv = servers.start("pyftpdlib", base / "home")
    root = srv.root
    for folder in ("csv", "tree", "local"):
        (root / folder if folder != "local" else base / folder).mkdir()
    row = "x" * 40
    for i in range(100):
        (root / "csv" / f"f{i}.csv").write_text("n,s\n" + "".join(f"{j},{row}\n" for j in range(22_000)))
    with open(root / "big.bin", "wb") as f:
        for _ in range(big_mib):
            f.write(os.urandom(1 << 20))
    for d in range(10):
        (root / "tree" / f"d{d}").mkdir()
        for n in range(99):
            (root / "tree" / f"d{d}" / f"f{n}").write_bytes(b"x")
    for i in range(300):
        (base / "local" / f"g{i}").write_bytes(b"y" * 1024)
    clients = {"dravlen": (Ours(host=srv.host, port=srv.port, user=srv.user, password=srv.password), ""),
               "fsspec FTP": (Theirs(srv.host, port=srv.port, username=srv.user, password=srv.password), "/")}
    offsets = [random.Random(1).randrange(0, (big_mib << 20) - 4096) for _ in range(200)]

    def sequential(fs, p):
        with fs.open(f"{p}big.bin", block_size=1 << 20) as f:
            while f.read(1 << 20):
                pass

    tasks = [("pandas read_csv, 100 files of 1 MiB", lambda fs, p: [pd.read_csv(fs.open(f"{p}csv/f{i}.csv")) for i in range(100)]),
             (f"sequential read of {big_mib} MiB", sequential),
             ("200 random 4 KiB ranges (cat_file)", lambda fs, p: [fs.cat_file(f"{p}big.bin", o, o + 4096) for o in offsets]),
             ("find over 1,000 entries", lambda fs, p: fs.find(f"{p}tree")),
             ("put of 300 files of 1 KiB", lambda fs, p: fs.put(str(base / "local") + "/", f"{p}up-{id(fs)}", recursive=True)),
             ("get of 300 files", lambda fs, p: fs.get(f"{p}up-{id(fs)}/", str(base / f"got-{id(fs)}") + "/", recursive=True))]
    print("| task (pyftpdlib, loopback) | " + " | ".join(clients) + " |\n|---|---|---|")
    for name, task in tasks:
        cells = []
        for fs, prefix in clients.values():
            before, start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, time.perf_counter()
            try:
                task(fs, prefix)
                grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
                cells.append(f"{time.perf_counter() - start:.2f} s" + (f" (+{grew // 1024} MiB RSS)" if "sequential" in name else ""))
            except Exception as exc:
                cells.append(f"failed: {type(exc).__name__}")
        print(f"| {name} | " + " | ".join(cells) + " |", flush=True)
    srv.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--big", type=int, default=1024, help="MiB of the sequential read (default 1024)")
    main(parser.parse_args().big)
