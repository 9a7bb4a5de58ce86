"""The native core against a plain-Python model of it (bench/model.py), on its own work.

Both classes get the same in-memory client (`LeanFTP`, which answers at once
and keeps almost nothing), as a plain class attribute, so neither pays for
the per-thread client lookup. Each member is timed through its function
without the outer `retry` wrapper (``__wrapped__``), the same for both: the
wrapper is shared Python (dravlen.base) and not the core's work; members
that call other members (is_dir -> exists, write -> parent.mkdir()) go
through the wrappers on both sides. Before timing, each member's calls on the
client are recorded on both sides and must be the same.

    PYTHONPATH=src python3 bench/core.py [--quick] [--no-readme]

Native and model run interleaved, round by round, in one process; the table
gives the fastest round of each, in ns per call (glob: per listed line). It
is run twice: with LeanFTP's Python methods, and with the same answers given
by builtins (dict lookups) wherever a method only looks something up, which
leaves the least of the client's own time in the figures.
"""

from __future__ import annotations

import argparse
import ftplib
import gc
import os
import re
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from dravlen.base import Local  # noqa: E402
from dravlen.ftp.path import FTPPath  # noqa: E402
from model import ModelPath  # noqa: E402

LINES = 200  # entries in the listed directory


class LeanFTP:
    """Answers the calls FTPPath makes, from memory, as a Unix server would."""

    encoding = "utf-8"

    def __init__(self, files: dict[str, bytes], dirs: set[str], listing: list[str]):
        self.files, self.dirs, self.listing = files, dirs, listing
        self.log: list | None = None

    def _note(self, *entry) -> None:
        if self.log is not None:
            self.log.append(entry)

    def nlst(self, path):
        self._note("nlst", path)
        if path in self.files:
            return [path]
        return ["x"] if path in self.dirs else []

    def retrbinary(self, cmd, callback, blocksize=8192, rest=None):
        self._note("retrbinary", cmd, blocksize)
        data = self.files.get(cmd[5:])
        if data is None:
            raise ftplib.error_perm("550 Not a file.")
        if data:
            callback(data[:blocksize])
            if len(data) > blocksize:
                callback(data[blocksize:])
        return "226 Transfer complete."

    def storbinary(self, cmd, fp, blocksize=8192, callback=None, rest=None):
        self._note("storbinary", cmd)
        self.files[cmd[5:]] = fp.read()
        return "226 Transfer complete."

    def retrlines(self, cmd, callback=None):
        self._note("retrlines", cmd)
        for line in self.listing:
            callback(line)
        return "226 Transfer complete."

    def sendcmd(self, cmd):
        self._note("sendcmd", cmd)
        word, path = cmd.split(" ", 1)
        if word == "MLST":
            if path in self.dirs:
                return f"250-Listing {path}\n type=dir;perm=el; {path}\n250 End."
            if path in self.files:
                return f"250-Listing {path}\n type=file;size={len(self.files[path])}; {path}\n250 End."
            raise ftplib.error_perm("550 No such file or directory.")
        if word == "MDTM" and path in self.files:
            return "213 20240102030405"
        if word == "SIZE" and path in self.files:
            return f"213 {len(self.files[path])}"
        raise ftplib.error_perm("550 No such file or directory.")

    def mkd(self, path):
        self._note("mkd", path)
        return path  # made, and forgotten: the next call makes it again

    def delete(self, path):
        self._note("delete", path)
        return "250 Deleted."


class _Replies(dict):
    """Replies by command text; a command it has none for is refused with 550."""

    def __missing__(self, cmd):
        raise ftplib.error_perm("550 No such file or directory.")


def answering_at_c_speed(lean: LeanFTP) -> LeanFTP:
    """The same answers as *lean* (for the commands the benchmark sends), with
    the one-line methods replaced by builtins: nlst and sendcmd become
    dictionary lookups, mkd and delete take the path and keep nothing. What
    is left of the client's own time is then as small as Python allows, and
    the table shows the members' own work. Calls are not recorded."""
    fast = LeanFTP(lean.files, lean.dirs, lean.listing)
    names = {path: [path] for path in lean.files} | {path: ["x"] for path in lean.dirs}
    fast.nlst = names.get  # a missing path lists nothing (None)
    replies = _Replies()
    for path in lean.dirs:
        replies["MLST " + path] = f"250-Listing {path}\n type=dir;perm=el; {path}\n250 End."
    for path, data in lean.files.items():
        replies["MLST " + path] = f"250-Listing {path}\n type=file;size={len(data)}; {path}\n250 End."
        replies["MDTM " + path] = "213 20240102030405"
        replies["SIZE " + path] = f"213 {len(data)}"
    fast.sendcmd = replies.__getitem__
    fast.mkd = str
    fast.delete = len
    return fast


def make_client() -> LeanFTP:
    listing = ["total 3", "drwxr-xr-x 2 u g 4096 Jan 01 00:00 .", "drwxr-xr-x 9 u g 4096 Jan 01 00:00 .."]
    for i in range(LINES - 3):
        kind = "l" if i % 10 == 0 else "-"
        name = f"entry {i:03d}.txt"
        if kind == "l":
            listing.append(f"lrwxrwxrwx 1 u g 6 Jan 01 00:00 {name} -> target")
        else:
            listing.append(f"-rw-r--r-- 1 user group {i * 7} Mar 14 2024 {name}")
    files = {"/d/f.txt": b"x" * 1024, "/d/g.txt": b"y" * 1024}
    return LeanFTP(files, {"/", "/d"}, listing)


