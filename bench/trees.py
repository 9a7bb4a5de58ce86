"""Whole trees up, down and away: dravlen's tree operations beside lftp's
mirror, fsspec, ftputil and the core's own FTPPath.upload/delete.

    apt-get install lftp; pip install fsspec ftputil
    python3 bench/trees.py             # about 10 minutes
    python3 bench/trees.py --quick     # small trees, a minute

Each server of the test matrix (pyftpdlib in its own process, vsftpd,
ProFTPD, Pure-FTPd) and pyftpdlib with 20 ms on every reply (`delayserver`)
gets the same trees of 1 KiB files: one folder of 300 and one of 3,000 (so
that the time per file of the two shows whether the work grows linearly) and
10 folders of 300.  Every client uploads its own copy, downloads it, and
removes it; each step is timed once per round, the clients taking turns in an
order that rotates.  dravlen and lftp use the same number of connections
(``-j``, default 4); fsspec and ftputil use one, as they do; the core's
FTPPath.upload/delete is quadratic in a folder's size and runs on the
smallest tree only.  An untimed pass through a counting proxy then counts the
commands each client sends per file.

The results go into ``bench/README.md`` between its ``trees`` markers.
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402

import delayserver  # noqa: E402  (tests/, put on the path by _support)
from peers import CountingProxy  # noqa: E402

ADDRESSES = {"pyftpdlib": "127.0.0.80", "vsftpd": "127.0.0.81", "proftpd": "127.0.0.82",
             "pureftpd": "127.0.0.83", "delayed": "127.0.0.84"}
KIB = 1024
CLIENTS = ("dravlen", "lftp", "fsspec", "ftputil", "FTPPath")
TASKS = ("upload", "download", "remove")
# A client whose smallest flat tree took longer than this (seconds) does not
# get the big flat tree on a loopback server.
SKIP_AFTER = 3.0


def workloads(kind: str, quick: bool) -> dict[str, tuple[int, int]]:
    """name -> (folders, files in each); a name with 'flat' is one folder."""
    if quick:
        return {"flat 30": (1, 30), "flat 300": (1, 300), "3 x 30": (3, 30)}
    if kind == "delayed":  # 60 to 100 ms a file on one connection: smaller trees
        return {"flat 100": (1, 100), "flat 300": (1, 300), "3 x 100": (3, 100)}
    return {"flat 300": (1, 300), "flat 3000": (1, 3000), "10 x 300": (10, 300)}


def core_sizes(kind: str, quick: bool) -> set[str]:
    """The trees the core's upload/delete gets (its cost grows with the square of a folder)."""
    if quick:
        return {"flat 30"}
    return {"flat 100"} if kind == "delayed" else {"flat 300"}


def make_local(root: Path, folders: int, files: int) -> Path:
    if root.exists():
        return root
    for d in range(folders):
        folder = root if folders == 1 else root / f"d{d:02}"
        folder.mkdir(parents=True, exist_ok=True)
        for f in range(files):
            (folder / f"f{f:04}.bin").write_bytes(os.urandom(KIB))
    return root


# --------------------------------------------------------------------------
# the clients


class Dravlen:
    name = "dravlen"

    def __init__(self, cls, jobs):
        from dravlen.ftp import tree

        self.tree, self.cls, self.jobs = tree, cls, jobs
        cls("/").client  # logged in before, as fsspec and ftputil are by their constructors

    def upload(self, local, remote):
        self.tree.upload_tree(local, self.cls(remote), connections=self.jobs)

    def download(self, remote, local):
        self.tree.download_tree(self.cls(remote), local, connections=self.jobs)

    def remove(self, remote):
        self.tree.remove_tree(self.cls(remote), connections=self.jobs)

    def close(self):
        from dravlen.base import Local

        Local.clear()


class Core:
    name = "FTPPath"
    download = None  # the core has no tree download

    def __init__(self, cls):
        self.cls = cls
        cls("/").client

    def upload(self, local, remote):
        self.cls(remote).upload(str(local))

    def remove(self, remote):
        self.cls(remote).delete()

    def close(self):
        from dravlen.base import Local

        Local.clear()


