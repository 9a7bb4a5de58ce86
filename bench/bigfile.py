"""One big file down over several connections: dravlen's segments beside lftp's pget -n (bench/README.md).

    python3 bench/bigfile.py [--quick] [--mib 256] [--segments 1,4,8] [--rounds 3] [--server vsftpd-link] [--no-readme]
    python3 bench/bigfile.py --resume [--quick] [--mib 256] [--rounds 3] [--no-readme]
    python3 bench/bigfile.py --tls [--quick] [--mib 1024] [--rounds 3] [--no-readme]

The server is vsftpd behind ../shared/wanproxy.py (20 ms round trip, 20 MB/s a connection). Each client
downloads the same file of random bytes (no block repeats, so a segment in the wrong place shows); the
rounds are interleaved (the order reversed every other round); every copy is checked whole (SHA-256)
before the next run. "one connection" is ftplib's RETR, for scale.

--resume: the same link; every client continues a download cut at 90 %: from a partial file holding
exactly the first 90 % (dravlen's `.NAME.dravlen-part`, lftp's and curl's the target itself), and
dravlen once more from where its own cut (a KeyboardInterrupt from its progress callback) left it;
"without resume" starts from zero, for scale. The bytes moved again are what vsftpd's transfer log
says it sent during the continuation.

--tls: vsftpd requiring explicit TLS on loopback (no link: the link cannot read a TLS control
connection); a 1 GiB file down and up with dravlen (`download(segments=1)`, `upload_from`), lftp
and curl, each a process of its own under /usr/bin/time (peak RSS); a 64 MiB file once more, so
that a peak growing with the file shows.
"""

from __future__ import annotations

import datetime
import ftplib
import hashlib
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import _support as S

from dravlen.base import Local
from dravlen.ftp.remote import RemotePath
from dravlen.whole import partial_name


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
    lftp_get(server, f"pget -n {segments}", remote, local)

def lftp_get(server, command: str, remote: str, local: Path) -> None:
    """lftp's *command* (``pget -n 4``, ``get -c``) of *remote* into *local*, plain FTP."""
    script = ("set cmd:fail-exit yes; set ftp:passive-mode on; set ftp:ssl-allow no; set ftp:prefer-epsv no;"
              " set net:max-retries 2; set net:timeout 30;"
              f" open -u {S.servers.USER},{S.servers.PASSWORD} -p {server.port} {server.host};"
              f" {command} '{remote}' -o '{local}'")
    done = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=1800, check=False)
    if done.returncode:
        raise RuntimeError(f"lftp {command}: {done.stderr.decode(errors='replace')[-300:]}")

def ftplib_retr(server, remote: str, local: Path) -> None:
    with ftplib.FTP() as ftp, open(local, "wb") as f:
        ftp.connect(server.host, server.port)
        ftp.login(S.servers.USER, S.servers.PASSWORD)
        ftp.retrbinary(f"RETR {remote}", f.write, blocksize=S.MIB)

def main(argv=None) -> None:
    parser = S.parser(__doc__, "a 64 MiB file, one round")
    parser.add_argument("--mib", type=int, default=None, help="the file's MiB (256; --tls: 1024)")
    parser.add_argument("--segments", type=S.listed(int), default=[1, 4, 8])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--server", default="vsftpd-link")
    parser.add_argument("--resume", action="store_true", help="continuations of a download cut at 90 %%")
    parser.add_argument("--tls", action="store_true", help="1 GiB down and up over TLS: rate and peak RSS")
    args, started = parser.parse_args(argv), time.monotonic()
    if args.tls:
        return tls_main(args, started)
    size, rounds = (64 if args.quick else args.mib or 256) * S.MIB, 1 if args.quick else args.rounds
    if args.resume:
        return resume_main(args, started, size, rounds)
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

# The continuation of a download cut at 90 %

class Cut(KeyboardInterrupt):
    """Raised from dravlen's progress callback: a user's Ctrl-C, which keeps the partial file."""

_LOGGED = re.compile(r"(OK|FAIL) DOWNLOAD: .*?, (\d+) bytes,")

def transfer_log(server) -> Path:
    return next(p for p in server.inner._log_files if p.name == "vsftpd.log")

def sent_since(log: Path, offset: int) -> tuple[int, int]:
    """(downloads logged, bytes they moved) in vsftpd's log after byte *offset*."""
    with open(log, "rb") as f:
        f.seek(offset)
        found = [int(m[2]) for m in _LOGGED.finditer(f.read().decode(errors="replace"))]
    return len(found), sum(found)

