"""Reference loop over every FTPPath member, against pyftpdlib on loopback.

    python3.11-dbg tests/refloop.py            # leak check (needs a debug build)
    python3 tests/refloop.py --rounds 2        # only exercises every path once or twice

Not a pytest module (pytest collects test_*.py only): `.ci/refcount.sh` runs
it under the debug interpreter and `.ci/sanitize.sh` under the sanitizers.

Each case below drives one member down one of its paths (success, each kind
of refusal, each kind of argument error, the generator protocol of glob())
and checks the result, so a case that silently took another path fails
instead of measuring the wrong thing.  The pyftpdlib server runs on a thread
of this process, serving a temporary folder on a loopback address.

With ``sys.gettotalrefcount`` (a debug build) the script measures:

* the whole loop (every case once per iteration): the growth of the first,
  cold iteration, then, after a warm-up, the growth over several blocks of
  iterations, given per 10,000 member calls;
* each case on its own, the same way, which names the member that leaks.

A sample is taken with the server idle and after ``gc.collect()``.  A case
leaks when its count grows in every measured block: a leak repeats on every
call, while the server's own bookkeeping (its scheduler heap, a data channel
still closing) comes and goes.  ResourceWarnings (a socket or file left to
the garbage collector) are counted per case and shown, not failed on.
Exit status 1 on a leak or a failed check.
"""

from __future__ import annotations

import argparse
import ftplib
import gc
import logging
import os
import shutil
import socket
import sys
import tempfile
import threading
import time
import traceback
from array import array
from datetime import datetime
from pathlib import Path

USER, PASSWORD = "refloop", "refloop-pw"
FILE_DATA = b"0123456789abcdef\n" * 64  # several blocks, so is_dir() abandons a transfer


class CheckFailed(AssertionError):
    pass


def expect(condition, what):
    if not condition:
        raise CheckFailed(what)


def raises(kind, fn, *args, contains=None, **kwargs):
    """fn(*args, **kwargs) must raise *kind* (whose text holds *contains*)."""
    try:
        fn(*args, **kwargs)
    except kind as exc:
        if contains is not None and contains not in str(exc):
            raise CheckFailed(f"{kind.__name__} without {contains!r}: {exc}") from exc
        return exc
    raise CheckFailed(f"{getattr(fn, '__qualname__', fn)}{args} did not raise {kind.__name__}")


# ---------------------------------------------------------------------------
# The server and the tree it serves

class Site:
    """The served folder, a local tree to upload, and the running server."""

    def __init__(self, top: Path, host: str, passive_base: int):
        # This server needs no TLS.  pyftpdlib would load pyOpenSSL if it is
        # installed (the TLS tests need it), and with it cffi and a Rust
        # module whose import-time allocations LeakSanitizer reports at exit.
        sys.modules.setdefault("OpenSSL", None)
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import FTPServer

        # A handler of its own keeps pyftpdlib from installing its INFO-level one.
        log = logging.getLogger("pyftpdlib")
        if not log.handlers:
            log.addHandler(logging.StreamHandler())
        log.setLevel(logging.WARNING)
        self.root = top / "root"
        self.local = top / "local"
        self.root.mkdir()
        data = self.root / "data"
        (data / "dir" / "sub").mkdir(parents=True)
        (data / "emptydir").mkdir()
        (data / "file.txt").write_bytes(FILE_DATA)
        (data / "empty.bin").write_bytes(b"")
        (data / "dir" / "a.txt").write_bytes(b"a\n")
        (data / "dir" / "b.log").write_bytes(b"b\n")
        (self.root / "work").mkdir()
        (self.local / "sub").mkdir(parents=True)
        (self.local / "top.txt").write_bytes(b"top\n")
        (self.local / ".hidden").write_bytes(b"dot\n")
        (self.local / "sub" / "a.bin").write_bytes(bytes(range(256)) * 8)

        authorizer = DummyAuthorizer()
        authorizer.add_user(USER, PASSWORD, str(self.root), perm="elradfmwMT")
        # No idle timeouts: each would put a call on the server's scheduler at
        # every command and leave the cancelled one there until the heap is
        # rebuilt, hundreds of calls later, which swamps what is measured here.
        no_timeout = {"timeout": 0}
        handler = type("RefloopHandler", (FTPHandler,), {
            "authorizer": authorizer,
            "banner": "refloop",
            "timeout": 0,
            "dtp_handler": type("RefloopDTP", (FTPHandler.dtp_handler,), no_timeout),
            "passive_dtp": type("RefloopPassive", (FTPHandler.passive_dtp,), no_timeout),
            "active_dtp": type("RefloopActive", (FTPHandler.active_dtp,), no_timeout),
            # Thousands of transfers a minute leave their passive ports in
            # TIME_WAIT, and the kernel then runs out of ports to hand out for
            # bind(port 0); a small range bound with SO_REUSEADDR (as
            # pyftpdlib does for a configured range) is reused instead.
            "passive_ports": range(passive_base, passive_base + 100),
        })
        self.data_channel = handler.dtp_handler
        self.server = FTPServer((host, 0), handler)
        self.host, self.port = self.server.address[:2]
        self.thread = threading.Thread(
            target=self.server.serve_forever,
            kwargs={"timeout": 1.0, "blocking": True, "handle_exit": False},
            name="pyftpdlib",
            daemon=True,
        )
        self.thread.start()

        self.config = top / "dravlen.ini"
        self.config.write_text(
            f"[ftp]\nhost = {self.host}\nport = {self.port}\nuser = {USER}\npassword = {PASSWORD}\ntimeout = 10\n"
            # _reset fails in _read_config for the first, after the client is made for the second.
            "[badtimeout]\ntimeout = soon\n"
            "[badpasv]\npasv = perhaps\n"
        )
        os.environ["DRAVLEN_CONFIG"] = str(self.config)

    def close(self):
        self.server.close_all()
        self.thread.join(5)


