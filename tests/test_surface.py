"""The import-time surface of dravlen.ftp.path, its native function type, and FTPPath._reset."""

from __future__ import annotations

import collections, datetime, fnmatch, ftplib, functools, inspect, io, json, os, pathlib, socket
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


class Boom(Exception):
    pass


class Spy:
    """Logs each attribute looked up on it; names in `answers` are answered, any other lookup fails."""

    def __init__(self, **answers):
        object.__setattr__(self, "seen", [])
        object.__setattr__(self, "answers", answers)

    def __getattribute__(self, name):
        if name in ("seen", "answers") or name.startswith("__"):
            return object.__getattribute__(self, name)
        self.seen.append(name)
        if name in self.answers:
            return self.answers[name]
        raise Boom(name)


# -- import ------------------------------------------------------------------------

def test_namespace_is_bound_in_import_order():
    names, public_names = list(vars(mod)), ["datetime", "fnmatch", "ftplib", "io", "pathlib", "Generator",
                                            "Any", "Optional", "retry", "BasePath", "Local", "EnvConfig",
                                            "interrupt", "FTPPath"]
    assert [n for n in names if not n.startswith("__")] == public_names == names[-len(public_names):]
    assert [getattr(mod, n) for n in public_names[:12]] == [
        datetime, fnmatch, ftplib, io, pathlib, typing.Generator, typing.Any, typing.Optional,
        base.retry, base.BasePath, base.Local, config.EnvConfig]
    assert "__path__" not in names and mod.__file__ == mod.__spec__.origin


def test_import_builds_the_class_through_its_collaborators_without_io():
    seen = run_python(r'''
        import json, socket
        sockets, reads, retries, wrapped, prepared, order = [], [], [], [], [], []
        class CountingSocket(socket.socket):
            def __init__(self, *a, **k):
                sockets.append(repr(a)); super().__init__(*a, **k)
        socket.socket = CountingSocket
        import dravlen.base as base
        from dravlen.config import EnvConfig
        real_init_configer, real_retry = EnvConfig.init_configer, base.retry
        EnvConfig.init_configer = classmethod(lambda cls: reads.append(1) or real_init_configer())
        def counting_retry(*args, **kwargs):
            retries.append([[repr(a) for a in args], kwargs])
            decorate = real_retry(*args, **kwargs)
            return lambda func: wrapped.append(func) or decorate(func)
        base.retry = counting_retry
        class Namespace(dict):
            def __setitem__(self, key, value):
                order.append(key); super().__setitem__(key, value)
        def prepare(mcls, name, bases, **kwargs):
            prepared.append([name, type(bases) is tuple and bases == (base.BasePath,), kwargs])
            return Namespace()
        type(base.BasePath).__prepare__ = classmethod(prepare)
        import dravlen.ftp.path as m
        unwrap = lambda o: (o.fget if isinstance(o, property) else o).__wrapped__
        print(json.dumps([retries, [f.__name__ for f in wrapped], m.retry is counting_retry,
                          all(f is unwrap(m.FTPPath.__dict__[f.__name__]) for f in wrapped),
                          prepared, order, sockets, reads]))
    ''')
    assert seen[0] == [[["<class 'ftplib.error_temp'>", "<class 'ftplib.error_reply'>"], {}]] * 9
    assert seen[1:4] == [WRAPPED, True, True] and seen[4] == [["FTPPath", True, {}]]
    assert seen[5] == ["__module__", "__qualname__", "__annotations__", "_section", "_creator"] + MEMBERS
    assert seen[6:] == [[], []]


