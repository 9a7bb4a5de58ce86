"""The import-time surface of dravlen.ftp.path, its native function type, and FTPPath._reset."""

from __future__ import annotations

import collections, collections.abc, datetime, fnmatch, ftplib, inspect, io, itertools, json, os, pathlib
import subprocess, sys, textwrap, traceback, types, typing

import pytest

import dravlen
import dravlen.base as base
import dravlen.config as config
import dravlen.ftp.path as mod
from dravlen.ftp.path import FTPPath

NativeFunction = type(mod.interrupt)
WRAPPED = ["exists", "is_dir", "read", "write", "upload", "delete", "mkdir", "glob", "mtime"]
MEMBERS = ["_reset"] + WRAPPED
OWN = ["_section", "_creator"] + MEMBERS  # what FTPPath's body binds, in order


def public(name):
    member = FTPPath.__dict__[name]
    return member.fget if isinstance(member, property) else member


def native(name):
    return public(name) if name == "_reset" else public(name).__wrapped__


def run_python(code):
    """Runs code in a fresh interpreter that imports this same dravlen; its last output line is JSON."""
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(dravlen.__file__).resolve().parents[1]))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


Boom = type("Boom", (Exception,), {})


class Spy:
    """Logs each attribute looked up on it; names in `answers` are answered, any other lookup fails."""

    def __init__(self, **answers):
        vars(self).update(seen=[], answers=answers)

    def __getattribute__(self, name):
        if name in ("seen", "answers") or name.startswith("__"):
            return object.__getattribute__(self, name)
        self.seen.append(name)
        if name in self.answers:
            return self.answers[name]
        raise Boom(name)


# -- import ------------------------------------------------------------------------
def test_namespace_and_class_shape():
    assert [(n, v) for n, v in vars(mod).items() if not n.startswith("__")] == [  # bound in import order
        ("datetime", datetime), ("fnmatch", fnmatch), ("ftplib", ftplib), ("io", io), ("pathlib", pathlib),
        ("Generator", typing.Generator), ("Any", typing.Any), ("Optional", typing.Optional), ("retry", base.retry),
        ("BasePath", base.BasePath), ("Local", base.Local), ("EnvConfig", config.EnvConfig),
        ("interrupt", mod.interrupt), ("FTPPath", FTPPath)]
    assert "__path__" not in vars(mod) and mod.__file__ == mod.__spec__.origin
    own = FTPPath.__dict__  # BasePath has its own _section and _creator: look at what FTPPath binds
    assert type(FTPPath) is type(base.BasePath) and FTPPath.__bases__ == (base.BasePath,)
    assert (FTPPath.__module__, FTPPath.__qualname__) == ("dravlen.ftp.path", "FTPPath")
    assert own["__annotations__"] == {"client": "ftplib.FTP"}
    assert type(own["_section"]) is tuple and own["_section"] == ("ftp",) and own["_creator"] is ftplib.FTP
    assert [n for n in own if not n.startswith("__")] == OWN
    assert all(type(own[n]) is property and own[n].fset is own[n].fdel is None for n in ("exists", "mtime"))
    assert type(own["_reset"]) is NativeFunction and not hasattr(own["_reset"], "__wrapped__")
    assert all(type(native(n)) is NativeFunction and native(n) is not own[n] for n in WRAPPED)
    assert NativeFunction.__flags__ & (1 << 9)  # a heap type
    with pytest.raises(TypeError):
        NativeFunction()