def unwrapped(cls, name):
    member = next(vars(k)[name] for k in cls.__mro__ if name in vars(k))
    return (member.fget if isinstance(member, property) else member).__wrapped__


def cases(cls, local: str):
    """name -> (callable, calls per run as the table counts them)."""
    f = cls("/d/f.txt")
    d = cls("/d")
    new = cls("/d/new")
    doomed = cls("/d/g.txt")
    get = {n: unwrapped(cls, n) for n in ("exists", "is_dir", "mtime", "read", "write", "upload", "glob",
                                          "mkdir", "delete")}
    data = b"z" * 1024
    return {
        "exists": (lambda: get["exists"](f), 1),
        "is_dir() on a file": (lambda: get["is_dir"](f), 1),
        "is_dir() on a directory": (lambda: get["is_dir"](d), 1),
        "mtime": (lambda: get["mtime"](f), 1),
        "read (1 KiB)": (lambda: get["read"](f), 1),
        "write (1 KiB)": (lambda: get["write"](f, data), 1),
        "upload (a 1 KiB file)": (lambda: get["upload"](f, local), 1),
        "glob, per listed line": (lambda: list(get["glob"](d, "*")), LINES),
        "mkdir (a new directory)": (lambda: get["mkdir"](new), 1),
        "delete (a file)": (lambda: get["delete"](doomed), 1),
    }


def calls_of(fn, client) -> list:
    client.log = []
    try:
        fn()
    finally:
        log, client.log = client.log, None
    return log


def compare(native: dict, model: dict, client: LeanFTP) -> None:
    for name in native:
        a, b = calls_of(native[name][0], client), calls_of(model[name][0], client)
        if a != b:
            raise SystemExit(f"{name}: the model's calls differ from the core's:\n  {a}\n  {b}")


def timed(native: dict, model: dict, rounds: int, budget: float) -> dict[str, tuple[float, float]]:
    rows = {}
    for name in native:
        fn_n, per = native[name]
        fn_m, _ = model[name]
        # calls per timed batch, so that one batch takes about `budget` seconds
        fn_m()
        t0 = time.perf_counter()
        fn_m()
        once = max(time.perf_counter() - t0, 1e-7)
        batch = max(1, int(budget / once))
        times: dict[str, list[float]] = {"native": [], "model": []}
        gc.disable()
        try:
            for r in range(rounds):
                order = (("native", fn_n), ("model", fn_m)) if r % 2 == 0 else (("model", fn_m), ("native", fn_n))
                for side, fn in order:
                    t = time.perf_counter_ns()
                    for _ in range(batch):
                        fn()
                    times[side].append((time.perf_counter_ns() - t) / batch / per)
        finally:
            gc.enable()
        # The fastest round: other work on the machine only ever adds time.
        rows[name] = (min(times["native"]), min(times["model"]))
    return rows


def run(rounds: int, budget: float) -> list[tuple[str, float, float, float, float]]:
    # As in use, the thread has a store of clients (the benchmark's own client is
    # a class attribute, so _valid_reset finds none there and has nothing to do).
    Local.setattr(("bench", "unused", 0), None)
    with tempfile.NamedTemporaryFile(delete=False) as tmp:
        tmp.write(b"u" * 1024)
    try:
        results = []
        lean = make_client()
        for client in (lean, answering_at_c_speed(make_client())):
            Native = type("Native", (FTPPath,), {"client": client})
            Model = type("Model", (ModelPath,), {"client": client})
            native, model = cases(Native, tmp.name), cases(Model, tmp.name)
            if client is lean:
                compare(native, model, client)
            results.append(timed(native, model, rounds, budget))
        rows = []
        for name in results[0]:
            (n1, m1), (n2, m2) = results[0][name], results[1][name]
            rows.append((name, n1, m1, n2, m2))
            print(f"{name:28s} python client: {n1:7.0f} / {m1:7.0f} ns = {m1 / n1:.2f}   "
                  f"builtin answers: {n2:7.0f} / {m2:7.0f} ns = {m2 / n2:.2f}", flush=True)
        return rows
    finally:
        os.unlink(tmp.name)


def table(rows) -> str:
    out = ["| member | native ns | model ns | model / native | native ns, builtin answers | model ns, builtin answers "
           "| model / native, builtin answers |", "|---|---|---|---|---|---|---|"]
    for name, n1, m1, n2, m2 in rows:
        out.append(f"| {name} | {n1:,.0f} | {m1:,.0f} | {m1 / n1:.2f} | {n2:,.0f} | {m2:,.0f} | **{m2 / n2:.2f}** |")
    return "\n".join(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--no-readme", action="store_true", help="only print")
    args = parser.parse_args()
    rounds, budget = (7, 0.02) if args.quick else (21, 0.05)
    rows = run(rounds, budget)
    text = table(rows)
    print(text)
    if args.no_readme:
        return
    readme = HERE / "README.md"
    section = (f"<!-- core:begin -->\n## The native core against a Python model of it\n\n"
               f"`PYTHONPATH=src python3 bench/core.py` (Python {sys.version.split()[0]}, {rounds} rounds, "
               f"fastest round; ratio > 1: the core is faster):\n\n{text}\n<!-- core:end -->")
    body = readme.read_text()
    if "<!-- core:begin -->" in body:
        body = re.sub(r"<!-- core:begin -->.*?<!-- core:end -->", lambda _: section, body, flags=re.S)
    else:
        body = body.rstrip("\n") + "\n\n" + section + "\n"
    readme.write_text(body)


if __name__ == "__main__":
    main()