def test_body_runs_once_per_process():
    seen = run_python(r'''
        import ctypes, importlib, importlib.machinery, json, sys, types
        import dravlen.base as base, dravlen.ftp.path as m
        calls, cls, real_retry, api = [], m.FTPPath, base.retry, ctypes.pythonapi
        base.retry = lambda *a, **k: calls.append(a) or real_retry(*a, **k)
        del sys.modules["dravlen.ftp.path"]
        out = [importlib.import_module("dravlen.ftp.path") is m]
        api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
        api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
        api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(m)
        spec = importlib.machinery.ModuleSpec("dravlen.ftp.path", m.__loader__, origin=m.__file__)
        again = api.PyModule_FromDefAndSpec2(definition, spec, sys.api_version)
        out += [again is m, api.PyModule_ExecDef(again, definition)]
        try:
            api.PyModule_ExecDef(types.ModuleType("dravlen.ftp.path"), definition)
        except RuntimeError as exc:
            out.append(str(exc))
        print(json.dumps(out + [len(calls), m.FTPPath is cls]))
    ''')
    assert seen == [True, True, 0, "Module 'path' has already been imported. Re-initialisation is not supported.",
                    0, True]


def test_second_interpreter_is_refused():
    seen = run_python(r'''
        import json, os, _xxsubinterpreters as interpreters
        import dravlen.ftp.path
        read, write = os.pipe()
        sub = interpreters.create()
        interpreters.run_string(sub, f"""if True:
            import os
            try:
                import dravlen.ftp.path
                os.write({write}, b"imported")
            except ImportError as exc:
                os.write({write}, str(exc).encode())""")
        interpreters.destroy(sub)
        print(json.dumps(os.read(read, 1000).decode()))
    ''')
    assert seen == "Interpreter change detected - this module can only be loaded into one interpreter per process."


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


# -- the class and its native functions ------------------------------------------------

def test_class_shape():
    own = FTPPath.__dict__  # BasePath has its own _section and _creator: look at what FTPPath binds
    assert type(FTPPath) is type(base.BasePath) and FTPPath.__bases__ == (base.BasePath,)
    assert (FTPPath.__module__, FTPPath.__qualname__) == ("dravlen.ftp.path", "FTPPath")
    assert own["__annotations__"] == {"client": "ftplib.FTP"}
    assert type(own["_section"]) is tuple and own["_section"] == ("ftp",) and own["_creator"] is ftplib.FTP
    assert [n for n in own if not n.startswith("__")] == ["_section", "_creator"] + MEMBERS
    assert all(type(own[n]) is property and own[n].fset is own[n].fdel is None for n in ("exists", "mtime"))
    assert type(own["_reset"]) is NativeFunction and not hasattr(own["_reset"], "__wrapped__")
    assert all(type(native(n)) is NativeFunction and native(n) is not own[n] for n in WRAPPED)
    assert NativeFunction.__flags__ & (1 << 9)  # a heap type
    with pytest.raises(TypeError):
        NativeFunction()


SIGNATURES = {
    "_reset": "(self, section: 'str') -> 'Optional[Exception]'", "exists": "(self) -> 'bool'",
    "is_dir": "(self) -> 'bool'", "read": "(self) -> 'bytes'", "write": "(self, data: 'bytes') -> 'None'",
    "upload": "(self, local_path: 'str') -> 'None'", "delete": "(self) -> 'None'", "mkdir": "(self) -> 'None'",
    "glob": "(self, pattern: 'str' = '*') -> \"Generator['FTPPath', Any, Any]\"",
    "mtime": "(self) -> 'datetime.datetime'", "interrupt": "(*_, **__) -> 'None'",
}


@pytest.mark.parametrize("name", MEMBERS + ["interrupt"])
def test_native_function_introspection(name):
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
    copy = functools.wraps(f)(lambda *a, **k: f(*a, **k))
    assert (copy.__qualname__, copy.__annotations__, copy.__wrapped__) == (qualname, f.__annotations__, f)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((b"x",), {}), ((1, 2), {"k": 3})])
def test_interrupt_always_raises(args, kwargs):
    with pytest.raises(InterruptedError) as caught:
        mod.interrupt(*args, **kwargs)
    assert type(caught.value) is InterruptedError and caught.value.args == ("Finish!",)


ARGUMENTS = {"_reset": {"section": "ftp"}, "write": {"data": b"x"}, "upload": {"local_path": "/nonexistent/x"},
             "glob": {"pattern": "*"}}