def test_import_builds_the_class_once_through_its_collaborators_without_io():
    seen = run_python(r'''
        import ctypes, ftplib, importlib, importlib.machinery, json, socket, sys, types
        try:
            import _interpreters as interpreters  # 3.13
        except ImportError:
            import _xxsubinterpreters as interpreters
        sockets, reads, retries, prepared, order = [], [], [], [], []
        import dravlen.base as base
        socket.socket = lambda *a, **k: sockets.append(repr(a))  # (ftplib, and ssl with it, are imported by now)
        from dravlen.config import EnvConfig
        real_init_configer, real_retry = EnvConfig.init_configer, base.retry
        EnvConfig.init_configer = classmethod(lambda cls: reads.append(1) or real_init_configer())
        base.retry = lambda *args, **kwargs: (retries.append([[repr(a) for a in args], kwargs])
                                              or real_retry(*args, **kwargs))
        class Namespace(dict):
            def __setitem__(self, key, value):
                order.append(key); super().__setitem__(key, value)
        def prepare(mcls, name, bases, **kwargs):
            prepared.append([name, type(bases) is tuple and bases == (base.BasePath,), kwargs])
            return Namespace()
        type(base.BasePath).__prepare__ = classmethod(prepare)
        import dravlen.ftp.path as m
        out = [retries, prepared, order, sockets, reads]
        # Import again, make the module again from its definition, run its body again: the class stays.
        cls, api = m.FTPPath, ctypes.pythonapi
        del sys.modules["dravlen.ftp.path"]
        again = [importlib.import_module("dravlen.ftp.path") is m]
        api.PyModule_GetDef.restype, api.PyModule_FromDefAndSpec2.restype = ctypes.c_void_p, ctypes.py_object
        definition = ctypes.c_void_p(api.PyModule_GetDef(ctypes.py_object(m)))
        spec = importlib.machinery.ModuleSpec("dravlen.ftp.path", m.__loader__, origin=m.__file__)
        module = api.PyModule_FromDefAndSpec2(definition, ctypes.py_object(spec), sys.api_version)
        again += [module is m, api.PyModule_ExecDef(ctypes.py_object(module), definition)]
        try:
            api.PyModule_ExecDef(ctypes.py_object(types.ModuleType("dravlen.ftp.path")), definition)
        except RuntimeError as exc:
            again.append(str(exc))
        again.append(m.FTPPath is cls)
        # A second interpreter may not import it, sharing the GIL ("legacy") or with its own ("isolated").
        refused = []
        for isolated in (False, True):
            if sys.version_info >= (3, 13):
                sub = interpreters.create("isolated" if isolated else "legacy")
                failed = interpreters.run_string(sub, "import dravlen.ftp.path")  # what was raised, or None
                refused.append(failed and f"{failed.type.__name__}: {failed.msg}")
            else:
                sub = interpreters.create(isolated=isolated)
                try:
                    interpreters.run_string(sub, "import dravlen.ftp.path")
                    refused.append(None)
                except interpreters.RunFailedError as exc:
                    refused.append(str(exc).replace("<class 'ImportError'>", "ImportError"))
            interpreters.destroy(sub)
        print(json.dumps(out + [again, refused]))
    ''')
    assert seen[0] == [[["<class 'ftplib.error_temp'>", "<class 'ftplib.error_reply'>"], {}]] * 9
    assert seen[1:3] == [[["FTPPath", True, {}]], ["__module__", "__qualname__", "__annotations__", *OWN]]
    assert seen[3:5] == [[], []]  # no socket made, no configuration read
    assert seen[5] == [True, True, 0, "Module 'path' has already been imported. Re-initialisation is not supported.",
                       True]
    ours = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    # From 3.12 on, an interpreter with a GIL of its own refuses the module itself, before the module is made.
    isolated = ours if sys.version_info < (3, 12) else (
        "ImportError: module dravlen.ftp.path does not support loading in subinterpreters")
    assert seen[6] == [ours, isolated]


@pytest.mark.parametrize("sabotage, expected", [
    ("fake = types.ModuleType('dravlen.base'); fake.retry, fake.BasePath = real.retry, real.BasePath;"
     " sys.modules['dravlen.base'] = fake", "ImportError"),
    ("sys.modules['dravlen.config'] = types.ModuleType('dravlen.config')", "ImportError"),
    ("real.retry = lambda *a: 1 / 0", "ZeroDivisionError"),
], ids=["no Local", "no EnvConfig", "retry fails"])
def test_failed_import_reports_the_init_frame(sabotage, expected):
    seen = run_python(rf'''
        import json, sys, traceback, types
        import dravlen.base as real
        {sabotage}
        try:
            import dravlen.ftp.path
        except Exception as exc:
            frames = [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)]
            print(json.dumps([type(exc).__name__, "dravlen.ftp.path" in sys.modules, frames]))
    ''')
    assert seen[:2] == [expected, False] and ["init dravlen.ftp.path", "dravlen/ftp/path"] in seen[2]