class Fsspec:
    name = "fsspec"

    def __init__(self, host, port):
        from fsspec.implementations.ftp import FTPFileSystem

        self.fs = FTPFileSystem(host=host, port=port, username=S.servers.USER,
                                password=S.servers.PASSWORD, timeout=30, skip_instance_cache=True)

    def upload(self, local, remote):
        self.fs.invalidate_cache()
        self.fs.put(str(local), remote, recursive=True)

    def download(self, remote, local):
        self.fs.invalidate_cache()
        self.fs.get(remote, str(local), recursive=True)

    def remove(self, remote):
        self.fs.invalidate_cache()
        self.fs.rm(remote, recursive=True)

    def close(self):
        try:
            self.fs.ftp.close()
        except Exception:
            pass


class Ftputil:
    name = "ftputil"

    def __init__(self, host, port):
        import ftputil
        import ftputil.session

        factory = ftputil.session.session_factory(port=port, use_passive_mode=True, encoding="utf-8")
        self.host = ftputil.FTPHost(host, S.servers.USER, S.servers.PASSWORD, session_factory=factory)

    def upload(self, local, remote):
        self.host.stat_cache.clear()
        S.ftputil_upload_tree(self.host, local, remote)

    def download(self, remote, local):
        host = self.host
        host.stat_cache.clear()
        for folder, _dirs, files in host.walk(remote):
            rel = os.path.relpath(folder, remote)
            target = Path(local) / rel
            target.mkdir(parents=True, exist_ok=True)
            for name in files:
                host.download(f"{folder}/{name}", str(target / name))

    def remove(self, remote):
        self.host.stat_cache.clear()
        self.host.rmtree(remote)

    def close(self):
        try:
            self.host.close()
        except Exception:
            pass


class Lftp:
    name = "lftp"

    def __init__(self, host, port, jobs):
        self.host, self.port, self.jobs = host, port, jobs

    def _run(self, command):
        script = ("set cmd:fail-exit yes; set ftp:passive-mode on; set ftp:ssl-allow no;"
                  " set ftp:prefer-epsv no; set net:max-retries 2; set net:timeout 30;"
                  f" set cmd:parallel {self.jobs};"
                  f" open -u {S.servers.USER},{S.servers.PASSWORD} -p {self.port} {self.host};"
                  f" {command}")
        done = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=1800)
        if done.returncode:
            raise RuntimeError(f"lftp {command!r}: {done.stderr.decode(errors='replace')[-300:]}")

    def upload(self, local, remote):
        # --no-perms: no SITE CHMOD per file, which the others do not send either.
        self._run(f"mirror -R --no-perms --parallel={self.jobs} '{local}' '{remote}'")

    def download(self, remote, local):
        self._run(f"mirror --no-perms --parallel={self.jobs} '{remote}' '{local}'")

    def remove(self, remote):
        self._run(f"rm -r '{remote}'")

    def close(self):
        pass


def make_clients(server, port, section, jobs, kinds=CLIENTS):
    from dravlen.ftp.remote import RemotePath

    cls = type(f"Bench_{section}", (RemotePath,), {"_section": (section,)})
    made = {"dravlen": lambda: Dravlen(cls, jobs), "FTPPath": lambda: Core(cls),
            "lftp": lambda: Lftp(server.host, port, jobs),
            "fsspec": lambda: Fsspec(server.host, port), "ftputil": lambda: Ftputil(server.host, port)}
    return [made[k]() for k in kinds]


# --------------------------------------------------------------------------
# running


def same_tree(a: Path, b: Path) -> bool:
    want = {p.relative_to(a).as_posix(): p.stat().st_size for p in a.rglob("*") if p.is_file()}
    got = {p.relative_to(b).as_posix(): p.stat().st_size for p in b.rglob("*") if p.is_file()}
    return want == got