FORMS = {"positional": lambda f, s, kw: f(s, *kw.values()), "keywords": lambda f, s, kw: f(self=s, **kw),
         "mixed": lambda f, s, kw: f(s, **kw)}


@pytest.mark.parametrize("name", MEMBERS)
@pytest.mark.parametrize("form", FORMS)
def test_arguments_bind_and_errors_carry_the_member_frame(name, form):
    spy = Spy()
    with pytest.raises(Boom) as caught:  # the body ran and failed on its first look at self
        result = FORMS[form](native(name), spy, ARGUMENTS.get(name, {}))
        if name == "glob":
            next(result)
    frames = [(frame.name, frame.filename) for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert ("dravlen.ftp.path.FTPPath." + name, "dravlen/ftp/path") in frames and len(spy.seen) == 1


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
])
def test_argument_count_and_keyword_errors(name, args, kwargs, message):
    spy = Spy()
    swap = lambda value: spy if value == "S" else value
    with pytest.raises(TypeError) as caught:
        native(name)(*map(swap, args), **{key: swap(value) for key, value in kwargs.items()})
    assert str(caught.value) == message and spy.seen == []


StrSub, BytesSub = type("StrSub", (str,), {}), type("BytesSub", (bytes,), {})


@pytest.mark.parametrize("name, param, value", [
    ("write", "data", None), ("write", "data", bytearray(b"x")), ("write", "data", memoryview(b"x")),
    ("write", "data", BytesSub(b"x")), ("upload", "local_path", None), ("upload", "local_path", StrSub("x")),
    ("upload", "local_path", pathlib.Path("x")), ("upload", "local_path", b"x"), ("glob", "pattern", None),
    ("glob", "pattern", 5), ("glob", "pattern", StrSub("*")), ("_reset", "section", None),
    ("_reset", "section", StrSub("ftp")), ("_reset", "section", ("ftp",)),
])
def test_exact_type_parameters_are_refused_before_anything_happens(name, param, value, monkeypatch):
    store = Spy()
    monkeypatch.setattr(mod, "Local", store)
    expected = "bytes" if param == "data" else "str"
    message = f"Argument '{param}' has incorrect type (expected {expected}, got {type(value).__name__})"
    for call in (lambda s: getattr(FTPPath, name)(s, value), lambda s: getattr(FTPPath, name)(s, **{param: value})):
        spy = Spy()
        with pytest.raises(TypeError) as caught:
            call(spy)
        assert str(caught.value) == message and spy.seen == [] and store.seen == []


# -- handlers --------------------------------------------------------------------------

class Probe:
    """Just enough of a path object for a member body to reach its error handler."""

    path, parent = pathlib.PurePosixPath("/d/f"), types.SimpleNamespace(path=pathlib.PurePosixPath("/"))

    def __init__(self, exists=True, reset_error=None, **client):
        self._exists, self.reset_error, self.client = exists, reset_error, types.SimpleNamespace(**client)

    @property
    def exists(self):
        if isinstance(self._exists, BaseException):
            raise self._exists
        return self._exists

    def _valid_reset(self):
        if self.reset_error:
            raise self.reset_error


def refuse(*args, **kwargs):
    raise PERM


PERM = ftplib.error_perm("550 refused")
ABANDON = lambda command, callback, blocksize: callback(b"x")


@pytest.mark.parametrize("name, probe, raised, context", [
    ("read", Probe(retrbinary=refuse), TypeError, PERM), ("mtime", Probe(sendcmd=refuse), TypeError, PERM),
    ("mkdir", Probe(exists=PERM), FileNotFoundError, PERM),
    ("is_dir", Probe(reset_error=LookupError("reset"), retrbinary=ABANDON), LookupError, InterruptedError),
])
def test_errors_raised_in_a_handler_chain_implicitly(name, probe, raised, context):
    with pytest.raises(raised) as caught:
        public(name)(probe)
    err = caught.value
    assert err.__context__ is context or type(err.__context__) is context
    assert err.__cause__ is None and err.__suppress_context__ is False and sys.exc_info()[1] is None