# -- the native functions --------------------------------------------------------------
SIGNATURES = {
    "_reset": "(self, section: 'str') -> 'Optional[Exception]'", "exists": "(self) -> 'bool'",
    "is_dir": "(self) -> 'bool'", "read": "(self) -> 'bytes'", "write": "(self, data: 'bytes') -> 'None'",
    "upload": "(self, local_path: 'str') -> 'None'", "delete": "(self) -> 'None'", "mkdir": "(self) -> 'None'",
    "glob": "(self, pattern: 'str' = '*') -> \"Generator['FTPPath', Any, Any]\"",
    "mtime": "(self) -> 'datetime.datetime'", "interrupt": "(*_, **__) -> 'None'",
}
ARGUMENTS = {"_reset": {"section": "ftp"}, "write": {"data": b"x"}, "upload": {"local_path": "/nonexistent/x"},
             "glob": {"pattern": "*"}}
FORMS = {"positional": lambda f, s, kw: f(s, *kw.values()), "keywords": lambda f, s, kw: f(self=s, **kw),
         "mixed": lambda f, s, kw: f(s, **kw)}


@pytest.mark.parametrize("name", MEMBERS + ["interrupt"])
def test_native_function_introspection_and_binding(name):
    f = mod.interrupt if name == "interrupt" else native(name)
    qualname = name if name == "interrupt" else "FTPPath." + name
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (name, qualname, "dravlen.ftp.path", None)
    assert (f.__defaults__, f.__kwdefaults__) == ((("*",) if name == "glob" else None), None)
    signature = inspect.signature(f)
    assert str(signature) == SIGNATURES[name]
    assert f.__annotations__ == {**{p.name: p.annotation for p in signature.parameters.values()
                                    if p.annotation is not p.empty}, "return": signature.return_annotation}
    if name != "interrupt":
        assert str(inspect.signature(public(name))) == SIGNATURES[name]  # through the retry wrapper
    bound = f.__get__(FTPPath("/p"), FTPPath)
    assert type(bound) is types.MethodType and bound.__func__ is f and f.__get__(None, FTPPath) is f
    for args, kwargs in ([((), {}), ((b"x",), {}), ((1, 2), {"k": 3})] if name == "interrupt" else []):
        with pytest.raises(InterruptedError) as caught:
            mod.interrupt(*args, **kwargs)
        assert type(caught.value) is InterruptedError and caught.value.args == ("Finish!",)
    for form in (FORMS if name != "interrupt" else []):  # arguments bind; errors carry the member's frame
        spy = Spy()
        with pytest.raises(Boom) as caught:  # the body ran and failed on its first look at self
            result = FORMS[form](f, spy, ARGUMENTS.get(name, {}))
            if name == "glob":
                next(result)
        frames = [(frame.name, frame.filename) for frame in traceback.extract_tb(caught.value.__traceback__)]
        assert ("dravlen.ftp.path.FTPPath." + name, "dravlen/ftp/path") in frames and len(spy.seen) == 1, form


# Each native frame: (name, line) in the module's one source file. Lines follow the module body:
# interrupt first, then the class body's members in the order they are bound.
TRACEBACK_ENTRIES = {"interrupt": ("dravlen.ftp.path.interrupt", 1)} | {
    name: ("dravlen.ftp.path.FTPPath." + name, line) for line, name in enumerate(MEMBERS, start=2)}


def native_entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "dravlen/ftp/path"]