def logged(log: Path, offset: int, at_least: int = 1, timeout: float = 10.0) -> tuple[int, int]:
    """`sent_since`, once vsftpd has logged *at_least* downloads (it logs as a transfer ends)."""
    deadline = time.monotonic() + timeout
    while (found := sent_since(log, offset))[0] < at_least and time.monotonic() < deadline:
        time.sleep(0.05)
    return found

def prefix(source: Path, target: Path, count: int) -> None:
    """The first *count* bytes of *source* as *target*, dated now (after the server's file)."""
    with open(source, "rb") as src, open(target, "wb") as dst:
        while count:
            count -= os.copy_file_range(src.fileno(), dst.fileno(), count)

def lftp_get_c(server, remote: str, local: Path) -> None:
    lftp_get(server, "get -c", remote, local)

def curl_c(server, name: str, local: Path) -> None:
    # The session starts in the server's root folder: the name is relative to it.
    url = f"ftp://{S.servers.USER}:{S.servers.PASSWORD}@{server.host}:{server.port}/{name}"
    done = subprocess.run(["curl", "-sS", "--fail", "-C", "-", "-o", str(local), url], capture_output=True,
                          timeout=1800, check=False)
    if done.returncode:
        raise RuntimeError(f"curl -C -: {done.stderr.decode(errors='replace')[-300:]}")

def resume_main(args, started: float, size: int, rounds: int) -> None:
    base = S.scratch("dravlen-bench-bigfile-")
    os.environ["DRAVLEN_CONFIG"] = str(ini := base / "bench.ini")
    server = S.start("bigfile", "vsftpd-link", base / "home")
    cut_at = size * 9 // 10
    try:
        S.log(f"== {server.kind} ({server.host}:{server.port}), {S.fmt_bytes(size)}, cut at {cut_at} bytes")
        source = Path(server.root) / "big.bin"
        want = random_file(source, size)
        S.hand_over(server)
        remote, local = f"{S.top(server)}big.bin", base / "copy.bin"
        part, log = base / partial_name(local.name), transfer_log(server)
        S.servers.make_config(server, ini, name="bigfile")
        cls = S.bound(RemotePath, "bigfile")

        def cut() -> None:
            told = 0

            def progress(n: int) -> None:
                nonlocal told
                told += n
                if told >= cut_at:
                    raise Cut()
            mark = log.stat().st_size
            try:
                cls(remote).download(local, progress, resume=True, segments=1)
            except Cut:
                pass
            else:
                raise RuntimeError("the download was not cut")
            logged(log, mark)  # its end reached vsftpd: the continuation's count starts after it

        sides = {"dravlen, resume=True": lambda: cls(remote).download(local, resume=True, segments=1),
                 "dravlen, resume=True, after its own cut": lambda: cls(remote).download(local, resume=True,
                                                                                        segments=1),
                 "lftp get -c": lambda: lftp_get_c(server, remote, local),
                 "curl -C -": lambda: curl_c(server, "big.bin", local),
                 "dravlen without resume (from 0)": lambda: cls(remote).download(local, segments=1)}
        start: dict[str, list[int]] = {name: [] for name in sides}
        moved: dict[str, list[int]] = {name: [] for name in sides}
        marks: dict[str, int] = {}
        problems: list[str] = []

        def before(name: str) -> None:
            Local.clear()  # every client logs in within its time
            if name.startswith("dravlen, resume=True, after"):
                cut()
                Local.clear()
            elif name.startswith("dravlen, resume"):
                prefix(source, part, cut_at)
            elif not name.startswith("dravlen without"):
                prefix(source, local, cut_at)
            held = part if name.startswith("dravlen") else local
            start[name].append(held.stat().st_size if held.exists() else 0)
            marks[name] = log.stat().st_size

        def after(name: str) -> None:
            moved[name].append(logged(log, marks[name])[1])
            if sha256(local) != want:
                problems.append(f"{name}: the copy differs from the file")
            if part.exists():
                problems.append(f"{name}: {part.name} was left")
            local.unlink()
            S.log(f"  {name}: from byte {start[name][-1]}, {moved[name][-1]} bytes moved")

        wall, _ = S.interleaved(sides, rounds, before=before, after=after)
        Local.clear()
    finally:
        server.stop()
        S.remove(base)
    if problems:
        raise SystemExit("; ".join(problems))
    rows = [[name, ", ".join(sorted({f"{b / size:.2%}" for b in start[name]})), S.fmt_seconds(S.median(times)),
             " / ".join(f"{m / 1e6:.1f}" for m in moved[name]), f"{S.median(moved[name]) / (size - cut_at):.3f}",
             " / ".join(f"{t:.2f}" for t in times)] for name, times in wall.items()]
    head = (f"`python3 bench/bigfile.py --resume{' --quick' if args.quick else ''}`,"
            f" {datetime.date.today().isoformat()}: {S.fmt_bytes(size)} from {server.kind} ({S.LINK_RTT_MS} ms round"
            f" trip, {S.LINK_RATE / 1e6:g} MB/s a connection), cut at {cut_at} bytes (90 %); medians of {rounds}"
            f" interleaved round(s), login included, every copy checked whole; bytes moved: what vsftpd logged"
            f" sending during the continuation (ideal: {(size - cut_at) / 1e6:.1f} MB);"
            f" {time.monotonic() - started:.0f} s in all.")
    table = S.markdown_table(["client", "starts from", "continuation (median)", "MB moved again",
                              "moved / ideal", "runs (s)"], rows)
    S.publish(args, "bigfile-resume", f"{head}\n\n{table}")