def run_server(kind, server, remote_base, disk_base, base, ini, args, log):
    """{(workload, task, client): [seconds...]} and {(workload, task, client): error}."""
    section = kind
    S.servers.make_config(server, ini, name=section)
    times, errors = {}, {}
    first = next(iter(workloads(kind, args.quick)))
    for load, (folders, files) in workloads(kind, args.quick).items():
        local = make_local(base / "local" / load.replace(" ", "-"), folders, files)
        for round_ in range(args.rounds):
            clients = make_clients(server, server.port, section, args.jobs)
            order = clients[round_ % len(clients):] + clients[:round_ % len(clients)]
            for client in order:
                if client.name == "FTPPath" and load not in core_sizes(kind, args.quick):
                    continue
                remote = f"{remote_base}/{client.name}-{load.replace(' ', '-')}"
                back = base / "back" / f"{kind}-{client.name}-{load.replace(' ', '-')}"
                shutil.rmtree(back, ignore_errors=True)
                steps = [("upload", lambda: client.upload(local, remote)),
                         ("download", (lambda: client.download(remote, back)) if client.download else None),
                         ("remove", lambda: client.remove(remote))]
                for task, step in steps:
                    key = (load, task, client.name)
                    if step is None or key in errors:
                        continue
                    smaller = times.get((first, task, client.name))
                    if (kind != "delayed" and load != first and folders == 1 and smaller
                            and statistics.median(smaller) > SKIP_AFTER):
                        # Growing with the square of the folder, it would take minutes.
                        errors[key] = f"not run: {first} took {statistics.median(smaller):.1f} s"
                        continue
                    start = time.perf_counter()
                    try:
                        step()
                    except Exception as exc:
                        errors[key] = f"{type(exc).__name__}: {str(exc)[:120]}"
                        log(f"  {kind} {load} {task} {client.name}: FAILED {errors[key]}")
                        traceback.print_exc(file=sys.stderr)
                        if task == "upload":
                            break
                        continue
                    took = time.perf_counter() - start
                    if task == "download" and not same_tree(local, back):
                        errors[key] = "downloaded another tree"
                    times.setdefault(key, []).append(took)
                    log(f"  {kind} {load} {task:8} {client.name:8} {took:8.3f} s")
                shutil.rmtree(back, ignore_errors=True)
                if (disk_base / Path(remote).name).exists():
                    shutil.rmtree(disk_base / Path(remote).name, ignore_errors=True)
            for client in clients:
                client.close()
    return times, errors


def count_server(kind, server, remote_base, base, ini, args, log):
    """{(task, client): commands per file} for the 'flat 300' tree (or the quick one)."""
    proxy = CountingProxy(server.host, server.port)
    section = f"{kind}-count"
    S.servers.make_config(server, ini, name=section, port=proxy.port)
    load = "flat 30" if args.quick else "flat 300"
    folders, files = workloads(kind, args.quick)[load]
    local = make_local(base / "local" / load.replace(" ", "-"), folders, files)
    counts = {}
    try:
        for client in make_clients(server, proxy.port, section, args.jobs):
            remote = f"{remote_base}/count-{client.name}"
            back = base / "back" / f"count-{kind}-{client.name}"
            for task, step in [("upload", lambda: client.upload(local, remote)),
                               ("download", (lambda: client.download(remote, back)) if client.download else None),
                               ("remove", lambda: client.remove(remote))]:
                if step is None:
                    continue
                proxy.reset()
                try:
                    step()
                except Exception as exc:
                    log(f"  count {kind} {task} {client.name}: FAILED {exc}")
                    continue
                total, logins, _words = proxy.counts()
                counts[(task, client.name)] = total / files
            shutil.rmtree(back, ignore_errors=True)
            client.close()
    finally:
        proxy.close()
    return counts


# --------------------------------------------------------------------------
# the report


def cell(values, best):
    if not values:
        return "-"
    m = statistics.median(values)
    text = S.fmt_seconds(m)
    ratio = m / best if best else float("nan")
    return f"**{text}**" if ratio <= 1.0001 else f"{text} ({ratio:.2f}x)"