def test_each_native_frame_has_its_own_traceback_entry():
    seen = {}
    for name in MEMBERS + ["interrupt"]:
        f = mod.interrupt if name == "interrupt" else native(name)
        for _ in range(2):  # the entry of a repeated failure is the same, not one that drifts or piles up
            with pytest.raises(Exception) as caught:
                result = f(Spy(), **ARGUMENTS.get(name, {})) if name != "interrupt" else f()
                if name == "glob":
                    next(result)  # the generator's own frame: glob's, not another member's
            assert native_entries(caught.value) == [TRACEBACK_ENTRIES[name]], name
            seen.setdefault(name, []).append(caught.value.__traceback__)
        assert f.__code__.co_firstlineno == TRACEBACK_ENTRIES[name][1] and f.__code__.co_filename == "dravlen/ftp/path"
    assert sorted(line for _, line in TRACEBACK_ENTRIES.values()) == list(range(1, len(MEMBERS) + 2))


def test_a_generator_failing_after_items_carries_globs_entry_and_a_nested_failure_both_entries():
    class Lister(FTPPath):
        is_dir = lambda self: True
        client = property(lambda self: types.SimpleNamespace(
            retrlines=lambda cmd, cb: cb("-rw-r--r-- 1 u g 1 Jan 01 00:00 a") or cb("-rw-r--r-- 1 u g 1 Jan 01 00:00 b")))

        def join(self, name):
            if name == "b":
                raise Boom(name)
            return name

    gen = native("glob")(Lister("/d"))
    assert next(gen) == "a"
    with pytest.raises(Boom) as caught:
        next(gen)
    assert native_entries(caught.value) == [TRACEBACK_ENTRIES["glob"]]
    # A member failing inside another: the inner frame, then the outer one, each with its own line.
    Inner = type("Inner", (FTPPath,), {"exists": property(lambda self: native("exists")(Spy(path=self.path)))})
    with pytest.raises(Boom) as caught:
        native("is_dir")(Inner("/x"))
    assert native_entries(caught.value) == [TRACEBACK_ENTRIES["is_dir"], TRACEBACK_ENTRIES["exists"]]


StrSub, BytesSub = type("StrSub", (str,), {}), type("BytesSub", (bytes,), {})
# Parameters that take exactly one type; values of other types (subclasses too), and how each is refused.
REFUSALS = [(name, param, value,
             f"Argument '{param}' has incorrect type (expected {kind}, got {type(value).__name__})")
            for name, param, kind, values in [
                ("write", "data", "bytes", (None, bytearray(b"x"), memoryview(b"x"), BytesSub(b"x"))),
                ("upload", "local_path", "str", (None, StrSub("x"), pathlib.Path("x"), b"x")),
                ("glob", "pattern", "str", (None, 5, StrSub("*"))),
                ("_reset", "section", "str", (None, StrSub("ftp"), ("ftp",)))]
            for value in values]


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("_reset", (), {}, "_reset() takes exactly 2 positional arguments (0 given)"),
    ("_reset", ("S",), {}, "_reset() takes exactly 2 positional arguments (1 given)"),
    ("_reset", ("S", "ftp", "ftp"), {}, "_reset() takes exactly 2 positional arguments (3 given)"),
    ("read", (), {}, "read() takes exactly 1 positional argument (0 given)"),
    ("mkdir", ("S", "S"), {}, "mkdir() takes exactly 1 positional argument (2 given)"),
    ("write", ("S",), {}, "write() takes exactly 2 positional arguments (1 given)"),
    ("glob", (), {"pattern": "*"}, "glob() takes at least 1 positional argument (0 given)"),
    ("glob", ("S", "*", "*"), {}, "glob() takes at most 2 positional arguments (3 given)"),
    ("read", ("S",), {"x": 1}, "read() got an unexpected keyword argument 'x'"),
    ("glob", ("S",), {"patern": "*"}, "glob() got an unexpected keyword argument 'patern'"),
    ("_reset", ("S", "ftp"), {"section": "ftp"}, "_reset() got multiple values for keyword argument 'section'"),
    ("upload", ("S",), {"self": "S"}, "upload() got multiple values for keyword argument 'self'"),
    *[(name, ("S", value), {}, message) for name, param, value, message in REFUSALS],
    *[(name, ("S",), {param: value}, message) for name, param, value, message in REFUSALS],
])
def test_wrong_arguments_are_refused_before_anything_happens(name, args, kwargs, message, monkeypatch):
    spy, store = Spy(), Spy()
    monkeypatch.setattr(mod, "Local", store)
    swap = lambda value: spy if type(value) is str and value == "S" else value
    for f in (native(name), public(name)):  # also through the retry wrapper
        with pytest.raises(TypeError) as caught:
            f(*map(swap, args), **{key: swap(value) for key, value in kwargs.items()})
        assert str(caught.value) == message and spy.seen == [] and store.seen == []


