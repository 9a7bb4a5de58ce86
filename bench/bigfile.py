"""One big file down over several connections: dravlen's segments beside lftp's pget -n (bench/README.md).

    python3 bench/bigfile.py [--quick] [--mib 256] [--segments 1,4,8] [--rounds 3] [--server vsftpd-link] [--no-readme]

The server is vsftpd behind ../shared/wanproxy.py (20 ms round trip, 20 MB/s a connection). Each client
downloads the same file of random bytes (no block repeats, so a segment in the wrong place shows); the
rounds are interleaved (the order reversed every other round); every copy is checked whole (SHA-256)
before the next run. "one connection" is ftplib's RETR, for scale.
"""

from __future__ import annotations

import datetime
import ftplib
import hashlib
import os
import subprocess
import time
from pathlib import Path

import _support as S

from dravlen.base import Local
from dravlen.ftp.remote import RemotePath


def random_file(path: Path, size: int) -> str:
    """*size* random bytes at *path* (each MiB its own); their SHA-256."""
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(size // S.MIB):
            block = os.urandom(S.MIB)
            digest.update(block)
            f.write(block)
    return digest.hexdigest()

def sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(S.MIB):
            digest.update(block)
    return digest.hexdigest()

def lftp(server, remote: str, local: Path, segments: int) -> None:
    script = ("set cmd:fail-exit yes; set ftp:passive-mode on; set ftp:ssl-allow no; set ftp:prefer-epsv no;"
              " set net:max-retries 2; set net:timeout 30;"
              f" open -u {S.servers.USER},{S.servers.PASSWORD} -p {server.port} {server.host};"
              f" pget -n {segments} '{remote}' -o '{local}'")
    done = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=1800, check=False)
    if done.returncode:
        raise RuntimeError(f"lftp pget -n {segments}: {done.stderr.decode(errors='replace')[-300:]}")

def ftplib_retr(server, remote: str, local: Path) -> None:
    with ftplib.FTP() as ftp, open(local, "wb") as f:
        ftp.connect(server.host, server.port)
        ftp.login(S.servers.USER, S.servers.PASSWORD)
        ftp.retrbinary(f"RETR {remote}", f.write, blocksize=S.MIB)

def main(argv=None) -> None:
    parser = S.parser(__doc__, "a 64 MiB file, one round")
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--segments", type=S.listed(int), default=[1, 4, 8])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--server", default="vsftpd-link")
    args, started = parser.parse_args(argv), time.monotonic()
    size, rounds = (64 if args.quick else args.mib) * S.MIB, 1 if args.quick else args.rounds
    base = S.scratch("dravlen-bench-bigfile-")
    os.environ["DRAVLEN_CONFIG"] = str(ini := base / "bench.ini")
    server = S.start("bigfile", args.server, base / "home")
    try:
        S.log(f"== {server.kind} ({server.host}:{server.port}), {S.fmt_bytes(size)}")
        want = random_file(Path(server.root) / "big.bin", size)
        S.hand_over(server)
        remote, local = f"{S.top(server)}big.bin", base / "copy.bin"
        S.servers.make_config(server, ini, name="bigfile")
        cls = S.bound(RemotePath, "bigfile")
        assert cls("/").client is not None  # logged in before, as ftplib and lftp are not
        sides = {f"dravlen --segments {n}": (lambda n=n: cls(remote).download(local, segments=n))
                 for n in args.segments}
        sides |= {f"lftp pget -n {n}": (lambda n=n: lftp(server, remote, local, n)) for n in args.segments}
        sides["one connection (ftplib RETR)"] = lambda: ftplib_retr(server, remote, local)
        problems: list[str] = []

        def check(name: str) -> None:
            if sha256(local) != want:
                problems.append(f"{name}: the copy differs from the file")
            local.unlink()
            S.log(f"  {name}: done")

        wall, _ = S.interleaved(sides, rounds, after=check)
        Local.clear()
    finally:
        server.stop()
        S.remove(base)
    if problems:
        raise SystemExit("; ".join(problems))
    floor = S.median(wall["one connection (ftplib RETR)"])
    rows = [[name, S.fmt_seconds(S.median(times)), f"{size / S.median(times) / 1e6:.1f} MB/s",
             f"{floor / S.median(times):.2f}x", " / ".join(f"{t:.2f}" for t in times)] for name, times in wall.items()]
    head = (f"`python3 bench/bigfile.py{' --quick' if args.quick else ''}`, {datetime.date.today().isoformat()}:"
            f" {S.fmt_bytes(size)} from {server.kind} ({S.LINK_RTT_MS} ms round trip, {S.LINK_RATE / 1e6:g} MB/s a"
            f" connection), medians of {rounds} interleaved round(s), every copy checked whole;"
            f" {time.monotonic() - started:.0f} s in all.")
    table = S.markdown_table(["client", "median", "rate", "speed-up over one connection", "runs (s)"], rows)
    S.publish(args, "bigfile", f"{head}\n\n{table}")

if __name__ == "__main__":
    main()
