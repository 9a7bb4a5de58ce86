"""The native core against a plain-Python model of it (bench/model.py), in memory, in the three runs
bench/README.md describes; each member's calls on the tests' `FakeFTP` are compared first.

    PYTHONPATH=src python3 bench/core.py [--quick] [--no-readme]
"""

from __future__ import annotations

import contextlib
import ftplib
import gc
import io
import operator
import os
import posixpath
import sys
import tempfile
import time
import types
from unittest import mock

import _support as S  # puts tests/ on the path
import dravlen.ftp.path as native_module
import model as model_module
from dravlen.base import Local
from dravlen.ftp.path import FTPPath
from fakes import FakeFTP
from model import ModelPath

LINES = 200  # entries in the listed directory

class _Replies(dict):
    """Replies by command text; one it has none for is refused with 550, as the fake refuses it."""

    def __missing__(self, cmd):
        raise ftplib.error_perm("550 No such file or directory.")

def make_client() -> FakeFTP:
    """The tests' in-memory server with two files and a listed folder, recording nothing; mkd and delete
    change nothing, so that they can be repeated; a missing path lists nothing."""
    fake = FakeFTP()
    fake.log, fake.keeps_changes, fake.missing_lists_nothing = None, False, True
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
    """The same answers, with the methods that only look something up as builtins (nlst and sendcmd dict
    lookups, mkd and delete keeping nothing): the client's own time as small as Python allows."""
    names, replies = {}, _Replies()
    for cmd in ["/d/f.txt", "/d/g.txt", "/d", "/"]:
        names[cmd] = fake.nlst(cmd)
        for word in ("MLST", "MDTM", "SIZE"):
            try:
                replies[f"{word} {cmd}"] = fake.sendcmd(f"{word} {cmd}")
            except ftplib.Error:
                pass
    fake.nlst, fake.sendcmd = names.get, replies.__getitem__  # a missing path lists nothing (None)
    fake.mkd, fake.delete = str, len
    return fake

MEMBERS = ("exists", "is_dir", "mtime", "read", "write", "upload", "glob", "mkdir", "delete")

def unwrapped(cls, name, as_attribute=False):
    """cls's member *name* without its retry wrapper: the function, or as a class attribute (a property again)."""
    member = next(vars(k)[name] for k in cls.__mro__ if name in vars(k))
    function = getattr(member, "fget", member)
    function = getattr(function, "__wrapped__", function)
    return property(function) if as_attribute and isinstance(member, property) else function

def own_work(cls) -> dict:
    """Class attributes for the "own work" runs (see the module's doc)."""
    return {**{name: unwrapped(cls, name, True) for name in MEMBERS}, "parent": property(operator.attrgetter("_up")),
            "_valid_reset": staticmethod(tuple)}

def path_of(cls, text: str, kept_parent: bool):
    """cls(text); with kept_parent, its parents made at once and kept on it as _up."""
    path = cls(text)
    if kept_parent:
        above = posixpath.dirname(text)
        path._up = path if above == text else path_of(cls, above, True)
    return path

def LocalFromMemory(local: str, content: bytes) -> contextlib.ExitStack:
    """Module-level `pathlib` and `open` of both modules, for upload's local file, from memory (put back
    on exit): Path() is a dict lookup, is_dir() a builtin (bool() is False: a file), open() a BytesIO."""
    stack = contextlib.ExitStack()
    pathlib = types.SimpleNamespace(Path={local: types.SimpleNamespace(is_dir=bool)}.__getitem__)
    for module in (native_module, model_module):
        stack.enter_context(mock.patch.multiple(module, create=True, pathlib=pathlib,
                                                open=lambda path, mode: io.BytesIO(content)))
    return stack

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
    """Per call, in ns: the fastest round of each side (other work on the machine only ever adds time)."""
    rows = {}
    for name, ((fn_n, per), (fn_m, _)) in zip(native, zip(native.values(), model.values())):
        fn_m()
        start = time.perf_counter()
        fn_m()
        batch = max(1, int(budget / max(time.perf_counter() - start, 1e-7)))  # a batch takes about `budget` s
        gc.disable()
        try:
            wall, _ = S.interleaved({"native": S.repeat(fn_n, batch), "model": S.repeat(fn_m, batch)}, rounds)
        finally:
            gc.enable()
        rows[name] = tuple(min(wall[side]) * 1e9 / batch / per for side in ("native", "model"))
    return rows

VARIANTS = ("python client", "builtin answers", "own work")

def pair(client: FakeFTP, local: str, own: bool) -> tuple[dict, dict]:
    """The cases of the core and of the model, both with this client."""
    return tuple(cases(type(base.__name__, (base,), {"client": client, **(own_work(base) if own else {})}), local,
                       own) for base in (FTPPath, ModelPath))

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
        return [(name, [r[name] for r in results]) for name in results[0]]
    finally:
        os.unlink(tmp.name)

def table(rows) -> str:
    return S.markdown_table(["member", *(f"{what}, {v}" for v in VARIANTS
                                         for what in ("native ns", "model ns", "model / native"))],
                            [[name, *(x for n, m in cells for x in (f"{n:,.0f}", f"{m:,.0f}", f"**{m / n:.2f}**"))]
                             for name, cells in rows])

def main() -> None:
    args = S.parser(__doc__, "fewer rounds").parse_args()
    rounds, budget = (7, 0.02) if args.quick else (21, 0.05)
    S.publish(args, "core", f"`PYTHONPATH=src python3 bench/core.py` (Python {sys.version.split()[0]}, {rounds} "
              f"rounds, fastest round; ratio > 1: the core is faster):\n\n{table(run(rounds, budget))}")

if __name__ == "__main__":
    main()