# -- handlers --------------------------------------------------------------------------
def fails(error):
    def fail(*args, **kwargs):
        raise error
    return fail


class Probe:
    """Just enough of a path object for a member body to reach its error handler."""

    path, parent = pathlib.PurePosixPath("/d/f"), types.SimpleNamespace(path=pathlib.PurePosixPath("/"))
    exists = property(lambda self: self.check())

    def __init__(self, check=lambda: True, reset=lambda: None, **client):
        self.check, self._valid_reset, self.client = check, reset, types.SimpleNamespace(**client)


PERM = ftplib.error_perm("550 refused")
ABANDON = lambda command, callback, blocksize: callback(b"x")


@pytest.mark.parametrize("name, probe, raised, context", [
    # read confirms that the refusal is about a directory (MLST) before it says "not a file"
    ("read", Probe(retrbinary=fails(PERM), sendcmd=lambda cmd: "250-\n type=dir; /d/f\n250 End."), TypeError, PERM),
    ("mtime", Probe(sendcmd=fails(PERM)), TypeError, PERM),
    ("mkdir", Probe(check=fails(PERM)), FileNotFoundError, PERM),
    ("is_dir", Probe(reset=fails(LookupError("reset")), retrbinary=ABANDON), LookupError, InterruptedError),
    ("is_dir", Probe(retrbinary=ABANDON), None, None),
])
def test_errors_raised_in_a_handler_chain_implicitly_and_handled_ones_stay_inside(name, probe, raised, context):
    if raised is None:  # handled inside: the caller's exception stays the current one
        try:
            raise KeyError("the caller's")
        except KeyError as outer:
            assert public(name)(probe) is False and sys.exc_info()[1] is outer
        assert sys.exc_info()[1] is None
        return
    with pytest.raises(raised) as caught:
        public(name)(probe)
    err = caught.value
    assert err.__context__ is context or type(err.__context__) is context
    assert err.__cause__ is None and err.__suppress_context__ is False and sys.exc_info()[1] is None


# -- _reset ----------------------------------------------------------------------------
class Rig:
    """Stands in for all that _reset talks to (the path's hooks, Local, EnvConfig and its configer, the
    creator and the client it makes), logging each step in one list; the step named `fail` raises `error`."""

    def __init__(self, monkeypatch, fail=None, error=None, settings=types.MappingProxyType({"timeout": 5}),
                 has_pasv=True):
        self.log, self.fail, self.error, self.clients = [], fail, error or LookupError(fail), []
        self.settings, self.has_pasv, self.pasv, self.keys = settings, has_pasv, object(), itertools.count(1)
        self.old = Spy()  # the thread's previous client: must not be touched
        self.slots = {"K": self.old}
        monkeypatch.setattr(mod, "Local", self)
        monkeypatch.setattr(mod, "EnvConfig", types.SimpleNamespace(
            init_configer=lambda: self.step("init_configer") or self))
        self.path = type("StandIn", (FTPPath,), {  # the path's own hooks
            "_creator": property(lambda path: self.step("_creator") or self.create),
            "_key_on_thread": lambda path: self.step(f"key{next(self.keys)}") or "K",
            "_read_config": lambda path, *args, **kwargs: self.step("read_config", args, kwargs) or self.settings,
        })("/x")
        self.has_option = lambda *args: self.step("has_option", *args) or self.has_pasv
        self.getboolean = lambda *args: self.step("getboolean", *args) or self.pasv
        self.delattr = lambda key: self.step("delattr", key) or self.slots.pop(key, None)
        self.setattr = lambda key, client: self.step("setattr", key, client) or self.slots.update({key: client})

    def step(self, *entry):
        self.log.append(entry)
        if entry[0] == self.fail:
            raise self.error

    def create(self, *args, **kwargs):
        self.step("creator", args, kwargs)
        self.clients.append(Spy(set_pasv=lambda value: self.step("set_pasv", value)))
        return self.clients[-1]


