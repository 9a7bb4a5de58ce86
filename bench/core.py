"""The native core against a plain-Python model of it (bench/model.py), in memory:
the three runs ("python client", "builtin answers", "own work") are described
in bench/README.md.  Both sides get the tests' `FakeFTP` as a class attribute,
and are timed without the outer `retry` wrapper; each member's calls on it are
compared first and must be the same.

    PYTHONPATH=src python3 bench/core.py [--quick] [--no-readme]
"""

from __future__ import annotations

import argparse
import contextlib
import ftplib
import gc
import io
import operator
import os
import posixpath
import types
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import dravlen.ftp.path as native_module  # noqa: E402
import model as model_module  # noqa: E402
from dravlen.base import Local  # noqa: E402
from dravlen.ftp.path import FTPPath  # noqa: E402
from model import ModelPath  # noqa: E402

import _support as S  # noqa: E402  (puts tests/ on the path)
from fakes import FakeFTP  # noqa: E402

LINES = 200  # entries in the listed directory


class _Replies(dict):
    """Replies by command text; one it has none for is refused with 550, as the fake refuses it."""

    def __missing__(self, cmd):
        raise ftplib.error_perm("550 No such file or directory.")


def make_client() -> FakeFTP:
    """The tests' in-memory server with two files and a listed folder, recording nothing;
    mkd and delete change nothing, so that they can be repeated."""
    fake = FakeFTP()
    fake.log, fake.keeps_changes = None, False
    fake.add_file("/d/f.txt", b"x" * 1024)
    fake.add_file("/d/g.txt", b"y" * 1024)
    # LIST -a /d: these, ".", ".." and the two files: LINES lines.
    listing = fake.extra_lines["/d"] = ["total 3"]
    for i in range(LINES - 5):
        name = f"entry {i:03d}.txt"
        listing.append(f"lrwxrwxrwx 1 u g 6 Jan 01 00:00 {name} -> target" if i % 10 == 0
                       else f"-rw-r--r-- 1 user group {i * 7} Mar 14 2024 {name}")
    return fake


def answering_at_c_speed(fake: FakeFTP) -> FakeFTP:
    """The same answers (for the commands the benchmark sends), with the methods
    that only look something up replaced by builtins: nlst and sendcmd become
    dictionary lookups, mkd and delete take the path and keep nothing. What is
    left of the client's own time is then as small as Python allows."""
    names, replies = _Replies(), _Replies()
    for cmd in ["/d/f.txt", "/d/g.txt", "/d", "/"]:
        names[cmd] = fake.nlst(cmd)
        for word in ("MLST", "MDTM", "SIZE"):
            try:
                replies[f"{word} {cmd}"] = fake.sendcmd(f"{word} {cmd}")
            except ftplib.Error:
                pass
    fake.nlst, fake.sendcmd = names.__getitem__, replies.__getitem__
    fake.mkd, fake.delete = str, len
    return fake


MEMBERS = ("exists", "is_dir", "mtime", "read", "write", "upload", "glob", "mkdir", "delete")


def unwrapped(cls, name):
    member = next(vars(k)[name] for k in cls.__mro__ if name in vars(k))
    function = member.fget if isinstance(member, property) else member
    return getattr(function, "__wrapped__", function)


def without_wrappers(cls) -> dict:
    """Class attributes that bind cls's members without their retry wrappers."""
    bare = {}
    for name in MEMBERS:
        member = next(vars(k)[name] for k in cls.__mro__ if name in vars(k))
        bare[name] = property(unwrapped(cls, name)) if isinstance(member, property) else unwrapped(cls, name)
    return bare


def own_work(cls) -> dict:
    """Class attributes for the "own work" runs (see the module's doc)."""
    return {**without_wrappers(cls), "parent": property(operator.attrgetter("_up")),
            "_valid_reset": staticmethod(tuple)}


def path_of(cls, text: str, kept_parent: bool):
    """cls(text); with kept_parent, its parents made at once and kept on it as _up."""
    path = cls(text)
    if kept_parent:
        above = posixpath.dirname(text)
        path._up = path if above == text else path_of(cls, above, True)
    return path


