"""FTPPath's transfers against the floor: the same FTP exchanges sent with
plain ftplib.

    python3 bench/transfer.py            # about 2 minutes
    python3 bench/transfer.py --quick    # under a minute
    python3 bench/transfer.py --profile  # and cProfile every task over 1.05x

For each task (read and write of 1 KiB, 1 MiB and 50 MiB; upload, then
delete, of a local tree of 10 folders of 100 files) the commands that
FTPPath sends are first recorded with an ftplib client that journals its
calls and its control connection.  The journal is then turned into plain
ftplib calls (`_support.compile_floor`) on a second, already logged-in
connection, and the replay is checked to put the very same lines on the
wire.  Both then run in one loop, alternating which goes first, and the
table gives the medians and their ratio.

The server is pyftpdlib in a child process (the test-suite's), so that its
loop does not compete with the client for this process's GIL; the same
tasks against pyftpdlib in a thread of this process are shown for
comparison.  The tree tasks take turns over several such servers on their
own addresses, all serving the same folder (see `_support.settle`).  Last,
the memory an upload takes is measured in child processes, for a 1 MiB and
a 200 MiB local file.

Use ``PYTHONPATH=src`` for the development build, or an installed package.
"""

from __future__ import annotations

import argparse
import cProfile
import ftplib
import gc
import io
import itertools
import json
import os
import pstats
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _support as S  # noqa: E402

KIB, MIB = 1024, 1024 * 1024
GOAL = 1.05
TREE = (10, 100, 1024)  # folders, files in each, bytes in each file


def _login(server):
    def connect(ftp):
        ftp.connect(server.host, server.port)
        ftp.login(server.user, server.password)
    return connect


class Slot:
    """One server, with the clients that measure against it: the FTPPath
    class of its section, the same class on a journalling client, the floor's
    plain ftplib connection and a journalling one to check the replay on."""

    def __init__(self, server, cls):
        self.server = server
        self.cls = cls
        self.rec_cls = type(f"Recording{cls.__name__}", (cls,), {"_creator": S.Recorder})
        self.floor_ftp = server.connect()
        self.check_ftp = S.record_client(_login(server))
        # Log every client in before anything is measured.
        for c in (self.cls, self.rec_cls):
            c("/").exists
        S.Recorder.journal.clear()

    def close(self):
        for ftp in (self.floor_ftp, self.check_ftp):
            try:
                ftp.quit()
            except Exception:
                ftp.close()