# ---------------------------------------------------------------------------
# The cases: name -> function(site) returning the number of member calls made

def build_cases(site: Site):
    import dravlen.ftp.path as native
    from dravlen.base import Local
    from dravlen.config import ConfigError
    from dravlen.ftp.path import FTPPath

    root = site.root
    file_ = FTPPath("/data/file.txt")
    empty = FTPPath("/data/empty.bin")
    folder = FTPPath("/data/dir")
    emptydir = FTPPath("/data/emptydir")
    missing = FTPPath("/data/missing")
    listing = ["/data/dir/a.txt", "/data/dir/b.log", "/data/dir/sub"]

    def names(gen):
        return sorted(p.path.as_posix() for p in gen)

    cases = {}

    def case(fn):
        cases[fn.__name__] = fn
        return fn

    # -- exists ----------------------------------------------------------
    @case
    def exists_true(_):
        expect(file_.exists is True, "exists of a file")
        expect(folder.exists is True, "exists of a directory")
        return 2

    @case
    def exists_false(_):
        expect(missing.exists is False, "exists of a missing path")
        return 1

    @case
    def exists_empty_dir(_):
        expect(emptydir.exists is True, "exists of an empty directory")
        return 1

    # -- is_dir ----------------------------------------------------------
    @case
    def is_dir_file(_):
        expect(file_.is_dir() is False, "is_dir of a file")
        expect(empty.is_dir() is False, "is_dir of an empty file")
        return 2

    @case
    def is_dir_dir(_):
        expect(folder.is_dir() is True, "is_dir of a directory")
        return 1

    @case
    def is_dir_missing(_):
        raises(FileNotFoundError, missing.is_dir, contains="does not exist")
        return 1

    # -- mtime -----------------------------------------------------------
    @case
    def mtime(_):
        value = file_.mtime
        expect(type(value) is datetime and value.year >= 2000, f"mtime {value!r}")
        return 1

    @case
    def mtime_refused(_):
        raises(FileNotFoundError, lambda: missing.mtime, contains="does not exist")
        raises(TypeError, lambda: folder.mtime, contains="could not retrieve modification time")
        return 2

    # -- read ------------------------------------------------------------
    @case
    def read(_):
        expect(file_.read() == FILE_DATA, "read of a file")
        expect(empty.read() == b"", "read of an empty file")
        return 2

    @case
    def read_refused(_):
        raises(FileNotFoundError, missing.read, contains="does not exist")
        raises(TypeError, folder.read, contains="is not a file")
        return 2

    # -- write -----------------------------------------------------------
    @case
    def write(_):
        FTPPath("/work/w/out.bin").write(b"payload\n")
        expect((root / "work" / "w" / "out.bin").read_bytes() == b"payload\n", "write")
        return 1

    @case
    def write_new_parent(_):
        shutil.rmtree(root / "work" / "wn", ignore_errors=True)
        FTPPath("/work/wn/deep/out.bin").write(b"")
        expect((root / "work" / "wn" / "deep" / "out.bin").is_file(), "write below new folders")
        return 1

    # -- upload ----------------------------------------------------------
    @case
    def upload_tree(s):
        FTPPath("/work/up").upload(str(s.local))
        got = root / "work" / "up"
        expect((got / "sub" / "a.bin").read_bytes() == (s.local / "sub" / "a.bin").read_bytes(), "upload a tree")
        expect((got / ".hidden").is_file() and (got / "top.txt").is_file(), "upload a tree: top files")
        shutil.rmtree(got)
        return 1

    @case
    def upload_file(s):
        FTPPath("/work/upf/top.txt").upload(str(s.local / "top.txt"))
        expect((root / "work" / "upf" / "top.txt").read_bytes() == b"top\n", "upload a file")
        return 1

    @case
    def upload_missing_local(s):
        raises(FileNotFoundError, FTPPath("/work/upm/x").upload, str(s.local / "no-such-file"))
        return 1

    # -- glob ------------------------------------------------------------
    @case
    def glob_all(_):
        expect(names(folder.glob()) == listing, "glob()")
        expect(names(emptydir.glob()) == [], "glob() of an empty directory")
        return 2

    @case
    def glob_pattern(_):
        expect(names(folder.glob("*.txt")) == ["/data/dir/a.txt"], "glob('*.txt')")
        expect(names(folder.glob(pattern="*.none")) == [], "glob without a match")
        return 2

    @case
    def glob_send(_):
        gen = folder.glob()
        got = [gen.send(None).path.as_posix()]
        got.append(next(gen).path.as_posix())
        got.append(gen.send(None).path.as_posix())
        raises(StopIteration, gen.send, None)
        raises(StopIteration, gen.send, None)  # finished stays finished
        expect(sorted(got) == listing, f"glob send {got}")
        gen2 = folder.glob()
        raises(TypeError, gen2.send, 1, contains="just-started")
        expect(next(gen2).path.as_posix() in listing, "glob after a refused send")
        return 8

    @case
    def glob_throw(_):
        gen = folder.glob()
        next(gen)
        raises(ValueError, gen.throw, ValueError)
        raises(StopIteration, next, gen)
        gen = folder.glob()  # thrown into before it started
        raises(KeyError, gen.throw, KeyError("k"))
        try:
            raise LookupError("with a traceback")
        except LookupError as exc:
            tb = exc.__traceback__
        gen = folder.glob()
        next(gen)
        raises(LookupError, gen.throw, LookupError, LookupError("v"), tb)
        gen = folder.glob()
        next(gen)
        raises(TypeError, gen.throw, 1, contains="deriving from BaseException")
        raises(TypeError, gen.throw, ValueError("x"), 1, contains="separate value")
        raises(TypeError, gen.throw, ValueError, None, 1, contains="traceback object")
        raises(TypeError, gen.throw)
        expect(next(gen).path.as_posix() in listing, "glob after refused throws")
        raises(RuntimeError, gen.throw, StopIteration, contains="generator raised StopIteration")
        gen = folder.glob()
        next(gen)
        raises(RuntimeError, gen.throw, StopIteration())
        return 19

    @case
    def glob_close(_):
        gen = folder.glob()
        next(gen)
        expect(gen.close() is None, "close")
        raises(StopIteration, next, gen)
        gen.close()
        folder.glob().close()  # before it started
        return 6

    @case
    def glob_dropped(_):
        gen = folder.glob()
        next(gen)
        del gen  # the generator goes with its listing half read
        gen = folder.glob()
        del gen  # and one that never started
        return 3

    @case
    def glob_refused(_):
        raises(TypeError, list, file_.glob(), contains="is not a directory")
        raises(FileNotFoundError, list, missing.glob(), contains="does not exist")
        return 2

    # -- mkdir -----------------------------------------------------------
    @case
    def mkdir(_):
        FTPPath("/work/mk/a/b").mkdir()
        expect((root / "work" / "mk" / "a" / "b").is_dir(), "mkdir")
        shutil.rmtree(root / "work" / "mk")
        return 1

    @case
    def mkdir_existing(_):
        expect(folder.mkdir() is None, "mkdir of an existing directory")
        return 1

    @case
    def mkdir_refused(_):
        raises(FileNotFoundError, file_.mkdir, contains="Failed to create directory")
        return 1

    # -- delete ----------------------------------------------------------
    @case
    def delete_tree(_):
        tree = root / "work" / "del"
        (tree / "sub" / "deeper").mkdir(parents=True)
        (tree / "x.txt").write_bytes(b"x")
        (tree / "sub" / "y.txt").write_bytes(b"y")
        FTPPath("/work/del").delete()
        expect(not tree.exists(), "delete of a tree")
        return 1

    @case
    def delete_file(_):
        (root / "work" / "f.txt").write_bytes(b"f")
        FTPPath("/work/f.txt").delete()
        expect(not (root / "work" / "f.txt").exists(), "delete of a file")
        return 1

    @case
    def delete_missing(_):
        raises(FileNotFoundError, FTPPath("/work/gone").delete, contains="does not exist")
        return 1

    # -- argument errors ---------------------------------------------------
    # Through the retry wrappers, and on the native functions themselves
    # (functools.wraps leaves them as __wrapped__), one of each kind.
    native_read = FTPPath.read.__wrapped__
    native_exists = FTPPath.exists.fget.__wrapped__
    native_glob = FTPPath.glob.__wrapped__

    class Text(str):
        pass

    @case
    def argument_errors(_):
        p = FTPPath("/work/args")
        raises(TypeError, native_read, contains="takes exactly 1 positional argument (0 given)")
        raises(TypeError, native_exists, contains="takes exactly 1 positional argument (0 given)")
        raises(TypeError, p.read, 1, contains="takes exactly 1 positional argument (2 given)")
        raises(TypeError, p.write, contains="takes exactly 2 positional arguments (1 given)")
        raises(TypeError, p.write, b"", b"", contains="takes exactly 2 positional arguments (3 given)")
        raises(TypeError, p.write, "text", contains="Argument 'data' has incorrect type")
        raises(TypeError, p.write, data=bytearray(b"x"), contains="Argument 'data' has incorrect type")
        raises(TypeError, p.write, b"", data=b"", contains="multiple values for keyword argument 'data'")
        raises(TypeError, p.write, nope=b"", contains="unexpected keyword argument 'nope'")
        raises(TypeError, p.upload, contains="takes exactly 2 positional arguments")
        raises(TypeError, p.upload, Path("/tmp"), contains="Argument 'local_path' has incorrect type")
        raises(TypeError, p.glob, 1, contains="Argument 'pattern' has incorrect type")
        raises(TypeError, p.glob, Text("*"), contains="Argument 'pattern' has incorrect type")
        raises(TypeError, p.glob, "*", "*", contains="takes at most 2 positional arguments (3 given)")
        raises(TypeError, native_glob, contains="takes at least 1 positional argument (0 given)")
        raises(TypeError, p.glob, pattern="*", extra=1, contains="unexpected keyword argument 'extra'")
        raises(TypeError, p._reset, contains="takes exactly 2 positional arguments (1 given)")
        raises(TypeError, p._reset, b"ftp", contains="Argument 'section' has incorrect type")
        raises(TypeError, p._reset, "ftp", section="ftp", contains="multiple values")
        return 19

    # -- _reset ------------------------------------------------------------
    @case
    def reset_ok(_):
        before = file_.client
        expect(file_._reset("ftp") is None, "_reset('ftp') returns None")
        made = Local.getattr(file_._key_on_thread())
        expect(type(made) is ftplib.FTP and made is not before and made.sock is None,
               f"_reset stored a new, unconnected client: {made!r}")
        before = made = None
        file_._new_client()  # _reset once more, then connect and log in
        expect(file_.exists is True, "exists on the new client")
        return 3

    @case
    def reset_failure(_):
        for section in ("badtimeout", "badpasv"):
            error = file_._reset(section)
            expect(isinstance(error, ConfigError), f"_reset({section!r}) returned {error!r}")
        expect(Local.getattr(file_._key_on_thread()) is None, "a failed _reset leaves no client")
        expect(file_.exists is True, "exists after a failed _reset")
        return 3

    # -- interrupt ---------------------------------------------------------
    @case
    def interrupt(_):
        raises(InterruptedError, native.interrupt, b"block", contains="Finish!")
        raises(InterruptedError, native.interrupt)
        raises(InterruptedError, native.interrupt, 1, 2, key=3)
        return 3

    # -- a lost connection: retried on a fresh client --------------------------
    @case
    def lost_connection(_):
        file_.client.sock.shutdown(socket.SHUT_RDWR)
        expect(file_.exists is True, "exists after the connection was lost")
        return 1

    return cases