def test_a_handled_error_leaves_the_callers_exception_current():
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert public("is_dir")(Probe(retrbinary=ABANDON)) is False and sys.exc_info()[1] is outer
    assert sys.exc_info()[1] is None


# -- _reset ----------------------------------------------------------------------------

class Rig:
    """Stands in for all that _reset talks to (the path's hooks, Local, EnvConfig and its configer, the
    creator and the client it makes), logging each step in one list; the step named `fail` raises `error`."""

    def __init__(self, monkeypatch, fail=None, error=None, settings=types.MappingProxyType({"timeout": 5}),
                 has_pasv=True, creator=None, real_config=False):
        self.log, self.fail, self.error, self.keys, self.clients = [], fail, error or LookupError(fail), 0, []
        self.settings, self.has_pasv, self.pasv = settings, has_pasv, object()
        self.old = Spy()  # the thread's previous client: must not be touched
        self.slots = {"K": self.old}
        monkeypatch.setattr(mod, "Local", self)
        if not real_config:
            monkeypatch.setattr(mod, "EnvConfig", types.SimpleNamespace(
                init_configer=lambda: self.step("init_configer") or self))
        rig = self

        class StandIn(FTPPath):
            @property
            def _creator(self):
                return rig.step("_creator") or creator or rig.create

            def _key_on_thread(self):
                rig.keys += 1
                return rig.step(f"key{rig.keys}") or "K"

            def _read_config(self, *args, **kwargs):
                return rig.step("read_config", args, kwargs) or rig.settings

        self.path = StandIn("/x")

    def step(self, *entry):
        self.log.append(entry)
        if entry[0] == self.fail:
            raise self.error

    def create(self, *args, **kwargs):
        self.step("creator", args, kwargs)
        self.clients.append(Spy(set_pasv=lambda value: self.step("set_pasv", value)))
        return self.clients[-1]

    def has_option(self, *args):
        return self.step("has_option", *args) or self.has_pasv

    def getboolean(self, *args):
        return self.step("getboolean", *args) or self.pasv

    def delattr(self, key):
        self.step("delattr", key)
        self.slots.pop(key, None)

    def setattr(self, key, client):
        self.step("setattr", key, client)
        self.slots[key] = client


CALLS = {"method": lambda p: p._reset("ftp"), "keyword": lambda p: p._reset(section="ftp"),
         "function": lambda p: FTPPath._reset(p, "ftp"), "keywords": lambda p: FTPPath._reset(self=p, section="ftp")}


@pytest.mark.parametrize("form", CALLS)
@pytest.mark.parametrize("has_pasv", [[1], ""], ids=["pasv set", "pasv absent"])
def test_reset_steps_in_order(form, has_pasv, monkeypatch):
    rig = Rig(monkeypatch, has_pasv=has_pasv)
    assert CALLS[form](rig.path) is None
    client = rig.clients[0]
    pasv = [("getboolean", "ftp", "pasv"), ("set_pasv", rig.pasv)] if has_pasv else [("set_pasv", True)]
    assert rig.log == [("key1",), ("delattr", "K"), ("_creator",), ("read_config", ("ftp",), {}),
                       ("creator", (), {"timeout": 5}), ("init_configer",), ("has_option", "ftp", "pasv"),
                       *pasv, ("key2",), ("setattr", "K", client)]
    assert rig.log[-3][1] is pasv[-1][1]  # passed on as it came, not converted
    assert rig.slots == {"K": client} and client.seen == ["set_pasv"] and rig.old.seen == []


@pytest.mark.parametrize("settings, returned", [
    ({"timeout": 5}, None), (collections.UserDict(timeout=5), None),
    (None, "argument after ** must be a mapping, not NoneType"),
    ([("timeout", 5)], "argument after ** must be a mapping, not list"),
])
def test_reset_unpacks_only_mappings(settings, returned, monkeypatch):
    rig = Rig(monkeypatch, settings=settings)
    result = rig.path._reset("ftp")
    if returned is None:
        assert result is None and rig.log[4] == ("creator", (), {"timeout": 5})
    else:
        assert type(result) is TypeError and str(result) == returned
        assert rig.log[-1][0] == "read_config" and rig.slots == {} and rig.old.seen == []