# 1 GiB over TLS on loopback: throughput and peak memory, each client a process of its own

#: dravlen's side, run with `python -c`: only dravlen is imported (not the bench's servers, nor pytest).
DRAVLEN_CHILD = """
import json, sys, time
from dravlen.base import bound_class
from dravlen.ftp.remote import RemotePath
def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))
what, section, remote, local = sys.argv[1:5]
before, start = rss(), time.perf_counter()
path = bound_class(RemotePath, section)(remote)
if what == "download":
    path.download(local, segments=1)
else:
    path.upload_from(local)
print(json.dumps({"seconds": time.perf_counter() - start, "before": before}))
"""

def timed(argv: list[str], out: Path) -> dict:
    """Run *argv* under /usr/bin/time: its peak RSS (bytes), and the JSON it printed last, if any."""
    done = subprocess.run(["/usr/bin/time", "-o", str(out), "-f", "%M", *argv], capture_output=True, text=True,
                          timeout=1800, check=False)
    if done.returncode:
        raise RuntimeError(f"{argv[0]}: {(done.stderr or done.stdout)[-400:]}")
    lines = done.stdout.strip().splitlines()
    return {"peak": int(out.read_text().split()[-1]) * 1024, **(json.loads(lines[-1]) if lines else {})}

def tls_clients(server, ca: Path, section: str, out: Path) -> dict:
    """{(client, "download" | "upload"): run(remote name, local path) -> what `timed` found}."""
    lftp_set = ("set cmd:fail-exit yes; set ftp:passive-mode on; set ftp:ssl-force true;"
                f" set ftp:ssl-protect-data true; set ssl:ca-file '{ca}'; set net:max-retries 2; set net:timeout 30;"
                f" open -u {S.servers.USER},{S.servers.PASSWORD} -p {server.port} {server.host};")
    url = f"ftp://{S.servers.USER}:{S.servers.PASSWORD}@{server.host}:{server.port}/"
    curl = ["curl", "-sS", "--fail", "--ssl-reqd", "--cacert", str(ca)]
    dravlen = [sys.executable, "-c", DRAVLEN_CHILD]
    top = S.top(server)
    return {
        ("dravlen", "download"): lambda name, local: timed([*dravlen, "download", section, top + name, str(local)], out),
        ("lftp", "download"): lambda name, local: timed(["lftp", "-c", f"{lftp_set} get '{top}{name}' -o '{local}'"],
                                                        out),
        ("curl", "download"): lambda name, local: timed([*curl, "-o", str(local), url + name], out),
        ("dravlen", "upload"): lambda name, local: timed([*dravlen, "upload", section, top + name, str(local)], out),
        ("lftp", "upload"): lambda name, local: timed(["lftp", "-c", f"{lftp_set} put '{local}' -o '{top}{name}'"],
                                                      out),
        ("curl", "upload"): lambda name, local: timed([*curl, "-T", str(local), url + name], out),
    }