def add_canary(cases):
    """A case that leaks one reference per call, to show the check sees one."""
    import ctypes

    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    kept = object()

    def canary(_):
        incref(kept)
        return 1

    cases["canary"] = canary


# Cases that sleep in retry's backoff run fewer times.
SCALE = {"lost_connection": 0.2}


# ---------------------------------------------------------------------------
# Measuring

def settle(site: Site) -> None:
    """Let the server finish what it is doing, then collect garbage."""
    deadline = time.monotonic() + 2.0
    # The server's connection map holds a data channel until it has closed it.
    while time.monotonic() < deadline:
        time.sleep(0.01)
        if not any(isinstance(h, site.data_channel) for h in list(site.server.ioloop.socket_map.values())):
            break
    time.sleep(0.02)
    gc.collect()
    gc.collect()


def run(fn, site, times):
    calls = 0
    for _ in range(times):
        calls += fn(site)
    return calls


def per_10k(growth, calls):
    return 10_000 * growth / calls if calls else 0.0


def measure(fn, site, warmup, blocks, per_block):
    """The growth of references and memory blocks over the first call of fn,
    then over each of *blocks* runs of *per_block* calls after *warmup* more,
    and the ResourceWarnings of those runs.

    The samples go into arrays made beforehand and every local is bound
    before the first sample, so that measuring holds no more objects at one
    sample than at the one before.
    """
    refs = array("q", bytes(8 * (blocks + 3)))
    mem = array("q", bytes(8 * (blocks + 3)))
    warned = array("q", bytes(8 * (blocks + 3)))
    first_calls = calls = i = 0
    settle(site)
    refs[0], mem[0], warned[0] = sys.gettotalrefcount(), sys.getallocatedblocks(), unclosed[0]
    first_calls = run(fn, site, 1)
    settle(site)
    refs[1], mem[1], warned[1] = sys.gettotalrefcount(), sys.getallocatedblocks(), unclosed[0]
    # The warm-up is the loop's first turn, so that the sample after it is
    # taken with the loop's iterator alive, as the others are.
    for i in range(blocks + 1):
        calls = run(fn, site, per_block if i else warmup)
        settle(site)
        refs[2 + i], mem[2 + i], warned[2 + i] = sys.gettotalrefcount(), sys.getallocatedblocks(), unclosed[0]
    return Measured(
        first_refs=refs[1] - refs[0],
        first_blocks=mem[1] - mem[0],
        first_calls=first_calls,
        refs=[refs[3 + i] - refs[2 + i] for i in range(blocks)],
        blocks=[mem[3 + i] - mem[2 + i] for i in range(blocks)],
        calls=calls * blocks,
        unclosed=warned[2 + blocks] - warned[2],
    )