CALLS = {"method": lambda p: p._reset("ftp"), "keyword": lambda p: p._reset(section="ftp"),
         "function": lambda p: FTPPath._reset(p, "ftp"), "keywords": lambda p: FTPPath._reset(self=p, section="ftp")}


@pytest.mark.parametrize("form, settings", [  # any mapping is unpacked; anything else is an error returned
    ("method", {"timeout": 5}), ("keyword", collections.UserDict(timeout=5)),
    ("function", types.MappingProxyType({"timeout": 5})), ("keywords", {"timeout": 5}),
    ("method", None), ("keywords", [("timeout", 5)])])
@pytest.mark.parametrize("has_pasv", [[1], ""], ids=["pasv set", "pasv absent"])
def test_reset_steps_in_order(form, settings, has_pasv, monkeypatch):
    rig = Rig(monkeypatch, has_pasv=has_pasv, settings=settings)
    result = CALLS[form](rig.path)
    if not isinstance(settings, collections.abc.Mapping):
        assert type(result) is TypeError
        assert str(result) == f"argument after ** must be a mapping, not {type(settings).__name__}"
        assert rig.log[-1][0] == "read_config" and rig.slots == {} and rig.old.seen == []
        return
    assert result is None
    client = rig.clients[0]
    pasv = [("getboolean", "ftp", "pasv"), ("set_pasv", rig.pasv)] if has_pasv else [("set_pasv", True)]
    assert rig.log == [("key1",), ("delattr", "K"), ("_creator",), ("read_config", ("ftp",), {}),
                       ("creator", (), {"timeout": 5}), ("init_configer",), ("has_option", "ftp", "pasv"),
                       *pasv, ("key2",), ("setattr", "K", client)]
    assert rig.log[-3][1] is pasv[-1][1]  # passed on as it came, not converted
    assert rig.slots == {"K": client} and client.seen == ["set_pasv"] and rig.old.seen == []


@pytest.mark.parametrize("fail, error, raised", [
    ("_creator", None, False), ("read_config", None, False), ("creator", ftplib.error_perm("530 Login."), False),
    ("init_configer", config.ConfigError("bad file"), False), ("has_option", None, False),
    ("getboolean", ValueError("pasv"), False), ("set_pasv", None, False), ("key2", None, False),
    ("setattr", None, False),
    # Before the old client is dropped, or what no code should swallow: raised.
    ("key1", LookupError("key"), "kept"), ("delattr", LookupError("store"), "kept"),
    ("creator", KeyboardInterrupt(), True), ("set_pasv", SystemExit(3), True),
])
def test_reset_returns_what_stops_it_and_lets_through_what_it_must_not_catch(fail, error, raised, monkeypatch):
    rig = Rig(monkeypatch, fail=fail, error=error)
    if raised:
        with pytest.raises(type(rig.error)) as caught:
            rig.path._reset("ftp")
        assert caught.value is rig.error
    else:
        assert rig.path._reset("ftp") is rig.error and sys.exc_info()[1] is None
    assert rig.log[-1][0] == fail and rig.old.seen == []
    assert rig.slots == ({"K": rig.old} if raised == "kept" else {})
    assert all(client.seen in ([], ["set_pasv"]) for client in rig.clients)  # dropped, never closed