class Bench:
    """The tasks against one kind of server: member runs, recording, floor, timing."""

    def __init__(self, label, slots, args):
        self.label = label
        self.slots = slots
        self.main = slots[0]
        self.root = Path(self.main.server.root)
        self.args = args
        self.rows = []
        self.profiles = []
        self.command_mix = {}

    def close(self):
        for slot in self.slots:
            slot.close()

    # -- recording and replay ---------------------------------------------

    @staticmethod
    def record(slot, op):
        journal = S.Recorder.journal
        journal.clear()
        op(slot.rec_cls)
        events, wire = list(journal.events), list(journal.wire)
        journal.clear()
        return events, wire

    @staticmethod
    def check_replay(slot, name, events, wire, payload=None):
        """Run the replay once on a journalled client: it must send what FTPPath sent."""
        journal = S.Recorder.journal
        journal.clear()
        S.run_steps(S.compile_floor(events, slot.check_ftp, payload))
        replayed = list(journal.wire)
        journal.clear()
        if replayed != wire:
            for i, (a, b) in enumerate(zip(wire, replayed)):
                if a != b:
                    break
            else:
                i = min(len(wire), len(replayed))
            raise SystemExit(
                f"{name}: the floor does not replay FTPPath's exchanges: line {i}: "
                f"FTPPath {wire[i:i + 3]} vs floor {replayed[i:i + 3]}")

    # -- tasks ------------------------------------------------------------

    def _row(self, task, commands, times, cpu, extra=""):
        a, b = times["FTPPath"], times["ftplib"]
        ratio = S.median(a) / S.median(b)
        low, high = S.ratio_interval(a, b)
        self.rows.append({
            "server": self.label, "task": task, "runs": len(a),
            "member": S.median(a), "floor": S.median(b), "ratio": ratio, "interval": (low, high),
            "bare": S.median(times["bare"]) if "bare" in times else None,
            "cpu_member": S.median(cpu["FTPPath"]), "cpu_floor": S.median(cpu["ftplib"]),
            "commands": commands, "extra": extra,
        })
        bare = f"  bare {S.fmt_seconds(S.median(times['bare']))}" if "bare" in times else ""
        print(f"  {task:<20} FTPPath {S.fmt_seconds(S.median(a)):>10}  ftplib {S.fmt_seconds(S.median(b)):>10}"
              f"  ratio {ratio:.3f} [{low:.3f}, {high:.3f}]  CPU {S.fmt_seconds(S.median(cpu['FTPPath']))}"
              f" vs {S.fmt_seconds(S.median(cpu['ftplib']))}{bare}  ({len(a)} runs each)", flush=True)
        return ratio

    def read(self, size, pairs):
        slot = self.main
        remote = f"/bench/read-{size}.bin"
        local = self.root / remote.lstrip("/")
        local.parent.mkdir(parents=True, exist_ok=True)
        data = os.urandom(size)
        local.write_bytes(data)
        path = slot.cls(remote)
        if path.read() != data:
            raise SystemExit(f"read() of {remote} returned other bytes")
        events, wire = self.record(slot, lambda c: c(remote).read())
        self.check_replay(slot, f"read {size}", events, wire)
        steps = S.compile_floor(events, slot.floor_ftp)
        read = path.read
        retrbinary = slot.floor_ftp.retrbinary
        command = f"RETR {remote}"

        def member():
            read()

        def floor():
            S.run_steps(steps)

        def bare():
            chunks = []
            retrbinary(command, chunks.append)
            return b"".join(chunks)

        times, cpu = S.interleaved({"FTPPath": member, "ftplib": floor, "bare": bare}, pairs)
        task = f"read {S.fmt_bytes(size)}"
        ratio = self._row(task, len(wire), times, cpu, S.summarize(events))
        self._maybe_profile(task, ratio, member, floor, pairs)
        local.unlink()

    def write(self, size, pairs):
        slot = self.main
        remote = f"/bench/write/sub/w-{size}.bin"
        data = os.urandom(size)
        path = slot.cls(remote)
        path.write(data)  # the parent exists (and holds the file) from here on
        events, wire = self.record(slot, lambda c: c(remote).write(data))
        self.check_replay(slot, f"write {size}", events, wire, data)
        steps = S.compile_floor(events, slot.floor_ftp, data)
        write = path.write
        storbinary = slot.floor_ftp.storbinary
        command = f"STOR {remote}"

        def member():
            write(data)

        def floor():
            S.run_steps(steps)

        def bare():
            storbinary(command, io.BytesIO(data))

        times, cpu = S.interleaved({"FTPPath": member, "ftplib": floor, "bare": bare}, pairs)
        if (self.root / remote.lstrip("/")).read_bytes() != data:
            raise SystemExit(f"{remote} does not hold what was written")
        task = f"write {S.fmt_bytes(size)}"
        ratio = self._row(task, len(wire), times, cpu, S.summarize(events))
        self._maybe_profile(task, ratio, member, floor, pairs)
        S.remove(self.root / "bench" / "write")

    def tree(self, local_tree: Path, pairs):
        """upload() of a local tree, then delete() of it, against the floor.

        Each run takes the next server of the rotation: the tree makes
        thousands of data connections, and each leaves a port of its server's
        address in TIME_WAIT for a minute.
        """
        remote = "/bench/tree"
        on_disk = self.root / "bench" / "tree"
        local = str(local_tree)
        S.remove(on_disk)
        (self.root / "bench").mkdir(parents=True, exist_ok=True)
        turns = itertools.cycle(self.slots)
        waited = 0.0

        def take_turn():
            nonlocal waited
            slot = next(turns)
            waited += S.settle(slot.server.host, limit=14000)
            return slot

        up_events, up_wire = self.record(take_turn(), lambda c: c(remote).upload(local))
        _same_tree(local_tree, on_disk)
        del_events, del_wire = self.record(take_turn(), lambda c: c(remote).delete())
        if on_disk.exists():
            raise SystemExit(f"delete() left {on_disk} behind")
        self.check_replay(take_turn(), "upload", up_events, up_wire)
        _same_tree(local_tree, on_disk)
        self.check_replay(take_turn(), "delete", del_events, del_wire)
        if on_disk.exists():
            raise SystemExit(f"the floor's delete left {on_disk} behind")

        floors = {id(slot): (S.compile_floor(up_events, slot.floor_ftp),
                             S.compile_floor(del_events, slot.floor_ftp)) for slot in self.slots}
        folders = sorted(p.relative_to(local_tree).as_posix() for p in local_tree.rglob("*") if p.is_dir())
        files = sorted(p.relative_to(local_tree).as_posix() for p in local_tree.rglob("*") if p.is_file())

        def sides(slot):
            path = slot.cls(remote)
            up_steps, del_steps = floors[id(slot)]
            ftp = slot.floor_ftp

            def bare_upload():
                # What a client that knows the tree is new must send: MKD, STOR.
                ftp.mkd(remote)
                for name in folders:
                    ftp.mkd(f"{remote}/{name}")
                for name in files:
                    with open(local_tree / name, "rb") as f:
                        ftp.storbinary(f"STOR {remote}/{name}", f)

            def bare_delete():
                for name in files:
                    ftp.delete(f"{remote}/{name}")
                for name in reversed(folders):
                    ftp.rmd(f"{remote}/{name}")
                ftp.rmd(remote)

            return {
                "FTPPath": (lambda: path.upload(local), path.delete),
                "ftplib": (lambda: S.run_steps(up_steps), lambda: S.run_steps(del_steps)),
                "bare": (bare_upload, bare_delete),
            }

        names = ["FTPPath", "ftplib", "bare"]
        up_times = {name: [] for name in names}
        del_times = {name: [] for name in names}
        up_cpu = {name: [] for name in names}
        del_cpu = {name: [] for name in names}
        clock, cpu_clock = time.perf_counter, time.thread_time
        for i in range(pairs):
            for name in (names if i % 2 == 0 else names[::-1]):
                upload, delete = sides(take_turn())[name]
                start, start_cpu = clock(), cpu_clock()
                upload()
                middle_cpu, middle = cpu_clock(), clock()
                delete()
                end_cpu, end = cpu_clock(), clock()
                up_times[name].append(middle - start)
                del_times[name].append(end - middle)
                up_cpu[name].append(middle_cpu - start_cpu)
                del_cpu[name].append(end_cpu - middle_cpu)
                if on_disk.exists():
                    raise SystemExit(f"{name}: delete left {on_disk} behind")
        if waited >= 1:
            print(f"  (waited {waited:.0f} s in all for TIME_WAIT connections to clear)")
        shape = f"{TREE[0]}x{TREE[1]} tree"
        ratio = self._row(f"upload {shape}", len(up_wire), up_times, up_cpu)
        if self.args.profile and ratio > GOAL:
            slot = take_turn()
            self._profile("upload tree", [sides(slot)["FTPPath"][0], sides(slot)["ftplib"][0]],
                          cleanup=[sides(slot)["FTPPath"][1], sides(slot)["ftplib"][1]])
        ratio = self._row(f"delete {shape}", len(del_wire), del_times, del_cpu)
        if self.args.profile and ratio > GOAL:
            slot = take_turn()
            self._profile("delete tree", [sides(slot)["FTPPath"][1], sides(slot)["ftplib"][1]],
                          prepare=[sides(slot)["FTPPath"][0], sides(slot)["ftplib"][0]])
        self.command_mix = {"upload": _mix(up_wire), "delete": _mix(del_wire)}

    # -- profiles ---------------------------------------------------------

    def _maybe_profile(self, task, ratio, member, floor, pairs):
        if self.args.profile and ratio > GOAL:
            self._profile(task, [member, floor], runs=max(1, min(pairs, 20)))

    def _profile(self, task, funcs, runs=1, prepare=None, cleanup=None):
        for index, (name, func) in enumerate(zip(("FTPPath", "ftplib"), funcs)):
            prof = cProfile.Profile()
            for _ in range(runs):
                if prepare:
                    prepare[index]()
                prof.enable()
                func()
                prof.disable()
                if cleanup:
                    cleanup[index]()
            stream = io.StringIO()
            pstats.Stats(prof, stream=stream).sort_stats("tottime").print_stats(14)
            self.profiles.append(f"--- {self.label}: {task}, {name}, {runs} run(s), by own time\n"
                                 f"{stream.getvalue()}")