def report(results, args, started) -> str:
    lines = [
        "## Trees: dravlen beside lftp, fsspec, ftputil and the core",
        "",
        f"`python3 bench/trees.py{' --quick' if args.quick else ''}`, "
        f"{datetime.date.today().isoformat()}: trees of 1 KiB files; dravlen and lftp with "
        f"{args.jobs} connections, fsspec and ftputil with one; {args.rounds} round(s), medians;"
        f" {time.monotonic() - started:.0f} s in all. Fastest in bold, the others as a multiple of it."
        " fsspec, ftputil and dravlen's calling thread (which works with its own client) are"
        " logged in before they are timed; dravlen's further connections, and lftp (a new"
        " process for each step), log in within the timed step."
        " *flat N*: N files in one folder; *F x N*: F folders of N. The core's FTPPath.upload/delete"
        " runs on the smallest tree only (its cost grows with the square of a folder's size);"
        " lftp's `rm -r` uses one connection (it has no parallel removal).",
        "",
    ]
    for kind, (times, errors, counts) in results.items():
        loads = list(workloads(kind, args.quick))
        title = kind + (" (20 ms on every reply)" if kind == "delayed" else "")
        lines += [f"#### {title}", "", "| tree | task | " + " | ".join(CLIENTS) + " |",
                  "|---|---|" + "---|" * len(CLIENTS)]
        for load in loads:
            for task in TASKS:
                row = {c: times.get((load, task, c), []) for c in CLIENTS}
                medians = [statistics.median(v) for v in row.values() if v]
                best = min(medians) if medians else 0
                cells = []
                for c in CLIENTS:
                    if (load, task, c) in errors:
                        error = errors[(load, task, c)].replace("|", "/")[:80]
                        cells.append(error if error.startswith("not run") else "fails: " + error)
                    else:
                        cells.append(cell(row[c], best))
                lines.append(f"| {load} | {task} | " + " | ".join(cells) + " |")
        # Linear growth: the time per file of the big flat tree over that of the small one.
        small, big = loads[0], loads[1]
        n_small = workloads(kind, args.quick)[small][1]
        n_big = workloads(kind, args.quick)[big][1]
        growth = []
        for task in TASKS:
            parts = []
            for c in ("dravlen", "lftp", "fsspec", "ftputil"):
                a, b = times.get((small, task, c)), times.get((big, task, c))
                if a and b:
                    parts.append(f"{c} {statistics.median(b) / n_big / (statistics.median(a) / n_small):.2f}")
            growth.append(f"{task}: " + ", ".join(parts))
        lines += ["", f"Time per file, {big} over {small}: " + "; ".join(growth) + ".", ""]
        if counts:
            lines += ["Commands sent per file (" + ("flat 30" if args.quick else "flat 300") + "):", "",
                      "| task | " + " | ".join(CLIENTS) + " |", "|---|" + "---|" * len(CLIENTS)]
            for task in TASKS:
                lines.append(f"| {task} | " + " | ".join(
                    f"{counts[(task, c)]:.2f}" if (task, c) in counts else "-" for c in CLIENTS) + " |")
            lines.append("")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small trees, one round")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("-j", "--jobs", type=int, default=4)
    parser.add_argument("--servers", default="pyftpdlib,vsftpd,proftpd,pureftpd,delayed")
    parser.add_argument("--no-readme", action="store_true")
    parser.add_argument("--no-count", action="store_true")
    args = parser.parse_args(argv)
    started = time.monotonic()
    base = Path(tempfile.mkdtemp(prefix="dravlen-bench-trees-"))
    os.chmod(base, 0o755)
    ini = base / "bench.ini"
    ini.write_text("")
    os.environ["DRAVLEN_CONFIG"] = str(ini)

    def log(text):
        print(text, file=sys.stderr, flush=True)

    results = {}
    try:
        for kind in args.servers.split(","):
            root = base / kind / "home"
            if kind == "delayed":
                server = delayserver.start(root, delay=0.02, host=ADDRESSES[kind])
            else:
                server = S.servers.start(kind, root, host=ADDRESSES[kind])
            try:
                # Servers without a chroot name files by their real path.
                chrooted = kind in ("pyftpdlib", "delayed")
                remote_base = "/bench" if chrooted else f"{server.root}/bench"
                (Path(server.root) / "bench").mkdir(exist_ok=True)
                if not chrooted:
                    S.servers._hand_over(Path(server.root), S.servers._ftp_account())
                log(f"== {kind}")
                times, errors = run_server(kind, server, remote_base, Path(server.root) / "bench",
                                           base, ini, args, log)
                # The delayed server is pyftpdlib: the same commands as there.
                counts = ({} if args.no_count or kind == "delayed"
                          else count_server(kind, server, remote_base, base, ini, args, log))
                results[kind] = (times, errors, counts)
            finally:
                server.stop()
    finally:
        shutil.rmtree(base, ignore_errors=True)
    text = report(results, args, started)
    print(text)
    if not args.no_readme:
        print("wrote", S.update_readme("trees", text), file=sys.stderr)


if __name__ == "__main__":
    main()