class Measured:
    def __init__(self, **fields):
        self.__dict__.update(fields)

    @property
    def leaks(self):
        # A leak repeats on every call: the count grows in every block.
        return all(r > 0 for r in self.refs)

    @property
    def steady(self):
        return per_10k(sum(self.refs), self.calls)


# ResourceWarnings seen (unclosed sockets and files), in an array so that
# counting them makes no objects.
unclosed = array("q", [0])


def count_resource_warnings():
    """Count ResourceWarnings, showing the first three.

    The filter is "always" because under "default" (a debug build's filter
    for them) each distinct message gets an entry in the warning registry of
    the module that warned, and every unclosed socket names its own port:
    the reference count would grow with the registry.
    """
    import warnings

    show = warnings.showwarning

    def counting(message, category, filename, lineno, file=None, line=None):
        if issubclass(category, ResourceWarning):
            unclosed[0] += 1
            if unclosed[0] > 3:
                return
        show(message, category, filename, lineno, file, line)

    warnings.showwarning = counting
    warnings.simplefilter("always", ResourceWarning)


def blocks_text(values):
    return " ".join(f"{v:+d}" for v in values)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=40, help="iterations of one measured block (whole loop)")
    parser.add_argument("--blocks", type=int, default=3, help="measured blocks")
    parser.add_argument("--warmup", type=int, default=5, help="warm-up iterations")
    parser.add_argument("--per-member", type=int, default=60, help="iterations of one block of each case; 0: none")
    parser.add_argument("--rounds", type=int, default=0,
                        help="only run the whole loop this many times, measuring nothing")
    parser.add_argument("--host", default="127.0.77.1", help="loopback address of the server")
    parser.add_argument("--passive-base", type=int, default=20000 + os.getpid() % 100 * 100,
                        help="first of the server's 100 passive ports (below the kernel's ephemeral range)")
    parser.add_argument("--canary", action="store_true", help="add a case that leaks, to check the check")
    parser.add_argument("--only", action="append", default=[], help="measure only these cases")
    args = parser.parse_args(argv)

    debug = hasattr(sys, "gettotalrefcount")
    count_resource_warnings()
    if not debug and not args.rounds:
        print("refloop: this interpreter has no sys.gettotalrefcount (not a debug build); use --rounds", file=sys.stderr)
        return 2
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="refloop-") as top:
        site = Site(Path(top), args.host, args.passive_base)
        try:
            import pyftpdlib

            import dravlen.ftp.path

            cases = build_cases(site)
            if args.canary:
                add_canary(cases)
            unknown = [n for n in args.only if n not in cases]
            if unknown:
                print(f"refloop: no case named {', '.join(unknown)}; cases: {', '.join(cases)}", file=sys.stderr)
                return 2
            chosen = {n: cases[n] for n in (args.only or cases)}
            print(f"refloop: Python {sys.version.split()[0]}{' (debug build)' if debug else ''}, "
                  f"pyftpdlib {pyftpdlib.__ver__} on {site.host}:{site.port}, {len(chosen)} cases")
            print(f"refloop: module {dravlen.ftp.path.__file__}")

            def whole(s):
                calls = 0
                for name, fn in chosen.items():
                    try:
                        calls += fn(s)
                    except Exception as exc:
                        raise CheckFailed(f"case {name}: {exc!r}") from exc
                return calls

            if args.rounds:
                calls = run(whole, site, args.rounds)
                print(f"refloop: {args.rounds} rounds, {calls} member calls, every check passed "
                      f"in {time.monotonic() - started:.1f} s; {unclosed[0]} ResourceWarnings")
                return 0
            return report(whole, chosen, site, args, started)
        except CheckFailed as exc:
            traceback.print_exc()
            print(f"refloop: FAILED check: {exc}", file=sys.stderr)
            return 1
        finally:
            site.close()