def _mix(wire):
    counts = {}
    for line in wire:
        word = line.split(" ", 1)[0].upper()
        counts[word] = counts.get(word, 0) + 1
    return dict(sorted(counts.items(), key=lambda kv: -kv[1]))


def _same_tree(local: Path, remote: Path):
    want = {p.relative_to(local).as_posix(): p.read_bytes() for p in local.rglob("*") if p.is_file()}
    got = {p.relative_to(remote).as_posix(): p.read_bytes() for p in remote.rglob("*") if p.is_file()}
    if want != got:
        raise SystemExit(f"the uploaded tree at {remote} differs from {local}")


def make_tree(base: Path, folders: int, files: int, size: int) -> Path:
    top = base / "local-tree"
    for d in range(folders):
        folder = top / f"d{d:02d}"
        folder.mkdir(parents=True)
        for f in range(files):
            (folder / f"f{f:03d}.bin").write_bytes(os.urandom(size))
    return top


# --------------------------------------------------------------------------
# FTPPath's own cost: against a server that answers at once


class InstantFTP(ftplib.FTP):
    """An `ftplib.FTP` whose commands are answered at once from memory.

    No network and no server, so what is left of a member's time is the
    member's own work.  The control socket is one end of a socketpair that
    never receives anything, so the check `_valid_reset` makes after an error
    reply runs for real (and finds nothing).  Answers are those of a Unix
    server: 550 for RETR of a folder, NLST of a file lists the file.
    """

    files: dict = {}
    folders: set = {"/"}

    def connect(self, host="", port=0, timeout=-999, source_address=None):
        self.sock, self._peer = __import__("socket").socketpair()
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = "220 instant"
        return self.welcome

    def login(self, user="", passwd="", acct=""):
        return "230 in"

    def close(self):
        peer, self._peer = getattr(self, "_peer", None), None
        super().close()
        if peer is not None:
            peer.close()

    def nlst(self, *args):
        path = args[-1] if args else "/"
        if path in self.files:
            return [path]
        if path in self.folders:
            prefix = path.rstrip("/") + "/"
            return [p[len(prefix):] for p in list(self.files) + list(self.folders)
                    if p.startswith(prefix) and "/" not in p[len(prefix):]]
        raise ftplib.error_perm("550 No such file or directory.")

    def retrbinary(self, cmd, callback, blocksize=8192, rest=None):
        path = cmd[5:]
        if path in self.folders:
            raise ftplib.error_perm("550 Is a directory.")
        data = self.files[path]
        for i in range(0, len(data), blocksize):
            callback(data[i:i + blocksize])
        return "226 done"

    def storbinary(self, cmd, fp, blocksize=8192, callback=None, rest=None):
        chunks = []
        while buf := fp.read(blocksize):
            chunks.append(buf)
        self.files[cmd[5:]] = b"".join(chunks)
        return "226 done"

    def mkd(self, dirname):
        self.folders.add(dirname)
        return dirname

    def size(self, filename):
        if filename not in self.files:
            raise ftplib.error_perm("550 No such file or directory.")
        return len(self.files[filename])

    def sendcmd(self, cmd):
        word, _, path = cmd.partition(" ")
        if word == "SIZE":
            return f"213 {self.size(path)}"
        if word == "MDTM" and path in self.files:
            return "213 20260102030405"
        if word == "NOOP":
            return "200 ok"
        raise ftplib.error_perm(f"550 {word} refused.")

    voidcmd = sendcmd