@pytest.mark.parametrize("fail, error", [
    ("_creator", None), ("read_config", None), ("creator", ftplib.error_perm("530 Login incorrect.")),
    ("init_configer", config.ConfigError("bad file")), ("has_option", None), ("getboolean", ValueError("pasv")),
    ("set_pasv", None), ("key2", None), ("setattr", None),
])
def test_reset_returns_what_stops_it(fail, error, monkeypatch):
    rig = Rig(monkeypatch, fail=fail, error=error)
    assert rig.path._reset("ftp") is rig.error and sys.exc_info()[1] is None
    assert rig.log[-1][0] == fail and rig.slots == {} and rig.old.seen == []
    assert all(client.seen in ([], ["set_pasv"]) for client in rig.clients)  # dropped, never closed


@pytest.mark.parametrize("fail, error, kept", [
    ("key1", LookupError("key"), True), ("delattr", LookupError("store"), True),
    ("creator", KeyboardInterrupt(), False), ("set_pasv", SystemExit(3), False),
])
def test_reset_lets_through_what_it_must_not_catch(fail, error, kept, monkeypatch):
    rig = Rig(monkeypatch, fail=fail, error=error)
    with pytest.raises(type(error)) as caught:
        rig.path._reset("ftp")
    assert caught.value is error and rig.log[-1][0] == fail and rig.slots == ({"K": rig.old} if kept else {})


def test_reset_returns_a_refused_connection(monkeypatch):
    with socket.socket() as unused:  # bound but not listening: a connection to it is refused
        unused.bind(("127.0.0.1", 0))
        monkeypatch.setattr(ftplib.FTP, "port", unused.getsockname()[1])
        rig = Rig(monkeypatch, creator=ftplib.FTP, settings={"host": "127.0.0.1", "timeout": 5})
        result = rig.path._reset("ftp")
    assert isinstance(result, ConnectionRefusedError)
    assert rig.log[-1] == ("read_config", ("ftp",), {}) and rig.slots == {} and rig.old.seen == []


def configure(monkeypatch, tmp_path, ini, **env):
    for name in [n for n in os.environ if n.upper().startswith("DRAVLEN_")]:
        monkeypatch.delenv(name)
    (tmp_path / "dravlen.ini").write_text(ini, encoding="utf-8")
    for name, value in {"DRAVLEN_CONFIG": str(tmp_path / "dravlen.ini"), **env}.items():
        monkeypatch.setenv(name, value)


@pytest.mark.parametrize("ini, env, section, expected", [
    ("[ftp]\nhost = 127.0.0.1\n", {}, "ftp", True), ("[ftp]\npasv = no\n", {}, "ftp", False),
    ("[ftp]\npasv = yes\n", {"DRAVLEN_FTP_PASV": "off"}, "ftp", False),
    ("[backup]\npasv = false\n[ftp]\npasv = true\n", {}, "backup", False),
])
def test_reset_takes_passive_mode_from_the_configuration(ini, env, section, expected, tmp_path, monkeypatch):
    configure(monkeypatch, tmp_path, ini, **env)
    rig = Rig(monkeypatch, real_config=True)
    assert rig.path._reset(section) is None and rig.log[3] == ("read_config", (section,), {})
    assert rig.log[-3][0] == "set_pasv" and rig.log[-3][1] is expected


def test_reset_with_the_real_collaborators(tmp_path, monkeypatch):
    configure(monkeypatch, tmp_path, "[ftp]\ntimeout = 7\nencoding = latin-1\npasv = off\n")
    path = FTPPath("/x")
    key = path._key_on_thread()
    try:
        assert path._reset("ftp") is None
        client = base.Local.getattr(key)
        assert type(client) is ftplib.FTP and client.sock is None  # made, not connected
        assert (client.timeout, client.encoding, client.passiveserver) == (7.0, "latin-1", False)
        assert path._reset("ftp") is None and base.Local.getattr(key) not in (None, client)
    finally:
        base.Local.delattr(key)