def report(whole, chosen, site, args, started) -> int:
    m = measure(whole, site, args.warmup, args.blocks, args.iterations)
    print(f"whole loop: {m.first_calls} member calls per iteration")
    print(f"  first run    {m.first_refs:+8d} refs {m.first_blocks:+7d} blocks"
          f"  = {per_10k(m.first_refs, m.first_calls):+.1f} refs per 10,000 calls")
    print(f"  steady state {args.blocks} blocks x {args.iterations} iterations ({m.calls} calls) after"
          f" {args.warmup} warm-up: refs {blocks_text(m.refs)}, blocks {blocks_text(m.blocks)}"
          f" = {m.steady:+.1f} refs per 10,000 calls; {m.unclosed} ResourceWarnings")
    leaks = ["whole loop"] if m.leaks else []
    if args.per_member:
        print(f"per case ({args.blocks} blocks of {args.per_member} iterations each, after {args.warmup} warm-up):")
        print(f"  {'case':<22}{'calls':>7}  {'refs per block':<20}{'per 10,000 calls':>17}"
              f"   {'blocks per block':<20}ResourceWarnings")
        for name, fn in chosen.items():
            n = max(1, round(args.per_member * SCALE.get(name, 1.0)))
            m = measure(fn, site, args.warmup, args.blocks, n)
            if m.leaks:
                leaks.append(name)
            print(f"  {name:<22}{m.calls:>7}  {blocks_text(m.refs):<20}{m.steady:>+17.1f}"
                  f"   {blocks_text(m.blocks):<20}{m.unclosed:>5}{'   <- LEAKS' if m.leaks else ''}")
    print(f"refloop: {time.monotonic() - started:.1f} s, {unclosed[0]} ResourceWarnings in all")
    if leaks:
        print(f"refloop: references grow in every block: {', '.join(leaks)}", file=sys.stderr)
        return 1
    print("refloop: no growth at steady state")
    return 0


if __name__ == "__main__":
    sys.exit(main())