def instant(pairs_small, pairs_big):
    """Each member against its floor on `InstantFTP`: the members' own cost."""
    from dravlen.ftp.path import FTPPath

    cls = type("InstantFTPPath", (FTPPath,), {"_creator": InstantFTP})
    rec = type("RecordingInstant", (S.Recorder, InstantFTP), {})
    rec_cls = type("RecordingInstantFTPPath", (FTPPath,), {"_creator": rec})
    InstantFTP.folders.update({"/bench", "/bench/write", "/bench/write/sub"})
    floor_ftp = InstantFTP(timeout=30)
    floor_ftp.connect()
    rows = []
    tasks = []
    for size in (KIB, MIB):
        data = os.urandom(size)
        remote = f"/bench/read-{size}.bin"
        InstantFTP.files[remote] = data
        tasks.append((f"read {S.fmt_bytes(size)}", lambda c, r=remote: c(r).read(), None))
    for size in (KIB, MIB):
        data = os.urandom(size)
        remote = f"/bench/write/sub/w-{size}.bin"
        InstantFTP.files[remote] = data
        tasks.append((f"write {S.fmt_bytes(size)}", lambda c, r=remote, d=data: c(r).write(d), data))
    tasks.append(("exists (a file)", lambda c: c(f"/bench/read-{KIB}.bin").exists, None))
    tasks.append(("is_dir() (a folder)", lambda c: c("/bench/write/sub").is_dir(), None))
    for label, op, payload in tasks:
        journal = S.Recorder.journal
        journal.clear()
        op(rec_cls)
        events = list(journal.events)
        journal.clear()
        if any(isinstance(ev, S.RawLine) or ev.method in ("connect", "login") for ev in events):
            events = [ev for ev in events if not (isinstance(ev, S.Call) and ev.method in ("connect", "login"))]
        steps = S.compile_floor(events, floor_ftp, payload)
        op(cls)  # the member's client is made before anything is timed
        number = pairs_big if "MiB" in label else pairs_small
        member_t, floor_t = [], []
        for i in range(7):
            for name in (("m", "f") if i % 2 == 0 else ("f", "m")):
                if name == "m":
                    start = time.perf_counter()
                    for _ in range(number):
                        op(cls)
                    member_t.append((time.perf_counter() - start) / number)
                else:
                    start = time.perf_counter()
                    for _ in range(number):
                        S.run_steps(steps)
                    floor_t.append((time.perf_counter() - start) / number)
        m, f = min(member_t), min(floor_t)
        rows.append([label, S.summarize(events), S.fmt_seconds(m), S.fmt_seconds(f), f"{(m - f) * 1e6:.1f} µs"])
        print(f"  {label:<20} FTPPath {S.fmt_seconds(m):>9}  same calls {S.fmt_seconds(f):>9}"
              f"  FTPPath's own work {(m - f) * 1e6:6.1f} µs", flush=True)
    floor_ftp.close()
    return rows