class LocalFromMemory:
    """Module-level `pathlib` and `open` for upload's local file, from memory:
    Path() is a dict lookup, is_dir() a builtin, open() a BytesIO."""

    def __init__(self, local: str, content: bytes):
        entry = types.SimpleNamespace(is_dir=bool)  # bool() is False: a file
        self.pathlib = types.SimpleNamespace(Path={local: entry}.__getitem__)
        self.open = lambda path, mode: io.BytesIO(content)

    def __enter__(self):
        self.saved = {(module, name): vars(module).get(name)
                      for module in (native_module, model_module) for name in ("pathlib", "open")}
        for module in (native_module, model_module):
            module.pathlib, module.open = self.pathlib, self.open
        return self

    def __exit__(self, *exc):
        for (module, name), value in self.saved.items():
            if value is None:
                delattr(module, name)  # open: the builtin again
            else:
                setattr(module, name, value)


def cases(cls, local: str, kept_parent: bool = False):
    """name -> (callable, calls per run as the table counts them)."""
    f = path_of(cls, "/d/f.txt", kept_parent)
    d = path_of(cls, "/d", kept_parent)
    new = path_of(cls, "/d/new", kept_parent)
    doomed = path_of(cls, "/d/g.txt", kept_parent)
    get = {n: unwrapped(cls, n) for n in MEMBERS}
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


def compare(native: dict, model: dict, client: FakeFTP) -> None:
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


VARIANTS = ("python client", "builtin answers", "own work")


def pair(client: FakeFTP, local: str, own: bool) -> tuple[dict, dict]:
    """The cases of the core and of the model, both with this client."""
    sides = []
    for base in (FTPPath, ModelPath):
        cls = type(base.__name__, (base,), {"client": client, **(own_work(base) if own else {})})
        sides.append(cases(cls, local, own))
    return sides[0], sides[1]


def run(rounds: int, budget: float) -> list[tuple[str, list[tuple[float, float]]]]:
    # As in use, the thread has a store of clients (the benchmark's own client is
    # a class attribute, so _valid_reset finds none there and has nothing to do).
    Local.setattr(("bench", "unused", 0), None)
    content = b"u" * 1024
    with tempfile.NamedTemporaryFile(delete=False) as tmp:
        tmp.write(content)
    try:
        results = []
        for variant in VARIANTS:
            own = variant == "own work"
            with LocalFromMemory(tmp.name, content) if own else contextlib.nullcontext():
                if variant != "builtin answers":  # the calls, recorded with the Python client
                    recorder = make_client()
                    compare(*pair(recorder, tmp.name, own), recorder)
                client = make_client() if variant == "python client" else answering_at_c_speed(make_client())
                results.append(timed(*pair(client, tmp.name, own), rounds, budget))
        rows = []
        for name in results[0]:
            cells = [r[name] for r in results]
            rows.append((name, cells))
            print(f"{name:26s}" + "   ".join(f"{v}: {n:6.0f} / {m:6.0f} ns = {m / n:.2f}"
                                              for v, (n, m) in zip(VARIANTS, cells)), flush=True)
        return rows
    finally:
        os.unlink(tmp.name)


def table(rows) -> str:
    head = "| member |" + "".join(f" native ns, {v} | model ns, {v} | model / native, {v} |" for v in VARIANTS)
    out = [head, "|---|" + "---|" * 3 * len(VARIANTS)]
    for name, cells in rows:
        out.append(f"| {name} |" + "".join(f" {n:,.0f} | {m:,.0f} | **{m / n:.2f}** |" for n, m in cells))
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
    S.update_readme("core", "## The native core against a Python model of it\n\n"
                    f"`PYTHONPATH=src python3 bench/core.py` (Python {sys.version.split()[0]}, {rounds} rounds, "
                    f"fastest round; ratio > 1: the core is faster):\n\n{text}")


if __name__ == "__main__":
    main()