def tls_main(args, started: float) -> None:
    size, rounds = (256 if args.quick else args.mib or 1024) * S.MIB, 1 if args.quick else args.rounds
    small = 64 * S.MIB
    base = S.scratch("dravlen-bench-bigfile-")
    os.environ["DRAVLEN_CONFIG"] = str(ini := base / "bench.ini")
    certs = S.servers.make_certs(base / "certs", hosts=(S.address("bigfile", "vsftpd"),))
    server = S.start("bigfile", "vsftpd", base / "home", certs=certs)
    try:
        S.log(f"== {server.kind} with TLS ({server.host}:{server.port}), {S.fmt_bytes(size)}")
        root = Path(server.root)
        hashes = {name: random_file(root / name, n) for name, n in (("big.bin", size), ("small.bin", small))}
        for name in hashes:
            os.link(root / name, base / name)  # the upload's source: the same bytes
        S.hand_over(server)
        S.servers.make_config(server, ini, name="bigfile-tls")
        clients = tls_clients(server, certs.ca, "bigfile-tls", base / "time.txt")
        found: dict = {key: [] for key in clients}
        problems: list[str] = []

        small_found: dict = {}

        def copy_of(key, name: str) -> Path:
            client, what = key
            return base / "copy.bin" if what == "download" else root / f"up-{client}.bin"

        def run(key, name: str) -> None:  # the client alone: its copy is checked after, untimed
            what = key[1]
            got = clients[key](name if what == "download" else copy_of(key, name).name,
                               base / ("copy.bin" if what == "download" else name))
            if name == "big.bin":
                found[key].append(got)
            else:
                small_found[key] = got

        def check(key, name: str) -> None:
            copy = copy_of(key, name)
            if sha256(copy) != hashes[name]:
                problems.append(f"{key[0]} {key[1]} {name}: the copy differs from the file")
            copy.unlink()

        for key in clients:  # the 64 MiB file once, for the peak memory only (and a warm start)
            run(key, "small.bin")
            check(key, "small.bin")
        sides = {f"{c} {w}": (lambda key=(c, w): run(key, "big.bin")) for c, w in clients}

        def after(name: str) -> None:
            check(tuple(name.split(" ")), "big.bin")
            S.log(f"  {name}: done")

        wall, _ = S.interleaved(sides, rounds, after=after)
        with server.connect() as ftp:
            cipher = ftp.sock.cipher()  # what the server chose, as it did for every client (told in the table)
    finally:
        server.stop()
        S.remove(base)
    if problems:
        raise SystemExit("; ".join(problems))
    rows = []
    for what in ("download", "upload"):
        best = min(S.median(wall[f"{c} {what}"]) for c, w in clients if w == what)
        for client, w in clients:
            if w != what:
                continue
            times, runs = wall[f"{client} {what}"], found[(client, what)]
            call = S.median([r["seconds"] for r in runs]) if "seconds" in runs[0] else None
            inside = "-" if call is None else f"{size / call / 1e6:.1f} MB/s ({call / best:.2f}x)"
            rows.append([what, client, S.fmt_seconds(S.median(times)), f"{size / S.median(times) / 1e6:.1f} MB/s",
                         f"{S.median(times) / best:.2f}x", inside,
                         S.fmt_bytes(S.median([r["peak"] for r in runs])), S.fmt_bytes(small_found[(client, w)]["peak"]),
                         S.fmt_bytes(runs[0]["before"]) if "before" in runs[0] else "-",
                         " / ".join(f"{t:.2f}" for t in times)])
    head = (f"`python3 bench/bigfile.py --tls{' --quick' if args.quick else ''}`,"
            f" {datetime.date.today().isoformat()}: {S.fmt_bytes(size)} down and up, vsftpd requiring explicit TLS on"
            f" loopback (no link; {cipher[1]}, {cipher[0]}), each client a process of its own timed from its"
            f" start (login included; dravlen's also within its call: login and transfer, without the"
            f" interpreter's start and imports); medians of {rounds} interleaved round(s), every copy checked"
            f" whole; peak RSS from /usr/bin/time; {time.monotonic() - started:.0f} s in all.")
    table = S.markdown_table(["task", "client", "median", "rate", "over the fastest",
                              "within the call (over the fastest)",
                              f"peak RSS, {S.fmt_bytes(size)}", f"peak RSS, {S.fmt_bytes(small)}",
                              "RSS before the call", "runs (s)"], rows)
    S.publish(args, "bigfile-tls", f"{head}\n\n{table}")

if __name__ == "__main__":
    main()