# --------------------------------------------------------------------------
# memory of an upload, in a child process


def _vm(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def memory_child(side: str, what: str, local: str, remote: str) -> dict:
    import tracemalloc

    from dravlen.config import EnvConfig

    settings = EnvConfig.ftp_settings("ftp")
    if side == "FTPPath":
        from dravlen.ftp.path import FTPPath

        path = FTPPath(remote)

        def upload(name):
            path.upload(name)
    else:
        ftp = ftplib.FTP(timeout=30)
        ftp.connect(settings.host, settings.port)
        ftp.login(settings.user, settings.password)

        def upload(name):
            with open(name, "rb") as f:
                ftp.storbinary(f"STOR {remote}", f)
    # The same code path once on a tiny file, so that imports, caches and the
    # connection are in place before anything is measured.
    tiny = local + ".tiny"
    Path(tiny).write_bytes(b"x" * 100)
    upload(tiny)
    gc.collect()
    if what == "rss":
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak RSS to the current RSS
        before = _vm("VmRSS")
        upload(local)
        return {"growth": _vm("VmHWM") - before}
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    tracemalloc.reset_peak()
    upload(local)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return {"growth": peak - base}


def memory(base: Path, server_root: Path, sizes) -> list:
    rows = []
    for size in sizes:
        local = base / f"upload-{size}.bin"
        with open(local, "wb") as f:
            block = os.urandom(MIB)
            for _ in range(size // MIB):
                f.write(block)
        for side in ("FTPPath", "ftplib"):
            result = {"side": side, "size": size}
            for what in ("rss", "tracemalloc"):
                remote = f"/bench/memory/{side}/upload.bin"
                S.remove(server_root / "bench" / "memory")
                (server_root / remote.lstrip("/")).parent.mkdir(parents=True)
                done = subprocess.run(
                    [sys.executable, __file__, "--memory-child", side, what, str(local), remote],
                    capture_output=True, text=True, timeout=300, env=os.environ)
                if done.returncode:
                    raise SystemExit(f"memory child failed:\n{done.stdout}{done.stderr}")
                result[what] = json.loads(done.stdout.strip().splitlines()[-1])["growth"]
                on_server = server_root / remote.lstrip("/")
                if on_server.stat().st_size != size:
                    raise SystemExit(f"{side} uploaded {on_server.stat().st_size} bytes, not {size}")
            rows.append(result)
            print(f"  upload {S.fmt_bytes(size):>9} {side:<8} peak RSS growth {S.fmt_bytes(result['rss']):>10}"
                  f"  tracemalloc peak {S.fmt_bytes(result['tracemalloc']):>10}", flush=True)
        local.unlink()
        Path(str(local) + ".tiny").unlink(missing_ok=True)
    S.remove(server_root / "bench" / "memory")
    return rows


# --------------------------------------------------------------------------


def run_bench(label, slots, args, plan, tree):
    print(f"\n## {label} ({slots[0].server.host}:{slots[0].server.port};"
          f" {len(slots)} server(s) in turn for the tree)", flush=True)
    bench = Bench(label, slots, args)
    try:
        for size, pairs in plan["read"]:
            bench.read(size, pairs)
        for size, pairs in plan["write"]:
            bench.write(size, pairs)
        if plan["tree"]:
            bench.tree(tree, plan["tree"])
    finally:
        bench.close()
    return bench


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs")
    parser.add_argument("--profile", action="store_true", help="cProfile the tasks over the goal")
    parser.add_argument("--no-thread", action="store_true", help="skip the in-process server")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument("--no-readme", action="store_true", help="print only; leave README.md")
    parser.add_argument("--only", choices=("read", "write", "tree"), action="append",
                        help="run only these tasks (repeatable)")
    parser.add_argument("--memory-child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        print(json.dumps(memory_child(*args.memory_child)))
        return

    q = args.quick
    plan = {
        "read": [(KIB, 40 if q else 200), (MIB, 15 if q else 60), (50 * MIB, 4 if q else 12)],
        "write": [(KIB, 40 if q else 200), (MIB, 15 if q else 60), (50 * MIB, 4 if q else 12)],
        "tree": 2 if q else 5,
    }
    thread_plan = {
        "read": [(KIB, 20 if q else 100), (MIB, 6 if q else 30), (50 * MIB, 2 if q else 6)],
        "write": [(KIB, 20 if q else 100), (MIB, 6 if q else 30), (50 * MIB, 2 if q else 6)],
        "tree": 0 if q else 2,
    }
    if args.only:
        for p in (plan, thread_plan):
            for key in ("read", "write"):
                if key not in args.only:
                    p[key] = []
            if "tree" not in args.only:
                p["tree"] = 0
    rotation = 4  # servers the tree takes turns over
    started = time.monotonic()
    base = S.scratch("dravlen-bench-transfer-")
    procs, threads, benches = [], [], []
    try:
        root = base / "proc"
        for i in range(rotation if plan["tree"] else 1):
            procs.append(S.servers.start("pyftpdlib", root, host=f"127.0.0.{20 + i}"))
        if not args.no_thread:
            for i in range(rotation if thread_plan["tree"] else 1):
                threads.append(S.ThreadServer(base / "thread", host=f"127.0.0.{30 + i}"))
        sections = {"ftp": procs[0]}
        sections.update({f"ftp_p{i}": srv for i, srv in enumerate(procs)})
        sections.update({f"ftp_t{i}": srv for i, srv in enumerate(threads)})
        ini = base / "bench.ini"
        ini.write_text("\n".join(S.ini_text(srv, name) for name, srv in sections.items()))
        os.environ["DRAVLEN_CONFIG"] = str(ini)

        from dravlen.ftp import path as ftp_path

        FTPPath = ftp_path.FTPPath
        print(f"dravlen.ftp.path from {ftp_path.__file__}")
        print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores;"
              f" goal: FTPPath within {GOAL}x of ftplib")
        tree = make_tree(base, *TREE)

        def section_class(name):
            return type(f"FTPPath_{name}", (FTPPath,), {"_section": (name,)})

        slots = [Slot(procs[0], FTPPath)]
        slots += [Slot(srv, section_class(f"ftp_p{i}")) for i, srv in enumerate(procs) if i]
        benches.append(run_bench("pyftpdlib, own process", slots, args, plan, tree))
        if threads:
            slots = [Slot(srv, section_class(f"ftp_t{i}")) for i, srv in enumerate(threads)]
            benches.append(run_bench("pyftpdlib, thread of this process", slots, args, thread_plan, tree))
        print("\n## FTPPath's own work: the same calls answered at once from memory", flush=True)
        instant_rows = instant(300 if q else 2000, 20 if q else 100)
        mem_rows = []
        if not args.no_memory:
            print("\n## memory of upload (child processes; pyftpdlib in its own process)", flush=True)
            mem_rows = memory(base, procs[0].root, [MIB, 200 * MIB])
        report(benches, instant_rows, mem_rows, time.monotonic() - started, q, not args.no_readme)
    finally:
        for srv in threads + procs:
            srv.stop()
        S.remove(base)


def report(benches, instant_rows, mem_rows, seconds, quick=False, readme=True):
    out = []
    print = out.append  # the report is printed, and written to README.md, at the end
    rows = []
    for bench in benches:
        for r in bench.rows:
            mark = "" if r["ratio"] <= GOAL else " ✗"
            low, high = r["interval"]
            rows.append([r["server"], r["task"], str(r["commands"]), S.fmt_seconds(r["member"]),
                         S.fmt_seconds(r["floor"]), f"**{r['ratio']:.3f}**{mark}", f"{low:.3f} – {high:.3f}",
                         S.fmt_seconds(r["cpu_member"]), S.fmt_seconds(r["cpu_floor"]),
                         S.fmt_seconds(r["bare"]) if r["bare"] is not None else "", str(r["runs"])])
    print("\n### FTPPath against the ftplib floor (medians)\n")
    print(S.markdown_table(
        ["server", "task", "control lines", "FTPPath", "ftplib floor", "ratio", "95 % interval",
         "client CPU, FTPPath", "client CPU, floor", "bare ftplib", "runs each"], rows))
    print("\nThe floor sends what FTPPath sends; *bare ftplib* sends only the transfer"
          " (RETR, or STOR; MKD/STOR and DELE/RMD for the tree), for scale.")
    print("\nWhat each task sends (FTPPath's recorded exchanges, which the floor replays;"
          " `!` marks an error reply):\n")
    shown = set()
    for bench in benches:
        for r in bench.rows:
            if r["extra"] and r["task"] not in shown:
                shown.add(r["task"])
                print(f"- {r['task']}: {r['extra']}")
        for task, mix in bench.command_mix.items():
            if task not in shown:
                shown.add(task)
                print(f"- {task} of the tree, control lines: " + ", ".join(f"{k} {v}" for k, v in mix.items()))
    if instant_rows:
        print("\n### FTPPath's own work per call: against an ftplib.FTP that answers from memory (best of 7)\n")
        print(S.markdown_table(["task", "calls", "FTPPath", "the same calls", "FTPPath's own work"], instant_rows))
    if mem_rows:
        print("\n### Memory of `upload` of one local file\n")
        print(S.markdown_table(
            ["local file", "client", "peak RSS growth", "tracemalloc peak"],
            [[S.fmt_bytes(r["size"]), r["side"], S.fmt_bytes(r["rss"]), S.fmt_bytes(r["tracemalloc"])]
             for r in mem_rows]))
    print(f"\n(total {seconds:.0f} s)")
    text = "\n".join(out)
    sys.stdout.write("\n" + text + "\n")
    for bench in benches:
        for profile in bench.profiles:
            sys.stdout.write("\n" + profile + "\n")
    if readme:
        S.update_readme("transfer", "## FTPPath against the ftplib floor\n\n"
                        f"`python3 bench/transfer.py{' --quick' if quick else ''}`:\n" + text)
        sys.stdout.write(f"wrote {Path(__file__).resolve().parent / 'README.md'}\n")


if __name__ == "__main__":
    main()
